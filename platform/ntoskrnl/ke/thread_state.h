// Per-thread kernel state the verifier watches: IRQL, held spin locks, critical regions,
// floating-point and extended-state saves (platform-internal).
#pragma once

#include <wdm.h>

#include <vector>

namespace ke {

// An outstanding KeSaveExtendedProcessorState: the caller's save record and the features saved.
struct ExtendedSave {
    PXSTATE_SAVE save = nullptr;
    ULONG64 mask = 0;
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> heldSpinLocks;
    LONG criticalRegionDepth = 0;
    std::vector<PKFLOATING_SAVE> floatingSaves;
    std::vector<ExtendedSave> extendedSaves;
};

ThreadState& CurrentThreadState();

}  // namespace ke
