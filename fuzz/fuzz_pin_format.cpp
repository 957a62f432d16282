// Pin creation and format negotiation with any bytes, through the user-mode calls: KsCreatePin
// with a KSPIN_CONNECT and any KSDATAFORMAT (video header and sizes included), the pin's data
// intersection with a KSMULTIPLE_ITEM of any ranges, and a format set on a pin that exists. A
// pin the input manages to create may stream one frame into a buffer of any size.
//
// Each input starts with a mode and option bits; the options can put the camera's own format
// GUIDs into the bytes (the fuzzer seldom guesses 48 bytes of GUIDs) and make the declared
// sizes agree with the real ones, so that inputs get past the framework's checks to the driver.
#include <fuzzer/FuzzedDataProvider.h>

#include "support/camera_host.h"
#include "support/known_faults.h"

#include <cstring>
#include <vector>

namespace {

enum Option : std::uint8_t {
    kCameraGuids = 1,       // the camera's major format, subformat and specifier
    kExactSizes = 2,        // FormatSize (and the list's Size) as the bytes given
    kStreamFrame = 4,       // run a created pin and read one frame
    kFrameOfImageSize = 8,  // the frame buffer as large as the format's biSizeImage
};

constexpr ULONG kLargestFrameBuffer = 4 * 1024 * 1024;
constexpr ULONG kFrameWaitMs = 2000;

void PutCameraGuids(std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < sizeof(KSDATAFORMAT)) {
        return;
    }
    KSDATAFORMAT header;
    std::memcpy(&header, bytes.data(), sizeof header);
    header.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
    header.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    std::memcpy(bytes.data(), &header, sizeof header);
}

void PutFormatSize(std::vector<std::uint8_t>& bytes, ULONG formatSize)
{
    if (bytes.size() >= sizeof(ULONG)) {
        std::memcpy(bytes.data(), &formatSize, sizeof formatSize);
    }
}

ULONG FormatSizeOf(const std::vector<std::uint8_t>& bytes)
{
    ULONG formatSize = 0;
    if (bytes.size() >= sizeof formatSize) {
        std::memcpy(&formatSize, bytes.data(), sizeof formatSize);
    }
    return formatSize;
}

// A KSDATAFORMAT (or range) with its tail, from the input.
std::vector<std::uint8_t> TakeFormat(FuzzedDataProvider& in, std::uint8_t options)
{
    std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 400);
    std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
    if (options & kCameraGuids) {
        PutCameraGuids(bytes);
    }
    if (options & kExactSizes) {
        PutFormatSize(bytes, static_cast<ULONG>(bytes.size()));
    }
    return bytes;
}

// Runs the pin and reads one frame into a buffer of the size the input chose.
void StreamOneFrame(FuzzedDataProvider& in, HANDLE pin, std::uint8_t options)
{
    ULONG extent = in.ConsumeIntegralInRange<ULONG>(0, kLargestFrameBuffer);
    if (options & kFrameOfImageSize) {
        std::vector<std::uint8_t> format(1024);
        KSPROPERTY property = fuzzhost::Property(
            KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET);
        ULONG returned = 0;
        if (KsSynchronousDeviceControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property,
                                       format.data(), static_cast<ULONG>(format.size()),
                                       &returned) == STATUS_SUCCESS &&
            returned >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
            KS_DATAFORMAT_VIDEOINFOHEADER video;
            std::memcpy(&video, format.data(), sizeof video);
            extent = std::min(video.VideoInfoHeader.bmiHeader.biSizeImage, kLargestFrameBuffer);
        }
    }
    KSSTATE state = KSSTATE_RUN;
    KSPROPERTY property = fuzzhost::Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                             KSPROPERTY_TYPE_SET);
    ULONG returned = 0;
    if (KsSynchronousDeviceControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state,
                                   sizeof state, &returned) != STATUS_SUCCESS) {
        return;
    }
    std::vector<std::uint8_t> frame(extent);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.FrameExtent = extent;
    header.Data = frame.empty() ? nullptr : frame.data();
    KsReadStream(pin, &header, kFrameWaitMs);
}

HANDLE CreatePin(HANDLE filter, FuzzedDataProvider& in, std::vector<std::uint8_t> format,
                 std::uint8_t options, NTSTATUS& status)
{
    // KsCreatePin reads a whole KSDATAFORMAT and then FormatSize bytes after the KSPIN_CONNECT:
    // the buffer holds at least that, and FormatSize never claims more than the buffer has.
    std::size_t room = std::max(format.size(), sizeof(KSDATAFORMAT));
    format.resize(room);
    if (FormatSizeOf(format) > room) {
        PutFormatSize(format, static_cast<ULONG>(room));
    }
    KSPIN_CONNECT connect{};
    std::vector<std::uint8_t> connectBytes = in.ConsumeBytes<std::uint8_t>(sizeof connect);
    fuzzhost::CopyBytes(&connect, connectBytes.data(), connectBytes.size());
    if (!(options & kExactSizes) || connectBytes.size() < sizeof connect) {
        connect.PinId = 0;
    }
    std::vector<std::uint8_t> buffer(sizeof connect + room);
    std::memcpy(buffer.data(), &connect, sizeof connect);
    std::memcpy(buffer.data() + sizeof connect, format.data(), room);
    HANDLE pin = nullptr;
    status =
        KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(buffer.data()), GENERIC_READ, &pin);
    return NT_SUCCESS(status) ? pin : nullptr;
}

