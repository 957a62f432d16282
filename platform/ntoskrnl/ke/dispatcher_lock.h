// The dispatcher database lock: guards the signal state and the wait list of every dispatcher
// object (platform-internal). A waiting thread sleeps on a wait block of its own, queued on the
// object's WaitListHead, so signalling an object wakes only the threads waiting on it.
#pragma once

#include <wdm.h>

#include <mutex>

namespace ke {

std::mutex& DispatcherLock();

// Gives a dispatcher header an empty wait list.
void InitializeWaitList(DISPATCHER_HEADER* header);

// Wakes every thread waiting on `header`. Called with the dispatcher lock held, after the
// object's signal state changed.
void WakeWaiters(DISPATCHER_HEADER* header);

}  // namespace ke
