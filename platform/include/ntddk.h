// Kernel-mode driver interface, full set (wdm.h plus the non-WDM services).
#pragma once

#include "wdm.h"

// The extended processor features (XSTATE_MASK_*) of FeatureMask that the system has enabled,
// and so may be saved with KeSaveExtendedProcessorState. From Windows 7 on.
NTSYSAPI ULONG64 NTAPI RtlGetEnabledExtendedFeatures(ULONG64 FeatureMask);
