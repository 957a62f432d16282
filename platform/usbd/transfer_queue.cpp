// Bulk and interrupt transfers: checked and queued on their pipe when submitted, cancelled
// through their cancel routine while queued, and completed at DISPATCH_LEVEL once they end.
#include "port.h"

namespace usbd {

namespace {

void NTAPI CancelQueuedTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortOf(device)->CancelQueued(irp);
}

}  // namespace

NTSTATUS Port::SubmitTransfer(PIRP irp, PURB urb)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length != sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    // The data: an MDL is mapped into system space, else the buffer is taken as it is.
    PUCHAR buffer = nullptr;
    if (transfer.TransferBufferMDL != nullptr) {
        if (MmGetMdlByteCount(transfer.TransferBufferMDL) < transfer.TransferBufferLength) {
            return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        buffer = static_cast<PUCHAR>(
            MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
    } else {
        buffer = static_cast<PUCHAR>(transfer.TransferBuffer);
    }
    if (buffer == nullptr && transfer.TransferBufferLength != 0) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }

    USBD_STATUS failure = USBD_STATUS_SUCCESS;
    std::vector<FinishedTransfer> cancelled;
    {
        SpinLockGuard guard(lock_);
        Pipe* pipe = FindPipe(transfer.PipeHandle);
        if (!connected_) {
            // Unplugged since the submission was looked at: nothing would ever take it.
            failure = USBD_STATUS_DEVICE_GONE;
        } else if (pipe == nullptr) {
            failure = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
            failure = USBD_STATUS_INVALID_PARAMETER;
        } else if (((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != pipe->In()) {
            failure = USBD_STATUS_INVALID_PARAMETER;
        } else if (transfer.TransferBufferLength > pipe->maximumTransferSize) {
            failure = USBD_STATUS_INVALID_PARAMETER;
        } else if (pipe->halted) {
            failure = USBD_STATUS_ENDPOINT_HALTED;
        } else {
            urb->UrbHeader.Status = USBD_STATUS_PENDING;
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelQueuedTransfer);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                // Cancelled before it was queued: it ends at once, still as a pending request.
                cancelled.push_back(
                    FinishedTransfer{irp, urb, pipe->endpointAddress, 0, USBD_STATUS_CANCELED, {}});
            } else {
                pipe->queue.push_back(QueuedTransfer{irp, urb, buffer});
            }
        }
    }
    if (failure != USBD_STATUS_SUCCESS) {
        return CompleteUrbRequest(irp, urb, failure);
    }
    if (!cancelled.empty()) {
        Finish(cancelled);
        return STATUS_PENDING;
    }
    KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

void Port::CancelQueued(PIRP irp)
{
    std::vector<FinishedTransfer> finished;
    {
        SpinLockGuard guard(lock_);
        auto search = [&](std::vector<std::unique_ptr<Pipe>>& pipes) {
            for (auto& pipe : pipes) {
                for (auto it = pipe->queue.begin(); it != pipe->queue.end(); ++it) {
                    if (it->irp == irp) {
                        finished.push_back(FinishedTransfer{
                            irp, it->urb, pipe->endpointAddress, 0, USBD_STATUS_CANCELED, {}});
                        pipe->queue.erase(it);
                        return true;
                    }
                }
            }
            return false;
        };
        if (!search(pipes_)) {
            search(retired_);
        }
    }
    Finish(finished);
    // The transfers queued behind it may go on now.
    KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
}

void Port::Finish(std::vector<FinishedTransfer>& finished)
{
    if (finished.empty()) {
        return;
    }
    for (FinishedTransfer& done : finished) {
        _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = done.urb->UrbBulkOrInterruptTransfer;
        PacketRecord record;
        record.endpointAddress = done.endpointAddress;
        record.in = (done.endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
        record.requested = transfer.TransferBufferLength;
        record.moved = done.moved;
        record.status = done.status;
        record.irpStatus = NtStatusFromUsbd(done.status);
        record.data = std::move(done.data);
        {
            std::lock_guard<std::mutex> guard(logLock_);
            log_.push_back(std::move(record));
        }
        transfer.TransferBufferLength = done.moved;
    }
    // The host controller completes transfers from its DPC.
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
    }
    for (FinishedTransfer& done : finished) {
        CompleteUrbRequest(done.irp, done.urb, done.status);
    }
    if (irql < DISPATCH_LEVEL) {
        KeLowerIrql(irql);
    }
    finished.clear();
}

}  // namespace usbd
