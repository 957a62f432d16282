// The output formats a frame can be converted into, their layouts, and the kernels that write
// them. Every format but raw Bayer is made from the pixels the 32-bit path makes (demosaic,
// gains, colour transform or plain luminance), converted once, block by block, straight into
// the target layout: no intermediate full frame.
//
// Layouts of a Width x Height image:
// - Rgb32: Width x Height pixels of blue, green, red, 255; rows top-down, no gap.
// - Rgb24: blue, green, red per pixel; rows of (3 Width + 3) rounded down to a multiple of 4
//   bytes, the padding bytes 0; bottom-up (the last image row first), as device-independent
//   bitmaps of RGB type are laid out.
// - Yuy2: Y0 U Y1 V per pixel pair, rows of 2 Width bytes, top-down. Width must be even.
// - Nv12: a Y plane of Height rows of Width bytes, then Height / 2 rows of Width bytes of
//   interleaved U V pairs, one pair per 2 x 2 block. Width and Height must be even.
// - Bayer8: the raw samples of the window, Height rows of Width bytes, top-down.
// YUY2 and NV12 refuse odd sizes rather than invent a column or row: their chroma sample
// belongs to a pair (or 2 x 2 block) of image pixels that would not exist.
//
// Y, Cb and Cr are ITU-R BT.601, limited range, in 8-bit fixed point: each weight is the
// BT.601 weight x 219 / 255 (Y) or x 224 / 255 (Cb, Cr) in 1/256 units, rounded to the nearest
// integer; the sum is rounded as floor((t + 128) / 256). Integer arithmetic only:
//   Y  = 16  + floor((  66 R + 129 G +  25 B + 128) / 256)        16 .. 235
//   Cb = 128 + floor(( -38 R -  74 G + 112 B + 128) / 256)        16 .. 240
//   Cr = 128 + floor(( 112 R -  94 G -  18 B + 128) / 256)        16 .. 240
// Chroma is taken from the mean colour of the pixels it covers: for YUY2 each channel of the
// pair as (a + b + 1) / 2, for NV12 each channel of the 2 x 2 block as (a + b + c + d + 2) / 4,
// both truncated.
#pragma once

#include <wdm.h>

#include "imaging/conversion_kernels.h"
#include "imaging/frame_descriptor.h"

class ImageProcessor;

enum OutputFormat : ULONG {
    OutputFormatRgb32 = 0,
    OutputFormatRgb24 = 1,
    OutputFormatYuy2 = 2,
    OutputFormatNv12 = 3,
    OutputFormatBayer8 = 4,
    OutputFormatCount = 5,
};

// Bytes from one row of the format to the next (of the Y plane for NV12); 0 for an unknown
// format, a width the format refuses, or a row that would not fit in 32 bits.
ULONG OutputRowBytes(ULONG format, ULONG width);
// Bytes of a whole Width x Height frame; 0 when the format refuses the size or the total does
// not fit in 32 bits.
ULONG OutputFrameBytes(ULONG format, ULONG width, ULONG height);

// Converts the frame in the working buffer into frame->Output in the format the table entry
// is for; Output holds OutputFrameBytes of the frame's size. Color: the colour transform with
// the processor's PositiveFlags, else plain luminance. FALSE, with nothing written, when the
// format refuses the frame's size.
typedef BOOLEAN FormatKernelRoutine(const ImageProcessor* processor, const FrameDescriptor* frame,
                                    BOOLEAN color);

// One routine per format and Bayer phase.
struct FormatKernels {
    FormatKernelRoutine* Kernel[OutputFormatCount][4];
};

extern const FormatKernels PortableFormatKernels;
#ifdef IMAGING_HAVE_SSE2
extern const FormatKernels Sse2FormatKernels;
#endif
#ifdef IMAGING_HAVE_AVX2
extern const FormatKernels Avx2FormatKernels;
#endif
#ifdef IMAGING_HAVE_AVX512
extern const FormatKernels Avx512FormatKernels;
#endif

// The widest format kernels built that need no more than `isa`; the portable ones where the
// build has no vector form.
const FormatKernels* FormatKernelsFor(ImagingIsa isa);

// The BT.601 conversions above, for one pixel or one already averaged colour.
inline UCHAR Bt601Luma(ULONG red, ULONG green, ULONG blue)
{
    return static_cast<UCHAR>(16 + ((66 * red + 129 * green + 25 * blue + 128) >> 8));
}

// floor(t / 256) for the chroma sums, without relying on the shift of a negative value.
inline LONG FloorDiv256(LONG t)
{
    return t >= 0 ? t / 256 : -((-t + 255) / 256);
}

inline UCHAR Bt601Cb(ULONG red, ULONG green, ULONG blue)
{
    LONG t = -38 * static_cast<LONG>(red) - 74 * static_cast<LONG>(green) +
             112 * static_cast<LONG>(blue) + 128;
    return static_cast<UCHAR>(128 + FloorDiv256(t));
}

inline UCHAR Bt601Cr(ULONG red, ULONG green, ULONG blue)
{
    LONG t = 112 * static_cast<LONG>(red) - 94 * static_cast<LONG>(green) -
             18 * static_cast<LONG>(blue) + 128;
    return static_cast<UCHAR>(128 + FloorDiv256(t));
}
