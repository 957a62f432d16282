#include "commands.h"

#include "frame_stream.h"
#include "png_io.h"
#include "standard_properties.h"
#include "stream_report.h"
#include "text.h"

#include <cstdio>
#include <iomanip>
#include <fstream>
#include <ostream>
#include <sstream>

namespace camctl {

namespace {

// Frame reads wait this much longer than the driver's own frame timeout.
constexpr unsigned kReadMarginMs = 1000;
constexpr unsigned kFallbackTimeoutMs = 3000;
// A camera that lets this many reads in a row time out is taken as not delivering.
constexpr unsigned kTimeoutsBeforeGivingUp = 3;

std::string WindowText(const Window& window)
{
    return std::to_string(window.x) + "," + std::to_string(window.y) + " " +
           std::to_string(window.width) + "x" + std::to_string(window.height) +
           ", sub-sampling " + std::to_string(window.subSample);
}

const char* ServiceCommand(ULONG id)
{
    switch (id) {
    case CameraProperty::Window: return "window";
    case CameraProperty::RegisterWrite: return "reg-write";
    case CameraProperty::RegisterRead: return "reg-read";
    case CameraProperty::RawCommand: return "data-write";
    case CameraProperty::RawRead: return "data-read";
    default: return "";
    }
}

const char* Access(const CameraPropertyInfo& item)
{
    if (item.Id == CameraProperty::RegisterWrite || item.Id == CameraProperty::RawCommand) {
        return "write-only";  // the get is there only to be refused
    }
    if (item.CanGet && item.CanSet) {
        return "read-write";
    }
    return item.CanGet ? "read-only" : "write-only";
}

unsigned ReadTimeout(const CameraControl& control)
{
    LONG timeout = 0;
    if (NT_SUCCESS(control.Get(CameraProperty::Timeout, timeout)) && timeout > 0) {
        return static_cast<unsigned>(timeout) + kReadMarginMs;
    }
    return kFallbackTimeoutMs + kReadMarginMs;
}

void DrawProgress(std::ostream& err, std::uint64_t done, std::uint64_t total)
{
    constexpr int kWidth = 30;
    int filled = total == 0 ? 0 : static_cast<int>(done * kWidth / total);
    err << "\rcapturing [" << std::string(filled, '#') << std::string(kWidth - filled, ' ')
        << "] " << done << "/" << total << std::flush;
}

void ReportStatistics(std::ostream& to, std::size_t index, const FrameFormat& format,
                      const FrameStatistics& statistics)
{
    double seconds = std::chrono::duration<double>(statistics.elapsed).count();
    to << "camera " << index << ": " << statistics.delivered << " frames of " << format.width
       << "x" << format.height << " in " << std::fixed << std::setprecision(2) << seconds
       << " s, " << std::setprecision(1) << statistics.FramesPerSecond()
       << " frames per second\n";
    to << "frames: " << statistics.delivered << " delivered, " << statistics.timedOut
       << " timed out, " << statistics.incomplete << " incomplete\n";
    if (statistics.timedFrames >= 2 && statistics.lastTime > statistics.firstTime) {
        double span = static_cast<double>(statistics.lastTime - statistics.firstTime) / 1e7;
        to << "presentation times: " << std::setprecision(3) << span << " s from first to last, "
           << std::setprecision(1) << static_cast<double>(statistics.timedFrames - 1) / span
           << " frames per second\n";
    }
    to.unsetf(std::ios::floatfield);
}

// The pin's dropped-frame counts; they change only when a frame is delivered, so read after
// the last frame they are final.
std::optional<DroppedFrames> DroppedFramesOf(const FrameStream& stream)
{
    DroppedFrames dropped;
    if (stream.PinHandle() == nullptr ||
        !NT_SUCCESS(ReadDroppedFrames(stream.PinHandle(), dropped))) {
        return std::nullopt;
    }
    return dropped;
}

std::string FileName(const std::string& prefix, std::uint64_t index, std::uint64_t count,
                     const std::string& extension)
{
    int digits = 4;
    for (std::uint64_t last = count == 0 ? 0 : count - 1; last >= 10000; last /= 10) {
        ++digits;
    }
    char number[32];
    std::snprintf(number, sizeof(number), "%0*llu", digits, static_cast<unsigned long long>(index));
    return prefix + "-" + number + "." + extension;
}

}  // namespace

std::string DescribeSet(const char* name, std::int32_t requested, std::optional<LONG> readBack,
                        std::optional<LONG> min, std::optional<LONG> max)
{
    std::string text = std::string(name) + ": " + std::to_string(requested);
    if (!readBack) {
        return text + " (write-only, not read back)";
    }
    if (*readBack == requested) {
        return text;
    }
    bool clamped = (min && *readBack == *min && requested < *min) ||
                   (max && *readBack == *max && requested > *max);
    if (clamped) {
        return text + " clamped to " + std::to_string(*readBack);
    }
    return text + " reads back as " + std::to_string(*readBack);
}

void GiveStartingExposure(const PluggedCamera& camera, std::size_t index, std::ostream& err)
{
    CameraControl control;
    LONG exposure = 0;
    NTSTATUS status = control.Open(camera.link);
    if (NT_SUCCESS(status)) {
        status = control.Get(CameraProperty::ExposureDefault, exposure);
    }
    if (NT_SUCCESS(status)) {
        status = control.Set(CameraProperty::Exposure, exposure);
    }
    if (!NT_SUCCESS(status)) {
        err << "camctl: camera " << index << " has no saved settings and keeps exposure 1 "
            << "(a nearly black picture): " << StatusText(status) << "\n";
        return;
    }
    err << "camctl: camera " << index << " has no saved settings; exposure set to " << exposure
        << " (the camera's default) instead of 1; change it with 'camctl set Exposure=N'\n";
    // Closing the filter saves the settings, so the next run finds them.
}

int ListCameras(Session& session, std::ostream& out, std::ostream& err)
{
    if (session.CameraCount() == 0) {
        out << "no cameras\n";
        return kExitOk;
    }
    int result = kExitOk;
    for (std::size_t index = 0; index < session.CameraCount(); ++index) {
        const PluggedCamera& camera = session.Camera(index);
        out << "camera " << index << ": " << Narrow(camera.link) << "\n";
        CameraControl control;
        NTSTATUS status = control.Open(camera.link);
        Window window;
        OutputSize size;
        if (NT_SUCCESS(status)) {
            status = control.GetWindow(window);
        }
        if (NT_SUCCESS(status)) {
            status = control.GetOutputSize(size);
        }
        if (!NT_SUCCESS(status)) {
            err << "camctl: camera " << index << ": " << StatusText(status) << "\n";
            result = kExitFailure;
            continue;
        }
        out << "  window: " << WindowText(window) << "\n";
        out << "  output: " << size.width << "x" << size.height << "\n";
    }
    return result;
}

int ShowProperties(const CameraControl& control, bool json, std::ostream& out, std::ostream& err)
{
    int result = kExitOk;
    if (json) {
        out << "[\n";
    } else {
        out << std::left << std::setw(20) << "name" << std::right << std::setw(8) << "value"
            << std::setw(8) << "min" << std::setw(8) << "max" << std::setw(9) << "default"
            << "\n";
    }
    bool first = true;
    for (const CameraPropertyInfo& item : CameraPropertyTable) {
        std::optional<LONG> value, min, max, def;
        std::string note;
        NTSTATUS failed = STATUS_SUCCESS;
        if (IsServiceItem(item.Id)) {
            note = std::string("service item: camctl ") + ServiceCommand(item.Id);
        } else if (item.CanGet) {
            LONG read = 0;
            NTSTATUS status = control.Get(item.Id, read);
            if (NT_SUCCESS(status)) {
                value = read;
            } else {
                failed = status;
            }
            ItemLimits limits = LimitsOf(item.Id);
            const std::pair<std::optional<ULONG>, std::optional<LONG>*> wanted[] = {
                {limits.min, &min}, {limits.max, &max}, {limits.def, &def}};
            for (const auto& [id, slot] : wanted) {
                if (id && NT_SUCCESS(control.Get(*id, read))) {
                    *slot = read;
                }
            }
        }
        if (!NT_SUCCESS(failed)) {
            err << "camctl: " << item.Name << ": " << StatusText(failed) << "\n";
            result = kExitFailure;
        }
        if (json) {
            out << (first ? "" : ",\n") << "  {\"id\": " << item.Id << ", \"name\": \"" << item.Name
                << "\", \"access\": \"" << Access(item) << "\"";
            const std::pair<const char*, std::optional<LONG>> fields[] = {
                {"value", value}, {"min", min}, {"max", max}, {"default", def}};
            for (const auto& [key, field] : fields) {
                if (field) {
                    out << ", \"" << key << "\": " << *field;
                }
            }
            if (IsServiceItem(item.Id)) {
                out << ", \"command\": \"" << ServiceCommand(item.Id) << "\"";
            }
            if (!NT_SUCCESS(failed)) {
                out << ", \"error\": \"" << StatusText(failed) << "\"";
            }
            out << "}";
            first = false;
            continue;
        }
        std::ostringstream row;
        row << std::left << std::setw(20) << item.Name << std::right;
        if (!note.empty()) {
            row << "  (" << Access(item) << "; " << note << ")";
        } else if (!item.CanGet) {
            row << "  (write-only)";
        } else {
            auto cell = [&](const std::optional<LONG>& field, int width) {
                row << std::setw(width) << (field ? std::to_string(*field) : std::string());
            };
            row << std::setw(8) << (value ? std::to_string(*value) : std::string("?"));
            cell(min, 8);
            cell(max, 8);
            cell(def, 9);
        }
        std::string text = row.str();
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << "\n";
    }
    if (json) {
        out << "\n]\n";
    }
    return result;
}

int GetProperties(const CameraControl& control, const std::vector<PropertyRef>& items,
                  std::ostream& out, std::ostream& err)
{
    int result = kExitOk;
    for (const PropertyRef& ref : items) {
        if (ref.standard != nullptr) {
            StandardValue value;
            NTSTATUS status = GetStandard(control.Filter().Get(), *ref.standard, value);
            if (!NT_SUCCESS(status)) {
                err << "camctl: " << StandardName(*ref.standard) << ": " << StatusText(status)
                    << "\n";
                result = kExitFailure;
                continue;
            }
            out << StandardName(*ref.standard) << ": " << StandardValueText(*ref.standard, value)
                << "\n";
            continue;
        }
        const CameraPropertyInfo* item = ref.item;
        LONG value = 0;
        NTSTATUS status = control.Get(item->Id, value);
        if (!NT_SUCCESS(status)) {
            err << "camctl: " << item->Name << ": " << StatusText(status) << "\n";
            result = kExitFailure;
            continue;
        }
        out << item->Name << ": " << value << "\n";
    }
    return result;
}

int SetProperties(const CameraControl& control, const std::vector<Assignment>& assignments,
                  std::ostream& out, std::ostream& err)
{
    int result = kExitOk;
    for (const Assignment& assignment : assignments) {
        if (assignment.standard != nullptr) {
            const StandardItem& standard = *assignment.standard;
            StandardValue value;
            value.value = assignment.value;
            value.value2 = assignment.value2;
            NTSTATUS status =
                SetStandard(control.Filter().Get(), standard, value, assignment.automatic);
            if (NT_SUCCESS(status)) {
                status = GetStandard(control.Filter().Get(), standard, value);
            }
            if (!NT_SUCCESS(status)) {
                // Values outside the item's range or off its step are refused, not clamped.
                err << "camctl: " << StandardName(standard) << ": " << StatusText(status)
                    << (status == STATUS_INVALID_PARAMETER
                            ? " (outside the range or mode 'camctl props --standard' shows)"
                            : "")
                    << "\n";
                result = kExitFailure;
                continue;
            }
            out << StandardName(standard) << ": " << StandardValueText(standard, value) << "\n";
            continue;
        }
        const CameraPropertyInfo& item = *assignment.item;
        NTSTATUS status = control.Set(item.Id, assignment.value);
        if (!NT_SUCCESS(status)) {
            err << "camctl: " << item.Name << ": " << StatusText(status) << "\n";
            result = kExitFailure;
            continue;
        }
        std::optional<LONG> readBack, min, max;
        if (item.CanGet) {
            LONG value = 0;
            status = control.Get(item.Id, value);
            if (!NT_SUCCESS(status)) {
                err << "camctl: " << item.Name << ": set, but reading it back failed: "
                    << StatusText(status) << "\n";
                result = kExitFailure;
                continue;
            }
            readBack = value;
            ItemLimits limits = LimitsOf(item.Id);
            if (limits.min && NT_SUCCESS(control.Get(*limits.min, value))) {
                min = value;
            }
            if (limits.max && NT_SUCCESS(control.Get(*limits.max, value))) {
                max = value;
            }
        }
        out << DescribeSet(item.Name, assignment.value, readBack, min, max) << "\n";
    }
    return result;
}

int SetWindow(const CameraControl& control, const Window& window, std::ostream& out,
              std::ostream& err)
{
    NTSTATUS status = control.SetWindow(window);
    Window now;
    OutputSize size;
    if (NT_SUCCESS(status)) {
        status = control.GetWindow(now);
    }
    if (NT_SUCCESS(status)) {
        status = control.GetOutputSize(size);
    }
    if (!NT_SUCCESS(status)) {
        err << "camctl: window: " << StatusText(status) << "\n";
        return kExitFailure;
    }
    out << "window: " << WindowText(now) << "\n";
    out << "output: " << size.width << "x" << size.height << "\n";
    bool asAsked = now.x == window.x && now.y == window.y && now.width == window.width &&
                   now.height == window.height && now.subSample == window.subSample;
    if (!asAsked) {
        err << "camctl: the camera adjusted the window (asked for " << WindowText(window)
            << ")\n";
    }
    return kExitOk;
}

int ReadRegister(const CameraControl& control, std::uint8_t reg, std::ostream& out,
                 std::ostream& err)
{
    std::uint16_t value = 0;
    NTSTATUS status = control.ReadRegister(reg, value);
    if (!NT_SUCCESS(status)) {
        err << "camctl: reading register " << Hex(reg, 2) << ": " << StatusText(status) << "\n";
        return kExitFailure;
    }
    out << "register " << Hex(reg, 2) << ": " << Hex(value, 4) << " (" << value << ")\n";
    return kExitOk;
}

int WriteRegister(const CameraControl& control, std::uint8_t reg, std::uint16_t value,
                  std::ostream& out, std::ostream& err)
{
    NTSTATUS status = control.WriteRegister(reg, value);
    if (!NT_SUCCESS(status)) {
        err << "camctl: writing register " << Hex(reg, 2) << ": " << StatusText(status) << "\n";
        return kExitFailure;
    }
    out << "register " << Hex(reg, 2) << " := " << Hex(value, 4) << " (" << value << ")\n";
    return kExitOk;
}

int WriteData(const CameraControl& control, const std::vector<std::uint8_t>& payload,
              std::ostream& out, std::ostream& err)
{
    NTSTATUS status = control.SendRawCommand(payload);
    if (!NT_SUCCESS(status)) {
        err << "camctl: data-write: " << StatusText(status) << "\n";
        return kExitFailure;
    }
    out << "sent " << payload.size() << " byte" << (payload.size() == 1 ? "" : "s")
        << " to the data store\n";
    return kExitOk;
}

int ReadData(const CameraControl& control, std::uint16_t address, std::ostream& out,
             std::ostream& err)
{
    std::uint8_t value = 0;
    NTSTATUS status = control.ReadDataByte(address, value);
    if (!NT_SUCCESS(status)) {
        err << "camctl: data-read " << Hex(address, 4) << ": " << StatusText(status) << "\n";
        return kExitFailure;
    }
    out << "data " << Hex(address, 4) << ": " << Hex(value, 2) << " (" << unsigned(value)
        << ")\n";
    return kExitOk;
}

int Capture(const CameraControl& control, std::size_t index, const CaptureRequest& request,
            const Console& console, std::ostream& out, std::ostream& err)
{
    unsigned timeoutMs = ReadTimeout(control);
    FrameStream stream;
    std::string error;
    bool unknownFormat = false;
    if (!stream.Open(control.Filter(), error, request.format, &unknownFormat)) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return unknownFormat ? kExitUsage : kExitFailure;
    }
    const FrameFormat& format = stream.Format();
    const bool png = format.pixels == PixelFormat::Rgb32 || format.pixels == PixelFormat::Rgb24;
    if (format.pixels == PixelFormat::Bayer8) {
        out << "raw 8-bit Bayer frames, " << format.bayerOrder << " order\n";
    }
    std::string writeError;
    std::vector<std::string> written;
    auto onFrame = [&](const Frame& frame) {
        std::string name =
            FileName(request.prefix, frame.index, request.count, png ? "png" : format.name);
        if (png) {
            RgbImage image;
            image.width = format.width;
            image.height = format.height;
            image.pixels = format.pixels == PixelFormat::Rgb24 ? frame.rgb : BgraToRgb(frame.bgra);
            if (!WritePng(name, image, writeError)) {
                return false;
            }
        } else {
            std::ofstream file(name, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(frame.raw.data()),
                       static_cast<std::streamsize>(frame.raw.size()));
            file.close();
            if (!file) {
                writeError = "cannot write " + name;
                return false;
            }
        }
        written.push_back(name);
        if (console.progressBar) {
            DrawProgress(err, frame.index + 1, request.count);
        }
        return true;
    };
    if (console.progressBar) {
        DrawProgress(err, 0, request.count);
    }
    FrameStatistics statistics;
    bool ok = stream.Read(request.count, timeoutMs, kTimeoutsBeforeGivingUp, onFrame,
                          console.interrupted, statistics, error);
    std::optional<DroppedFrames> dropped = DroppedFramesOf(stream);
    stream.Close();
    if (console.progressBar) {
        err << "\n";
    }
    ReportStatistics(out, index, stream.Format(), statistics);
    PrintStreamReport(control, dropped, out, err);
    if (!written.empty()) {
        out << "saved " << written.front();
        if (written.size() > 1) {
            out << " ... " << written.back();
        }
        out << "\n";
    }
    if (!writeError.empty()) {
        err << "camctl: " << writeError << "\n";
        return kExitFailure;
    }
    if (!ok) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return kExitFailure;
    }
    if (statistics.incomplete != 0) {
        err << "camctl: " << statistics.incomplete << " frame"
            << (statistics.incomplete == 1 ? " was" : "s were")
            << " incomplete; the missing part is black\n";
    }
    if (statistics.delivered < request.count) {
        err << "camctl: interrupted after " << statistics.delivered << " of " << request.count
            << " frames\n";
        return kExitFailure;
    }
    return kExitOk;
}

