// The check at the entry of a kernel that uses extended processor state: in the Linux build
// the platform stand-in's verifier stops the system unless the calling thread holds an
// extended save covering `featureMask` (ImagingIsaFeatureMask of the kernel's set). The real
// platform has no such check, and for it (_WIN32) the call compiles to nothing.
#pragma once

#include <wdm.h>

#if !defined(_WIN32)
#include <standin/extended_state_check.h>
#endif

inline void ImagingRequireExtendedState(ULONG64 featureMask)
{
#if defined(_WIN32)
    UNREFERENCED_PARAMETER(featureMask);
#else
    VfStandInRequireExtendedState(featureMask);
#endif
}
