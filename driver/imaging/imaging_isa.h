// The instruction sets the conversion kernels come in, and the extended processor state each
// one uses beyond the x87 and SSE state that the floating-point save covers.
#pragma once

#include <wdm.h>

enum ImagingIsa : ULONG {
    ImagingIsaSse2 = 0,
    ImagingIsaAvx2 = 1,
    ImagingIsaAvx512 = 2,
    ImagingIsaCount = 3
};

// The XSAVE features (XSTATE_MASK_*) a kernel of the instruction set needs saved: none for
// SSE2; the upper halves of the YMM registers for AVX2; those plus the opmask registers, the
// upper halves of ZMM0-15 and ZMM16-31 for AVX-512. 0 for a value that names no set.
constexpr ULONG64 ImagingIsaFeatureMask(ImagingIsa isa)
{
    switch (isa) {
    case ImagingIsaAvx2: return XSTATE_MASK_AVX;
    case ImagingIsaAvx512: return XSTATE_MASK_AVX | XSTATE_MASK_AVX512;
    default: return 0;
    }
}
