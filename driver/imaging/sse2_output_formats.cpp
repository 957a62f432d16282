// The SSE2 form of the output format kernels. Each block of 16 pixels goes through the pixel
// stages of the 32-bit path (its 8 even and 8 odd columns in 16-bit lanes) and is packed
// straight into the target layout. The even and odd lanes of a block are exactly the pixel
// pairs that share a YUY2 or NV12 chroma sample, so chroma needs no shuffles. NV12 runs two
// rows at a time. A block that runs past the end of the row goes through an aligned scratch
// area and only its bytes inside the row are copied out.
#include "imaging/output_formats.h"

#include "imaging/conversion_kernels.h"

#ifdef IMAGING_HAVE_SSE2

#include <emmintrin.h>

#include "imaging/image_processor.h"
#include "imaging/kernel_support.h"
#include "imaging/sse2_pixel_stages.h"

using namespace KernelSupport;
using namespace Sse2PixelStages;

namespace {

// Pixel stage selection: colour transform or plain luminance, 32-bit transform sums, gains.
enum : int { ModeColor = 1, ModeWide = 2, ModeGains = 4 };

// Whether the transform's results are limited to 0..255 in their lanes (the YUV formats), or
// left to the saturating byte pack that follows (RGB24).
enum class Limit { InLanes, ByPack };

struct PixelSetup {
    GainVectors Gains;
    TransformVectors Transform;
};

KERNEL_INLINE __m128i ClampToByte(__m128i v)
{
    return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}

// TransformNarrow with the result limited to 0..255: POS / 64 - NEG / 64 as an unsigned
// saturating difference is already the limit at 0.
KERNEL_INLINE __m128i TransformNarrowLimited(const Channels& in, const TransformVectors& v, int c)
{
    __m128i positive;
    __m128i negative;
    NarrowSums(in, v, c, &positive, &negative);
    __m128i difference = _mm_subs_epu16(_mm_srli_epi16(positive, 6), _mm_srli_epi16(negative, 6));
    return _mm_min_epi16(difference, _mm_set1_epi16(255));
}

KERNEL_INLINE Channels TransformLimited(const Channels& in, const TransformVectors& v)
{
    Channels out;
    out.Red = TransformNarrowLimited(in, v, 0);
    out.Green = TransformNarrowLimited(in, v, 1);
    out.Blue = TransformNarrowLimited(in, v, 2);
    return out;
}

// The finished pixels of the block at p, as the 32-bit path writes them, in 16-bit lanes:
// 0..255, or with Limit::ByPack values that a saturating pack takes to those bytes.
template <bool GreenAtEven, bool RedRow, int Mode, Limit Limits = Limit::InLanes>
KERNEL_INLINE void FinishedBlock(const UCHAR* p, LONG_PTR stride, const PixelSetup& setup,
                                 Channels* even, Channels* odd)
{
    Taps evenTaps, oddTaps;
    GatherTaps(p, stride, &evenTaps, &oddTaps);
    *even = Interpolate<GreenAtEven, RedRow>(evenTaps);
    *odd = Interpolate<!GreenAtEven, RedRow>(oddTaps);
    if ((Mode & ModeGains) != 0) {
        ApplyGains(even, setup.Gains);
        ApplyGains(odd, setup.Gains);
    }
    if ((Mode & ModeColor) != 0 && (Mode & ModeWide) == 0 && Limits == Limit::InLanes) {
        *even = TransformLimited(*even, setup.Transform);
        *odd = TransformLimited(*odd, setup.Transform);
    } else if ((Mode & ModeColor) != 0) {
        *even = Transform<(Mode & ModeWide) != 0>(*even, setup.Transform);
        *odd = Transform<(Mode & ModeWide) != 0>(*odd, setup.Transform);
        if (Limits == Limit::ByPack) {
            return;
        }
        even->Red = ClampToByte(even->Red);
        even->Green = ClampToByte(even->Green);
        even->Blue = ClampToByte(even->Blue);
        odd->Red = ClampToByte(odd->Red);
        odd->Green = ClampToByte(odd->Green);
        odd->Blue = ClampToByte(odd->Blue);
    } else {
        __m128i evenLuma = Luminance(*even);
        __m128i oddLuma = Luminance(*odd);
        even->Red = even->Green = even->Blue = evenLuma;
        odd->Red = odd->Green = odd->Blue = oddLuma;
    }
}

// 16 + (66 R + 129 G + 25 B + 128) >> 8 as (66 R + 129 G + 25 B + 128 + 16 x 256) >> 8: at
// most 60324 before the shift, exact in unsigned 16-bit lanes.
KERNEL_INLINE __m128i Luma(const Channels& c)
{
    __m128i sum = _mm_add_epi16(_mm_mullo_epi16(c.Red, _mm_set1_epi16(66)),
                                _mm_mullo_epi16(c.Green, _mm_set1_epi16(129)));
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(c.Blue, _mm_set1_epi16(25)));
    sum = _mm_add_epi16(sum, _mm_set1_epi16(128 + 16 * 256));
    return _mm_srli_epi16(sum, 8);
}

