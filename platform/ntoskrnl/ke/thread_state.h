// Per-thread kernel state the verifier watches: IRQL, held spin locks, critical regions and
// floating-point saves (platform-internal).
#pragma once

#include <wdm.h>

#include <vector>

namespace ke {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> heldSpinLocks;
    LONG criticalRegionDepth = 0;
    std::vector<PKFLOATING_SAVE> floatingSaves;
};

ThreadState& CurrentThreadState();

}  // namespace ke
