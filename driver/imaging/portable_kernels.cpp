// The portable form of the conversion kernels: one pixel at a time, written to read like the
// arithmetic it performs. It is the reference the vector kernels are tested against.
#include "imaging/conversion_kernels.h"
#include "imaging/exact_floating_point.h"
#include "imaging/image_processor.h"
#include "imaging/kernel_support.h"
#include "imaging/portable_pixel_stages.h"

using namespace KernelSupport;

namespace {

struct Rgb {
    ULONG Red;
    ULONG Green;
    ULONG Blue;
};

// A filter sum in sixteenths (or eighths) becomes a pixel value: negative sums give 0, the
// rest is rounded and limited to 255.
ULONG FromSixteenths(LONG sum)
{
    if (sum <= 0) {
        return 0;
    }
    ULONG value = static_cast<ULONG>(sum + 8) >> 4;
    return value < 255 ? value : 255;
}

ULONG FromEighths(LONG sum)
{
    if (sum <= 0) {
        return 0;
    }
    ULONG value = static_cast<ULONG>(sum + 4) >> 3;
    return value < 255 ? value : 255;
}

// Gradient-corrected linear interpolation (Malvar, He and Cutler) at image pixel (x, y).
Rgb Demosaic(const FrameDescriptor* frame, int phase, ULONG x, ULONG y)
{
    const UCHAR* p = frame->Pixels + static_cast<LONG_PTR>(y) * frame->Stride + x;
    const LONG s = frame->Stride;
    auto at = [p, s](LONG dy, LONG dx) { return static_cast<LONG>(p[dy * s + dx]); };

    LONG centre = at(0, 0);
    LONG diagonal = at(-1, -1) + at(-1, 1) + at(1, -1) + at(1, 1);
    LONG far = at(-2, 0) + at(2, 0) + at(0, -2) + at(0, 2);

    bool redRow = IsRedRow(phase, y);
    bool green = ColumnParity(phase, x) == RowParity(phase, y);
    Rgb rgb;
    if (green) {
        LONG horizontal = 10 * centre + 8 * (at(0, -1) + at(0, 1)) + (at(-2, 0) + at(2, 0)) -
                          2 * (at(0, -2) + at(0, 2)) - 2 * diagonal;
        LONG vertical = 10 * centre + 8 * (at(-1, 0) + at(1, 0)) + (at(0, -2) + at(0, 2)) -
                        2 * (at(-2, 0) + at(2, 0)) - 2 * diagonal;
        // Gr: red left and right, blue above and below; Gb the other way round.
        rgb.Red = FromSixteenths(redRow ? horizontal : vertical);
        rgb.Green = static_cast<ULONG>(centre);
        rgb.Blue = FromSixteenths(redRow ? vertical : horizontal);
    } else {
        LONG greenSum = 4 * centre + 2 * (at(-1, 0) + at(1, 0) + at(0, -1) + at(0, 1)) - far;
        LONG opposite = 12 * centre + 4 * diagonal - 3 * far;
        rgb.Green = FromEighths(greenSum);
        rgb.Red = redRow ? static_cast<ULONG>(centre) : FromSixteenths(opposite);
        rgb.Blue = redRow ? FromSixteenths(opposite) : static_cast<ULONG>(centre);
    }
    return rgb;
}

// min(255, value x gain / 128), the product formed in full (it fits in 24 bits).
ULONG ApplyGain(ULONG value, ULONG multiplier)
{
    ULONG scaled = (value * multiplier) >> 7;
    return scaled < 255 ? scaled : 255;
}

Rgb ApplyGains(Rgb rgb, const FrameDescriptor* frame)
{
    rgb.Red = ApplyGain(rgb.Red, GainMultiplier(frame->RedGain));
    rgb.Green = ApplyGain(rgb.Green, GainMultiplier(frame->GreenGain));
    rgb.Blue = ApplyGain(rgb.Blue, GainMultiplier(frame->BlueGain));
    return rgb;
}

// One output channel of the colour transform. POS and NEG are formed exactly (they can pass
// 65535 at extreme settings) and each is scaled down before the difference is taken.
UCHAR TransformChannel(const TransformTable* table, int c, const ULONG in[3])
{
    ULONG positive = table->Positive[3][c] ? table->Magnitude[3][c] : 0;
    ULONG negative = table->Positive[3][c] ? 0 : table->Magnitude[3][c];
    for (int i = 0; i < 3; ++i) {
        ULONG product = in[i] * table->Magnitude[i][c];
        if (table->Positive[i][c]) {
            positive += product;
        } else {
            negative += product;
        }
    }
    LONG out = static_cast<LONG>(positive >> 6) - static_cast<LONG>(negative >> 6);
    if (out <= 0) {
        return 0;
    }
    return static_cast<UCHAR>(out < 255 ? out : 255);
}

// BT.601 luminance in 1/256 units, each term truncated on its own.
ULONG PlainLuminance(Rgb rgb)
{
    return ((rgb.Red * 77) >> 8) + ((rgb.Green * 150) >> 8) + ((rgb.Blue * 29) >> 8);
}

}  // namespace

