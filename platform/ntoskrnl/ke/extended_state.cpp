// Extended processor state save and restore. The host's own thread switching keeps the
// registers of each thread, so a save here only records what the driver saved; the verifier
// uses the record to check that saves nest, are restored before the thread leaves the driver,
// and cover the vector code that runs under them.
#include "ke/extended_features.h"
#include "ke/thread_state.h"

#include <ntoskrnl/host/extended_state.h>
#include <ntoskrnl/host/verifier.h>

extern "C" NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.irql > DISPATCH_LEVEL) {
        return STATUS_ILLEGAL_FLOAT_CONTEXT;
    }
    // A feature the system has not enabled has no state to save.
    if ((Mask & ~ke::SystemEnabledExtendedFeatures()) != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    if (ke::TakeInjectedExtendedSaveFailure()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *XStateSave = XSTATE_SAVE{};
    XStateSave->XStateContext.Mask = Mask;
    state.extendedSaves.push_back(ke::ExtendedSave{XStateSave, Mask});
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.extendedSaves.empty() || state.extendedSaves.back().save != XStateSave) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::ExtendedStateUnbalanced,
                 reinterpret_cast<ULONG_PTR>(XStateSave), state.extendedSaves.size(), 0,
                 "KeRestoreExtendedProcessorState without the matching innermost save");
    }
    state.extendedSaves.pop_back();
}

std::size_t ke::OutstandingExtendedSaves()
{
    return CurrentThreadState().extendedSaves.size();
}
