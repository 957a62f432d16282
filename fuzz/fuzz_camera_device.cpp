// A malicious camera: what the driver parses from the device. The simulated camera answers with
// the input's configuration descriptor bytes (a second set for later requests, so that the
// answer can change between the driver's two reads of it) and rewrites the replies of register
// reads with the input's bytes. Each input plugs a new camera, which makes the driver configure
// the USB link and program the sensor; when the device started, a filter is opened, register-
// backed properties are read and, if the input asks, one frame is streamed. Then the camera is
// removed and the driver unloads, which runs the verifier's leak check.
#include <fuzzer/FuzzedDataProvider.h>

#include "support/camera_host.h"
#include "support/known_faults.h"

#include "control/property_set.h"

#include <ntoskrnl/host/registry.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

enum Option : std::uint8_t {
    kDescriptorHeader = 1,  // bLength, bDescriptorType and wTotalLength made consistent
    kSecondDescriptor = 2,  // later requests get another descriptor
    kStreamFrame = 4,
};

// The input's reply bytes, handed out read by read.
// Bytes of a read command that the first reply echoes.
constexpr std::size_t kAcknowledgementEcho = 8;

class ReplySource {
public:
    explicit ReplySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    void Rewrite(sim::Packet& first, sim::Packet& second)
    {
        std::lock_guard lock(mutex_);
        std::uint8_t control = 0;
        if (!Take(&control, 1)) {
            return;
        }
        if (control & 1) {
            Take(second.data(), 2);  // the value bytes
        }
        if (control & 2) {
            sim::Packet own = first;
            Take(first.data(), first.size());
            if (fuzzhost::AvoidingKnownFaults()) {
                // A read waits out its time-out for an acknowledgement that echoes its command:
                // the echo stays, so an input cannot make every read of the start wait.
                std::copy(own.begin(), own.begin() + kAcknowledgementEcho, first.begin());
            }
        }
        if (control & 4) {
            Take(second.data(), second.size());
        }
    }

private:
    bool Take(std::uint8_t* out, std::size_t count)
    {
        std::size_t n = std::min(count, bytes_.size() - position_);
        fuzzhost::CopyBytes(out, bytes_.data() + position_, n);
        position_ += n;
        return n != 0;
    }

    std::mutex mutex_;
    std::vector<std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

std::vector<std::uint8_t> TakeDescriptor(FuzzedDataProvider& in, std::uint8_t options)
{
    std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 256);
    std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
    if ((options & kDescriptorHeader) && bytes.size() >= 4) {
        bytes[0] = 9;
        bytes[1] = 0x02;
        bytes[2] = static_cast<std::uint8_t>(bytes.size());
        bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
    }
    return bytes;
}

// The endpoints of the interface the driver selects (the lowest interface number, alternate
// setting 0), as the hub port makes pipes of them: address and attributes, in order.
std::vector<std::pair<std::uint8_t, std::uint8_t>>
SelectedEndpoints(const std::vector<std::uint8_t>& bytes)
{
    std::size_t end = bytes.size();
    if (end >= 4) {
        end = std::min<std::size_t>(end, bytes[2] | bytes[3] << 8);
    }
    int lowest = 256;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> endpoints;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> current;
    bool inSelected = false;
    for (std::size_t at = 0; at + 2 <= end;) {
        std::uint8_t length = bytes[at];
        std::uint8_t type = bytes[at + 1];
        if (length < 2 || at + length > end) {
            break;
        }
        if (type == 0x04) {
            inSelected = false;
            if (length >= 9 && bytes[at + 3] == 0 && bytes[at + 2] < lowest) {
                lowest = bytes[at + 2];
                endpoints.clear();
                inSelected = true;
            }
        } else if (type == 0x05 && length >= 7 && inSelected) {
            endpoints.emplace_back(bytes[at + 2], bytes[at + 3]);
        }
        at += length;
    }
    return endpoints;
}