namespace PortablePixelStages {

void Prepare(const ImageProcessor* processor, const FrameDescriptor* frame, int phase,
             BOOLEAN color, FramePixels* pixels)
{
    pixels->Frame = frame;
    pixels->Phase = phase;
    pixels->Color = color;
    if (color) {
        PrepareTransform(frame->Coefficients, processor->PositiveFlags, &pixels->Table);
    }
}

Bgr Pixel(const FramePixels* pixels, ULONG x, ULONG y)
{
    const FrameDescriptor* frame = pixels->Frame;
    Rgb rgb = ApplyGains(Demosaic(frame, pixels->Phase, x, y), frame);
    Bgr out;
    if (pixels->Color) {
        const ULONG in[3] = {rgb.Red, rgb.Green, rgb.Blue};
        out.Blue = TransformChannel(&pixels->Table, 2, in);
        out.Green = TransformChannel(&pixels->Table, 1, in);
        out.Red = TransformChannel(&pixels->Table, 0, in);
    } else {
        UCHAR luma = static_cast<UCHAR>(PlainLuminance(rgb));
        out.Blue = luma;
        out.Green = luma;
        out.Red = luma;
    }
    return out;
}

}  // namespace PortablePixelStages

namespace PortableKernels {

template <int Phase>
void ColorKernel(const ImageProcessor* processor, const FrameDescriptor* frame)
{
    TransformTable table;
    PrepareTransform(frame->Coefficients, processor->PositiveFlags, &table);
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        for (ULONG x = 0; x < frame->Width; ++x) {
            Rgb rgb = ApplyGains(Demosaic(frame, Phase, x, y), frame);
            const ULONG in[3] = {rgb.Red, rgb.Green, rgb.Blue};
            out[0] = TransformChannel(&table, 2, in);
            out[1] = TransformChannel(&table, 1, in);
            out[2] = TransformChannel(&table, 0, in);
            out[3] = 0xFF;
            out += 4;
        }
    }
}

template <int Phase>
void PlainKernel(const FrameDescriptor* frame)
{
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        for (ULONG x = 0; x < frame->Width; ++x) {
            Rgb rgb = ApplyGains(Demosaic(frame, Phase, x, y), frame);
            ULONG luma = PlainLuminance(rgb);
            out[0] = static_cast<UCHAR>(luma);
            out[1] = static_cast<UCHAR>(luma);
            out[2] = static_cast<UCHAR>(luma);
            out[3] = 0xFF;
            out += 4;
        }
    }
}

template <int Phase>
void AutoWhiteBalance(const FrameDescriptor* frame, LONG* redGain, LONG* greenGain,
                      LONG* blueGain)
{
    // Only pixels of the image count: what lies past Width is border and slack.
    ULONG red = 0, green = 0, blue = 0;
    for (ULONG y = 0; y < frame->Height; ++y) {
        for (ULONG x = 0; x < frame->Width; ++x) {
            Rgb rgb = Demosaic(frame, Phase, x, y);
            red += rgb.Red;
            green += rgb.Green;
            blue += rgb.Blue;
        }
    }
    ComputeWhiteBalanceGains(red, green, blue, redGain, greenGain, blueGain);
}

template <int Phase>
void BalancedConversion(const ImageProcessor* processor, const FrameDescriptor* frame,
                        BOOLEAN color, LONG* redGain, LONG* greenGain, LONG* blueGain)
{
    AutoWhiteBalance<Phase>(frame, redGain, greenGain, blueGain);
    FrameDescriptor balanced = *frame;
    balanced.RedGain = *redGain;
    balanced.GreenGain = *greenGain;
    balanced.BlueGain = *blueGain;
    if (color) {
        ColorKernel<Phase>(processor, &balanced);
    } else {
        PlainKernel<Phase>(&balanced);
    }
}