int Stream(const CameraControl& control, std::size_t index, std::uint64_t count,
           const std::string& formatName, const Console& console, std::ostream& out,
           std::ostream& err)
{
    unsigned timeoutMs = ReadTimeout(control);
    FrameStream stream;
    std::string error;
    bool unknownFormat = false;
    if (!stream.Open(control.Filter(), error, formatName, &unknownFormat)) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return unknownFormat ? kExitUsage : kExitFailure;
    }
    const FrameFormat& format = stream.Format();
    std::string size = std::to_string(format.width) + "x" + std::to_string(format.height);
    // What the frames are, and the name ffmpeg knows them by.
    std::string what = "BGRA frames, top row first";
    std::string pixelFormat = "bgra";
    switch (format.pixels) {
    case PixelFormat::Rgb32: break;
    case PixelFormat::Rgb24:
        what = "RGB24 frames, top row first";
        pixelFormat = "rgb24";
        break;
    case PixelFormat::Yuy2:
        what = "YUY2 frames";
        pixelFormat = "yuyv422";
        break;
    case PixelFormat::Nv12:
        what = "NV12 frames";
        pixelFormat = "nv12";
        break;
    case PixelFormat::Bayer8: {
        what = "raw 8-bit Bayer frames (" + format.bayerOrder + ")";
        pixelFormat = "bayer_";
        for (char c : format.bayerOrder) {
            pixelFormat += static_cast<char>(c - 'A' + 'a');
        }
        pixelFormat += "8";
        break;
    }
    }
    std::string option = format.pixels == PixelFormat::Rgb32 ? "" : " --format " + format.name;
    err << "camctl: streaming " << size << " " << what << " to standard output\n"
        << "camctl: play with: camctl stream" << option << " | ffplay -f rawvideo -pixel_format "
        << pixelFormat << " -video_size " << size << " -i -\n";
    bool readerGone = false;
    auto onFrame = [&](const Frame& frame) {
        const std::vector<std::uint8_t>& bytes =
            format.pixels == PixelFormat::Rgb32   ? frame.bgra
            : format.pixels == PixelFormat::Rgb24 ? frame.rgb
                                                  : frame.raw;
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.flush();
        readerGone = !out;
        return !readerGone;
    };
    FrameStatistics statistics;
    bool ok = stream.Read(count, timeoutMs, kTimeoutsBeforeGivingUp, onFrame, console.interrupted,
                          statistics, error);
    stream.Close();
    ReportStatistics(err, index, stream.Format(), statistics);
    if (!ok) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return kExitFailure;
    }
    if (readerGone) {
        err << "camctl: the reader closed the stream\n";
    }
    return kExitOk;
}

}  // namespace camctl

