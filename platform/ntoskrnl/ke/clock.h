// Conversions between the kernel's 100 ns time units and the host clocks (platform-internal).
#pragma once

#include <wdm.h>

#include <chrono>

namespace ke {

using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>;

// Current system time in 100 ns units since 1601-01-01.
LONGLONG SystemTimeNow();
// Steady deadline for a wait's time-out value (negative relative, positive absolute).
std::chrono::steady_clock::time_point DeadlineFor(LONGLONG timeout);

}  // namespace ke
