// The framework's verifier rules for minidriver callbacks, and the time budget setting.
#include "callback_guard.h"

#include <ks/host/ks_host.h>
#include <ntoskrnl/host/verifier.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace ks {

namespace {

// Sanitizers slow everything down; the budget grows with them (GCC defines the macros, Clang
// answers __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define USBCAM_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(USBCAM_SANITIZED)
constexpr unsigned kSlowdown = 5;
#else
constexpr unsigned kSlowdown = 1;
#endif

unsigned InitialBudget()
{
    if (const char* text = std::getenv("USBCAM_CALLBACK_BUDGET_MS")) {
        return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    }
    return 500 * kSlowdown;
}

std::atomic<unsigned>& Budget()
{
    static std::atomic<unsigned> budget{InitialBudget()};
    return budget;
}

// Verifier stop subcodes of the framework rules.
constexpr ULONG_PTR kCallbackIrqlChanged = 0x1001;
constexpr ULONG_PTR kCallbackTooSlow = 0x1002;

}  // namespace

void SetCallbackBudgetMs(unsigned milliseconds)
{
    Budget() = milliseconds;
}

unsigned CallbackBudgetMs()
{
    return Budget();
}

void CheckCallbackReturn(const char* what, KIRQL calledAt, KIRQL returnedAt,
                         std::chrono::steady_clock::duration took)
{
    if (calledAt != returnedAt) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, kCallbackIrqlChanged, calledAt, returnedAt,
                 0,
                 std::string(what) + " returned at IRQL " + std::to_string(returnedAt) +
                     ", called at " + std::to_string(calledAt));
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    unsigned budget = Budget();
    if (budget != 0 && ms > static_cast<long long>(budget)) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, kCallbackTooSlow, static_cast<ULONG_PTR>(ms),
                 budget, 0,
                 std::string(what) + " took " + std::to_string(ms) + " ms, over the budget of " +
                     std::to_string(budget) + " ms");
    }
}

}  // namespace ks
