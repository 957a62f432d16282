// The lock of one camera's shared state: its settings record, frame geometry, pin count and
// the register traffic behind them. Property requests of every filter open on the camera, the
// stream's claim and start, pin create and close, and the settings load and save hold it, so
// requests arriving through two filters at once run one after the other. The capture thread and
// the process pass never take it: what they read is fixed while a pin exists.
#pragma once

#include <wdm.h>

// The lock is handed over: a releasing thread that finds others waiting passes the lock to one
// of them instead of freeing it, so a thread that sends requests back to back cannot take it
// again ahead of a request that has been waiting.
struct DeviceLock {
    LONG volatile Contenders;  // the holder and the threads waiting for it
    KEVENT Handover;           // synchronization event: set once for each hand-over
};

void InitializeDeviceLock(DeviceLock* lock);
// Waits at PASSIVE_LEVEL until the lock is handed over; normal kernel APCs stay off while it
// is held. Not recursive.
void AcquireDeviceLock(DeviceLock* lock);
void ReleaseDeviceLock(DeviceLock* lock);

class DeviceLockGuard {
public:
    explicit DeviceLockGuard(DeviceLock* lock) : lock_(lock) { AcquireDeviceLock(lock_); }
    ~DeviceLockGuard() { ReleaseDeviceLock(lock_); }
    DeviceLockGuard(const DeviceLockGuard&) = delete;
    DeviceLockGuard& operator=(const DeviceLockGuard&) = delete;

private:
    DeviceLock* lock_;
};
