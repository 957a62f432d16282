#include "frame_stream.h"

#include "text.h"

#include <ksmedia.h>

#include <algorithm>
#include <cstring>

namespace camctl {

double FrameStatistics::FramesPerSecond() const
{
    double seconds = std::chrono::duration<double>(elapsed).count();
    return seconds > 0 ? static_cast<double>(delivered) / seconds : 0.0;
}

namespace {

// An image of `rowBytes` a row, top row first, made from the delivered rows `pitch` apart:
// `copy(target, source, bytes)` moves the delivered part of each row; rows not delivered stay
// black.
template <typename CopyRow>
std::vector<std::uint8_t> TopDownRows(const std::uint8_t* data, std::size_t size,
                                      const FrameFormat& format, std::size_t pitch,
                                      std::size_t rowBytes, CopyRow copy)
{
    std::vector<std::uint8_t> out(rowBytes * format.height, 0);
    for (int row = 0; row < format.height; ++row) {
        int source = format.bottomUp ? format.height - 1 - row : row;
        std::size_t offset = static_cast<std::size_t>(source) * pitch;
        if (offset >= size) {
            continue;
        }
        copy(out.data() + static_cast<std::size_t>(row) * rowBytes, data + offset,
             std::min(rowBytes, size - offset));
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> TopDown(const std::uint8_t* data, std::size_t size,
                                  const FrameFormat& format, std::size_t pitch)
{
    return TopDownRows(data, size, format, pitch, static_cast<std::size_t>(format.width) * 4,
                       [](std::uint8_t* target, const std::uint8_t* source, std::size_t bytes) {
                           std::memcpy(target, source, bytes);
                       });
}

std::vector<std::uint8_t> BgraToRgb(const std::vector<std::uint8_t>& bgra)
{
    std::vector<std::uint8_t> rgb(bgra.size() / 4 * 3);
    for (std::size_t i = 0, o = 0; i + 3 < bgra.size(); i += 4, o += 3) {
        rgb[o] = bgra[i + 2];
        rgb[o + 1] = bgra[i + 1];
        rgb[o + 2] = bgra[i];
    }
    return rgb;
}

namespace {

// The subtypes of the FOURCC formats differ from this one only in their first field.
constexpr GUID kFourccBase = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

std::string FourccText(ULONG code)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += static_cast<char>((code >> (8 * i)) & 0xFF);
    }
    return text;
}

bool IsFourccSubtype(const GUID& subtype)
{
    GUID base = subtype;
    base.Data1 = 0;
    return IsEqualGUID(base, kFourccBase);
}

PixelFormat PixelFormatOf(const std::string& name)
{
    if (name == "rgb24") {
        return PixelFormat::Rgb24;
    }
    if (name == "yuy2") {
        return PixelFormat::Yuy2;
    }
    if (name == "nv12") {
        return PixelFormat::Nv12;
    }
    if (name == "bayer8") {
        return PixelFormat::Bayer8;
    }
    return PixelFormat::Rgb32;
}

}  // namespace

std::string FormatName(const std::vector<std::uint8_t>& range, std::string* bayerOrder)
{
    KS_DATARANGE_VIDEO video{};
    if (range.size() < sizeof video) {
        return {};
    }
    std::memcpy(&video, range.data(), sizeof video);
    const GUID& subtype = video.DataRange.SubFormat;
    if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB32)) {
        return "rgb32";
    }
    if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB24)) {
        return "rgb24";
    }
    if (!IsFourccSubtype(subtype)) {
        return {};
    }
    std::string code = FourccText(subtype.Data1);
    if (code == "YUY2") {
        return "yuy2";
    }
    if (code == "NV12") {
        return "nv12";
    }
    // 8-bit Bayer by the order of its first 2 x 2 block ("BA81" is B G / G R).
    const char* orders[][2] = {{"GRBG", "GRBG"}, {"BA81", "BGGR"}, {"RGGB", "RGGB"}, {"GBRG", "GBRG"}};
    for (const auto& order : orders) {
        if (code == order[0]) {
            if (bayerOrder != nullptr) {
                *bayerOrder = order[1];
            }
            return "bayer8";
        }
    }
    return {};
}