// The simulated camera answers on its own endpoints whatever its descriptor says: with reply or frame pipes
// that are not the camera's, the camera never answers, and every register read of the device
// start waits out the register time-out (a start of 40 s and more). The driver refuses pipes in
// the wrong direction or of the wrong type at once; such inputs are passed over only while the
// driver still reads on after a camera stopped answering.
bool PipesAreTheCameras(const std::vector<std::uint8_t>& descriptor)
{
    // The driver takes the pipes by index (command, reply, frame).
    auto endpoints = SelectedEndpoints(descriptor);
    const std::uint8_t expected[3] = {sim::kCommandEndpoint, sim::kReplyEndpoint,
                                      sim::kFrameEndpoint};
    for (std::size_t i = 0; i < 3 && i < endpoints.size(); ++i) {
        std::uint8_t type = endpoints[i].second & 3;
        if (endpoints[i].first != expected[i] || (type != 2 && type != 3)) {
            return false;
        }
    }
    return true;
}

void GetValue(HANDLE filter, ULONG id)
{
    CameraPropertyValue value{};
    value.Header = fuzzhost::Property(CameraPropertySet, id, KSPROPERTY_TYPE_GET);
    ULONG returned = 0;
    KsSynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, &value.Header, sizeof value.Header,
                               &value, sizeof value, &returned);
}

void StreamOneFrame(HANDLE filter)
{
    std::vector<std::uint8_t> range = fuzzhost::OfferedRange(filter);
    std::vector<std::uint8_t> connect(sizeof(KSPIN_CONNECT) +
                                      sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    std::memcpy(&format.DataFormat, range.data(), sizeof format.DataFormat);
    std::memcpy(&format.VideoInfoHeader,
                range.data() + offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader),
                sizeof format.VideoInfoHeader);
    format.DataFormat.FormatSize = sizeof format;
    std::memcpy(connect.data() + sizeof(KSPIN_CONNECT), &format, sizeof format);
    HANDLE pin = nullptr;
    if (KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()), GENERIC_READ, &pin) !=
        STATUS_SUCCESS) {
        return;
    }
    KSSTATE state = KSSTATE_RUN;
    KSPROPERTY property = fuzzhost::Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                             KSPROPERTY_TYPE_SET);
    ULONG returned = 0;
    if (KsSynchronousDeviceControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state,
                                   sizeof state, &returned) == STATUS_SUCCESS) {
        std::vector<std::uint8_t> frame(format.VideoInfoHeader.bmiHeader.biSizeImage);
        KSSTREAM_HEADER header{};
        header.Size = sizeof header;
        header.FrameExtent = static_cast<ULONG>(frame.size());
        header.Data = frame.empty() ? nullptr : frame.data();
        KsReadStream(pin, &header, 2000);
    }
    KsCloseHandle(pin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider in(bytes, size);
    auto options = in.ConsumeIntegral<std::uint8_t>();
    sim::CameraOptions camera;
    camera.configurationDescriptors.push_back(TakeDescriptor(in, options));
    if (options & kSecondDescriptor) {
        camera.configurationDescriptors.push_back(TakeDescriptor(in, options));
    }
    auto& descriptors = camera.configurationDescriptors;
    if (fuzzhost::AvoidingKnownFaults()) {
        if (!PipesAreTheCameras(descriptors.back())) {
            return 0;
        }
    }
    ReplySource replies(in.ConsumeRemainingBytes<std::uint8_t>());
    // Each input meets the camera fresh: no settings saved by the camera of an earlier input.
    reg::Reset();

    fuzzhost::PluggedCamera plugged(std::move(camera), [&replies](sim::Camera& device) {
        device.RewriteReplies([&replies](const sim::Packet&, sim::Packet& first,
                                         sim::Packet& second) { replies.Rewrite(first, second); });
    });
    if (plugged.Started()) {
        std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_CAPTURE);
        HANDLE filter = nullptr;
        if (!links.empty() && KsOpenFilter(links.front(), &filter) == STATUS_SUCCESS) {
            for (ULONG id : {CameraProperty::FlipH, CameraProperty::FlipV, CameraProperty::AGC,
                             CameraProperty::AEC, CameraProperty::RegisterRead,
                             CameraProperty::Exposure, CameraProperty::Clock}) {
                GetValue(filter, id);
            }
            if (options & kStreamFrame) {
                StreamOneFrame(filter);
            }
            KsCloseHandle(filter);
        }
    }
    return 0;
}
