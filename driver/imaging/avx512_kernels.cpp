// The AVX-512 form of the conversion kernels: the vector kernels on 512-bit registers, 64-pixel
// blocks. Built with a target attribute on each function, not for the whole library: the
// processor runs them only where the processor and the system support AVX-512 F and BW,
// under an extended state save that covers the AVX-512 registers.
#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_AVX512

#include <immintrin.h>

#include "imaging/extended_state_check.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/kernel_support.h"

// GCC 12's AVX-512 intrinsics start many results from an "undefined" register, which its
// flow analysis then reports as possibly uninitialised once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define VECTOR_TARGET __attribute__((target("avx512f,avx512bw")))

namespace Avx512Kernels {

using namespace KernelSupport;

#include "imaging/avx512_vector_ops.inc"
#include "imaging/vector_pixel_stages.inc"

constexpr bool NarrowFramesElsewhere = true;
constexpr const ConversionKernels* NarrowKernels = &Sse2KernelTable;
constexpr const FormatKernels* NarrowFormats = &Sse2FormatKernels;
// The verifier's check that the caller saved the extended state these registers need.
VECTOR_INLINE void RequireVectorState()
{
    ImagingRequireExtendedState(ImagingIsaFeatureMask(ImagingIsaAvx512));
}

#include "imaging/vector_conversion_kernels.inc"
#include "imaging/vector_output_formats.inc"

}  // namespace Avx512Kernels

#define VECTOR_FAMILY Avx512Kernels
#define VECTOR_KERNEL_TABLE Avx512KernelTable
#define VECTOR_FORMAT_TABLE Avx512FormatKernels
#include "imaging/vector_kernel_tables.inc"

#endif  // IMAGING_HAVE_AVX512
