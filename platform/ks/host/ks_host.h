// Host-side settings of the streaming framework stand-in.
#pragma once

namespace ks {

// The time budget of one minidriver callback (device, filter and pin dispatch, Process,
// property handlers); a callback that takes longer stops the program. 500 ms by default,
// five times that under the sanitizers, overridden by the environment variable
// USBCAM_CALLBACK_BUDGET_MS. Zero turns the check off.
void SetCallbackBudgetMs(unsigned milliseconds);
unsigned CallbackBudgetMs();

}  // namespace ks
