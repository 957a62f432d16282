// Run-time lookup of the extended-state routines by their exported names.
#include "imaging/extended_state_routines.h"

namespace {

PVOID SystemRoutine(PCWSTR name)
{
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, name);
    return MmGetSystemRoutineAddress(&routineName);
}

}  // namespace

BOOLEAN LookUpExtendedStateRoutines(ExtendedStateRoutines* routines)
{
    routines->Save =
        reinterpret_cast<ExtendedStateSaveRoutine>(SystemRoutine(L"KeSaveExtendedProcessorState"));
    routines->Restore = reinterpret_cast<ExtendedStateRestoreRoutine>(
        SystemRoutine(L"KeRestoreExtendedProcessorState"));
    if (routines->Save == nullptr || routines->Restore == nullptr) {
        routines->Save = nullptr;
        routines->Restore = nullptr;
        return FALSE;
    }
    return TRUE;
}

ULONG64 EnabledExtendedFeatures(ULONG64 featureMask)
{
    EnabledFeaturesRoutine enabledFeatures =
        reinterpret_cast<EnabledFeaturesRoutine>(SystemRoutine(L"RtlGetEnabledExtendedFeatures"));
    return enabledFeatures != nullptr ? enabledFeatures(featureMask) : 0;
}
