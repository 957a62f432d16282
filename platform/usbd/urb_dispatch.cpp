// Internal device-control requests at the port: URB submission, port status and port reset.
// Requests that need no bus time (descriptors, configuration, pipe requests) complete at once;
// bulk and interrupt transfers are queued for the host controller.
#include "port.h"

#include <algorithm>
#include <cstring>

namespace usbd {

NTSTATUS Port::DispatchInternalControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return GetPortStatus(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(irp);
    default:
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS Port::SubmitUrb(PIRP irp, PURB urb)
{
    if (urb == nullptr) {
        return CompleteUrbRequest(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);
    }
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    NTSTATUS refusalStatus = STATUS_SUCCESS;
    bool refused = false;
    {
        SpinLockGuard guard(lock_);
        if (refusing_) {
            refused = true;
            refusal = refuseUrbStatus_;
            refusalStatus = refuseStatus_;
            if (refuseCount_ != 0 && --refuseCount_ == 0) {
                refusing_ = false;
            }
        } else if (!connected_) {
            refusal = USBD_STATUS_DEVICE_GONE;
        } else if (!enabled_) {
            refusal = USBD_STATUS_DEV_NOT_RESPONDING;
        }
    }
    if (refused) {
        // A refused submission: the statuses the fault asked for, whatever they map to.
        urb->UrbHeader.Status = refusal;
        irp->IoStatus.Status = refusalStatus;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refusalStatus;
    }
    if (refusal != USBD_STATUS_SUCCESS) {
        return CompleteUrbRequest(irp, urb, refusal);
    }

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(irp, urb);
    case URB_FUNCTION_ABORT_PIPE: return AbortPipe(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return ResetPipe(irp, urb, true, true);
    case URB_FUNCTION_SYNC_RESET_PIPE: return ResetPipe(irp, urb, true, false);
    case URB_FUNCTION_SYNC_CLEAR_STALL: return ResetPipe(irp, urb, false, true);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return SubmitTransfer(irp, urb);
    default: return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS Port::GetDescriptor(PIRP irp, PURB urb)
{
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length != sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    PVOID buffer = request.TransferBufferMDL != nullptr
                       ? MmGetSystemAddressForMdlSafe(request.TransferBufferMDL, NormalPagePriority)
                       : request.TransferBuffer;
    if (buffer == nullptr && request.TransferBufferLength != 0) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    std::vector<std::uint8_t> descriptor;
    switch (request.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE: descriptor = function_.DeviceDescriptor(); break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        descriptor = function_.ConfigurationDescriptor(request.Index);
        break;
    default: break;
    }
    if (descriptor.empty()) {
        // The device answers a request for a descriptor it does not have with STALL.
        request.TransferBufferLength = 0;
        return CompleteUrbRequest(irp, urb, USBD_STATUS_STALL_PID);
    }
    // A short buffer gets the descriptor's first bytes.
    std::size_t count = std::min<std::size_t>(descriptor.size(), request.TransferBufferLength);
    if (count != 0) {
        std::memcpy(buffer, descriptor.data(), count);
    }
    request.TransferBufferLength = static_cast<ULONG>(count);
    return CompleteUrbRequest(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::GetPortStatus(PIRP irp)
{
    auto* portStatus =
        static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (portStatus != nullptr) {
        SpinLockGuard guard(lock_);
        *portStatus = (connected_ ? USBD_PORT_CONNECTED : 0) | (enabled_ ? USBD_PORT_ENABLED : 0);
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Port::ResetPort(PIRP irp)
{
    // The hub resets the port, then selects the configuration the device had again: pipe,
    // interface and configuration handles stay valid; halts are cleared and whatever the
    // function had queued on its IN endpoints is lost with the reset.
    std::vector<FinishedTransfer> finished;
    UCHAR configuration = 0;
    NTSTATUS status = STATUS_SUCCESS;
    {
        SpinLockGuard guard(lock_);
        if (!connected_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            TakeQueued(nullptr, USBD_STATUS_CANCELED, finished);
            inStreams_.clear();
            configuration = configurationValue_;
        }
    }
    if (NT_SUCCESS(status)) {
        Finish(finished);
        WaitForPipesIdle(nullptr);
        function_.PortReset();
        bool configured = configuration == 0 || function_.SetConfiguration(configuration);
        SpinLockGuard guard(lock_);
        enabled_ = connected_;
        for (auto& pipe : pipes_) {
            pipe->halted = false;
        }
        if (!configured) {
            RetirePipes(finished);
            status = STATUS_UNSUCCESSFUL;
        }
    }
    Finish(finished);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace usbd
