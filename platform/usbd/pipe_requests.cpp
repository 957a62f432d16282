// Pipe requests: abort (every pending transfer of the pipe completes as cancelled) and the
// resets that clear a halt, on the host's side (SYNC_RESET_PIPE), on the device's side
// (SYNC_CLEAR_STALL, a CLEAR_FEATURE(ENDPOINT_HALT) to the function) or both.
#include "port.h"

namespace usbd {

NTSTATUS Port::AbortPipe(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length != sizeof(_URB_PIPE_REQUEST)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    std::vector<FinishedTransfer> finished;
    Pipe* pipe = nullptr;
    {
        SpinLockGuard guard(lock_);
        pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (pipe != nullptr) {
            TakeQueued(pipe, USBD_STATUS_CANCELED, finished);
        }
    }
    if (pipe == nullptr) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    Finish(finished);
    // The abort is done when the host controller has also handed back what it was moving.
    WaitForPipesIdle(pipe);
    return CompleteUrbRequest(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::ResetPipe(PIRP irp, PURB urb, bool resetHostSide, bool clearDeviceHalt)
{
    if (urb->UrbHeader.Length != sizeof(_URB_PIPE_REQUEST)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    UCHAR endpointAddress = 0;
    bool found = false;
    {
        SpinLockGuard guard(lock_);
        Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (pipe != nullptr) {
            found = true;
            endpointAddress = pipe->endpointAddress;
            if (resetHostSide) {
                pipe->halted = false;
            }
        }
    }
    if (!found) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (clearDeviceHalt) {
        function_.ClearHalt(endpointAddress);
    }
    KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
    return CompleteUrbRequest(irp, urb, USBD_STATUS_SUCCESS);
}

}  // namespace usbd
