// Taking and giving back the floating-point and extended-state saves around vector kernels.
// Compiled for general registers only (driver/CMakeLists.txt): part of it runs before the
// saves and after them.
#include "imaging/vector_state_save.h"

#include "imaging/processor_isa.h"

BOOLEAN SaveVectorState(ImagingIsa wanted, VectorStateSave* save, ImagingIsa* granted)
{
    save->ExtendedRestore = nullptr;
    save->FloatingSaved = FALSE;
    *granted = ImagingIsaSse2;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&save->FloatingSave))) {
        return FALSE;
    }
    save->FloatingSaved = TRUE;
    if (wanted == ImagingIsaSse2 || wanted >= ImagingIsaCount) {
        return TRUE;
    }
    // A save may name only features the system has enabled.
    ImagingIsa isa =
        WidestEnabledImagingIsa(wanted, EnabledExtendedFeatures(ImagingIsaFeatureMask(wanted)));
    ExtendedStateRoutines routines;
    if (isa == ImagingIsaSse2 || !LookUpExtendedStateRoutines(&routines)) {
        return TRUE;
    }
    if (NT_SUCCESS(routines.Save(ImagingIsaFeatureMask(isa), &save->ExtendedSave))) {
        save->ExtendedRestore = routines.Restore;
        *granted = isa;
    }
    return TRUE;
}

void RestoreVectorState(VectorStateSave* save)
{
    if (save->ExtendedRestore != nullptr) {
        save->ExtendedRestore(&save->ExtendedSave);
        save->ExtendedRestore = nullptr;
    }
    if (save->FloatingSaved) {
        KeRestoreFloatingPointState(&save->FloatingSave);
        save->FloatingSaved = FALSE;
    }
}