// 128 + floor((a R + b G + c B + 128) / 256) for weights whose sums t stay within
// -28560 .. 28560: t + 128 + 128 x 256 is 4336 .. 61456, so the sum is exact in unsigned
// 16-bit lanes and the logical shift is the floor with 128 added.
KERNEL_INLINE __m128i Chroma(const Channels& c, short red, short green, short blue)
{
    __m128i sum = _mm_add_epi16(_mm_mullo_epi16(c.Red, _mm_set1_epi16(red)),
                                _mm_mullo_epi16(c.Green, _mm_set1_epi16(green)));
    sum = _mm_add_epi16(sum, _mm_mullo_epi16(c.Blue, _mm_set1_epi16(blue)));
    sum = _mm_add_epi16(sum, _mm_set1_epi16(static_cast<short>(128 + 128 * 256)));
    return _mm_srli_epi16(sum, 8);
}

// Cb in the low byte and Cr in the high byte of each lane.
KERNEL_INLINE __m128i ChromaPairs(const Channels& mean)
{
    __m128i cb = Chroma(mean, -38, -74, 112);
    __m128i cr = Chroma(mean, 112, -94, -18);
    return _mm_or_si128(cb, _mm_slli_epi16(cr, 8));
}

// Stores the first `bytes` of `count` vectors; all of them when the block is whole.
KERNEL_INLINE void StoreVectors(UCHAR* out, const __m128i* vectors, ULONG vectorCount, ULONG bytes)
{
    if (bytes == vectorCount * 16) {
        for (ULONG i = 0; i < vectorCount; ++i) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, vectors[i]);
        }
        return;
    }
    __m128i scratch[4];  // 16-byte aligned
    for (ULONG i = 0; i < vectorCount; ++i) {
        _mm_store_si128(scratch + i, vectors[i]);
    }
    RtlCopyMemory(out, scratch, bytes);
}

struct RowContext {
    const UCHAR* Pixels;
    LONG_PTR Stride;
    ULONG Width;
    ULONG Height;
    UCHAR* Output;
    PixelSetup Setup;
};

typedef void RowRoutine(const RowContext& context, ULONG y);

// --- RGB24 ------------------------------------------------------------------------------------

// The 6 bytes of a pixel pair (blue, green, red of the even pixel, then of the odd one) are
// three 16-bit words: blue-green of the even pixel, red of the even with blue of the odd, and
// green-red of the odd pixel. Interleaved they give each pair in the low 6 bytes of a 64-bit
// lane; 8-byte stores 6 bytes apart, in ascending order, lay the pairs side by side (each
// store's 2 extra bytes are overwritten by the next one).
KERNEL_INLINE void StorePairs(__m128i pairs, UCHAR* out)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs);
    // The upper lane moved down: an unaligned 8-byte store of the integer type (a store
    // through a double pointer would claim an alignment the row does not have).
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(pairs, pairs));
}

