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

#if defined(_MSC_VER)
#define KERNEL_INLINE __forceinline
#else
#define KERNEL_INLINE inline __attribute__((always_inline))
#endif

using namespace KernelSupport;

namespace {

constexpr ULONG BlockPixels = 16;

// The six tap sums of one parity of a block: the centre, the near and far horizontal and
// vertical pairs, and the four diagonals.
struct Taps {
    __m128i Centre;
    __m128i Horizontal1;
    __m128i Vertical1;
    __m128i Horizontal2;
    __m128i Vertical2;
    __m128i Diagonal;
};

// Red, green and blue of the 8 pixels of one parity, 0..255 in 16-bit lanes (or, after the
// colour transform, signed values that the final pack limits to 0..255).
struct Channels {
    __m128i Red;
    __m128i Green;
    __m128i Blue;
};

KERNEL_INLINE __m128i Load(const UCHAR* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

KERNEL_INLINE __m128i EvenBytes(__m128i v)
{
    return _mm_and_si128(v, _mm_set1_epi16(0x00FF));
}

KERNEL_INLINE __m128i OddBytes(__m128i v)
{
    return _mm_srli_epi16(v, 8);
}

// Reads raw columns x - 2 .. x + 17 of rows -2 .. +2 around the block at p (image column x).
KERNEL_INLINE void GatherTaps(const UCHAR* p, LONG_PTR stride, Taps* even, Taps* odd)
{
    const __m128i middle = Load(p);
    const __m128i left = Load(p - 2);
    const __m128i right = Load(p + 2);
    const __m128i e0 = EvenBytes(middle);
    const __m128i o0 = OddBytes(middle);
    const __m128i eLeft = EvenBytes(left);    // column 2j - 2
    const __m128i oLeft = OddBytes(left);     // column 2j - 1
    const __m128i eRight = EvenBytes(right);  // column 2j + 2
    const __m128i oRight = OddBytes(right);   // column 2j + 3

    // Rows above and below, added pairwise.
    const UCHAR* up = p - stride;
    const UCHAR* down = p + stride;
    const __m128i upMiddle = Load(up);
    const __m128i downMiddle = Load(down);
    const __m128i nearEven = _mm_add_epi16(EvenBytes(upMiddle), EvenBytes(downMiddle));
    const __m128i nearOdd = _mm_add_epi16(OddBytes(upMiddle), OddBytes(downMiddle));
    const __m128i nearOddLeft = _mm_add_epi16(OddBytes(Load(up - 2)), OddBytes(Load(down - 2)));
    const __m128i nearEvenRight =
        _mm_add_epi16(EvenBytes(Load(up + 2)), EvenBytes(Load(down + 2)));
    const __m128i farUp = Load(p - 2 * stride);
    const __m128i farDown = Load(p + 2 * stride);
    const __m128i farEven = _mm_add_epi16(EvenBytes(farUp), EvenBytes(farDown));
    const __m128i farOdd = _mm_add_epi16(OddBytes(farUp), OddBytes(farDown));

    even->Centre = e0;
    even->Horizontal1 = _mm_add_epi16(oLeft, o0);
    even->Vertical1 = nearEven;
    even->Horizontal2 = _mm_add_epi16(eLeft, eRight);
    even->Vertical2 = farEven;
    even->Diagonal = _mm_add_epi16(nearOddLeft, nearOdd);

    odd->Centre = o0;
    odd->Horizontal1 = _mm_add_epi16(e0, eRight);
    odd->Vertical1 = nearOdd;
    odd->Horizontal2 = _mm_add_epi16(oLeft, oRight);
    odd->Vertical2 = farOdd;
    odd->Diagonal = _mm_add_epi16(nearEven, nearEvenRight);
}

// A filter sum that already holds its rounding constant becomes a value: negative gives 0,
// then the division by a power of two and the limit of 255.
template <int Shift>
KERNEL_INLINE __m128i FilterValue(__m128i roundedSum)
{
    __m128i positive = _mm_max_epi16(roundedSum, _mm_setzero_si128());
    return _mm_min_epi16(_mm_srli_epi16(positive, Shift), _mm_set1_epi16(255));
}

// Malvar-He-Cutler interpolation of one parity. Green: a green site; RedRow: the row's
// non-green sites are red.
template <bool Green, bool RedRow>
KERNEL_INLINE Channels Interpolate(const Taps& t)
{
    Channels out;
    if (Green) {
        // 10 c - 2 D + 8 is shared by the horizontal and the vertical filter.
        __m128i common = _mm_add_epi16(_mm_slli_epi16(t.Centre, 3), _mm_slli_epi16(t.Centre, 1));
        common = _mm_sub_epi16(common, _mm_slli_epi16(t.Diagonal, 1));
        common = _mm_add_epi16(common, _mm_set1_epi16(8));
        __m128i horizontal = _mm_add_epi16(common, _mm_slli_epi16(t.Horizontal1, 3));
        horizontal = _mm_add_epi16(horizontal, t.Vertical2);
        horizontal = _mm_sub_epi16(horizontal, _mm_slli_epi16(t.Horizontal2, 1));
        __m128i vertical = _mm_add_epi16(common, _mm_slli_epi16(t.Vertical1, 3));
        vertical = _mm_add_epi16(vertical, t.Horizontal2);
        vertical = _mm_sub_epi16(vertical, _mm_slli_epi16(t.Vertical2, 1));
        horizontal = FilterValue<4>(horizontal);
        vertical = FilterValue<4>(vertical);
        out.Red = RedRow ? horizontal : vertical;
        out.Green = t.Centre;
        out.Blue = RedRow ? vertical : horizontal;
    } else {
        const __m128i far = _mm_add_epi16(t.Horizontal2, t.Vertical2);
        const __m128i centre4 = _mm_slli_epi16(t.Centre, 2);
        // 4 c + 2 (near four) - far + 4, in eighths.
        __m128i green = _mm_slli_epi16(_mm_add_epi16(t.Horizontal1, t.Vertical1), 1);
        green = _mm_add_epi16(_mm_add_epi16(green, centre4), _mm_set1_epi16(4));
        green = _mm_sub_epi16(green, far);
        // 12 c + 4 D - 3 far + 8, in sixteenths.
        __m128i opposite = _mm_add_epi16(_mm_slli_epi16(t.Centre, 3), centre4);
        opposite = _mm_add_epi16(opposite, _mm_slli_epi16(t.Diagonal, 2));
        opposite = _mm_sub_epi16(opposite, _mm_add_epi16(far, _mm_slli_epi16(far, 1)));
        opposite = _mm_add_epi16(opposite, _mm_set1_epi16(8));
        green = FilterValue<3>(green);
        opposite = FilterValue<4>(opposite);
        out.Red = RedRow ? t.Centre : opposite;
        out.Green = green;
        out.Blue = RedRow ? opposite : t.Centre;
    }
    return out;
}

// Gains as prepared multipliers: twice the gain, limited to 2 x 32640. Any gain of 32640 or
// more already takes every non-zero value to 255, so the limit changes no result, and
// (v << 8) x 2g >> 16 is exactly v x g >> 7.
struct GainVectors {
    __m128i Red;
    __m128i Green;
    __m128i Blue;
};

KERNEL_INLINE __m128i GainVector(LONG gain)
{
    ULONG multiplier = GainMultiplier(gain);
    ULONG limited = multiplier < 32640 ? multiplier : 32640;
    return _mm_set1_epi16(static_cast<short>(static_cast<USHORT>(limited * 2)));
}

KERNEL_INLINE __m128i ApplyGain(__m128i value, __m128i gain)
{
    __m128i scaled = _mm_mulhi_epu16(_mm_slli_epi16(value, 8), gain);
    // Unsigned minimum with 255.
    return _mm_sub_epi16(scaled, _mm_subs_epu16(scaled, _mm_set1_epi16(255)));
}

KERNEL_INLINE void ApplyGains(Channels* c, const GainVectors& gains)
{
    c->Red = ApplyGain(c->Red, gains.Red);
    c->Green = ApplyGain(c->Green, gains.Green);
    c->Blue = ApplyGain(c->Blue, gains.Blue);
}

bool UnityGains(const FrameDescriptor* frame)
{
    return GainMultiplier(frame->RedGain) == 128 && GainMultiplier(frame->GreenGain) == 128 &&
           GainMultiplier(frame->BlueGain) == 128;
}

// The colour transform's constants for the frame: |K[i][c]| broadcast, a mask of all ones
// where K[i][c] is positive, and the offset row split into its POS part and its total.
struct TransformVectors {
    __m128i Magnitude[3][3];
    __m128i PositiveMask[3][3];
    __m128i PositiveOffset[3];
    __m128i TotalOffset[3];
    __m128i PositiveOffset32[3];
    __m128i TotalOffset32[3];
};

void PrepareTransformVectors(const TransformTable& table, TransformVectors* v)
{
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 3; ++i) {
            v->Magnitude[i][c] =
                _mm_set1_epi16(static_cast<short>(static_cast<USHORT>(table.Magnitude[i][c])));
            v->PositiveMask[i][c] = _mm_set1_epi32(table.Positive[i][c] ? -1 : 0);
        }
        ULONG offset = table.Magnitude[3][c];
        ULONG positiveOffset = table.Positive[3][c] ? offset : 0;
        v->PositiveOffset[c] = _mm_set1_epi16(static_cast<short>(static_cast<USHORT>(positiveOffset)));
        v->TotalOffset[c] = _mm_set1_epi16(static_cast<short>(static_cast<USHORT>(offset)));
        v->PositiveOffset32[c] = _mm_set1_epi32(static_cast<int>(positiveOffset));
        v->TotalOffset32[c] = _mm_set1_epi32(static_cast<int>(offset));
    }
}

