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

#define VECTOR_FAMILY Sse2Kernels
#define VECTOR_KERNEL_TABLE Sse2KernelTable
#define VECTOR_FORMAT_TABLE Sse2FormatKernels
#include "imaging/vector_kernel_tables.inc"

#endif  // IMAGING_HAVE_SSE2
