// The stand-in's verifier hook for code that uses extended processor state (AVX, AVX-512).
// The real platform has no such routine: a driver calls it only in its Linux build, from a
// wrapper that compiles to nothing for the real target.
#pragma once

#include "../ntdef.h"

// Stops the system (DRIVER_VERIFIER_DETECTED_VIOLATION, subcode 0x39) unless the calling thread
// has an outstanding KeSaveExtendedProcessorState whose mask covers every feature of
// FeatureMask. A mask of 0 asks for nothing.
NTKERNELAPI VOID NTAPI VfStandInRequireExtendedState(ULONG64 FeatureMask);
