// The camera-wide lock: a synchronization event inside a critical region.
#include "device/device_lock.h"

void InitializeDeviceLock(DeviceLock* lock)
{
    KeInitializeEvent(&lock->Free, SynchronizationEvent, TRUE);
}

void AcquireDeviceLock(DeviceLock* lock)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&lock->Free, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseDeviceLock(DeviceLock* lock)
{
    KeSetEvent(&lock->Free, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
