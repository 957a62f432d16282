// The thin C++ layer over the user-mode streaming calls: owned handles, property requests with
// their KSPROPERTY headers, the pin factory queries, pin creation and frame reads.
#include "ks_client.h"

#include <cstring>
#include <utility>

namespace ksclient {

namespace {

// Property and format buffers carry 64-bit members; keep them on 8-byte boundaries.
class AlignedBuffer {
public:
    explicit AlignedBuffer(std::size_t size) : words_((size + 7) / 8 + 1, 0), size_(size) {}

    std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    ULONG Size() const { return static_cast<ULONG>(size_); }

private:
    std::vector<std::uint64_t> words_;
    std::size_t size_;
};

// Sends one IOCTL_KS_PROPERTY: `property` holds the header (and whatever follows it).
PropertyResult SendProperty(HANDLE object, AlignedBuffer& property, void* data, ULONG size)
{
    PropertyResult result;
    result.status = KsSynchronousDeviceControl(object, IOCTL_KS_PROPERTY, property.Bytes(),
                                               property.Size(), data, size, &result.bytesReturned);
    return result;
}

// A KSPROPERTY header followed by `extraSize` bytes of `extra`.
AlignedBuffer BuildProperty(const GUID& set, ULONG id, ULONG flags, const void* extra,
                            ULONG extraSize)
{
    AlignedBuffer buffer(sizeof(KSPROPERTY) + extraSize);
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    std::memcpy(buffer.Bytes(), &header, sizeof(header));
    if (extra != nullptr && extraSize != 0) {
        std::memcpy(buffer.Bytes() + sizeof(KSPROPERTY), extra, extraSize);
    }
    return buffer;
}

// The part of a KSP_PIN that follows its KSPROPERTY header.
struct PinInstanceData {
    ULONG PinId;
    ULONG Reserved;
};

PinInstanceData PinData(ULONG pinId)
{
    return PinInstanceData{pinId, 0};
}

ULONG QuadAlign(ULONG size)
{
    return (size + 7) & ~7u;
}

}  // namespace

Handle& Handle::operator=(Handle&& other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = other.Release();
    }
    return *this;
}

HANDLE Handle::Release()
{
    return std::exchange(handle_, nullptr);
}

NTSTATUS Handle::Close()
{
    HANDLE handle = Release();
    return handle != nullptr ? KsCloseHandle(handle) : STATUS_SUCCESS;
}

PropertyResult GetProperty(HANDLE object, const GUID& set, ULONG id, void* data, ULONG size,
                           const void* extra, ULONG extraSize)
{
    AlignedBuffer property = BuildProperty(set, id, KSPROPERTY_TYPE_GET, extra, extraSize);
    return SendProperty(object, property, data, size);
}

PropertyResult SetProperty(HANDLE object, const GUID& set, ULONG id, const void* data, ULONG size,
                           const void* extra, ULONG extraSize)
{
    AlignedBuffer property = BuildProperty(set, id, KSPROPERTY_TYPE_SET, extra, extraSize);
    // The data of a set travels in the request's output buffer, which the call takes as
    // writable; a set never writes it, and the copy keeps the caller's constant data out of reach.
    std::vector<std::uint8_t> copy(static_cast<const std::uint8_t*>(data),
                                   static_cast<const std::uint8_t*>(data) + (data ? size : 0));
    return SendProperty(object, property, copy.empty() ? nullptr : copy.data(), size);
}

// The property buffer is `propertySize` bytes: the KSPROPERTY header (cut short when
// propertySize is below its size) followed by bytes from `extraProperty` (zeros without it).
PropertyResult PropertyRequest(HANDLE object, const GUID& set, ULONG id, ULONG flags,
                               const void* extraProperty, ULONG propertySize, void* data,
                               ULONG size)
{
    ULONG extraSize = propertySize > sizeof(KSPROPERTY) ? propertySize - sizeof(KSPROPERTY) : 0;
    AlignedBuffer full = BuildProperty(set, id, flags, extraProperty, extraSize);
    AlignedBuffer property(propertySize);
    std::memcpy(property.Bytes(), full.Bytes(), propertySize);
    return SendProperty(object, property, data, size);
}

NTSTATUS Filter::OpenFirst(const GUID& category, Filter& filter)
{
    std::vector<rtl::WideString> links = KsEnumerateFilters(category);
    if (links.empty()) {
        filter.handle_ = Handle();
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Open(links.front(), filter);
}

NTSTATUS Filter::Open(const rtl::WideString& symbolicLink, Filter& filter)
{
    HANDLE handle = nullptr;
    NTSTATUS status = KsOpenFilter(symbolicLink, &handle);
    filter.handle_ = Handle(NT_SUCCESS(status) ? handle : nullptr);
    return status;
}

NTSTATUS Filter::PinTypeCount(ULONG& count) const
{
    count = 0;
    return GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof(count)).status;
}

NTSTATUS Filter::PinInstances(ULONG pinId, KSPIN_CINSTANCES& instances) const
{
    instances = KSPIN_CINSTANCES{};
    PinInstanceData pin = PinData(pinId);
    return GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, &instances,
                       sizeof(instances), &pin, sizeof(pin))
        .status;
}

