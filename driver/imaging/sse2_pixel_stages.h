// The pixel stages of the SSE2 conversion kernels, shared by every output format: 16-pixel
// blocks split into their 8 even and 8 odd columns (imaging/vector_pixel_stages.inc on
// 128-bit registers).
#pragma once

#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_SSE2

#include <emmintrin.h>

#include "imaging/kernel_support.h"

#if defined(_MSC_VER)
#define KERNEL_INLINE __forceinline
#else
#define KERNEL_INLINE inline __attribute__((always_inline))
#endif

namespace Sse2PixelStages {

using namespace KernelSupport;

#include "imaging/sse2_vector_ops.inc"
#include "imaging/vector_pixel_stages.inc"

}  // namespace Sse2PixelStages

#endif  // IMAGING_HAVE_SSE2
