// The camera-wide lock: a count of contenders and a hand-over event, inside a critical region.
#include "device/device_lock.h"

void InitializeDeviceLock(DeviceLock* lock)
{
    lock->Contenders = 0;
    KeInitializeEvent(&lock->Handover, SynchronizationEvent, FALSE);
}

void AcquireDeviceLock(DeviceLock* lock)
{
    KeEnterCriticalRegion();
    // The first contender owns the lock at once; any other waits for its hand-over.
    if (InterlockedIncrement(&lock->Contenders) != 1) {
        KeWaitForSingleObject(&lock->Handover, Executive, KernelMode, FALSE, nullptr);
    }
}

void ReleaseDeviceLock(DeviceLock* lock)
{
    // One set per waiter that counted itself in: the event keeps the signal for a waiter that
    // has not reached its wait yet, and only one waiter takes it.
    if (InterlockedDecrement(&lock->Contenders) != 0) {
        KeSetEvent(&lock->Handover, IO_NO_INCREMENT, FALSE);
    }
    KeLeaveCriticalRegion();
}
