// MmGetSystemRoutineAddress: the routines of this system a driver may look up by name, the
// extended-state ones only while the system is not pretending to be older than Windows 7.
#include "ke/extended_features.h"

#include <ntddk.h>

namespace {

struct SystemRoutine {
    const WCHAR* name;
    PVOID address;
    bool needsExtendedState;  // exported from Windows 7 on
};

template <typename Routine>
PVOID RoutineAddress(Routine* routine)
{
    return reinterpret_cast<PVOID>(routine);
}

}  // namespace

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    const SystemRoutine routines[] = {
        {L"KeSaveFloatingPointState", RoutineAddress(&KeSaveFloatingPointState), false},
        {L"KeRestoreFloatingPointState", RoutineAddress(&KeRestoreFloatingPointState), false},
        {L"KeSaveExtendedProcessorState", RoutineAddress(&KeSaveExtendedProcessorState), true},
        {L"KeRestoreExtendedProcessorState", RoutineAddress(&KeRestoreExtendedProcessorState),
         true},
        {L"RtlGetEnabledExtendedFeatures", RoutineAddress(&RtlGetEnabledExtendedFeatures), true},
        {L"MmGetSystemRoutineAddress", RoutineAddress(&MmGetSystemRoutineAddress), false},
    };
    if (SystemRoutineName == nullptr) {
        return nullptr;
    }
    for (const SystemRoutine& routine : routines) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, routine.name);
        // Export names are matched exactly, case included.
        if (RtlEqualUnicodeString(&name, SystemRoutineName, FALSE)) {
            if (routine.needsExtendedState && !ke::SystemHasExtendedStateRoutines()) {
                return nullptr;
            }
            return routine.address;
        }
    }
    return nullptr;
}
