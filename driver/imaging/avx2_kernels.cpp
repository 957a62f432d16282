// The AVX2 form of the conversion kernels: the vector kernels on 256-bit registers, 32-pixel
// blocks. Built with a target attribute on each function, not for the whole library: the
// processor runs them only where the processor and the system support AVX2, under an extended
// state save that covers the AVX registers.
#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_AVX2

#include <immintrin.h>

#include "imaging/extended_state_check.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/kernel_support.h"

#define VECTOR_TARGET __attribute__((target("avx2")))

namespace Avx2Kernels {

using namespace KernelSupport;

#include "imaging/avx2_vector_ops.inc"
#include "imaging/vector_pixel_stages.inc"

constexpr bool NarrowFramesElsewhere = true;
constexpr const ConversionKernels* NarrowKernels = &Sse2KernelTable;
constexpr const FormatKernels* NarrowFormats = &Sse2FormatKernels;
// The verifier's check that the caller saved the extended state these registers need.
VECTOR_INLINE void RequireVectorState()
{
    ImagingRequireExtendedState(ImagingIsaFeatureMask(ImagingIsaAvx2));
}

#include "imaging/vector_conversion_kernels.inc"
#include "imaging/vector_output_formats.inc"

}  // namespace Avx2Kernels

#define VECTOR_FAMILY Avx2Kernels
#define VECTOR_KERNEL_TABLE Avx2KernelTable
#define VECTOR_FORMAT_TABLE Avx2FormatKernels
#include "imaging/vector_kernel_tables.inc"

#endif  // IMAGING_HAVE_AVX2
