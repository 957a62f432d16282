// The extended-state routines exist from Windows 7 on. The driver image must still load on
// older systems, so it never imports them: it looks them up by name when it needs them.
// MmGetSystemRoutineAddress runs at PASSIVE_LEVEL only, and so do these lookups.
#pragma once

#include <wdm.h>

typedef NTSTATUS(NTAPI* ExtendedStateSaveRoutine)(ULONG64 Mask, PXSTATE_SAVE XStateSave);
typedef VOID(NTAPI* ExtendedStateRestoreRoutine)(PXSTATE_SAVE XStateSave);
typedef ULONG64(NTAPI* EnabledFeaturesRoutine)(ULONG64 FeatureMask);

// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState, both or neither: a save
// is only taken when it can be given back.
struct ExtendedStateRoutines {
    ExtendedStateSaveRoutine Save;
    ExtendedStateRestoreRoutine Restore;
};
BOOLEAN LookUpExtendedStateRoutines(ExtendedStateRoutines* routines);

// RtlGetEnabledExtendedFeatures(featureMask), or 0 on a system without it (which enables no
// extended feature a driver may save).
ULONG64 EnabledExtendedFeatures(ULONG64 featureMask);
