// Host-side control of the extended processor state the stand-in's system offers a driver:
// which XSAVE features it has enabled, whether it is a system from before Windows 7 (without
// the extended-state routines), and injected failures of KeSaveExtendedProcessorState.
// Used by tests and tools.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace ke {

// The features the host's processor and operating system have enabled: XCR0 where the
// processor reports OSXSAVE, x87 and SSE otherwise.
ULONG64 HostEnabledExtendedFeatures();

// Features the system does not enable, whatever the host has: RtlGetEnabledExtendedFeatures
// leaves them out and KeSaveExtendedProcessorState refuses them. Replaces the previous mask.
void DisableExtendedFeatures(ULONG64 features);

// A system from before Windows 7: MmGetSystemRoutineAddress finds none of the extended-state
// routines (KeSaveExtendedProcessorState, KeRestoreExtendedProcessorState,
// RtlGetEnabledExtendedFeatures).
void SetSystemWithoutExtendedState(bool older);

// The next `count` calls of KeSaveExtendedProcessorState, of any thread, fail with
// STATUS_INSUFFICIENT_RESOURCES (the save area could not be allocated); 0 cancels.
void FailExtendedStateSaves(ULONG count);

// Back to the host's features, a current system and no injected failures (run after every test).
void ResetExtendedStateControls();

// Extended-state saves of the calling thread not yet restored.
std::size_t OutstandingExtendedSaves();

}  // namespace ke