void Intersect(HANDLE filter, FuzzedDataProvider& in, std::uint8_t options)
{
    KSP_PIN pin{};
    pin.Property =
        fuzzhost::Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
    pin.PinId = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<ULONG>() : 0;
    std::vector<std::uint8_t> ranges;
    ULONG count = in.ConsumeIntegralInRange<ULONG>(0, 3);
    for (ULONG i = 0; i < count; ++i) {
        ranges.resize((sizeof(KSMULTIPLE_ITEM) + ranges.size() + 7) / 8 * 8 -
                      sizeof(KSMULTIPLE_ITEM));
        std::vector<std::uint8_t> range = TakeFormat(in, options);
        ranges.insert(ranges.end(), range.begin(), range.end());
    }
    KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + ranges.size()), count};
    if (!(options & kExactSizes)) {
        list.Size = in.ConsumeIntegral<ULONG>();
        list.Count = in.ConsumeIntegralInRange<ULONG>(0, 8);
    }
    std::vector<std::uint8_t> request(sizeof pin + sizeof list + ranges.size());
    std::memcpy(request.data(), &pin, sizeof pin);
    std::memcpy(request.data() + sizeof pin, &list, sizeof list);
    if (!ranges.empty()) {
        std::memcpy(request.data() + sizeof pin + sizeof list, ranges.data(), ranges.size());
    }

    // A size query first, then the size asked for, or any size.
    ULONG needed = 0;
    KsSynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, request.data(),
                               static_cast<ULONG>(request.size()), nullptr, 0, &needed);
    ULONG outLength = in.ConsumeBool() ? needed : in.ConsumeIntegralInRange<ULONG>(0, 400);
    std::vector<std::uint8_t> out(outLength);
    ULONG returned = 0;
    KsSynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, request.data(),
                               static_cast<ULONG>(request.size()),
                               out.empty() ? nullptr : out.data(), outLength, &returned);
}

// A pin with the negotiated format, then a format set on it.
void ChangeFormat(HANDLE filter, FuzzedDataProvider& in, std::uint8_t options)
{
    std::vector<std::uint8_t> format = TakeFormat(in, options);

    // The offered range as a format: the KSDATARANGE header, then its video header.
    std::vector<std::uint8_t> range = fuzzhost::OfferedRange(filter);
    std::vector<std::uint8_t> initial(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    std::memcpy(initial.data(), range.data(), sizeof(KSDATAFORMAT));
    std::memcpy(initial.data() + sizeof(KSDATAFORMAT),
                range.data() + offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader),
                sizeof(KS_VIDEOINFOHEADER));
    PutFormatSize(initial, static_cast<ULONG>(initial.size()));
    NTSTATUS status;
    FuzzedDataProvider none(nullptr, 0);
    HANDLE pin = CreatePin(filter, none, initial, kExactSizes, status);
    fuzzhost::Require(pin != nullptr, "a pin with the offered format");
    KSPROPERTY property = fuzzhost::Property(KSPROPSETID_Connection,
                                             KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET);
    ULONG returned = 0;
    KsSynchronousDeviceControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property,
                               format.empty() ? nullptr : format.data(),
                               static_cast<ULONG>(format.size()), &returned);
    if (options & kStreamFrame) {
        StreamOneFrame(in, pin, options);
    }
    KsCloseHandle(pin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    HANDLE filter = fuzzhost::SharedFilter();
    FuzzedDataProvider in(bytes, size);
    int mode = in.ConsumeIntegralInRange(0, 2);
    auto options = in.ConsumeIntegral<std::uint8_t>();
    switch (mode) {
    case 0: {
        std::vector<std::uint8_t> format = TakeFormat(in, options);
        NTSTATUS status;
        HANDLE pin = CreatePin(filter, in, std::move(format), options, status);
        if (pin != nullptr) {
            if (options & kStreamFrame) {
                StreamOneFrame(in, pin, options);
            }
            KsCloseHandle(pin);
        }
        break;
    }
    case 1: Intersect(filter, in, options); break;
    default: ChangeFormat(filter, in, options); break;
    }
    return 0;
}
