// Waiting on dispatcher objects: events and threads.
#include "ke/clock.h"
#include "ke/dispatcher_lock.h"

#include <ntoskrnl/host/verifier.h>

#include <thread>

namespace ke {

std::mutex& DispatcherLock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable& DispatcherCondition()
{
    static std::condition_variable condition;
    return condition;
}

}  // namespace ke

namespace {

void CheckWaitIrql(PVOID object, PLARGE_INTEGER Timeout)
{
    KIRQL irql = KeGetCurrentIrql();
    bool mayBlock = Timeout == nullptr || Timeout->QuadPart != 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && mayBlock)) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::WaitAtDispatchLevel, irql,
                 reinterpret_cast<ULONG_PTR>(object), Timeout ? 1 : 0,
                 "a blocking wait at DISPATCH_LEVEL or above");
    }
}

// Tests the object under the dispatcher lock and consumes the signal of an auto-reset event.
bool TrySatisfy(DISPATCHER_HEADER* header)
{
    if (header->SignalState <= 0) {
        return false;
    }
    if (header->Type == EventSynchronizationObject) {
        header->SignalState = 0;
    }
    return true;
}

}  // namespace

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckWaitIrql(Object, Timeout);

    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    std::unique_lock<std::mutex> lock(ke::DispatcherLock());
    if (Timeout == nullptr) {
        ke::DispatcherCondition().wait(lock, [header] { return TrySatisfy(header); });
        return STATUS_SUCCESS;
    }
    auto deadline = ke::DeadlineFor(Timeout->QuadPart);
    bool satisfied = ke::DispatcherCondition().wait_until(lock, deadline,
                                                          [header] { return TrySatisfy(header); });
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckWaitIrql(nullptr, Interval);
    std::this_thread::sleep_until(ke::DeadlineFor(Interval->QuadPart));
    return STATUS_SUCCESS;
}
