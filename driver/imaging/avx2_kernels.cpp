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

const ConversionKernels Avx2KernelTable = {
    {Avx2Kernels::ColorKernel<0>, Avx2Kernels::ColorKernel<1>, Avx2Kernels::ColorKernel<2>,
     Avx2Kernels::ColorKernel<3>},
    {Avx2Kernels::PlainKernel<0>, Avx2Kernels::PlainKernel<1>, Avx2Kernels::PlainKernel<2>,
     Avx2Kernels::PlainKernel<3>},
    {Avx2Kernels::AutoWhiteBalance<0>, Avx2Kernels::AutoWhiteBalance<1>,
     Avx2Kernels::AutoWhiteBalance<2>, Avx2Kernels::AutoWhiteBalance<3>},
    {Avx2Kernels::BalancedConversion<0>, Avx2Kernels::BalancedConversion<1>,
     Avx2Kernels::BalancedConversion<2>, Avx2Kernels::BalancedConversion<3>},
};

const FormatKernels Avx2FormatKernels = {{
    {Avx2Kernels::Rgb32<0>, Avx2Kernels::Rgb32<1>, Avx2Kernels::Rgb32<2>, Avx2Kernels::Rgb32<3>},
    {Avx2Kernels::Rgb24<0>, Avx2Kernels::Rgb24<1>, Avx2Kernels::Rgb24<2>, Avx2Kernels::Rgb24<3>},
    {Avx2Kernels::Yuy2<0>, Avx2Kernels::Yuy2<1>, Avx2Kernels::Yuy2<2>, Avx2Kernels::Yuy2<3>},
    {Avx2Kernels::Nv12<0>, Avx2Kernels::Nv12<1>, Avx2Kernels::Nv12<2>, Avx2Kernels::Nv12<3>},
    {Avx2Kernels::Bayer8<0>, Avx2Kernels::Bayer8<1>, Avx2Kernels::Bayer8<2>, Avx2Kernels::Bayer8<3>},
}};

#endif  // IMAGING_HAVE_AVX2
