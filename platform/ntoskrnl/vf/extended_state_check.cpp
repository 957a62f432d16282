// The verifier's check at the entry of a driver's vector code: the state the code is about to
// use must be saved by the calling thread.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>
#include <standin/extended_state_check.h>

#include <cstdio>

extern "C" VOID NTAPI VfStandInRequireExtendedState(ULONG64 FeatureMask)
{
    if (FeatureMask == 0) {
        return;  // SSE2 code: the floating-point save is the one it needs
    }
    ke::ThreadState& state = ke::CurrentThreadState();
    // Any outstanding save will do, not only the innermost: an inner save of fewer features
    // leaves the outer one's in force.
    ULONG64 saved = 0;
    for (const ke::ExtendedSave& save : state.extendedSaves) {
        if ((save.mask & FeatureMask) == FeatureMask) {
            return;
        }
        saved |= save.mask;
    }
    char reason[160];
    std::snprintf(reason, sizeof reason,
                  "vector code needs extended state 0x%llx, but the thread's saves cover 0x%llx",
                  static_cast<unsigned long long>(FeatureMask),
                  static_cast<unsigned long long>(saved));
    vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::ExtendedStateNotSaved,
             static_cast<ULONG_PTR>(FeatureMask), static_cast<ULONG_PTR>(saved),
             state.extendedSaves.size(), reason);
}
