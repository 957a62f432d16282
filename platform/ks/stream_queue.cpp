// Client frames queued on a pin (IOCTL_KS_READ_STREAM), the leading-edge stream pointer and
// the return of frames, with the status the minidriver gave them. Queued requests are
// cancellable until the minidriver locks them.
#include "framework_objects.h"

#include <algorithm>

namespace ks {

namespace {

PKSSTREAM_HEADER HeaderOf(PIRP irp)
{
    return static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
}

void CompleteFrame(PIRP irp, NTSTATUS status)
{
    if (!NT_SUCCESS(status)) {
        HeaderOf(irp)->DataUsed = 0;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? HeaderOf(irp)->Size : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

Pin* PinOfFrame(PIRP irp)
{
    return static_cast<Pin*>(irp->Tail.Overlay.DriverContext[0]);
}

void NTAPI CancelQueuedFrame(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Pin* pin = PinOfFrame(Irp);
    {
        std::lock_guard<std::mutex> guard(pin->queueLock);
        auto& frames = pin->frames;
        frames.erase(std::remove(frames.begin(), frames.end(), Irp), frames.end());
    }
    CompleteFrame(Irp, STATUS_CANCELLED);
}

// Takes the oldest frame that is not being cancelled out of the queue; nullptr when none.
// Called with the queue lock held.
PIRP TakeOldestFrame(Pin* pin)
{
    auto& frames = pin->frames;
    for (auto it = frames.begin(); it != frames.end(); ++it) {
        PIRP irp = *it;
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            frames.erase(it);
            return irp;
        }
        // Its cancel routine is running and will take it out of the queue.
    }
    return nullptr;
}

// Puts a frame back at the head of the queue, cancellable again.
void RequeueFrame(Pin* pin, PIRP irp)
{
    IoSetCancelRoutine(irp, CancelQueuedFrame);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        CompleteFrame(irp, STATUS_CANCELLED);
        return;
    }
    pin->frames.push_front(irp);
}

}  // namespace

NTSTATUS QueueFrame(Pin* pin, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PKSSTREAM_HEADER header = HeaderOf(irp);
    // The header's Size may exceed KSSTREAM_HEADER by the extended header the pin asked for
    // (KSPIN.StreamHeaderSize), never the client's buffer: the minidriver writes up to Size.
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (header == nullptr || length < sizeof(KSSTREAM_HEADER) ||
        header->Size < sizeof(KSSTREAM_HEADER) || header->Size > length) {
        irp->IoStatus.Status = STATUS_INVALID_BUFFER_SIZE;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (__atomic_load_n(&pin->ks.DeviceState, __ATOMIC_ACQUIRE) == KSSTATE_STOP) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_STATE;
    }
    irp->Tail.Overlay.DriverContext[0] = pin;
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(pin->queueLock);
        IoSetCancelRoutine(irp, CancelQueuedFrame);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            CompleteFrame(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        pin->frames.push_back(irp);
    }
    if ((pin->ks.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) == 0) {
        KsPinAttemptProcessing(&pin->ks, TRUE);
    }
    return STATUS_PENDING;
}

void ReturnQueuedFrames(Pin* pin, NTSTATUS status)
{
    std::vector<PIRP> returned;
    {
        std::lock_guard<std::mutex> guard(pin->queueLock);
        while (PIRP irp = TakeOldestFrame(pin)) {
            returned.push_back(irp);
        }
    }
    for (PIRP irp : returned) {
        CompleteFrame(irp, status);
    }
}

bool HasQueuedFrames(Pin* pin)
{
    std::lock_guard<std::mutex> guard(pin->queueLock);
    return !pin->frames.empty();
}

}  // namespace ks

extern "C" PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin,
                                                                   KSSTREAM_POINTER_STATE State)
{
    ks::Pin* pin = ks::PinOf(Pin);
    if (pin == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(pin->queueLock);
    if (pin->lockedFrame != nullptr) {
        return nullptr;  // the one leading edge is already locked
    }
    PIRP irp = ks::TakeOldestFrame(pin);
    if (irp == nullptr) {
        return nullptr;
    }
    PKSSTREAM_HEADER header = ks::HeaderOf(irp);
    KSSTREAM_POINTER& pointer = pin->leadingEdge;
    pointer = KSSTREAM_POINTER{};
    pointer.Pin = Pin;
    pointer.StreamHeader = header;
    pointer.OffsetOut.Data = static_cast<PUCHAR>(header->Data);
    pointer.OffsetOut.Count = header->FrameExtent;
    pointer.OffsetOut.Remaining = header->FrameExtent;
    pointer.Offset = &pointer.OffsetOut;
    if (State == KSSTREAM_POINTER_STATE_LOCKED) {
        pin->lockedFrame = irp;
        pin->lockedFrameStatus = STATUS_SUCCESS;
    } else {
        ks::RequeueFrame(pin, irp);
        pointer.StreamHeader = nullptr;
        return nullptr;  // unlocked pointers are not offered by this framework
    }
    return &pointer;
}

extern "C" void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject)
{
    ks::Pin* pin = ks::PinOf(StreamPointer->Pin);
    if (pin == nullptr) {
        return;
    }
    PIRP irp;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(pin->queueLock);
        irp = pin->lockedFrame;
        status = pin->lockedFrameStatus;
        pin->lockedFrame = nullptr;
        pin->lockedFrameStatus = STATUS_SUCCESS;
        if (irp != nullptr && !Eject) {
            ks::RequeueFrame(pin, irp);
            return;
        }
    }
    if (irp != nullptr) {
        ks::CompleteFrame(irp, status);
    }
}

extern "C" NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer,
                                                       NTSTATUS Status)
{
    ks::Pin* pin = ks::PinOf(StreamPointer->Pin);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(pin->queueLock);
    if (pin->lockedFrame == nullptr || StreamPointer != &pin->leadingEdge) {
        return STATUS_INVALID_PARAMETER;
    }
    pin->lockedFrameStatus = Status;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer)
{
    PKSPIN pin = StreamPointer->Pin;
    KsStreamPointerUnlock(StreamPointer, TRUE);
    return KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED) != nullptr
               ? STATUS_SUCCESS
               : STATUS_DEVICE_NOT_READY;
}