bool FrameStream::Open(const ksclient::Filter& filter, std::string& error,
                       const std::string& formatName, bool* unknownFormat)
{
    std::vector<std::vector<std::uint8_t>> ranges;
    NTSTATUS status = filter.DataRanges(0, ranges);
    if (!NT_SUCCESS(status) || ranges.empty()) {
        error = "the camera offers no video format (" + StatusText(status) + ")";
        return false;
    }
    const std::vector<std::uint8_t>* chosen = &ranges.front();
    std::string name = FormatName(ranges.front(), &format_.bayerOrder);
    if (!formatName.empty()) {
        chosen = nullptr;
        std::string offered;
        for (const auto& range : ranges) {
            std::string order;
            std::string candidate = FormatName(range, &order);
            if (candidate.empty()) {
                continue;
            }
            offered += (offered.empty() ? "" : ", ") + candidate;
            if (candidate == formatName && chosen == nullptr) {
                chosen = &range;
                name = candidate;
                format_.bayerOrder = order;
            }
        }
        if (chosen == nullptr) {
            error = "the camera does not offer the format '" + formatName + "'; it offers " +
                    offered;
            if (unknownFormat != nullptr) {
                *unknownFormat = true;
            }
            return false;
        }
    }
    format_.name = name.empty() ? "rgb32" : name;
    format_.pixels = PixelFormatOf(format_.name);
    // The offered range itself is the client's range: the driver fills in the format.
    std::vector<std::uint8_t> format;
    status = filter.Intersect(0, chosen->data(), static_cast<ULONG>(chosen->size()), format);
    if (!NT_SUCCESS(status) || format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        error = "no format agreed with the camera (" + StatusText(status) + ")";
        return false;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER video;
    std::memcpy(&video, format.data(), sizeof(video));
    const KS_BITMAPINFOHEADER& bitmap = video.VideoInfoHeader.bmiHeader;
    const int bits = format_.pixels == PixelFormat::Rgb32   ? 32
                     : format_.pixels == PixelFormat::Rgb24 ? 24
                     : format_.pixels == PixelFormat::Yuy2  ? 16
                     : format_.pixels == PixelFormat::Nv12  ? 12
                                                            : 8;
    if (bitmap.biBitCount != bits || bitmap.biWidth <= 0 || bitmap.biHeight == 0) {
        error = "the camera offers an unexpected format (" + std::to_string(bitmap.biWidth) + "x" +
                std::to_string(bitmap.biHeight) + ", " + std::to_string(bitmap.biBitCount) +
                " bits)";
        return false;
    }
    format_.width = bitmap.biWidth;
    format_.height = bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight;
    format_.bottomUp = bitmap.biHeight > 0;
    format_.imageBytes = bitmap.biSizeImage;

    status = filter.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), pin_);
    if (!NT_SUCCESS(status)) {
        error = "cannot open the capture pin (" + StatusText(status) + ")";
        return false;
    }
    HANDLE clock = nullptr;
    if (NT_SUCCESS(KsCreateDefaultClock(&clock))) {
        clock_ = ksclient::Handle(clock);
        // Without a clock the frames carry no presentation time; capture still works.
        if (!NT_SUCCESS(pin_.SetMasterClock(clock_.Get()))) {
            clock_.Close();
        }
    }
    for (KSSTATE next : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        status = pin_.SetState(next);
        if (!NT_SUCCESS(status)) {
            error = "the capture pin does not start (" + StatusText(status) + ")";
            Close();
            return false;
        }
        state_ = next;
    }
    return true;
}

void FrameStream::Close()
{
    if (pin_) {
        for (KSSTATE next : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
            if (state_ > next) {
                pin_.SetState(next);
                state_ = next;
            }
        }
        pin_.Close();
    }
    state_ = KSSTATE_STOP;
    clock_.Close();
}

std::vector<std::uint8_t> Rgb24TopDown(const std::uint8_t* data, std::size_t size,
                                       const FrameFormat& format)
{
    // Rows of 3 bytes a pixel padded to 4 bytes, the last picture row first; B, G, R.
    std::size_t pitch = (static_cast<std::size_t>(format.width) * 3 + 3) & ~std::size_t{3};
    return TopDownRows(data, size, format, pitch, static_cast<std::size_t>(format.width) * 3,
                       [](std::uint8_t* target, const std::uint8_t* source, std::size_t bytes) {
                           for (std::size_t i = 0; i + 2 < bytes; i += 3) {
                               target[i] = source[i + 2];
                               target[i + 1] = source[i + 1];
                               target[i + 2] = source[i];
                           }
                       });
}

bool FrameStream::Read(std::uint64_t count, unsigned timeoutMs, unsigned maxTimeouts,
                       const std::function<bool(const Frame&)>& onFrame,
                       const std::atomic<bool>* interrupted, FrameStatistics& statistics,
                       std::string& error)
{
    statistics.requested = count;
    std::vector<std::uint8_t> buffer(format_.imageBytes);
    std::size_t pitch = static_cast<std::size_t>(format_.width) * 4;
    unsigned timeoutsInRow = 0;
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    while (count == 0 || statistics.delivered < count) {
        if (interrupted != nullptr && interrupted->load()) {
            break;
        }
        KSSTREAM_HEADER header;
        NTSTATUS status = pin_.ReadFrame(buffer, header, timeoutMs);
        if (status == STATUS_TIMEOUT) {
            ++statistics.timedOut;
            if (++timeoutsInRow >= maxTimeouts) {
                error = "no frame came within " + std::to_string(timeoutMs) + " ms, " +
                        std::to_string(timeoutsInRow) + " times in a row";
                ok = false;
                break;
            }
            continue;
        }
        if (!NT_SUCCESS(status)) {
            error = "reading a frame failed (" + StatusText(status) + ")";
            ok = false;
            break;
        }
        timeoutsInRow = 0;
        Frame frame;
        frame.index = statistics.delivered++;
        std::size_t used = std::min<std::size_t>(header.DataUsed, buffer.size());
        frame.complete = used >= format_.imageBytes;
        if (!frame.complete) {
            ++statistics.incomplete;
        }
        frame.timeValid = (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
        frame.presentationTime = header.PresentationTime.Time;
        if (frame.timeValid) {
            if (statistics.timedFrames++ == 0) {
                statistics.firstTime = frame.presentationTime;
            }
            statistics.lastTime = frame.presentationTime;
        }
        switch (format_.pixels) {
        case PixelFormat::Rgb32: frame.bgra = TopDown(buffer.data(), used, format_, pitch); break;
        case PixelFormat::Rgb24: frame.rgb = Rgb24TopDown(buffer.data(), used, format_); break;
        default: frame.raw.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
        }
        if (!onFrame(frame)) {
            break;
        }
    }
    statistics.elapsed = std::chrono::steady_clock::now() - start;
    return ok;
}

}  // namespace camctl
