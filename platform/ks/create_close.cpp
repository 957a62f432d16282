// Opening and closing filters and pins: IRP_MJ_CREATE and IRP_MJ_CLOSE on the device.
#include "callback_guard.h"
#include "framework_objects.h"

#include <algorithm>
#include <cstring>

namespace ks {

namespace {

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool GuidMatches(const GUID& range, const GUID& format)
{
    return IsEqualGUID(range, format) || IsEqualGUID(range, KSDATAFORMAT_TYPE_WILDCARD);
}

const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* pin, const KSDATAFORMAT* format)
{
    const KSPIN_DESCRIPTOR& descriptor = pin->PinDescriptor;
    for (ULONG i = 0; i < descriptor.DataRangesCount; ++i) {
        const KSDATARANGE* range = descriptor.DataRanges[i];
        if (GuidMatches(range->MajorFormat, format->MajorFormat) &&
            GuidMatches(range->SubFormat, format->SubFormat) &&
            GuidMatches(range->Specifier, format->Specifier)) {
            return range;
        }
    }
    return nullptr;
}

void ForgetFilter(Filter* filter)
{
    Device* device = filter->device;
    std::lock_guard<std::mutex> guard(device->filtersLock);
    auto& filters = device->filters;
    filters.erase(std::remove(filters.begin(), filters.end(), filter), filters.end());
}

void DestroyFilter(Filter* filter)
{
    filter->bag.FreeAll();
    UnregisterObject(&filter->ks);
    ForgetFilter(filter);
    if (filter->file != nullptr) {
        delete static_cast<FileContext*>(filter->file->FsContext);
        filter->file->FsContext = nullptr;
    }
    delete filter;
}

NTSTATUS CreateFilter(Device* device, PIRP irp, PFILE_OBJECT file)
{
    rtl::WideString name(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
    if (!name.empty() && name.front() == L'\\') {
        name.erase(0, 1);
    }
    FilterFactory* factory = FactoryForReference(device, name);
    if (factory == nullptr) {
        return CompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    auto* filter = new Filter;
    filter->device = device;
    filter->factory = factory;
    filter->file = file;
    filter->ks.Descriptor = factory->descriptor;
    filter->ks.Bag = filter->bag.Handle();
    filter->pinCounts.assign(factory->descriptor->PinDescriptorsCount, 0);
    RegisterObject(&filter->ks, filter);
    file->FsContext = new FileContext{filter, nullptr};
    {
        std::lock_guard<std::mutex> guard(device->filtersLock);
        device->filters.push_back(filter);
    }
    const KSFILTER_DISPATCH* dispatch = factory->descriptor->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->Create != nullptr) {
        status = InvokeCallback("filter Create", [&] { return dispatch->Create(&filter->ks, irp); });
    }
    if (!NT_SUCCESS(status)) {
        DestroyFilter(filter);
    }
    return CompleteIrp(irp, status);
}

void DestroyPin(Pin* pin)
{
    StopProcessingThread(pin);
    pin->bag.FreeAll();
    {
        std::lock_guard<std::mutex> guard(pin->clockLock);
        if (pin->clock != nullptr) {
            pin->clock->Release();
            pin->clock = nullptr;
        }
    }
    UnregisterObject(&pin->ks);
    if (pin->file != nullptr) {
        delete static_cast<FileContext*>(pin->file->FsContext);
        pin->file->FsContext = nullptr;
    }
    delete pin;
}

NTSTATUS CreatePin(Filter* filter, PIRP irp, PFILE_OBJECT file)
{
    // The name is the pin create name followed by the KSPIN_CONNECT and the format.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file->FileName.Buffer);
    std::size_t length = file->FileName.Length;
    std::size_t prefix = (sizeof(kPinCreateName) / sizeof(WCHAR) - 1) * sizeof(WCHAR);
    if (length < prefix + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) ||
        std::memcmp(bytes, kPinCreateName, prefix) != 0) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    KSPIN_CONNECT connect;
    std::memcpy(&connect, bytes + prefix, sizeof connect);
    const std::uint8_t* formatBytes = bytes + prefix + sizeof(KSPIN_CONNECT);
    std::size_t formatRoom = length - prefix - sizeof(KSPIN_CONNECT);
    KSDATAFORMAT header;
    std::memcpy(&header, formatBytes, sizeof header);
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > formatRoom) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }

    std::lock_guard<std::recursive_mutex> control(filter->controlLock);
    const KSFILTER_DESCRIPTOR* filterDescriptor = filter->ks.Descriptor;
    if (connect.PinId >= filterDescriptor->PinDescriptorsCount) {
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorAt(filterDescriptor, connect.PinId);
    if (filter->pinCounts[connect.PinId] >= descriptor->InstancesPossible) {
        return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
    }
    const KSDATARANGE* range = MatchingRange(descriptor, &header);
    if (range == nullptr) {
        return CompleteIrp(irp, STATUS_NO_MATCH);
    }

    auto* pin = new Pin;
    pin->filter = filter;
    pin->file = file;
    pin->connectionFormat.assign(formatBytes, formatBytes + header.FormatSize);
    KSPIN& ks = pin->ks;
    ks.Descriptor = descriptor;
    ks.Bag = pin->bag.Handle();
    ks.Id = connect.PinId;
    ks.Communication = descriptor->PinDescriptor.Communication;
    ks.ConnectionIsExternal = TRUE;
    ks.ConnectionInterface = connect.Interface;
    ks.ConnectionMedium = connect.Medium;
    ks.ConnectionPriority = connect.Priority;
    ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->connectionFormat.data());
    ks.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    ks.DataFlow = descriptor->PinDescriptor.DataFlow;
    ks.DeviceState = KSSTATE_STOP;
    ks.ResetState = KSRESET_END;
    ks.ClientState = KSSTATE_STOP;
    RegisterObject(&pin->ks, pin);
    file->FsContext = new FileContext{filter, pin};
    StartProcessingThread(pin);

    const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
    NTSTATUS status = STATUS_SUCCESS;
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
        status = InvokeCallback("pin SetDataFormat", [&] {
            return dispatch->SetDataFormat(&pin->ks, nullptr, nullptr, range, nullptr);
        });
    }
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
        status = InvokeCallback("pin Create", [&] { return dispatch->Create(&pin->ks, irp); });
    }
    if (!NT_SUCCESS(status)) {
        DestroyPin(pin);
        return CompleteIrp(irp, status);
    }
    ++filter->pinCounts[connect.PinId];
    filter->pins.push_back(pin);
    return CompleteIrp(irp, STATUS_SUCCESS);
}

}  // namespace

