// The portable form of the output format kernels, one pixel at a time from the portable
// 32-bit path's finished pixels: the reference the SSE2 form is tested against. Also the
// layout sizes and the choice of the active form.
#include "imaging/output_formats.h"

#include "imaging/conversion_kernels.h"
#include "imaging/image_processor.h"
#include "imaging/portable_pixel_stages.h"

using PortablePixelStages::Bgr;
using PortablePixelStages::FramePixels;

ULONG OutputRowBytes(ULONG format, ULONG width)
{
    ULONGLONG bytes;
    switch (format) {
    case OutputFormatRgb32: bytes = static_cast<ULONGLONG>(width) * 4; break;
    case OutputFormatRgb24: bytes = (static_cast<ULONGLONG>(width) * 3 + 3) & ~3ull; break;
    case OutputFormatYuy2:
        if ((width & 1) != 0) {
            return 0;
        }
        bytes = static_cast<ULONGLONG>(width) * 2;
        break;
    case OutputFormatNv12:
        if ((width & 1) != 0) {
            return 0;
        }
        bytes = width;
        break;
    case OutputFormatBayer8: bytes = width; break;
    default: return 0;
    }
    return bytes <= 0xFFFFFFFFull ? static_cast<ULONG>(bytes) : 0;
}

ULONG OutputFrameBytes(ULONG format, ULONG width, ULONG height)
{
    ULONG row = OutputRowBytes(format, width);
    if (row == 0) {
        return 0;
    }
    ULONGLONG bytes = static_cast<ULONGLONG>(row) * height;
    if (format == OutputFormatNv12) {
        if ((height & 1) != 0) {
            return 0;
        }
        bytes += static_cast<ULONGLONG>(row) * (height / 2);
    }
    return bytes <= 0xFFFFFFFFull ? static_cast<ULONG>(bytes) : 0;
}

namespace {

template <int Phase>
BOOLEAN Rgb32(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    if (color) {
        PortableKernels::ColorKernel<Phase>(processor, frame);
    } else {
        PortableKernels::PlainKernel<Phase>(frame);
    }
    return TRUE;
}

template <int Phase>
BOOLEAN Rgb24(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    FramePixels pixels;
    PortablePixelStages::Prepare(processor, frame, Phase, color, &pixels);
    const ULONG width = frame->Width;
    const ULONG rowBytes = OutputRowBytes(OutputFormatRgb24, width);
    for (ULONG y = 0; y < frame->Height; ++y) {
        // Bottom-up: image row y is output row Height - 1 - y.
        UCHAR* out = frame->Output + static_cast<SIZE_T>(frame->Height - 1 - y) * rowBytes;
        for (ULONG x = 0; x < width; ++x) {
            Bgr p = PortablePixelStages::Pixel(&pixels, x, y);
            out[0] = p.Blue;
            out[1] = p.Green;
            out[2] = p.Red;
            out += 3;
        }
        for (ULONG pad = width * 3; pad < rowBytes; ++pad) {
            *out++ = 0;
        }
    }
    return TRUE;
}

template <int Phase>
BOOLEAN Yuy2(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    if ((frame->Width & 1) != 0) {
        return FALSE;
    }
    FramePixels pixels;
    PortablePixelStages::Prepare(processor, frame, Phase, color, &pixels);
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        for (ULONG x = 0; x < frame->Width; x += 2) {
            Bgr a = PortablePixelStages::Pixel(&pixels, x, y);
            Bgr b = PortablePixelStages::Pixel(&pixels, x + 1, y);
            ULONG red = (a.Red + b.Red + 1u) >> 1;
            ULONG green = (a.Green + b.Green + 1u) >> 1;
            ULONG blue = (a.Blue + b.Blue + 1u) >> 1;
            out[0] = Bt601Luma(a.Red, a.Green, a.Blue);
            out[1] = Bt601Cb(red, green, blue);
            out[2] = Bt601Luma(b.Red, b.Green, b.Blue);
            out[3] = Bt601Cr(red, green, blue);
            out += 4;
        }
    }
    return TRUE;
}

template <int Phase>
BOOLEAN Nv12(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    const ULONG width = frame->Width;
    const ULONG height = frame->Height;
    if ((width & 1) != 0 || (height & 1) != 0) {
        return FALSE;
    }
    FramePixels pixels;
    PortablePixelStages::Prepare(processor, frame, Phase, color, &pixels);
    UCHAR* luma = frame->Output;
    UCHAR* chroma = frame->Output + static_cast<SIZE_T>(width) * height;
    for (ULONG y = 0; y < height; y += 2) {
        for (ULONG x = 0; x < width; x += 2) {
            Bgr a = PortablePixelStages::Pixel(&pixels, x, y);
            Bgr b = PortablePixelStages::Pixel(&pixels, x + 1, y);
            Bgr c = PortablePixelStages::Pixel(&pixels, x, y + 1);
            Bgr d = PortablePixelStages::Pixel(&pixels, x + 1, y + 1);
            luma[0] = Bt601Luma(a.Red, a.Green, a.Blue);
            luma[1] = Bt601Luma(b.Red, b.Green, b.Blue);
            luma[width] = Bt601Luma(c.Red, c.Green, c.Blue);
            luma[width + 1] = Bt601Luma(d.Red, d.Green, d.Blue);
            ULONG red = (a.Red + b.Red + c.Red + d.Red + 2u) >> 2;
            ULONG green = (a.Green + b.Green + c.Green + d.Green + 2u) >> 2;
            ULONG blue = (a.Blue + b.Blue + c.Blue + d.Blue + 2u) >> 2;
            chroma[0] = Bt601Cb(red, green, blue);
            chroma[1] = Bt601Cr(red, green, blue);
            luma += 2;
            chroma += 2;
        }
        luma += width;  // past the second row of the pair
    }
    return TRUE;
}

template <int Phase>
BOOLEAN Bayer8(const ImageProcessor*, const FrameDescriptor* frame, BOOLEAN)
{
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        const UCHAR* row = frame->Pixels + static_cast<LONG_PTR>(y) * frame->Stride;
        for (ULONG x = 0; x < frame->Width; ++x) {
            *out++ = row[x];
        }
    }
    return TRUE;
}

}  // namespace

const FormatKernels PortableFormatKernels = {{
    {Rgb32<0>, Rgb32<1>, Rgb32<2>, Rgb32<3>},
    {Rgb24<0>, Rgb24<1>, Rgb24<2>, Rgb24<3>},
    {Yuy2<0>, Yuy2<1>, Yuy2<2>, Yuy2<3>},
    {Nv12<0>, Nv12<1>, Nv12<2>, Nv12<3>},
    {Bayer8<0>, Bayer8<1>, Bayer8<2>, Bayer8<3>},
}};

const FormatKernels* FormatKernelsFor(ImagingIsa isa)
{
#ifdef IMAGING_HAVE_AVX512
    if (isa >= ImagingIsaAvx512) {
        return &Avx512FormatKernels;
    }
#endif
#ifdef IMAGING_HAVE_AVX2
    if (isa >= ImagingIsaAvx2) {
        return &Avx2FormatKernels;
    }
#endif
#ifdef IMAGING_HAVE_SSE2
    return &Sse2FormatKernels;
#else
    (void)isa;
    return &PortableFormatKernels;
#endif
}