template void ColorKernel<0>(const ImageProcessor*, const FrameDescriptor*);
template void ColorKernel<1>(const ImageProcessor*, const FrameDescriptor*);
template void ColorKernel<2>(const ImageProcessor*, const FrameDescriptor*);
template void ColorKernel<3>(const ImageProcessor*, const FrameDescriptor*);
template void PlainKernel<0>(const FrameDescriptor*);
template void PlainKernel<1>(const FrameDescriptor*);
template void PlainKernel<2>(const FrameDescriptor*);
template void PlainKernel<3>(const FrameDescriptor*);
template void AutoWhiteBalance<0>(const FrameDescriptor*, LONG*, LONG*, LONG*);
template void AutoWhiteBalance<1>(const FrameDescriptor*, LONG*, LONG*, LONG*);
template void AutoWhiteBalance<2>(const FrameDescriptor*, LONG*, LONG*, LONG*);
template void AutoWhiteBalance<3>(const FrameDescriptor*, LONG*, LONG*, LONG*);
template void BalancedConversion<0>(const ImageProcessor*, const FrameDescriptor*, BOOLEAN, LONG*,
                                    LONG*, LONG*);
template void BalancedConversion<1>(const ImageProcessor*, const FrameDescriptor*, BOOLEAN, LONG*,
                                    LONG*, LONG*);
template void BalancedConversion<2>(const ImageProcessor*, const FrameDescriptor*, BOOLEAN, LONG*,
                                    LONG*, LONG*);
template void BalancedConversion<3>(const ImageProcessor*, const FrameDescriptor*, BOOLEAN, LONG*,
                                    LONG*, LONG*);

}  // namespace PortableKernels

const ConversionKernels PortableKernelTable = {
    {PortableKernels::ColorKernel<0>, PortableKernels::ColorKernel<1>,
     PortableKernels::ColorKernel<2>, PortableKernels::ColorKernel<3>},
    {PortableKernels::PlainKernel<0>, PortableKernels::PlainKernel<1>,
     PortableKernels::PlainKernel<2>, PortableKernels::PlainKernel<3>},
    {PortableKernels::AutoWhiteBalance<0>, PortableKernels::AutoWhiteBalance<1>,
     PortableKernels::AutoWhiteBalance<2>, PortableKernels::AutoWhiteBalance<3>},
    {PortableKernels::BalancedConversion<0>, PortableKernels::BalancedConversion<1>,
     PortableKernels::BalancedConversion<2>, PortableKernels::BalancedConversion<3>},
};

void ComputeWhiteBalanceGains(ULONG redSum, ULONG greenSum, ULONG blueSum, LONG* redGain,
                              LONG* greenGain, LONG* blueGain)
{
    KFLOATING_SAVE save;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&save))) {
        return;
    }
    double r = static_cast<double>(redSum);
    double g = static_cast<double>(greenSum);
    double b = static_cast<double>(blueSum);
    double total = r + g + b;
    // 128 G / R in the evaluation order that fixes the last bit. A zero sum would make an
    // infinity or a not-a-number, whose low 32 bits after conversion are 0: give 0 directly.
    auto gain = [total, g](ULONG sum, double value) -> LONG {
        if (sum == 0 || g == 0.0) {
            return 0;
        }
        double result = (128.0 * ((total / value) / 3.0)) / ((total / g) / 3.0);
        // At most 128 x 2^32, inside the 64-bit range; keep the low 32 bits.
        return static_cast<LONG>(static_cast<ULONG>(static_cast<ULONGLONG>(static_cast<LONGLONG>(result))));
    };
    *redGain = gain(redSum, r);
    *blueGain = gain(blueSum, b);
    *greenGain = 128;
    KeRestoreFloatingPointState(&save);
}

const ConversionKernels* KernelTableFor(ImagingIsa isa)
{
#ifdef IMAGING_HAVE_AVX512
    if (isa >= ImagingIsaAvx512) {
        return &Avx512KernelTable;
    }
#endif
#ifdef IMAGING_HAVE_AVX2
    if (isa >= ImagingIsaAvx2) {
        return &Avx2KernelTable;
    }
#endif
#ifdef IMAGING_HAVE_SSE2
    return &Sse2KernelTable;
#else
    (void)isa;
    return &PortableKernelTable;
#endif
}
