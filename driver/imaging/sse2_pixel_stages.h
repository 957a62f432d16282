// The pixel stages of the SSE2 conversion kernels, shared by every output format: gathering
// the filter taps of a 16-pixel block split into its even and odd columns, Malvar-He-Cutler
// interpolation, gains and the colour transform, and the plain path's luminance. A format's
// row routine runs these on each block and packs the result its own way.
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

inline bool UnityGains(const FrameDescriptor* frame)
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

inline void PrepareTransformVectors(const TransformTable& table, TransformVectors* v)
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
// POS and NEG of one output channel in 16-bit lanes.
KERNEL_INLINE void NarrowSums(const Channels& in, const TransformVectors& v, int c,
                              __m128i* positiveSum, __m128i* negativeSum)
{
    __m128i p0 = _mm_mullo_epi16(in.Red, v.Magnitude[0][c]);
    __m128i p1 = _mm_mullo_epi16(in.Green, v.Magnitude[1][c]);
    __m128i p2 = _mm_mullo_epi16(in.Blue, v.Magnitude[2][c]);
    __m128i positive = _mm_add_epi16(_mm_and_si128(p0, v.PositiveMask[0][c]),
                                     _mm_and_si128(p1, v.PositiveMask[1][c]));
    positive = _mm_add_epi16(positive, _mm_and_si128(p2, v.PositiveMask[2][c]));
    positive = _mm_add_epi16(positive, v.PositiveOffset[c]);
    __m128i total = _mm_add_epi16(_mm_add_epi16(p0, p1), _mm_add_epi16(p2, v.TotalOffset[c]));
    *positiveSum = positive;
    *negativeSum = _mm_sub_epi16(total, positive);
}

KERNEL_INLINE __m128i TransformNarrow(const Channels& in, const TransformVectors& v, int c)
{
    __m128i positive;
    __m128i negative;
    NarrowSums(in, v, c, &positive, &negative);
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

// BT.601 luminance with weights 77, 150, 29 in 1/256 units, each term truncated on its own.
KERNEL_INLINE __m128i Luminance(const Channels& c)
{
    __m128i red = _mm_srli_epi16(_mm_mullo_epi16(c.Red, _mm_set1_epi16(77)), 8);
    __m128i green = _mm_srli_epi16(_mm_mullo_epi16(c.Green, _mm_set1_epi16(150)), 8);
    __m128i blue = _mm_srli_epi16(_mm_mullo_epi16(c.Blue, _mm_set1_epi16(29)), 8);
    return _mm_add_epi16(_mm_add_epi16(red, green), blue);
}

}  // namespace Sse2PixelStages

#endif  // IMAGING_HAVE_SSE2
