// Spin locks. Acquiring raises the thread to DISPATCH_LEVEL; the lock word holds the owner's
// marker so the verifier can tell a recursive acquire or a release by another thread.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>

#include <algorithm>
#include <thread>

namespace {

ULONG_PTR OwnerMarker()
{
    // The address of a thread-local object is unique among live threads; bit 0 marks "held".
    thread_local char marker;
    return reinterpret_cast<ULONG_PTR>(&marker) | 1;
}

void AcquireAtDispatch(PKSPIN_LOCK SpinLock)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    ULONG_PTR self = OwnerMarker();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
        vf::Stop(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0, 0,
                 "spin lock acquired again by its owner");
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        // Two cores and preemptible holders: yield instead of burning the holder's time slice.
        std::this_thread::yield();
    }
    state.heldSpinLocks.push_back(SpinLock);
}

void ReleaseFromDispatch(PKSPIN_LOCK SpinLock)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.irql != DISPATCH_LEVEL) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::SpinLockReleasedAtWrongIrql,
                 state.irql, reinterpret_cast<ULONG_PTR>(SpinLock), 0,
                 "spin lock released while not at DISPATCH_LEVEL");
    }
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != OwnerMarker()) {
        vf::Stop(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0, 0,
                 "spin lock released by a thread that does not hold it");
    }
    auto& held = state.heldSpinLocks;
    held.erase(std::find(held.begin(), held.end(), SpinLock));
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    AcquireAtDispatch(SpinLock);
    return old;
}

extern "C" void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseFromDispatch(SpinLock);
    if (NewIrql > DISPATCH_LEVEL) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::SpinLockReleasedAtWrongIrql, NewIrql,
                 reinterpret_cast<ULONG_PTR>(SpinLock), 1,
                 "spin lock released to an IRQL above DISPATCH_LEVEL");
    }
    KfLowerIrql(NewIrql);
}

extern "C" void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        vf::Stop(IRQL_NOT_GREATER_OR_EQUAL, KeGetCurrentIrql(), DISPATCH_LEVEL,
                 reinterpret_cast<ULONG_PTR>(SpinLock), 0,
                 "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    AcquireAtDispatch(SpinLock);
}

extern "C" void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseFromDispatch(SpinLock);
}