template <bool GreenAtEven, bool RedRow, int Mode>
void Rgb24Row(const RowContext& c, ULONG y)
{
    const ULONG rowBytes = (c.Width * 3 + 3) & ~3u;
    const UCHAR* row = c.Pixels + static_cast<LONG_PTR>(y) * c.Stride;
    UCHAR* out = c.Output + static_cast<SIZE_T>(c.Height - 1 - y) * rowBytes;
    for (ULONG x = 0; x < c.Width; x += BlockPixels) {
        Channels even, odd;
        FinishedBlock<GreenAtEven, RedRow, Mode, Limit::ByPack>(row + x, c.Stride, c.Setup, &even,
                                                                &odd);
        // Bytes of the 8 even pixels, then of the 8 odd ones.
        __m128i blue = _mm_packus_epi16(even.Blue, odd.Blue);
        __m128i green = _mm_packus_epi16(even.Green, odd.Green);
        __m128i red = _mm_packus_epi16(even.Red, odd.Red);
        __m128i word0 = _mm_unpacklo_epi8(blue, green);
        __m128i word1 = _mm_unpacklo_epi8(red, _mm_srli_si128(blue, 8));
        __m128i word2 = _mm_unpackhi_epi8(green, red);
        __m128i words01Low = _mm_unpacklo_epi16(word0, word1);
        __m128i words01High = _mm_unpackhi_epi16(word0, word1);
        __m128i word2Low = _mm_unpacklo_epi16(word2, word2);
        __m128i word2High = _mm_unpackhi_epi16(word2, word2);
        __m128i pairs[4] = {
            _mm_unpacklo_epi32(words01Low, word2Low),
            _mm_unpackhi_epi32(words01Low, word2Low),
            _mm_unpacklo_epi32(words01High, word2High),
            _mm_unpackhi_epi32(words01High, word2High),
        };
        ULONG count = c.Width - x < BlockPixels ? c.Width - x : BlockPixels;
        // The last block of the row goes through scratch: its last store reaches 2 bytes past
        // the block, into the padding or the previous image row.
        __m128i scratch[4];
        UCHAR* target = x + BlockPixels < c.Width ? out : reinterpret_cast<UCHAR*>(scratch);
        for (ULONG i = 0; i < 4; ++i) {
            StorePairs(pairs[i], target + 12 * i);
        }
        if (target != out) {
            RtlCopyMemory(out, scratch, count * 3);
        }
        out += count * 3;
    }
    for (ULONG pad = c.Width * 3; pad < rowBytes; ++pad) {
        *out++ = 0;
    }
}

// --- YUY2 -------------------------------------------------------------------------------------

template <bool GreenAtEven, bool RedRow, int Mode>
void Yuy2Row(const RowContext& c, ULONG y)
{
    const UCHAR* row = c.Pixels + static_cast<LONG_PTR>(y) * c.Stride;
    UCHAR* out = c.Output + static_cast<SIZE_T>(y) * c.Width * 2;
    for (ULONG x = 0; x < c.Width; x += BlockPixels) {
        Channels even, odd;
        FinishedBlock<GreenAtEven, RedRow, Mode>(row + x, c.Stride, c.Setup, &even, &odd);
        Channels mean;
        mean.Red = _mm_avg_epu16(even.Red, odd.Red);
        mean.Green = _mm_avg_epu16(even.Green, odd.Green);
        mean.Blue = _mm_avg_epu16(even.Blue, odd.Blue);
        // Y0 Cb in the lanes of the even pixels, Y1 Cr in those of the odd ones.
        __m128i first = _mm_or_si128(Luma(even), _mm_slli_epi16(Chroma(mean, -38, -74, 112), 8));
        __m128i second = _mm_or_si128(Luma(odd), _mm_slli_epi16(Chroma(mean, 112, -94, -18), 8));
        __m128i packed[2] = {_mm_unpacklo_epi16(first, second), _mm_unpackhi_epi16(first, second)};
        ULONG count = c.Width - x < BlockPixels ? c.Width - x : BlockPixels;
        StoreVectors(out, packed, 2, count * 2);
        out += count * 2;
    }
}

