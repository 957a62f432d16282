// The SSE2 form of the conversion kernels: the vector kernels on 128-bit registers, 16-pixel
// blocks. The baseline every target has; the imaging library is built for it.
#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_SSE2

#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/sse2_pixel_stages.h"

namespace Sse2Kernels {

using namespace Sse2PixelStages;

// Rows narrower than a block go through the scratch block; the floating-point save the
// processor takes covers these registers.
constexpr bool NarrowFramesElsewhere = false;
constexpr const ConversionKernels* NarrowKernels = nullptr;
constexpr const FormatKernels* NarrowFormats = nullptr;
VECTOR_INLINE void RequireVectorState() {}

#include "imaging/vector_conversion_kernels.inc"
#include "imaging/vector_output_formats.inc"

}  // namespace Sse2Kernels

const ConversionKernels Sse2KernelTable = {
    {Sse2Kernels::ColorKernel<0>, Sse2Kernels::ColorKernel<1>, Sse2Kernels::ColorKernel<2>,
     Sse2Kernels::ColorKernel<3>},
    {Sse2Kernels::PlainKernel<0>, Sse2Kernels::PlainKernel<1>, Sse2Kernels::PlainKernel<2>,
     Sse2Kernels::PlainKernel<3>},
    {Sse2Kernels::AutoWhiteBalance<0>, Sse2Kernels::AutoWhiteBalance<1>,
     Sse2Kernels::AutoWhiteBalance<2>, Sse2Kernels::AutoWhiteBalance<3>},
    {Sse2Kernels::BalancedConversion<0>, Sse2Kernels::BalancedConversion<1>,
     Sse2Kernels::BalancedConversion<2>, Sse2Kernels::BalancedConversion<3>},
};

const FormatKernels Sse2FormatKernels = {{
    {Sse2Kernels::Rgb32<0>, Sse2Kernels::Rgb32<1>, Sse2Kernels::Rgb32<2>, Sse2Kernels::Rgb32<3>},
    {Sse2Kernels::Rgb24<0>, Sse2Kernels::Rgb24<1>, Sse2Kernels::Rgb24<2>, Sse2Kernels::Rgb24<3>},
    {Sse2Kernels::Yuy2<0>, Sse2Kernels::Yuy2<1>, Sse2Kernels::Yuy2<2>, Sse2Kernels::Yuy2<3>},
    {Sse2Kernels::Nv12<0>, Sse2Kernels::Nv12<1>, Sse2Kernels::Nv12<2>, Sse2Kernels::Nv12<3>},
    {Sse2Kernels::Bayer8<0>, Sse2Kernels::Bayer8<1>, Sse2Kernels::Bayer8<2>, Sse2Kernels::Bayer8<3>},
}};

#endif  // IMAGING_HAVE_SSE2
