// Critical regions: counted per thread; the verifier stops on an unbalanced leave.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>

extern "C" void NTAPI KeEnterCriticalRegion(void)
{
    ++ke::CurrentThreadState().criticalRegionDepth;
}

extern "C" void NTAPI KeLeaveCriticalRegion(void)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.criticalRegionDepth == 0) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::CriticalRegionUnbalanced, 0, 0, 0,
                 "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    }
    --state.criticalRegionDepth;
}
