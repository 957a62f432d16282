// The saves that vector kernels run under. Every kernel uses the x87/SSE state, which the
// floating-point save covers; AVX2 and AVX-512 kernels also use the extended state (upper
// halves of YMM/ZMM, ZMM16-31, opmask registers), which only the extended save covers.
#pragma once

#include <wdm.h>

#include "imaging/extended_state_routines.h"
#include "imaging/imaging_isa.h"

// One frame's saves. 32 + 32 bytes of save records on the 32-bit target (XSTATE_SAVE is only
// the kernel's bookkeeping; the state itself goes to a save area the kernel allocates), so it
// can live on the stack of the converting call.
struct VectorStateSave {
    KFLOATING_SAVE FloatingSave;
    XSTATE_SAVE ExtendedSave;
    // Set while ExtendedSave is outstanding: the routine that gives it back.
    ExtendedStateRestoreRoutine ExtendedRestore;
    BOOLEAN FloatingSaved;
};

// Takes the floating-point save, and for AVX2 or AVX-512 also the extended save of
// ImagingIsaFeatureMask. The set granted (*granted) is the widest one no wider than `wanted`
// whose state the system has enabled and saved; SSE2 when the system lacks the extended-state
// routines, enables none of the needed features, or the extended save fails. Returns FALSE,
// with nothing saved, only when the floating-point save fails: then no vector code may run.
// At PASSIVE_LEVEL (the routines are looked up by name).
BOOLEAN SaveVectorState(ImagingIsa wanted, VectorStateSave* save, ImagingIsa* granted);

// Gives back what SaveVectorState took, the extended save first. Nothing when nothing was saved.
void RestoreVectorState(VectorStateSave* save);

// The saves of one scope on the calling thread: taken when it starts, given back when it ends.
class VectorStateScope {
public:
    explicit VectorStateScope(ImagingIsa wanted)
    {
        granted_ = ImagingIsaSse2;
        saved_ = SaveVectorState(wanted, &save_, &granted_);
    }
    ~VectorStateScope()
    {
        if (saved_) {
            RestoreVectorState(&save_);
        }
    }
    VectorStateScope(const VectorStateScope&) = delete;
    VectorStateScope& operator=(const VectorStateScope&) = delete;

    // FALSE when not even the floating-point state could be saved: no vector code may run.
    BOOLEAN Saved() const { return saved_; }
    // The widest set whose kernels may run in the scope.
    ImagingIsa Granted() const { return granted_; }
    // Whether kernels of `isa` may run in the scope.
    bool Covers(ImagingIsa isa) const { return saved_ && granted_ >= isa; }

private:
    VectorStateSave save_;
    ImagingIsa granted_;
    BOOLEAN saved_;
};
