// Calls into the minidriver under the verifier's framework rules: a callback must return at the
// IRQL it was called at and within the time budget (platform-internal).
#pragma once

#include <wdm.h>

#include <chrono>

namespace ks {

// Stops the program when the callback broke a rule. `what` names the callback.
void CheckCallbackReturn(const char* what, KIRQL calledAt, KIRQL returnedAt,
                         std::chrono::steady_clock::duration took);

template <typename Call>
auto InvokeCallback(const char* what, Call&& call)
{
    KIRQL calledAt = KeGetCurrentIrql();
    auto start = std::chrono::steady_clock::now();
    auto result = call();
    CheckCallbackReturn(what, calledAt, KeGetCurrentIrql(), std::chrono::steady_clock::now() - start);
    return result;
}

}  // namespace ks
