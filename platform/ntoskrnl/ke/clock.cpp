// System time, interrupt time and the performance counter.
#include "ke/clock.h"

namespace ke {

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDifferenceSeconds = 11'644'473'600LL;

const std::chrono::steady_clock::time_point& BootTime()
{
    static const std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
    return boot;
}

}  // namespace

LONGLONG SystemTimeNow()
{
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<Ticks>(sinceUnixEpoch).count() +
           kEpochDifferenceSeconds * 10'000'000LL;
}

std::chrono::steady_clock::time_point DeadlineFor(LONGLONG timeout)
{
    auto now = std::chrono::steady_clock::now();
    LONGLONG relative = timeout < 0 ? -timeout : timeout - SystemTimeNow();
    if (relative < 0) {
        relative = 0;
    }
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(Ticks(relative));
}

}  // namespace ke

extern "C" void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = ke::SystemTimeNow();
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void)
{
    auto sinceBoot = std::chrono::steady_clock::now() - ke::BootTime();
    return static_cast<ULONGLONG>(std::chrono::duration_cast<ke::Ticks>(sinceBoot).count());
}

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = 10'000'000;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime());
    return counter;
}