namespace camctl {

int ShowStatistics(const CameraControl& control, std::size_t index, std::uint64_t count,
                   const Console& console, std::ostream& out, std::ostream& err)
{
    unsigned timeoutMs = ReadTimeout(control);
    FrameStream stream;
    std::string error;
    if (!stream.Open(control.Filter(), error)) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return kExitFailure;
    }
    FrameStatistics statistics;
    bool ok = stream.Read(
        count, timeoutMs, kTimeoutsBeforeGivingUp, [](const Frame&) { return true; },
        console.interrupted, statistics, error);
    std::optional<DroppedFrames> dropped = DroppedFramesOf(stream);
    stream.Close();
    ReportStatistics(out, index, stream.Format(), statistics);
    bool printed = PrintStreamReport(control, dropped, out, err);
    if (!ok) {
        err << "camctl: camera " << index << ": " << error << "\n";
        return kExitFailure;
    }
    return printed ? kExitOk : kExitFailure;
}

int ShowStandardProperties(const CameraControl& control, std::ostream& out, std::ostream& err)
{
    int result = kExitOk;
    out << std::left << std::setw(28) << "name" << std::right << std::setw(10) << "value"
        << std::setw(8) << "min" << std::setw(8) << "max" << std::setw(6) << "step" << std::setw(9)
        << "default"
        << "  auto\n";
    for (const StandardItem& item : StandardItems()) {
        StandardSupport support;
        StandardValue value;
        NTSTATUS status = QueryStandardSupport(control.Filter().Get(), item, support);
        if (NT_SUCCESS(status)) {
            status = GetStandard(control.Filter().Get(), item, value);
        }
        if (!NT_SUCCESS(status)) {
            // An item the camera does not answer is left out of the table.
            if (status != STATUS_NOT_FOUND && status != STATUS_PROPSET_NOT_FOUND) {
                err << "camctl: " << StandardName(item) << ": " << StatusText(status) << "\n";
                result = kExitFailure;
            }
            continue;
        }
        auto cell = [](const auto& field) {
            return field ? std::to_string(*field) : std::string("-");
        };
        std::string shown = std::to_string(value.value);
        if (item.record == StandardRecord::Pair) {
            shown += "," + std::to_string(value.value2);
        }
        out << std::left << std::setw(28) << StandardName(item) << std::right << std::setw(10)
            << shown << std::setw(8) << cell(support.min) << std::setw(8) << cell(support.max)
            << std::setw(6) << cell(support.step) << std::setw(9) << cell(support.def) << "  "
            << (!value.OffersAuto() ? "-" : (value.Auto() ? "on" : "off")) << "\n";
    }
    return result;
}

}  // namespace camctl