NTSTATUS Filter::DataRanges(ULONG pinId, std::vector<std::vector<std::uint8_t>>& ranges) const
{
    ranges.clear();
    PinInstanceData pin = PinData(pinId);
    PropertyResult query = GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, nullptr,
                                       0, &pin, sizeof(pin));
    if (query.status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(query.status) ? STATUS_UNSUCCESSFUL : query.status;
    }
    if (query.bytesReturned < sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_INVALID_PARAMETER;
    }
    AlignedBuffer list(query.bytesReturned);
    PropertyResult result = GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES,
                                        list.Bytes(), list.Size(), &pin, sizeof(pin));
    if (!NT_SUCCESS(result.status)) {
        return result.status;
    }

    // A KSMULTIPLE_ITEM, then the ranges, each starting on an 8-byte boundary.
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, list.Bytes(), sizeof(header));
    ULONG end = header.Size < result.bytesReturned ? header.Size : result.bytesReturned;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count; ++i) {
        if (end < offset || end - offset < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_PARAMETER;
        }
        KSDATARANGE range;
        std::memcpy(&range, list.Bytes() + offset, sizeof(range));
        if (range.FormatSize < sizeof(KSDATARANGE) || range.FormatSize > end - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        const std::uint8_t* first = list.Bytes() + offset;
        ranges.emplace_back(first, first + range.FormatSize);
        offset += QuadAlign(range.FormatSize);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Filter::Intersect(ULONG pinId, const void* range, ULONG rangeSize,
                           std::vector<std::uint8_t>& format) const
{
    format.clear();
    // Behind the KSPROPERTY header: the rest of the KSP_PIN, then a KSMULTIPLE_ITEM with the
    // one range.
    const ULONG extraSize = sizeof(PinInstanceData) + sizeof(KSMULTIPLE_ITEM) + rangeSize;
    AlignedBuffer extra(extraSize);
    PinInstanceData pin = PinData(pinId);
    KSMULTIPLE_ITEM items{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + rangeSize), 1};
    std::memcpy(extra.Bytes(), &pin, sizeof(pin));
    std::memcpy(extra.Bytes() + sizeof(pin), &items, sizeof(items));
    std::memcpy(extra.Bytes() + sizeof(pin) + sizeof(items), range, rangeSize);

    PropertyResult query = GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION,
                                       nullptr, 0, extra.Bytes(), extraSize);
    if (query.status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(query.status) ? STATUS_UNSUCCESSFUL : query.status;
    }
    AlignedBuffer result(query.bytesReturned);
    PropertyResult answer = GetProperty(Get(), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION,
                                        result.Bytes(), result.Size(), extra.Bytes(), extraSize);
    if (NT_SUCCESS(answer.status)) {
        ULONG used = answer.bytesReturned < result.Size() ? answer.bytesReturned : result.Size();
        format.assign(result.Bytes(), result.Bytes() + used);
    }
    return answer.status;
}

NTSTATUS Filter::CreatePin(ULONG pinId, const void* format, ULONG formatSize, Pin& pin) const
{
    AlignedBuffer request(sizeof(KSPIN_CONNECT) + formatSize);
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Interface.Flags = 0;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.Medium.Flags = 0;
    connect.PinId = pinId;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    std::memcpy(request.Bytes(), &connect, sizeof(connect));
    if (formatSize != 0) {
        std::memcpy(request.Bytes() + sizeof(connect), format, formatSize);
    }

    HANDLE handle = nullptr;
    NTSTATUS status = KsCreatePin(Get(), reinterpret_cast<PKSPIN_CONNECT>(request.Bytes()),
                                  GENERIC_READ, &handle);
    pin.Reset(NT_SUCCESS(status) ? handle : nullptr);
    return status;
}

NTSTATUS Pin::SetState(KSSTATE state) const
{
    return SetProperty(Get(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state,
                       sizeof(state))
        .status;
}

NTSTATUS Pin::GetState(KSSTATE& state) const
{
    return GetProperty(Get(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state,
                       sizeof(state))
        .status;
}

NTSTATUS Pin::SetMasterClock(HANDLE clock) const
{
    return SetProperty(Get(), KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &clock,
                       sizeof(clock))
        .status;
}

NTSTATUS Pin::ReadFrame(std::vector<std::uint8_t>& buffer, KSSTREAM_HEADER& header,
                        ULONG timeoutMs) const
{
    KS_FRAME_INFO frameInfo{};
    return ReadFrame(buffer, header, frameInfo, timeoutMs);
}

NTSTATUS Pin::ReadFrame(std::vector<std::uint8_t>& buffer, KSSTREAM_HEADER& header,
                        KS_FRAME_INFO& frameInfo, ULONG timeoutMs) const
{
    // A video pin's stream header: KSSTREAM_HEADER with the frame information after it.
    struct VideoStreamHeader {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO frameInfo;
    } request{};
    request.header.Size = sizeof request;
    request.header.FrameExtent = static_cast<ULONG>(buffer.size());
    request.header.Data = buffer.data();
    NTSTATUS status = KsReadStream(Get(), &request.header, timeoutMs);
    header = request.header;
    frameInfo = request.frameInfo;
    return status;
}

}  // namespace ksclient
