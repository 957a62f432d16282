// Property requests (IOCTL_KS_PROPERTY): the framework's own sets first, then the object's
// automation table. Requests for unknown sets or items, for operations without a handler, and
// with buffers shorter than the item's minimums are refused before any handler runs.
#include "callback_guard.h"
#include "framework_objects.h"

#include <cstring>

namespace ks {

namespace {

const KSPROPERTY_ITEM* FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY& property,
                                bool& setFound)
{
    setFound = false;
    if (table == nullptr) {
        return nullptr;
    }
    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
        const KSPROPERTY_SET& set = table->PropertySets[s];
        if (!IsEqualGUID(*set.Set, property.Set)) {
            continue;
        }
        setFound = true;
        ULONG stride = table->PropertyItemSize != 0 ? table->PropertyItemSize
                                                    : sizeof(KSPROPERTY_ITEM);
        const auto* items = reinterpret_cast<const std::uint8_t*>(set.PropertyItem);
        for (ULONG i = 0; i < set.PropertiesCount; ++i) {
            const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(items + stride * i);
            if (item->PropertyId == property.Id) {
                return item;
            }
        }
        return nullptr;
    }
    return nullptr;
}

NTSTATUS BasicSupport(const KSPROPERTY_ITEM* item, PIRP irp, PVOID request, PVOID data,
                      ULONG outLength)
{
    if (item->SupportHandler != nullptr) {
        return InvokeCallback("property support handler",
                              [&] { return item->SupportHandler(irp, static_cast<PKSIDENTIFIER>(request), data); });
    }
    ULONG access = (item->GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
    if (outLength < sizeof(ULONG)) {
        irp->IoStatus.Information = sizeof(ULONG);
        return outLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, &access, sizeof access);
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchAutomationProperty(PIRP irp, FileContext* context, const KSPROPERTY& property,
                                    PVOID request, ULONG inLength, PVOID data, ULONG outLength)
{
    const KSAUTOMATION_TABLE* table = context->pin != nullptr
                                          ? context->pin->ks.Descriptor->AutomationTable
                                          : context->filter->ks.Descriptor->AutomationTable;
    bool setFound = false;
    const KSPROPERTY_ITEM* item = FindItem(table, property, setFound);
    if (!setFound) {
        return STATUS_PROPSET_NOT_FOUND;
    }
    if (item == nullptr) {
        return STATUS_NOT_FOUND;
    }
    if (property.Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
        return BasicSupport(item, irp, request, data, outLength);
    }
    bool isSet = (property.Flags & KSPROPERTY_TYPE_SET) != 0;
    bool isGet = !isSet && (property.Flags & KSPROPERTY_TYPE_GET) != 0;
    PFNKSHANDLER handler = isSet ? item->SetPropertyHandler
                                 : (isGet ? item->GetPropertyHandler : nullptr);
    if (handler == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (inLength < item->MinProperty) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (outLength < item->MinData) {
        irp->IoStatus.Information = item->MinData;
        return outLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
    }
    irp->IoStatus.Information = isGet ? item->MinData : 0;
    NTSTATUS status = InvokeCallback("property handler", [&] {
        return handler(irp, static_cast<PKSIDENTIFIER>(request), data);
    });
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
        irp->IoStatus.Information = 0;
    }
    return status;
}

}  // namespace

NTSTATUS DispatchProperty(PIRP irp, FileContext* context)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID request = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    PVOID data = irp->UserBuffer;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = 0;
    NTSTATUS status;
    if (request == nullptr || inLength < sizeof(KSPROPERTY)) {
        status = STATUS_INVALID_BUFFER_SIZE;
    } else if (data == nullptr && outLength != 0) {
        status = STATUS_INVALID_USER_BUFFER;
    } else {
        KSPROPERTY property;
        std::memcpy(&property, request, sizeof property);
        std::lock_guard<std::recursive_mutex> control(context->filter->controlLock);
        if (!HandleFrameworkProperty(irp, context, property, status)) {
            status = DispatchAutomationProperty(irp, context, property, request, inLength, data,
                                                outLength);
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* context = stack->FileObject == nullptr
                        ? nullptr
                        : static_cast<FileContext*>(stack->FileObject->FsContext);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (context == nullptr) {
        Device* device = DeviceOfFunctionalDevice(DeviceObject);
        status = device == nullptr || device->removed ? STATUS_DEVICE_REMOVED : STATUS_INVALID_HANDLE;
    } else {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY: return DispatchProperty(Irp, context);
        case IOCTL_KS_READ_STREAM:
            if (context->pin != nullptr) {
                return QueueFrame(context->pin, Irp);
            }
            break;
        default: break;
        }
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace ks
