// Processing: each pin has a processing thread that runs its Process passes one at a time.
// KsPinAttemptProcessing asks for a pass; a request that arrives during a pass causes one more.
#include "callback_guard.h"
#include "framework_objects.h"

#include <pthread.h>

namespace ks {

namespace {

// Whether the pin's flags and state allow a pass now.
bool MayProcess(Pin* pin)
{
    ULONG flags = pin->ks.Descriptor->Flags;
    KSSTATE state = __atomic_load_n(&pin->ks.DeviceState, __ATOMIC_ACQUIRE);
    if ((flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) != 0 && state != KSSTATE_RUN) {
        return false;
    }
    if (state < KSSTATE_PAUSE) {
        return false;  // no processing in STOP or ACQUIRE, whatever the flags
    }
    if ((flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) == 0 && !HasQueuedFrames(pin)) {
        return false;
    }
    return true;
}

void ProcessingLoop(Pin* pin)
{
    pthread_setname_np(pthread_self(), "ks-process");
    std::unique_lock<std::mutex> lock(pin->processLock);
    for (;;) {
        pin->processWake.wait(lock, [pin] { return pin->processRequested || pin->processExit; });
        if (pin->processExit) {
            return;
        }
        pin->processRequested = false;
        if (!MayProcess(pin)) {
            continue;
        }
        const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
        if (dispatch == nullptr || dispatch->Process == nullptr) {
            continue;
        }
        pin->inPass = true;
        lock.unlock();
        InvokeCallback("pin Process", [&] { return dispatch->Process(&pin->ks); });
        lock.lock();
        pin->inPass = false;
        pin->processIdle.notify_all();
    }
}

}  // namespace

void StartProcessingThread(Pin* pin)
{
    pin->processThread = std::thread(ProcessingLoop, pin);
}

void StopProcessingThread(Pin* pin)
{
    if (!pin->processThread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pin->processLock);
        pin->processExit = true;
    }
    pin->processWake.notify_all();
    pin->processThread.join();
}

void WaitForProcessingIdle(Pin* pin)
{
    std::unique_lock<std::mutex> lock(pin->processLock);
    pin->processIdle.wait(lock, [pin] { return !pin->inPass; });
}

}  // namespace ks

extern "C" void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous)
{
    UNREFERENCED_PARAMETER(Asynchronous);
    ks::Pin* pin = ks::PinOf(Pin);
    if (pin == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pin->processLock);
        pin->processRequested = true;
    }
    pin->processWake.notify_all();
}
