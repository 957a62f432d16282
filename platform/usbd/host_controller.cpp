// The host controller: one system thread per port that moves the data of queued transfers,
// pipe by pipe and in order within each pipe. OUT data goes to the function; IN transfers are
// filled from the messages the function sent. Transfers are completed at DISPATCH_LEVEL.
//
// IN transfers follow the function's messages: a transfer takes bytes from the current message
// until its buffer is full or the message ends (the short packet that ends the message ends
// the transfer too); the rest of a message waits for the next transfer. A transfer that ends
// short without USBD_SHORT_TRANSFER_OK fails with USBD_STATUS_ERROR_SHORT_TRANSFER, the bytes
// that arrived still counted in TransferBufferLength.
#include "port.h"

#include <algorithm>
#include <cstring>

namespace usbd {

namespace {

USBD_STATUS StatusOfFailure(EndpointResult result)
{
    return result == EndpointResult::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING;
}

// Copies `count` bytes of the message from `offset`: its bytes, then zeros past their end.
void CopyMessageBytes(const InMessage& message, std::size_t offset, std::size_t count,
                      PUCHAR destination)
{
    std::size_t stored = message.bytes == nullptr ? 0 : message.bytes->size();
    std::size_t fromBytes = offset < stored ? std::min(count, stored - offset) : 0;
    if (fromBytes != 0) {
        std::memcpy(destination, message.bytes->data() + offset, fromBytes);
    }
    if (count > fromBytes) {
        std::memset(destination + fromBytes, 0, count - fromBytes);
    }
}

}  // namespace

void Port::HostControllerLoop()
{
    {
        SpinLockGuard guard(lock_);
        threadObject_ = KeGetCurrentThread();
    }
    for (;;) {
        KeWaitForSingleObject(&work_, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            Step step = NextStep();
            if (step.work == Work::None) {
                break;
            }
            if (step.work == Work::Unplug) {
                Disconnect();
                StartRemovalWorker();
                continue;
            }
            if (step.work == Work::Out) {
                RunOut(step);
            }
            std::vector<FinishedTransfer> finished;
            finished.push_back(std::move(step.finished));
            Finish(finished);
            DoneInFlight(step.pipe);
        }
        SpinLockGuard guard(lock_);
        if (stopping_) {
            break;
        }
    }
}

Port::Step Port::NextStep()
{
    Step step;
    SpinLockGuard guard(lock_);
    if (!connected_ || !enabled_ || pipes_.empty()) {
        return step;
    }
    for (std::size_t n = 0; n < pipes_.size(); ++n) {
        Pipe& pipe = *pipes_[(nextPipe_ + n) % pipes_.size()];
        if (pipe.queue.empty()) {
            continue;
        }
        if (unplugOnNextTransfer_) {
            unplugOnNextTransfer_ = false;
            step.work = Work::Unplug;
            return step;
        }
        InStream* stream = pipe.In() ? &inStreams_[pipe.endpointAddress] : nullptr;
        bool ready = pipe.halted || !pipe.In() || stream->failNext != EndpointResult::Ok ||
                     !stream->messages.empty();
        if (!ready) {
            continue;  // an IN transfer waits for data
        }
        QueuedTransfer transfer = pipe.queue.front();
        if (IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) {
            continue;  // being cancelled: its cancel routine takes it off the queue
        }
        pipe.queue.pop_front();
        pipe.inFlight++;
        nextPipe_ = (nextPipe_ + n + 1) % pipes_.size();

        step.pipe = &pipe;
        step.transfer = transfer;
        step.finished.irp = transfer.irp;
        step.finished.urb = transfer.urb;
        step.finished.endpointAddress = pipe.endpointAddress;
        ULONG length = transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (pipe.halted) {
            step.work = Work::Finished;
            step.finished.status = USBD_STATUS_ENDPOINT_HALTED;
        } else if (!pipe.In()) {
            step.work = Work::Out;
        } else if (stream->failNext != EndpointResult::Ok) {
            step.work = Work::Finished;
            step.finished.status = StatusOfFailure(stream->failNext);
            pipe.halted = stream->failNext == EndpointResult::Stall;
            stream->failNext = EndpointResult::Ok;
        } else {
            const InMessage& message = stream->messages.front();
            std::size_t count = std::min<std::size_t>(message.length - stream->offset, length);
            CopyMessageBytes(message, stream->offset, count, transfer.buffer);
            stream->offset += count;
            if (stream->offset == message.length) {
                stream->messages.pop_front();
                stream->offset = 0;
            }
            step.work = Work::Finished;
            step.finished.moved = static_cast<ULONG>(count);
            bool shortOk = (transfer.urb->UrbBulkOrInterruptTransfer.TransferFlags &
                            USBD_SHORT_TRANSFER_OK) != 0;
            step.finished.status =
                count < length && !shortOk ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_SUCCESS;
        }
        return step;
    }
    return step;
}

void Port::RunOut(Step& step)
{
    ULONG length = step.transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    const PUCHAR data = step.transfer.buffer;
    step.finished.data.assign(data, data + length);
    EndpointResult result =
        function_.OutTransfer(step.pipe->endpointAddress, step.finished.data.data(), length);
    if (result == EndpointResult::Ok) {
        step.finished.moved = length;
        step.finished.status = USBD_STATUS_SUCCESS;
        return;
    }
    step.finished.status = StatusOfFailure(result);
    if (result == EndpointResult::Stall) {
        SpinLockGuard guard(lock_);
        step.pipe->halted = true;
    }
}

void Port::DoneInFlight(Pipe* pipe)
{
    {
        SpinLockGuard guard(lock_);
        pipe->inFlight--;
    }
    KeSetEvent(&flightDone_, IO_NO_INCREMENT, FALSE);
}

}  // namespace usbd
