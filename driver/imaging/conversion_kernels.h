// The conversion kernels, one per Bayer phase, in two forms: the portable scalar form, which
// is the reference, and the SSE2 form that runs where the processor has it. Both give the
// same bytes for every input.
//
// Bayer phase p names the colour at the frame's top-left 2 x 2 block:
// 0 = G R / B G, 1 = B G / G R, 2 = R G / G B, 3 = G B / R G.
#pragma once

#include <wdm.h>

#include "imaging/frame_descriptor.h"
#include "imaging/imaging_isa.h"

class ImageProcessor;

// Colour: demosaic, gains, colour transform; reads the processor's PositiveFlags.
typedef void ColorKernelRoutine(const ImageProcessor* processor, const FrameDescriptor* frame);
// Plain: demosaic, gains, luminance into all three colour bytes.
typedef void PlainKernelRoutine(const FrameDescriptor* frame);
// Grey-world white balance: writes the three gains from the frame's channel sums.
typedef void AutoWhiteBalanceRoutine(const FrameDescriptor* frame, LONG* redGain,
                                     LONG* greenGain, LONG* blueGain);

// White balance and then the colour (Color TRUE) or plain conversion with the gains it found,
// which it also returns: the same bytes and gains as AutoWhiteBalance followed by ColorKernel
// or PlainKernel on a frame with those gains. The vector forms keep the demosaiced frame of
// the first pass in frame->Kept, when there is one, instead of demosaicing twice.
typedef void BalancedConversionRoutine(const ImageProcessor* processor,
                                       const FrameDescriptor* frame, BOOLEAN color,
                                       LONG* redGain, LONG* greenGain, LONG* blueGain);

struct ConversionKernels {
    ColorKernelRoutine* ColorKernel[4];
    PlainKernelRoutine* PlainKernel[4];
    AutoWhiteBalanceRoutine* AutoWhiteBalance[4];
    BalancedConversionRoutine* BalancedConversion[4];
};

// Bytes per row of the kept frame for working-buffer rows of `stride` bytes: red, green and
// blue planes of every block of the widest form (64 pixels), whole blocks to the row's end.
constexpr ULONG KeptFrameStride(ULONG stride)
{
    return 3 * ((stride + 63) & ~63u);
}

namespace PortableKernels {
template <int Phase> void ColorKernel(const ImageProcessor* processor, const FrameDescriptor* frame);
template <int Phase> void PlainKernel(const FrameDescriptor* frame);
template <int Phase>
void AutoWhiteBalance(const FrameDescriptor* frame, LONG* redGain, LONG* greenGain,
                      LONG* blueGain);
template <int Phase>
void BalancedConversion(const ImageProcessor* processor, const FrameDescriptor* frame,
                        BOOLEAN color, LONG* redGain, LONG* greenGain, LONG* blueGain);
}  // namespace PortableKernels

extern const ConversionKernels PortableKernelTable;

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define IMAGING_HAVE_SSE2 1

namespace Sse2Kernels {
template <int Phase> void ColorKernel(const ImageProcessor* processor, const FrameDescriptor* frame);
template <int Phase> void PlainKernel(const FrameDescriptor* frame);
template <int Phase>
void AutoWhiteBalance(const FrameDescriptor* frame, LONG* redGain, LONG* greenGain,
                      LONG* blueGain);
template <int Phase>
void BalancedConversion(const ImageProcessor* processor, const FrameDescriptor* frame,
                        BOOLEAN color, LONG* redGain, LONG* greenGain, LONG* blueGain);
}  // namespace Sse2Kernels

extern const ConversionKernels Sse2KernelTable;

// The wider forms, built with per-function target attributes where the compiler has them.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__i386__) || defined(__x86_64__))
#define IMAGING_HAVE_AVX2 1
#define IMAGING_HAVE_AVX512 1
extern const ConversionKernels Avx2KernelTable;
extern const ConversionKernels Avx512KernelTable;
#endif
#endif

// The widest kernel form built that needs no more than `isa`; the portable form where the
// build has no vector form at all.
const ConversionKernels* KernelTableFor(ImagingIsa isa);


// Gains from the channel sums of one frame: green 128, red 128 G / R, blue 128 G / B, each
// the low 32 bits of the truncated result; 0 for red or blue when its sum or the green sum is
// 0. Leaves the gains untouched if the floating-point state cannot be saved.
void ComputeWhiteBalanceGains(ULONG redSum, ULONG greenSum, ULONG blueSum, LONG* redGain,
                              LONG* greenGain, LONG* blueGain);
