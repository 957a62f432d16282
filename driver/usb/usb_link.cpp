// The USB link: URBs sent down the device stack as internal device-control requests.
#include "usb/usb_link.h"

#include "device/pool_tags.h"

#include <usbdlib.h>
#include <usbioctl.h>

namespace {

constexpr USHORT GetDescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT SelectConfigurationUrbSize = sizeof(struct _URB_SELECT_CONFIGURATION);
constexpr USHORT PipeRequestUrbSize = sizeof(struct _URB_PIPE_REQUEST);
constexpr USHORT BulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

// The highest interface number a configuration can hold: bounds the interface search.
constexpr LONG HighestInterfaceNumber = 255;

PURB AllocateUrb(SIZE_T size)
{
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UsbPoolTag));
    if (urb != nullptr) {
        RtlZeroMemory(urb, size);
    }
    return urb;
}

void FreeUrb(PURB urb)
{
    ExFreePoolWithTag(urb, UsbPoolTag);
}

// Sends an internal device-control request built by the I/O manager and waits for it without a
// time-out. `argument1` goes into the next stack location's first argument.
NTSTATUS SendInternalRequest(UsbLink* link, ULONG ioControlCode, PVOID argument1)
{
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, link->LowerDevice, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IoCallDriver(link->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a URB in a request the driver owns, so that it can be cancelled after `timeoutMs`:
// a camera that stops answering cannot hold the caller for longer than that.
NTSTATUS SubmitUrbBounded(UsbLink* link, PURB urb, ULONG timeoutMs)
{
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(link->LowerDevice->StackSize + 1), FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(link->LowerDevice, irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    bool timedOut = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) ==
                    STATUS_TIMEOUT;
    if (timedOut) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = timedOut ? STATUS_IO_TIMEOUT : irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Reads a descriptor into `buffer`. Succeeds only when the device sent all `length` bytes: a
// shorter answer would leave the rest of the buffer as whatever the pool held.
NTSTATUS GetDescriptor(UsbLink* link, UCHAR descriptorType, PVOID buffer, ULONG length)
{
    PURB urb = AllocateUrb(GetDescriptorUrbSize);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildGetDescriptorRequest(urb, GetDescriptorUrbSize, descriptorType, 0, 0, buffer, nullptr,
                                 length, nullptr);
    NTSTATUS status = SubmitUrb(link, urb);
    if (NT_SUCCESS(status) && urb->UrbControlDescriptorRequest.TransferBufferLength != length) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    FreeUrb(urb);
    return status;
}

NTSTATUS SendPipeRequest(UsbLink* link, USHORT function, USBD_PIPE_HANDLE pipe)
{
    PURB urb = AllocateUrb(PipeRequestUrbSize);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Length = PipeRequestUrbSize;
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = SubmitUrb(link, urb);
    FreeUrb(urb);
    return status;
}

}  // namespace

NTSTATUS SubmitUrb(UsbLink* link, PURB urb)
{
    return SendInternalRequest(link, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

NTSTATUS GetPortStatus(UsbLink* link, PULONG portStatus)
{
    *portStatus = 0;
    return SendInternalRequest(link, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS ResetPort(UsbLink* link)
{
    return SendInternalRequest(link, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

NTSTATUS PipeTransfer(UsbLink* link, ULONG pipeIndex, ULONG length, PVOID buffer,
                      PULONG transferred, ULONG timeoutMs, USBD_STATUS* urbStatus)
{
    *transferred = 0;
    if (urbStatus != nullptr) {
        *urbStatus = USBD_STATUS_SUCCESS;
    }
    const USBD_PIPE_INFORMATION* checked = nullptr;
    NTSTATUS valid = ValidateTransferPipe(link, pipeIndex, &checked);
    if (!NT_SUCCESS(valid)) {
        return valid;
    }
    const USBD_PIPE_INFORMATION& pipe = *checked;
    if (length > pipe.MaximumTransferSize) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = AllocateUrb(BulkUrbSize);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildPipeTransfer(urb, pipe, buffer, nullptr, length);
    NTSTATUS status = timeoutMs == 0 ? SubmitUrb(link, urb)
                                     : SubmitUrbBounded(link, urb, timeoutMs);
    if (urbStatus != nullptr) {
        *urbStatus = urb->UrbHeader.Status;
    }
    if (NT_SUCCESS(status)) {
        if (USBD_ERROR(urb->UrbHeader.Status)) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
    }
    FreeUrb(urb);
    return status;
}

NTSTATUS ValidateTransferPipe(UsbLink* link, ULONG pipeIndex, const USBD_PIPE_INFORMATION** pipe)
{
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (info == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) {
        return STATUS_INVALID_PARAMETER;
    }
    const USBD_PIPE_INFORMATION& candidate = info->Pipes[pipeIndex];
    if (candidate.PipeType != UsbdPipeTypeBulk && candidate.PipeType != UsbdPipeTypeInterrupt) {
        return STATUS_INVALID_PARAMETER;
    }
    if (candidate.PipeHandle == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *pipe = &candidate;
    return STATUS_SUCCESS;
}

void BuildPipeTransfer(PURB urb, const USBD_PIPE_INFORMATION& pipe, PVOID buffer, PMDL mdl,
                       ULONG length)
{
    RtlZeroMemory(urb, BulkUrbSize);
    ULONG flags = USBD_SHORT_TRANSFER_OK;
    if (pipe.EndpointAddress & 0x80) {
        flags |= USBD_TRANSFER_DIRECTION_IN;
    }
    UsbBuildInterruptOrBulkTransferRequest(urb, BulkUrbSize, pipe.PipeHandle, buffer, mdl, length,
                                           flags, nullptr);
}

NTSTATUS ConfigureDevice(UsbLink* link)
{
    // A start without a stop before it (a start that failed, or a restart) finds the last
    // configuration still stored: it is replaced, not forgotten.
    ReleaseConfiguration(link);

    auto* deviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), UsbPoolTag));
    if (deviceDescriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = GetDescriptor(link, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor,
                                    sizeof(USB_DEVICE_DESCRIPTOR));
    ExFreePoolWithTag(deviceDescriptor, UsbPoolTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* head = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_CONFIGURATION_DESCRIPTOR), UsbPoolTag));
    if (head == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, head,
                           sizeof(USB_CONFIGURATION_DESCRIPTOR));
    ULONG totalLength = head->wTotalLength;
    ExFreePoolWithTag(head, UsbPoolTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_UNSUCCESSFUL;  // a descriptor that cannot even hold its own header
    }
    auto* whole = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, totalLength, UsbPoolTag));
    if (whole == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(link, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole, totalLength);
    // Everything after this walks the descriptor by its own wTotalLength: a device that answers
    // the second read with another length than the first is not believed.
    if (NT_SUCCESS(status) && whole->wTotalLength != totalLength) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(whole, UsbPoolTag);
        return status;
    }
    link->ConfigurationDescriptor = whole;
    return SelectConfiguration(link);
}

namespace {

// The camera's interface opens with its three bulk pipes in order: commands OUT, replies IN,
// frames IN. A device that offers anything else would leave every command unanswered.
bool HasCameraPipes(const USBD_INTERFACE_INFORMATION* info)
{
    if (info->NumberOfPipes <= FramePipe) {
        return false;
    }
    const bool wantIn[] = {false, true, true};
    for (ULONG i = CommandPipe; i <= FramePipe; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        if (pipe.PipeType != UsbdPipeTypeBulk || ((pipe.EndpointAddress & 0x80) != 0) != wantIn[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

NTSTATUS SelectConfiguration(UsbLink* link)
{
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = link->ConfigurationDescriptor;
    ULONG interfaces = descriptor->bNumInterfaces;
    SIZE_T listSize = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPool, listSize, UsbPoolTag));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listSize);
    ULONG found = 0;
    for (LONG number = 0; found < interfaces && number <= HighestInterfaceNumber; ++number) {
        PUSB_INTERFACE_DESCRIPTOR interface =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (interface != nullptr) {
            list[found++].InterfaceDescriptor = interface;
        }
    }

    NTSTATUS status;
    PURB request = found == 0 ? nullptr : USBD_CreateConfigurationRequestEx(descriptor, list);
    if (request == nullptr) {
        status = found == 0 ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PUSBD_INTERFACE_INFORMATION first = &request->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
            first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
        }
        status = SubmitUrb(link, request);
        if (NT_SUCCESS(status) && !HasCameraPipes(first)) {
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        if (NT_SUCCESS(status)) {
            auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, first->Length, UsbPoolTag));
            UCHAR* marks = nullptr;
            if (copy != nullptr && first->NumberOfPipes != 0) {
                marks = static_cast<UCHAR*>(
                    ExAllocatePoolWithTag(NonPagedPool, first->NumberOfPipes, UsbPoolTag));
            }
            if (copy == nullptr || (first->NumberOfPipes != 0 && marks == nullptr)) {
                if (copy != nullptr) {
                    ExFreePoolWithTag(copy, UsbPoolTag);
                }
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(copy, first, first->Length);
                if (marks != nullptr) {
                    RtlZeroMemory(marks, first->NumberOfPipes);
                }
                link->InterfaceInfo = copy;
                link->PipeInUse = marks;
            }
        }
        ExFreePool(request);
    }
    ExFreePoolWithTag(list, UsbPoolTag);
    return status;
}

NTSTATUS UnconfigureDevice(UsbLink* link)
{
    ReleaseConfiguration(link);
    PURB urb = AllocateUrb(SelectConfigurationUrbSize);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbBuildSelectConfigurationRequest(urb, SelectConfigurationUrbSize, nullptr);
    NTSTATUS status = SubmitUrb(link, urb);
    FreeUrb(urb);
    return status;
}

void ReleaseConfiguration(UsbLink* link)
{
    if (link->ConfigurationDescriptor != nullptr) {
        ExFreePoolWithTag(link->ConfigurationDescriptor, UsbPoolTag);
        link->ConfigurationDescriptor = nullptr;
    }
    if (link->InterfaceInfo != nullptr) {
        if (link->PipeInUse != nullptr) {
            ExFreePoolWithTag(link->PipeInUse, UsbPoolTag);
            link->PipeInUse = nullptr;
        }
        ExFreePoolWithTag(link->InterfaceInfo, UsbPoolTag);
        link->InterfaceInfo = nullptr;
    }
}

NTSTATUS AbortPipes(UsbLink* link)
{
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (info == nullptr || link->PipeInUse == nullptr) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        if (!IsPipeInUse(link, i)) {
            continue;
        }
        NTSTATUS status = SendPipeRequest(link, URB_FUNCTION_ABORT_PIPE, info->Pipes[i].PipeHandle);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            return status;
        }
        if (NT_SUCCESS(status)) {
            MarkPipeInUse(link, i, false);
        }
    }
    return STATUS_SUCCESS;
}

// The marks are set and cleared by the capture thread and read by the thread that stops it.
void MarkPipeInUse(UsbLink* link, ULONG pipeIndex, bool inUse)
{
    if (link->PipeInUse != nullptr && link->InterfaceInfo != nullptr &&
        pipeIndex < link->InterfaceInfo->NumberOfPipes) {
        InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&link->PipeInUse[pipeIndex]),
                             inUse ? 1 : 0);
    }
}