// One output channel with 16-bit sums, exact when POS and NEG cannot reach 65536 (checked per
// frame). NEG is the total minus POS, exact modulo 65536 and therefore exact.
KERNEL_INLINE __m128i TransformNarrow(const Channels& in, const TransformVectors& v, int c)
{
    __m128i p0 = _mm_mullo_epi16(in.Red, v.Magnitude[0][c]);
    __m128i p1 = _mm_mullo_epi16(in.Green, v.Magnitude[1][c]);
    __m128i p2 = _mm_mullo_epi16(in.Blue, v.Magnitude[2][c]);
    __m128i positive = _mm_add_epi16(_mm_and_si128(p0, v.PositiveMask[0][c]),
                                     _mm_and_si128(p1, v.PositiveMask[1][c]));
    positive = _mm_add_epi16(positive, _mm_and_si128(p2, v.PositiveMask[2][c]));
    positive = _mm_add_epi16(positive, v.PositiveOffset[c]);
    __m128i total = _mm_add_epi16(_mm_add_epi16(p0, p1), _mm_add_epi16(p2, v.TotalOffset[c]));
    __m128i negative = _mm_sub_epi16(total, positive);
    return _mm_sub_epi16(_mm_srli_epi16(positive, 6), _mm_srli_epi16(negative, 6));
}

