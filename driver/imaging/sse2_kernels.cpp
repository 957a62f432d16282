// The SSE2 form of the conversion kernels.
//
// A row is processed in blocks of 16 pixels. Each block is split into its 8 even and 8 odd
// columns, held in 16-bit lanes: the two parities of a row are different Bayer sites, and
// every filter tap of a parity lands on the same parity or the other one, so unaligned loads at
// x - 2, x and x + 2 followed by a mask or a shift give every tap without shuffles. The filters
// are sums of shifts; gains use a high multiply; the colour transform uses 16-bit products when
// the frame's coefficients cannot overflow them and exact 32-bit products otherwise. Output is
// assembled by byte interleaving; a block that runs past the end of the row goes through an
// aligned scratch block and only its whole pixels inside the row are copied out.
#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_SSE2

#include <emmintrin.h>

#include "imaging/image_processor.h"
#include "imaging/kernel_support.h"
#include "imaging/sse2_pixel_stages.h"

using namespace KernelSupport;
using namespace Sse2PixelStages;

namespace {

// Writes 16 pixels given as blue, green, red bytes; of a block at the end of the row only the
// `count` pixels inside it.
KERNEL_INLINE void StorePixels(__m128i blue, __m128i green, __m128i red, UCHAR* out, ULONG count)
{
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    __m128i blueGreenLow = _mm_unpacklo_epi8(blue, green);
    __m128i blueGreenHigh = _mm_unpackhi_epi8(blue, green);
    __m128i redAlphaLow = _mm_unpacklo_epi8(red, opaque);
    __m128i redAlphaHigh = _mm_unpackhi_epi8(red, opaque);
    __m128i pixels0 = _mm_unpacklo_epi16(blueGreenLow, redAlphaLow);
    __m128i pixels1 = _mm_unpackhi_epi16(blueGreenLow, redAlphaLow);
    __m128i pixels2 = _mm_unpacklo_epi16(blueGreenHigh, redAlphaHigh);
    __m128i pixels3 = _mm_unpackhi_epi16(blueGreenHigh, redAlphaHigh);
    if (count == BlockPixels) {
        __m128i* target = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(target, pixels0);
        _mm_storeu_si128(target + 1, pixels1);
        _mm_storeu_si128(target + 2, pixels2);
        _mm_storeu_si128(target + 3, pixels3);
        return;
    }
    __m128i scratch[4];  // 16-byte aligned
    _mm_store_si128(scratch, pixels0);
    _mm_store_si128(scratch + 1, pixels1);
    _mm_store_si128(scratch + 2, pixels2);
    _mm_store_si128(scratch + 3, pixels3);
    RtlCopyMemory(out, scratch, count * 4);
}

struct ColorSetup {
    GainVectors Gains;
    TransformVectors Transform;
};

typedef void ColorRowRoutine(const UCHAR* row, LONG_PTR stride, ULONG width, UCHAR* out,
                             const ColorSetup& setup);

template <bool GreenAtEven, bool RedRow, bool Wide, bool Gains>
void ColorRow(const UCHAR* row, LONG_PTR stride, ULONG width, UCHAR* out, const ColorSetup& setup)
{
    for (ULONG x = 0; x < width; x += BlockPixels) {
        Taps evenTaps, oddTaps;
        GatherTaps(row + x, stride, &evenTaps, &oddTaps);
        Channels even = Interpolate<GreenAtEven, RedRow>(evenTaps);
        Channels odd = Interpolate<!GreenAtEven, RedRow>(oddTaps);
        if (Gains) {
            ApplyGains(&even, setup.Gains);
            ApplyGains(&odd, setup.Gains);
        }
        even = Transform<Wide>(even, setup.Transform);
        odd = Transform<Wide>(odd, setup.Transform);
        ULONG count = width - x < BlockPixels ? width - x : BlockPixels;
        StorePixels(PixelOrderBytes(even.Blue, odd.Blue), PixelOrderBytes(even.Green, odd.Green),
                    PixelOrderBytes(even.Red, odd.Red), out, count);
        out += count * 4;
    }
}

template <bool Wide, bool Gains>
ColorRowRoutine* SelectColorRow(bool greenAtEven, bool redRow)
{
    if (greenAtEven) {
        return redRow ? ColorRow<true, true, Wide, Gains> : ColorRow<true, false, Wide, Gains>;
    }
    return redRow ? ColorRow<false, true, Wide, Gains> : ColorRow<false, false, Wide, Gains>;
}

typedef void PlainRowRoutine(const UCHAR* row, LONG_PTR stride, ULONG width, UCHAR* out,
                             const GainVectors& gains);

template <bool GreenAtEven, bool RedRow, bool Gains>
void PlainRow(const UCHAR* row, LONG_PTR stride, ULONG width, UCHAR* out, const GainVectors& gains)
{
    for (ULONG x = 0; x < width; x += BlockPixels) {
        Taps evenTaps, oddTaps;
        GatherTaps(row + x, stride, &evenTaps, &oddTaps);
        Channels even = Interpolate<GreenAtEven, RedRow>(evenTaps);
        Channels odd = Interpolate<!GreenAtEven, RedRow>(oddTaps);
        if (Gains) {
            ApplyGains(&even, gains);
            ApplyGains(&odd, gains);
        }
        __m128i luma = PixelOrderBytes(Luminance(even), Luminance(odd));
        ULONG count = width - x < BlockPixels ? width - x : BlockPixels;
        StorePixels(luma, luma, luma, out, count);
        out += count * 4;
    }
}

template <bool Gains>
PlainRowRoutine* SelectPlainRow(bool greenAtEven, bool redRow)
{
    if (greenAtEven) {
        return redRow ? PlainRow<true, true, Gains> : PlainRow<true, false, Gains>;
    }
    return redRow ? PlainRow<false, true, Gains> : PlainRow<false, false, Gains>;
}

// Channel sums of the white balance, two 64-bit lanes each.
struct ChannelSums {
    __m128i Red;
    __m128i Green;
    __m128i Blue;
};

// Adds the 16 values of a block (even lanes, odd lanes) to a sum; `valid` clears the bytes of
// pixels at or past the image width.
KERNEL_INLINE __m128i AddBlock(__m128i sum, __m128i even, __m128i odd, __m128i valid)
{
    __m128i bytes = _mm_and_si128(_mm_packus_epi16(even, odd), valid);
    return _mm_add_epi64(sum, _mm_sad_epu8(bytes, _mm_setzero_si128()));
}

typedef void BalanceRowRoutine(const UCHAR* row, LONG_PTR stride, ULONG width, __m128i lastValid,
                               ChannelSums* sums);

template <bool GreenAtEven, bool RedRow>
void BalanceRow(const UCHAR* row, LONG_PTR stride, ULONG width, __m128i lastValid, ChannelSums* sums)
{
    const __m128i all = _mm_set1_epi8(static_cast<char>(0xFF));
    __m128i red = sums->Red;
    __m128i green = sums->Green;
    __m128i blue = sums->Blue;
    for (ULONG x = 0; x < width; x += BlockPixels) {
        Taps evenTaps, oddTaps;
        GatherTaps(row + x, stride, &evenTaps, &oddTaps);
        Channels even = Interpolate<GreenAtEven, RedRow>(evenTaps);
        Channels odd = Interpolate<!GreenAtEven, RedRow>(oddTaps);
        __m128i valid = width - x < BlockPixels ? lastValid : all;
        red = AddBlock(red, even.Red, odd.Red, valid);
        green = AddBlock(green, even.Green, odd.Green, valid);
        blue = AddBlock(blue, even.Blue, odd.Blue, valid);
    }
    sums->Red = red;
    sums->Green = green;
    sums->Blue = blue;
}

BalanceRowRoutine* SelectBalanceRow(bool greenAtEven, bool redRow)
{
    if (greenAtEven) {
        return redRow ? BalanceRow<true, true> : BalanceRow<true, false>;
    }
    return redRow ? BalanceRow<false, true> : BalanceRow<false, false>;
}

// The bytes of a packed block (8 even pixels, then 8 odd ones) that lie inside a row whose last
// block holds `count` pixels.
__m128i ValidBytes(ULONG count)
{
    alignas(16) UCHAR mask[16];
    for (ULONG j = 0; j < 8; ++j) {
        mask[j] = 2 * j < count ? 0xFF : 0;
        mask[8 + j] = 2 * j + 1 < count ? 0xFF : 0;
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
}

ULONG TotalOf(__m128i sum)
{
    alignas(16) ULONGLONG lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
    return static_cast<ULONG>(lanes[0] + lanes[1]);
}

}  // namespace

namespace Sse2Kernels {

template <int Phase>
void ColorKernel(const ImageProcessor* processor, const FrameDescriptor* frame)
{
    TransformTable table;
    PrepareTransform(frame->Coefficients, processor->PositiveFlags, &table);
    ColorSetup setup;
    PrepareTransformVectors(table, &setup.Transform);
    setup.Gains.Red = GainVector(frame->RedGain);
    setup.Gains.Green = GainVector(frame->GreenGain);
    setup.Gains.Blue = GainVector(frame->BlueGain);

    const bool wide = !TransformFitsSixteenBits(&table);
    const bool gains = !UnityGains(frame);
    ColorRowRoutine* rows[2];
    for (ULONG y = 0; y < 2; ++y) {
        bool greenAtEven = GreenAtEvenColumns(Phase, y);
        bool redRow = IsRedRow(Phase, y);
        rows[y] = wide ? (gains ? SelectColorRow<true, true>(greenAtEven, redRow)
                                : SelectColorRow<true, false>(greenAtEven, redRow))
                       : (gains ? SelectColorRow<false, true>(greenAtEven, redRow)
                                : SelectColorRow<false, false>(greenAtEven, redRow));
    }

    const LONG_PTR stride = frame->Stride;
    const ULONG width = frame->Width;
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        rows[y & 1](frame->Pixels + static_cast<LONG_PTR>(y) * stride, stride, width, out, setup);
        out += static_cast<SIZE_T>(width) * 4;
    }
}

template <int Phase>
void PlainKernel(const FrameDescriptor* frame)
{
    GainVectors gainVectors;
    gainVectors.Red = GainVector(frame->RedGain);
    gainVectors.Green = GainVector(frame->GreenGain);
    gainVectors.Blue = GainVector(frame->BlueGain);
    const bool gains = !UnityGains(frame);
    PlainRowRoutine* rows[2];
    for (ULONG y = 0; y < 2; ++y) {
        bool greenAtEven = GreenAtEvenColumns(Phase, y);
        bool redRow = IsRedRow(Phase, y);
        rows[y] = gains ? SelectPlainRow<true>(greenAtEven, redRow)
                        : SelectPlainRow<false>(greenAtEven, redRow);
    }

    const LONG_PTR stride = frame->Stride;
    const ULONG width = frame->Width;
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        rows[y & 1](frame->Pixels + static_cast<LONG_PTR>(y) * stride, stride, width, out,
                    gainVectors);
        out += static_cast<SIZE_T>(width) * 4;
    }
}

