// Pin state changes: delivered to the minidriver one step at a time.
#include "callback_guard.h"
#include "framework_objects.h"

#include <ntoskrnl/host/verifier.h>

namespace ks {

namespace {

// Verifier stop subcode: a stream pointer still locked when the pin reached KSSTATE_STOP.
constexpr ULONG_PTR kStreamPointerLockedAtStop = 0x1003;

// Writes the pin's new state between Process passes, so a pass never sees it change.
void PublishState(Pin* pin, KSSTATE state)
{
    std::unique_lock<std::mutex> lock(pin->processLock);
    pin->processIdle.wait(lock, [pin] { return !pin->inPass; });
    __atomic_store_n(&pin->ks.DeviceState, state, __ATOMIC_RELEASE);
    pin->ks.ClientState = state;
}

void RequestProcessing(Pin* pin)
{
    KsPinAttemptProcessing(&pin->ks, TRUE);
}

}  // namespace

NTSTATUS ChangePinState(Pin* pin, KSSTATE target)
{
    std::lock_guard<std::recursive_mutex> control(pin->filter->controlLock);
    for (;;) {
        KSSTATE from = __atomic_load_n(&pin->ks.DeviceState, __ATOMIC_ACQUIRE);
        if (from == target) {
            break;
        }
        KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
        const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
        NTSTATUS status = STATUS_SUCCESS;
        if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
            status = InvokeCallback("pin SetDeviceState",
                                    [&] { return dispatch->SetDeviceState(&pin->ks, to, from); });
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PublishState(pin, to);
        if (to < from) {
            // Frames queued by the client come back unfilled on every step down from RUN.
            ReturnQueuedFrames(pin, STATUS_CANCELLED);
        }
        if (to == KSSTATE_STOP) {
            WaitForProcessingIdle(pin);
            std::lock_guard<std::mutex> guard(pin->queueLock);
            if (pin->lockedFrame != nullptr) {
                vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, kStreamPointerLockedAtStop,
                         reinterpret_cast<ULONG_PTR>(&pin->ks),
                         reinterpret_cast<ULONG_PTR>(&pin->leadingEdge), 0,
                         "a stream pointer is still locked after the pin stopped");
            }
        }
        if (to == KSSTATE_RUN &&
            (pin->ks.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) == 0 &&
            HasQueuedFrames(pin)) {
            RequestProcessing(pin);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace ks