// Exact 32-bit product of 8 values (0..255) with a 16-bit magnitude, as two halves.
KERNEL_INLINE void WideProduct(__m128i value, __m128i magnitude, __m128i* low, __m128i* high)
{
    __m128i productLow = _mm_mullo_epi16(value, magnitude);
    __m128i productHigh = _mm_mulhi_epu16(value, magnitude);
    *low = _mm_unpacklo_epi16(productLow, productHigh);
    *high = _mm_unpackhi_epi16(productLow, productHigh);
}

KERNEL_INLINE __m128i WideDifference(__m128i p0, __m128i p1, __m128i p2,
                                     const TransformVectors& v, int c)
{
    __m128i positive = _mm_add_epi32(_mm_and_si128(p0, v.PositiveMask[0][c]),
                                     _mm_and_si128(p1, v.PositiveMask[1][c]));
    positive = _mm_add_epi32(positive, _mm_and_si128(p2, v.PositiveMask[2][c]));
    positive = _mm_add_epi32(positive, v.PositiveOffset32[c]);
    __m128i total = _mm_add_epi32(_mm_add_epi32(p0, p1), _mm_add_epi32(p2, v.TotalOffset32[c]));
    __m128i negative = _mm_sub_epi32(total, positive);
    return _mm_sub_epi32(_mm_srli_epi32(positive, 6), _mm_srli_epi32(negative, 6));
}

// One output channel with exact 32-bit POS and NEG, for coefficient tables that can pass
// 65535; the signed pack keeps every result's side of 0 and 255.
KERNEL_INLINE __m128i TransformWide(const Channels& in, const TransformVectors& v, int c)
{
    __m128i r0, r1, g0, g1, b0, b1;
    WideProduct(in.Red, v.Magnitude[0][c], &r0, &r1);
    WideProduct(in.Green, v.Magnitude[1][c], &g0, &g1);
    WideProduct(in.Blue, v.Magnitude[2][c], &b0, &b1);
    return _mm_packs_epi32(WideDifference(r0, g0, b0, v, c), WideDifference(r1, g1, b1, v, c));
}

template <bool Wide>
KERNEL_INLINE Channels Transform(const Channels& in, const TransformVectors& v)
{
    Channels out;
    if (Wide) {
        out.Red = TransformWide(in, v, 0);
        out.Green = TransformWide(in, v, 1);
        out.Blue = TransformWide(in, v, 2);
    } else {
        out.Red = TransformNarrow(in, v, 0);
        out.Green = TransformNarrow(in, v, 1);
        out.Blue = TransformNarrow(in, v, 2);
    }
    return out;
}

// Even and odd lanes back into pixel order, limited to 0..255 as bytes.
KERNEL_INLINE __m128i PixelOrderBytes(__m128i even, __m128i odd)
{
    return _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd));
}

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

// BT.601 luminance with weights 77, 150, 29 in 1/256 units, each term truncated on its own.
KERNEL_INLINE __m128i Luminance(const Channels& c)
{
    __m128i red = _mm_srli_epi16(_mm_mullo_epi16(c.Red, _mm_set1_epi16(77)), 8);
    __m128i green = _mm_srli_epi16(_mm_mullo_epi16(c.Green, _mm_set1_epi16(150)), 8);
    __m128i blue = _mm_srli_epi16(_mm_mullo_epi16(c.Blue, _mm_set1_epi16(29)), 8);
    return _mm_add_epi16(_mm_add_epi16(red, green), blue);
}

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
