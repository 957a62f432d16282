// Looking up a kernel routine by its exported name at run time, for routines that only some
// versions of the system export.
#pragma once

#include "../ntdef.h"

// The address of the exported routine, or NULL when this system does not export it.
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
