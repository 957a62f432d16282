// Waiting on dispatcher objects: events and threads.
#include "ke/clock.h"
#include "ke/dispatcher_lock.h"

#include <ntoskrnl/host/verifier.h>

#include <condition_variable>
#include <cstddef>
#include <thread>

namespace {

// One waiting thread's entry in an object's wait list; lives on the waiter's stack and is
// unlinked before the wait returns.
struct WaitBlock {
    LIST_ENTRY Entry{};
    std::condition_variable Wake;
};

WaitBlock* BlockOf(LIST_ENTRY* entry)
{
    return reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(entry) -
                                        offsetof(WaitBlock, Entry));
}

}  // namespace

namespace ke {

std::mutex& DispatcherLock()
{
    static std::mutex lock;
    return lock;
}

void InitializeWaitList(DISPATCHER_HEADER* header)
{
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
}

void WakeWaiters(DISPATCHER_HEADER* header)
{
    LIST_ENTRY* head = &header->WaitListHead;
    if (head->Flink == nullptr) {
        return;  // never waited on
    }
    for (LIST_ENTRY* entry = head->Flink; entry != head; entry = entry->Flink) {
        BlockOf(entry)->Wake.notify_one();
    }
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
    if (TrySatisfy(header)) {
        return STATUS_SUCCESS;
    }
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        return STATUS_TIMEOUT;
    }
    if (header->WaitListHead.Flink == nullptr) {
        ke::InitializeWaitList(header);  // an object whose header was zero-filled, not initialised
    }
    WaitBlock block;
    LIST_ENTRY* head = &header->WaitListHead;
    block.Entry.Flink = head;
    block.Entry.Blink = head->Blink;
    head->Blink->Flink = &block.Entry;
    head->Blink = &block.Entry;

    bool satisfied;
    if (Timeout == nullptr) {
        block.Wake.wait(lock, [header] { return TrySatisfy(header); });
        satisfied = true;
    } else {
        satisfied = block.Wake.wait_until(lock, ke::DeadlineFor(Timeout->QuadPart),
                                          [header] { return TrySatisfy(header); });
    }
    block.Entry.Blink->Flink = block.Entry.Flink;
    block.Entry.Flink->Blink = block.Entry.Blink;
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
