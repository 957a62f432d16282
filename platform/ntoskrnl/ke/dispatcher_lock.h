// The dispatcher database lock: guards the signal state of every dispatcher object, and the
// condition all waiting threads sleep on (platform-internal).
#pragma once

#include <condition_variable>
#include <mutex>

namespace ke {

std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

}  // namespace ke