template <int Phase>
void AutoWhiteBalance(const FrameDescriptor* frame, LONG* redGain, LONG* greenGain,
                      LONG* blueGain)
{
    BalanceRowRoutine* rows[2];
    for (ULONG y = 0; y < 2; ++y) {
        rows[y] = SelectBalanceRow(GreenAtEvenColumns(Phase, y), IsRedRow(Phase, y));
    }
    const LONG_PTR stride = frame->Stride;
    const ULONG width = frame->Width;
    // Only pixels of the image count: the last block of a row may reach into the border and
    // the slack bytes, whose content is not part of the frame.
    const __m128i lastValid = ValidBytes(width % BlockPixels == 0 ? BlockPixels : width % BlockPixels);
    ChannelSums sums = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    for (ULONG y = 0; y < frame->Height; ++y) {
        rows[y & 1](frame->Pixels + static_cast<LONG_PTR>(y) * stride, stride, width, lastValid,
                    &sums);
    }
    ComputeWhiteBalanceGains(TotalOf(sums.Red), TotalOf(sums.Green), TotalOf(sums.Blue), redGain,
                             greenGain, blueGain);
}

}  // namespace Sse2Kernels

const ConversionKernels Sse2KernelTable = {
    {Sse2Kernels::ColorKernel<0>, Sse2Kernels::ColorKernel<1>, Sse2Kernels::ColorKernel<2>,
     Sse2Kernels::ColorKernel<3>},
    {Sse2Kernels::PlainKernel<0>, Sse2Kernels::PlainKernel<1>, Sse2Kernels::PlainKernel<2>,
     Sse2Kernels::PlainKernel<3>},
    {Sse2Kernels::AutoWhiteBalance<0>, Sse2Kernels::AutoWhiteBalance<1>,
     Sse2Kernels::AutoWhiteBalance<2>, Sse2Kernels::AutoWhiteBalance<3>},
};

#endif  // IMAGING_HAVE_SSE2