bool IsPipeInUse(UsbLink* link, ULONG pipeIndex)
{
    return InterlockedOr8(reinterpret_cast<CHAR volatile*>(&link->PipeInUse[pipeIndex]), 0) != 0;
}

NTSTATUS ResetPipe(UsbLink* link, ULONG pipeIndex)
{
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (info == nullptr || pipeIndex >= info->NumberOfPipes) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SendPipeRequest(link, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                      info->Pipes[pipeIndex].PipeHandle);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS RecoverPipe(UsbLink* link, ULONG pipeIndex)
{
    PUSBD_INTERFACE_INFORMATION info = link->InterfaceInfo;
    if (info == nullptr || pipeIndex >= info->NumberOfPipes) {
        return STATUS_INVALID_PARAMETER;
    }
    // The host stack resets only a pipe with nothing outstanding on it.
    SendPipeRequest(link, URB_FUNCTION_ABORT_PIPE, info->Pipes[pipeIndex].PipeHandle);
    NTSTATUS status = ResetPipe(link, pipeIndex);
    if (!NT_SUCCESS(status)) {
        RecoverPort(link);
    }
    return status;
}

void RecoverPort(UsbLink* link)
{
    ULONG portStatus = 0;
    if (!NT_SUCCESS(GetPortStatus(link, &portStatus))) {
        return;
    }
    if ((portStatus & USBD_PORT_ENABLED) == 0 && (portStatus & USBD_PORT_CONNECTED) != 0 &&
        NT_SUCCESS(ResetPort(link))) {
        InterlockedIncrement(&link->PortResets);
    }
}