// --- NV12 -------------------------------------------------------------------------------------

// Rows y and y + 1 (y even): the Bayer layout of the second row is the other one in both
// respects.
template <bool GreenAtEven, bool RedRow, int Mode>
void Nv12RowPair(const RowContext& c, ULONG y)
{
    const UCHAR* top = c.Pixels + static_cast<LONG_PTR>(y) * c.Stride;
    const UCHAR* bottom = top + c.Stride;
    UCHAR* lumaTop = c.Output + static_cast<SIZE_T>(y) * c.Width;
    UCHAR* lumaBottom = lumaTop + c.Width;
    UCHAR* chroma =
        c.Output + static_cast<SIZE_T>(c.Width) * c.Height + static_cast<SIZE_T>(y / 2) * c.Width;
    const __m128i two = _mm_set1_epi16(2);
    for (ULONG x = 0; x < c.Width; x += BlockPixels) {
        Channels evenTop, oddTop, evenBottom, oddBottom;
        FinishedBlock<GreenAtEven, RedRow, Mode>(top + x, c.Stride, c.Setup, &evenTop, &oddTop);
        FinishedBlock<!GreenAtEven, !RedRow, Mode>(bottom + x, c.Stride, c.Setup, &evenBottom,
                                                   &oddBottom);
        __m128i lumaRows[2] = {PixelOrderBytes(Luma(evenTop), Luma(oddTop)),
                               PixelOrderBytes(Luma(evenBottom), Luma(oddBottom))};
        auto mean = [two](__m128i a, __m128i b, __m128i c2, __m128i d) {
            __m128i sum = _mm_add_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c2, d));
            return _mm_srli_epi16(_mm_add_epi16(sum, two), 2);
        };
        Channels block;
        block.Red = mean(evenTop.Red, oddTop.Red, evenBottom.Red, oddBottom.Red);
        block.Green = mean(evenTop.Green, oddTop.Green, evenBottom.Green, oddBottom.Green);
        block.Blue = mean(evenTop.Blue, oddTop.Blue, evenBottom.Blue, oddBottom.Blue);
        __m128i pairs = ChromaPairs(block);
        ULONG count = c.Width - x < BlockPixels ? c.Width - x : BlockPixels;
        StoreVectors(lumaTop, &lumaRows[0], 1, count);
        StoreVectors(lumaBottom, &lumaRows[1], 1, count);
        StoreVectors(chroma, &pairs, 1, count);
        lumaTop += count;
        lumaBottom += count;
        chroma += count;
    }
}

// --- Selection --------------------------------------------------------------------------------

template <template <bool, bool, int> class Family, int Mode>
RowRoutine* SelectLayout(bool greenAtEven, bool redRow)
{
    if (greenAtEven) {
        return redRow ? Family<true, true, Mode>::Row : Family<true, false, Mode>::Row;
    }
    return redRow ? Family<false, true, Mode>::Row : Family<false, false, Mode>::Row;
}

template <template <bool, bool, int> class Family>
RowRoutine* Select(bool greenAtEven, bool redRow, int mode)
{
    switch (mode) {
    case 0: return SelectLayout<Family, 0>(greenAtEven, redRow);
    case ModeGains: return SelectLayout<Family, ModeGains>(greenAtEven, redRow);
    case ModeColor: return SelectLayout<Family, ModeColor>(greenAtEven, redRow);
    case ModeColor | ModeGains:
        return SelectLayout<Family, ModeColor | ModeGains>(greenAtEven, redRow);
    case ModeColor | ModeWide:
        return SelectLayout<Family, ModeColor | ModeWide>(greenAtEven, redRow);
    default: return SelectLayout<Family, ModeColor | ModeWide | ModeGains>(greenAtEven, redRow);
    }
}

