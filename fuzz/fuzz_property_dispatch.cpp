// Property requests as any application could send them: any set (the camera's private set, the
// framework's pin, connection and stream sets, or any GUID), any id and flags, property and data
// buffers of any size and contents, or none, through the user-mode calls to a filter of a
// plugged simulated camera, and to a capture pin on it when the input asks for one.
//
// The camera stays plugged across inputs. Each input runs up to eight requests; a pin an input
// created is stopped and closed at its end. Set requests of the Timeout item are capped (see
// support/known_faults.h), so that no input can make a later one wait long.
#include <fuzzer/FuzzedDataProvider.h>

#include "support/camera_host.h"
#include "support/known_faults.h"

#include "control/property_set.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A buffer of exactly `size` bytes on the heap, so that the sanitizer sees any access past it.
struct ExactBuffer {
    std::vector<std::uint8_t> bytes;
    std::uint8_t* Data() { return bytes.empty() ? nullptr : bytes.data(); }
};

const GUID kVideoProcAmpSet = {
    0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

GUID PickSet(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
    case 1:
    case 2: return CameraPropertySet;
    case 3: return KSPROPSETID_Pin;
    case 4: return KSPROPSETID_Connection;
    case 5: return KSPROPSETID_Stream;
    case 6: return kVideoProcAmpSet;
    default: {
        GUID any{};
        std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(sizeof any);
        fuzzhost::CopyBytes(&any, bytes.data(), bytes.size());
        return any;
    }
    }
}

ULONG PickFlags(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return KSPROPERTY_TYPE_GET;
    case 1: return KSPROPERTY_TYPE_SET;
    case 2: return KSPROPERTY_TYPE_BASICSUPPORT;
    case 3: return KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    case 4: return KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
    default: return in.ConsumeIntegral<ULONG>();
    }
}

// The negotiated format of the shared filter's pin.
std::vector<std::uint8_t> NegotiatedFormat(HANDLE filter)
{
    std::vector<std::uint8_t> range = fuzzhost::OfferedRange(filter);
    std::vector<std::uint8_t> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + range.size());
    KSP_PIN pin{};
    pin.Property.Set = KSPROPSETID_Pin;
    pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin.Property.Flags = KSPROPERTY_TYPE_GET;
    KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + range.size()), 1};
    std::memcpy(request.data(), &pin, sizeof pin);
    std::memcpy(request.data() + sizeof pin, &list, sizeof list);
    std::memcpy(request.data() + sizeof pin + sizeof list, range.data(), range.size());
    std::vector<std::uint8_t> format(1024);
    ULONG returned = 0;
    NTSTATUS status = KsSynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, request.data(),
                                                 static_cast<ULONG>(request.size()), format.data(),
                                                 static_cast<ULONG>(format.size()), &returned);
    if (status != STATUS_SUCCESS || returned < sizeof(KSDATAFORMAT)) {
        return {};
    }
    format.resize(returned);
    return format;
}

// A pin with the format negotiated now (earlier inputs may have changed the window); null when
// the camera refuses it.
HANDLE CreatePin(HANDLE filter)
{
    std::vector<std::uint8_t> format = NegotiatedFormat(filter);
    if (format.empty()) {
        return nullptr;
    }
    std::vector<std::uint8_t> connect(sizeof(KSPIN_CONNECT) + format.size());
    KSPIN_CONNECT header{};
    header.PinId = 0;
    std::memcpy(connect.data(), &header, sizeof header);
    std::memcpy(connect.data() + sizeof header, format.data(), format.size());
    HANDLE pin = nullptr;
    NTSTATUS status =
        KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(connect.data()), GENERIC_READ, &pin);
    if (std::getenv("FUZZ_DEBUG") != nullptr) {
        std::fprintf(stderr, "pin creation: %08x\n", static_cast<unsigned>(status));
    }
    return pin;
}

void SendRequest(FuzzedDataProvider& in, HANDLE handle, bool toPin)
{
    GUID set = PickSet(in);
    ULONG id =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<ULONG>(0, 63) : in.ConsumeIntegral<ULONG>();
    ULONG flags = PickFlags(in);
    // The property buffer: a KSPROPERTY and what follows it, or fewer bytes, or none at all.
    std::size_t propertySize = sizeof(KSPROPERTY) + in.ConsumeIntegralInRange<std::size_t>(0, 400);
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
        propertySize = in.ConsumeIntegralInRange<std::size_t>(0, sizeof(KSPROPERTY));
    }
    bool nullProperty = in.ConsumeIntegralInRange(0, 31) == 0;
    std::size_t dataSize = in.ConsumeIntegralInRange<std::size_t>(0, 320);
    bool nullData = in.ConsumeIntegralInRange(0, 31) == 0;
    ULONG ioControl =
        in.ConsumeIntegralInRange(0, 31) == 0 ? in.ConsumeIntegral<ULONG>() : IOCTL_KS_PROPERTY;
    if (ioControl == IOCTL_KS_READ_STREAM) {
        ioControl = IOCTL_KS_PROPERTY;  // a frame read would wait for a frame
    }

    ExactBuffer property{std::vector<std::uint8_t>(propertySize)};
    KSPROPERTY header = fuzzhost::Property(set, id, flags);
    fuzzhost::CopyBytes(property.Data(), &header, std::min(propertySize, sizeof header));
    if (propertySize > sizeof header) {
        std::vector<std::uint8_t> tail =
            in.ConsumeBytes<std::uint8_t>(propertySize - sizeof header);
        fuzzhost::CopyBytes(property.Data() + sizeof header, tail.data(), tail.size());
    }
    ExactBuffer data{in.ConsumeBytes<std::uint8_t>(dataSize)};
    data.bytes.resize(dataSize);

    if (IsEqualGUID(set, CameraPropertySet)) {
        fuzzhost::AvoidKnownPropertyFaults(id, flags, data.Data(), dataSize);
    }

    ULONG returned = 0;
    NTSTATUS status = KsSynchronousDeviceControl(
        handle, ioControl, nullProperty ? nullptr : property.Data(),
        static_cast<ULONG>(propertySize), nullData ? nullptr : data.Data(),
        static_cast<ULONG>(dataSize), &returned);
    if (std::getenv("FUZZ_DEBUG") != nullptr) {
        std::uint32_t first = 0;
        fuzzhost::CopyBytes(&first, data.Data() + (dataSize >= 28 ? 24 : 0),
                            std::min<std::size_t>(dataSize, sizeof first));
        std::fprintf(stderr,
                     "request %s set %08x id %u flags %x property %zu data %zu (%u...) -> %08x\n",
                     toPin ? "pin" : "filter", static_cast<unsigned>(set.Data1),
                     static_cast<unsigned>(id), static_cast<unsigned>(flags), propertySize,
                     dataSize, first, static_cast<unsigned>(status));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    HANDLE filter = fuzzhost::SharedFilter();
    FuzzedDataProvider in(bytes, size);
    HANDLE pin = in.ConsumeIntegralInRange(0, 3) == 0 ? CreatePin(filter) : nullptr;
    int requests = in.ConsumeIntegralInRange(1, 8);
    for (int i = 0; i < requests && in.remaining_bytes() > 0; ++i) {
        bool toPin = pin != nullptr && in.ConsumeBool();
        SendRequest(in, toPin ? pin : filter, toPin);
    }
    if (pin != nullptr) {
        KsCloseHandle(pin);
    }
    return 0;
}