const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* descriptor, ULONG pinId)
{
    ULONG stride = descriptor->PinDescriptorSize != 0 ? descriptor->PinDescriptorSize
                                                       : sizeof(KSPIN_DESCRIPTOR_EX);
    // One read of the pointer, as the framework makes it: a minidriver may publish a new
    // table of pin descriptors at any time by exchanging it (the table it replaces stays valid).
    const KSPIN_DESCRIPTOR_EX* pins = __atomic_load_n(&descriptor->PinDescriptors, __ATOMIC_ACQUIRE);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        reinterpret_cast<const std::uint8_t*>(pins) + stride * pinId);
}

void ClosePin(Pin* pin, PIRP irp)
{
    Filter* filter = pin->filter;
    std::lock_guard<std::recursive_mutex> control(filter->controlLock);
    ChangePinState(pin, KSSTATE_STOP);
    ReturnQueuedFrames(pin, STATUS_CANCELLED);
    StopProcessingThread(pin);
    const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        InvokeCallback("pin Close", [&] { return dispatch->Close(&pin->ks, irp); });
    }
    --filter->pinCounts[pin->ks.Id];
    filter->pins.erase(std::remove(filter->pins.begin(), filter->pins.end(), pin),
                       filter->pins.end());
    DestroyPin(pin);
}

void CloseFilter(Filter* filter, PIRP irp)
{
    {
        std::lock_guard<std::recursive_mutex> control(filter->controlLock);
        while (!filter->pins.empty()) {
            ClosePin(filter->pins.back(), irp);
        }
    }
    const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        InvokeCallback("filter Close", [&] { return dispatch->Close(&filter->ks, irp); });
    }
    DestroyFilter(filter);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Device* device = DeviceOfFunctionalDevice(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (device == nullptr || device->removed || file == nullptr) {
        return CompleteIrp(Irp, device == nullptr || device->removed ? STATUS_DEVICE_REMOVED
                                                                      : STATUS_INVALID_PARAMETER);
    }
    if (file->RelatedFileObject == nullptr) {
        return CreateFilter(device, Irp, file);
    }
    auto* parent = static_cast<FileContext*>(file->RelatedFileObject->FsContext);
    if (parent == nullptr || parent->pin != nullptr || parent->filter == nullptr) {
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    }
    return CreatePin(parent->filter, Irp, file);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    auto* context = file == nullptr ? nullptr : static_cast<FileContext*>(file->FsContext);
    if (context != nullptr) {
        if (context->pin != nullptr) {
            ClosePin(context->pin, Irp);
        } else {
            CloseFilter(context->filter, Irp);
        }
    }
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

}  // namespace ks