template <bool G, bool R, int M>
struct Rgb24Family {
    static void Row(const RowContext& c, ULONG y) { Rgb24Row<G, R, M>(c, y); }
};
template <bool G, bool R, int M>
struct Yuy2Family {
    static void Row(const RowContext& c, ULONG y) { Yuy2Row<G, R, M>(c, y); }
};
template <bool G, bool R, int M>
struct Nv12Family {
    static void Row(const RowContext& c, ULONG y) { Nv12RowPair<G, R, M>(c, y); }
};

// The frame's pixel setup and stage selection, as the 32-bit colour and plain kernels make it.
int PrepareRows(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color,
                RowContext* context)
{
    context->Pixels = frame->Pixels;
    context->Stride = frame->Stride;
    context->Width = frame->Width;
    context->Height = frame->Height;
    context->Output = frame->Output;
    context->Setup.Gains.Red = GainVector(frame->RedGain);
    context->Setup.Gains.Green = GainVector(frame->GreenGain);
    context->Setup.Gains.Blue = GainVector(frame->BlueGain);
    int mode = UnityGains(frame) ? 0 : ModeGains;
    if (color) {
        TransformTable table;
        PrepareTransform(frame->Coefficients, processor->PositiveFlags, &table);
        PrepareTransformVectors(table, &context->Setup.Transform);
        mode |= ModeColor;
        if (!TransformFitsSixteenBits(&table)) {
            mode |= ModeWide;
        }
    }
    return mode;
}

template <int Phase>
BOOLEAN Rgb32(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    if (color) {
        Sse2Kernels::ColorKernel<Phase>(processor, frame);
    } else {
        Sse2Kernels::PlainKernel<Phase>(frame);
    }
    return TRUE;
}

template <template <bool, bool, int> class Family, int Phase, ULONG RowsPerStep>
void RunRows(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    RowContext context;
    int mode = PrepareRows(processor, frame, color, &context);
    RowRoutine* rows[2];
    for (ULONG y = 0; y < 2; ++y) {
        rows[y] = Select<Family>(GreenAtEvenColumns(Phase, y), IsRedRow(Phase, y), mode);
    }
    for (ULONG y = 0; y < frame->Height; y += RowsPerStep) {
        rows[y & 1](context, y);
    }
}

template <int Phase>
BOOLEAN Rgb24(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    RunRows<Rgb24Family, Phase, 1>(processor, frame, color);
    return TRUE;
}

template <int Phase>
BOOLEAN Yuy2(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    if ((frame->Width & 1) != 0) {
        return FALSE;
    }
    RunRows<Yuy2Family, Phase, 1>(processor, frame, color);
    return TRUE;
}

template <int Phase>
BOOLEAN Nv12(const ImageProcessor* processor, const FrameDescriptor* frame, BOOLEAN color)
{
    if ((frame->Width & 1) != 0 || (frame->Height & 1) != 0) {
        return FALSE;
    }
    RunRows<Nv12Family, Phase, 2>(processor, frame, color);
    return TRUE;
}

template <int Phase>
BOOLEAN Bayer8(const ImageProcessor*, const FrameDescriptor* frame, BOOLEAN)
{
    const ULONG width = frame->Width;
    UCHAR* out = frame->Output;
    for (ULONG y = 0; y < frame->Height; ++y) {
        const UCHAR* row = frame->Pixels + static_cast<LONG_PTR>(y) * frame->Stride;
        ULONG x = 0;
        for (; width - x >= 16; x += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), Load(row + x));
        }
        for (; x < width; ++x) {
            out[x] = row[x];
        }
        out += width;
    }
    return TRUE;
}

}  // namespace

const FormatKernels Sse2FormatKernels = {{
    {Rgb32<0>, Rgb32<1>, Rgb32<2>, Rgb32<3>},
    {Rgb24<0>, Rgb24<1>, Rgb24<2>, Rgb24<3>},
    {Yuy2<0>, Yuy2<1>, Yuy2<2>, Yuy2<3>},
    {Nv12<0>, Nv12<1>, Nv12<2>, Nv12<3>},
    {Bayer8<0>, Bayer8<1>, Bayer8<2>, Bayer8<3>},
}};

#endif  // IMAGING_HAVE_SSE2
