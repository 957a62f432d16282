// The framework's own properties: the pin factory set on filters (counts, data ranges, data
// intersection) and the connection and stream sets on pins (state, format, framing, clock).
#include "callback_guard.h"
#include "framework_objects.h"

#include <cstring>

namespace ks {

namespace {

ULONG Align8(ULONG size)
{
    return (size + 7) & ~7u;
}

// Copies a fixed-size result, with the platform's size-query rules.
NTSTATUS ReturnBytes(PIRP irp, const void* bytes, ULONG size, PVOID data, ULONG outLength)
{
    irp->IoStatus.Information = size;
    if (outLength == 0 && size != 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outLength < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, bytes, size);
    return STATUS_SUCCESS;
}

template <typename T>
NTSTATUS ReturnValue(PIRP irp, const T& value, PVOID data, ULONG outLength)
{
    return ReturnBytes(irp, &value, sizeof value, data, outLength);
}

bool GuidsMatch(const GUID& a, const GUID& b)
{
    return IsEqualGUID(a, b) || IsEqualGUID(a, KSDATAFORMAT_TYPE_WILDCARD) ||
           IsEqualGUID(b, KSDATAFORMAT_TYPE_WILDCARD);
}

bool RangesMatch(const KSDATARANGE& a, const KSDATARANGE& b)
{
    return GuidsMatch(a.MajorFormat, b.MajorFormat) && GuidsMatch(a.SubFormat, b.SubFormat) &&
           GuidsMatch(a.Specifier, b.Specifier);
}

NTSTATUS DataRanges(PIRP irp, const KSPIN_DESCRIPTOR_EX* pin, PVOID data, ULONG outLength)
{
    const KSPIN_DESCRIPTOR& descriptor = pin->PinDescriptor;
    ULONG size = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) {
        size = Align8(size) + descriptor.DataRanges[i]->FormatSize;
    }
    irp->IoStatus.Information = size;
    if (outLength == 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outLength < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<std::uint8_t*>(data);
    KSMULTIPLE_ITEM header{size, descriptor.DataRangesCount};
    std::memcpy(out, &header, sizeof header);
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) {
        offset = Align8(offset);
        std::memcpy(out + offset, descriptor.DataRanges[i], descriptor.DataRanges[i]->FormatSize);
        offset += descriptor.DataRanges[i]->FormatSize;
    }
    return STATUS_SUCCESS;
}

// KSPROPERTY_PIN_DATAINTERSECTION: the first client range that the pin can serve decides.
// Every size in the request is the client's: each is checked against the bytes it sent, in
// 64 bits, before a range is read or handed to the minidriver.
NTSTATUS DataIntersection(PIRP irp, Filter* filter, const KSPIN_DESCRIPTOR_EX* pin,
                          PVOID request, ULONG inLength, PVOID data, ULONG outLength)
{
    auto* bytes = static_cast<std::uint8_t*>(request);
    if (inLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSMULTIPLE_ITEM list;
    std::memcpy(&list, bytes + sizeof(KSP_PIN), sizeof list);
    if (list.Size < sizeof(KSMULTIPLE_ITEM) || list.Size > inLength - sizeof(KSP_PIN)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    // Each range is at least a KSDATARANGE: a count the list cannot hold is malformed.
    std::uint64_t listRoom = list.Size - sizeof(KSMULTIPLE_ITEM);
    if (std::uint64_t{list.Count} * sizeof(KSDATARANGE) > listRoom) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::uint64_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < list.Count; ++i) {
        offset = (offset + 7) & ~std::uint64_t{7};
        if (offset > list.Size || list.Size - offset < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        auto* clientRange = reinterpret_cast<PKSDATARANGE>(bytes + sizeof(KSP_PIN) + offset);
        if (clientRange->FormatSize < sizeof(KSDATARANGE) ||
            clientRange->FormatSize > list.Size - offset) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        const KSPIN_DESCRIPTOR& descriptor = pin->PinDescriptor;
        for (ULONG r = 0; r < descriptor.DataRangesCount; ++r) {
            PKSDATARANGE ours = descriptor.DataRanges[r];
            if (!RangesMatch(*clientRange, *ours)) {
                continue;
            }
            NTSTATUS status;
            ULONG size = 0;
            if (pin->IntersectHandler != nullptr) {
                status = InvokeCallback("pin intersect handler", [&] {
                    return pin->IntersectHandler(&filter->ks, irp, static_cast<PKSP_PIN>(request),
                                                 clientRange, ours, outLength, data, &size);
                });
            } else {
                size = ours->FormatSize;
                status = ReturnBytes(irp, ours, size, data, outLength);
            }
            if (status != STATUS_NO_MATCH) {
                irp->IoStatus.Information = size;
                return status;
            }
        }
        offset += clientRange->FormatSize;
    }
    return STATUS_NO_MATCH;
}

bool FilterPinProperty(PIRP irp, Filter* filter, const KSPROPERTY& property, NTSTATUS& status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID request = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID data = irp->UserBuffer;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const KSFILTER_DESCRIPTOR* descriptor = filter->ks.Descriptor;
    if ((property.Flags & KSPROPERTY_TYPE_GET) == 0) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        return true;
    }
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
        status = ReturnValue(irp, descriptor->PinDescriptorsCount, data, outLength);
        return true;
    }
    if (inLength < sizeof(KSP_PIN)) {
        status = STATUS_INVALID_BUFFER_SIZE;
        return true;
    }
    KSP_PIN pinRequest;
    std::memcpy(&pinRequest, request, sizeof pinRequest);
    if (pinRequest.PinId >= descriptor->PinDescriptorsCount) {
        status = STATUS_INVALID_PARAMETER;
        return true;
    }
    const KSPIN_DESCRIPTOR_EX* pin = PinDescriptorAt(descriptor, pinRequest.PinId);
    switch (property.Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
        KSPIN_CINSTANCES instances{pin->InstancesPossible, filter->pinCounts[pinRequest.PinId]};
        status = ReturnValue(irp, instances, data, outLength);
        return true;
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
        status = ReturnValue(irp, pin->InstancesNecessary, data, outLength);
        return true;
    case KSPROPERTY_PIN_DATAFLOW:
        status = ReturnValue(irp, pin->PinDescriptor.DataFlow, data, outLength);
        return true;
    case KSPROPERTY_PIN_COMMUNICATION:
        status = ReturnValue(irp, pin->PinDescriptor.Communication, data, outLength);
        return true;
    case KSPROPERTY_PIN_CATEGORY:
        if (pin->PinDescriptor.Category == nullptr) {
            status = STATUS_NOT_FOUND;
        } else {
            status = ReturnValue(irp, *pin->PinDescriptor.Category, data, outLength);
        }
        return true;
    case KSPROPERTY_PIN_DATARANGES: status = DataRanges(irp, pin, data, outLength); return true;
    case KSPROPERTY_PIN_DATAINTERSECTION:
        status = DataIntersection(irp, filter, pin, request, inLength, data, outLength);
        return true;
    default: status = STATUS_NOT_FOUND; return true;
    }
}

NTSTATUS ChangeFormat(Pin* pin, const std::uint8_t* format, ULONG length)
{
    KSDATAFORMAT header;
    if (length < sizeof header) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(&header, format, sizeof header);
    if (header.FormatSize < sizeof header || header.FormatSize > length) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = pin->ks.Descriptor;
    const KSDATARANGE* range = nullptr;
    for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount && range == nullptr; ++i) {
        if (RangesMatch(*descriptor->PinDescriptor.DataRanges[i], header)) {
            range = descriptor->PinDescriptor.DataRanges[i];
        }
    }
    if (range == nullptr) {
        return STATUS_NO_MATCH;
    }
    std::vector<std::uint8_t> old = pin->connectionFormat;
    std::vector<std::uint8_t> proposed(format, format + header.FormatSize);
    pin->connectionFormat = proposed;
    pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->connectionFormat.data());
    NTSTATUS status = STATUS_SUCCESS;
    if (descriptor->Dispatch != nullptr && descriptor->Dispatch->SetDataFormat != nullptr) {
        status = InvokeCallback("pin SetDataFormat", [&] {
            return descriptor->Dispatch->SetDataFormat(
                &pin->ks, reinterpret_cast<PKSDATAFORMAT>(old.data()), nullptr, range, nullptr);
        });
    }
    if (!NT_SUCCESS(status)) {
        pin->connectionFormat = old;
        pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->connectionFormat.data());
    }
    return status;
}

