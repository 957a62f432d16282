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

const ConversionKernels Avx512KernelTable = {
    {Avx512Kernels::ColorKernel<0>, Avx512Kernels::ColorKernel<1>, Avx512Kernels::ColorKernel<2>,
     Avx512Kernels::ColorKernel<3>},
    {Avx512Kernels::PlainKernel<0>, Avx512Kernels::PlainKernel<1>, Avx512Kernels::PlainKernel<2>,
     Avx512Kernels::PlainKernel<3>},
    {Avx512Kernels::AutoWhiteBalance<0>, Avx512Kernels::AutoWhiteBalance<1>,
     Avx512Kernels::AutoWhiteBalance<2>, Avx512Kernels::AutoWhiteBalance<3>},
    {Avx512Kernels::BalancedConversion<0>, Avx512Kernels::BalancedConversion<1>,
     Avx512Kernels::BalancedConversion<2>, Avx512Kernels::BalancedConversion<3>},
};

const FormatKernels Avx512FormatKernels = {{
    {Avx512Kernels::Rgb32<0>, Avx512Kernels::Rgb32<1>, Avx512Kernels::Rgb32<2>, Avx512Kernels::Rgb32<3>},
    {Avx512Kernels::Rgb24<0>, Avx512Kernels::Rgb24<1>, Avx512Kernels::Rgb24<2>, Avx512Kernels::Rgb24<3>},
    {Avx512Kernels::Yuy2<0>, Avx512Kernels::Yuy2<1>, Avx512Kernels::Yuy2<2>, Avx512Kernels::Yuy2<3>},
    {Avx512Kernels::Nv12<0>, Avx512Kernels::Nv12<1>, Avx512Kernels::Nv12<2>, Avx512Kernels::Nv12<3>},
    {Avx512Kernels::Bayer8<0>, Avx512Kernels::Bayer8<1>, Avx512Kernels::Bayer8<2>, Avx512Kernels::Bayer8<3>},
}};

#endif  // IMAGING_HAVE_AVX512