NTSTATUS SetMasterClock(Pin* pin, PVOID data, ULONG outLength)
{
    if (outLength < sizeof(HANDLE)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    HANDLE handle;
    std::memcpy(&handle, data, sizeof handle);
    ReferenceClock* clock = nullptr;
    if (handle != nullptr) {
        clock = ReferenceClockByHandle(handle);
        if (clock == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
    }
    std::lock_guard<std::mutex> guard(pin->clockLock);
    if (pin->clock != nullptr) {
        pin->clock->Release();
    }
    pin->clock = clock;
    return STATUS_SUCCESS;
}

bool PinProperty(PIRP irp, Pin* pin, const KSPROPERTY& property, NTSTATUS& status)
{
    PVOID data = irp->UserBuffer;
    ULONG outLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    bool isSet = (property.Flags & KSPROPERTY_TYPE_SET) != 0;
    if (IsEqualGUID(property.Set, KSPROPSETID_Stream)) {
        if (property.Id != KSPROPERTY_STREAM_MASTERCLOCK) {
            return false;
        }
        status = isSet ? SetMasterClock(pin, data, outLength) : STATUS_INVALID_DEVICE_REQUEST;
        return true;
    }
    switch (property.Id) {
    case KSPROPERTY_CONNECTION_STATE:
        if (!isSet) {
            KSSTATE state = __atomic_load_n(&pin->ks.DeviceState, __ATOMIC_ACQUIRE);
            status = ReturnValue(irp, state, data, outLength);
        } else if (outLength < sizeof(KSSTATE)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            ULONG target;  // read as a number: the client may send any value
            std::memcpy(&target, data, sizeof target);
            status = target > KSSTATE_RUN ? STATUS_INVALID_PARAMETER
                                          : ChangePinState(pin, static_cast<KSSTATE>(target));
        }
        return true;
    case KSPROPERTY_CONNECTION_DATAFORMAT:
        status = isSet ? ChangeFormat(pin, static_cast<std::uint8_t*>(data), outLength)
                       : ReturnBytes(irp, pin->connectionFormat.data(),
                                     static_cast<ULONG>(pin->connectionFormat.size()), data,
                                     outLength);
        return true;
    case KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX: {
        const KSALLOCATOR_FRAMING_EX* framing = pin->ks.Descriptor->AllocatorFraming;
        if (framing == nullptr || isSet) {
            status = STATUS_NOT_FOUND;
        } else {
            ULONG size = sizeof(KSALLOCATOR_FRAMING_EX) +
                         (framing->CountItems > 1 ? framing->CountItems - 1 : 0) *
                             sizeof(KS_FRAMING_ITEM);
            status = ReturnBytes(irp, framing, size, data, outLength);
        }
        return true;
    }
    default: return false;
    }
}

}  // namespace

bool HandleFrameworkProperty(PIRP irp, FileContext* context, const KSPROPERTY& property,
                             NTSTATUS& status)
{
    if (context->pin == nullptr) {
        if (IsEqualGUID(property.Set, KSPROPSETID_Pin)) {
            return FilterPinProperty(irp, context->filter, property, status);
        }
        return false;
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) ||
        IsEqualGUID(property.Set, KSPROPSETID_Stream)) {
        return PinProperty(irp, context->pin, property, status);
    }
    return false;
}

}  // namespace ks
