// Per-frame preparation shared by both kernel forms: the Bayer site layout of a phase, the
// gain multipliers and the colour transform's coefficient magnitudes and signs.
#pragma once

#include <wdm.h>

#include "imaging/frame_descriptor.h"

namespace KernelSupport {

// With x' = x XOR bit 1 of the phase and y' = y XOR bit 0, a site is green where x' = y', red
// where x' = 1 and y' = 0, blue where x' = 0 and y' = 1.
constexpr ULONG RowParity(int phase, ULONG y) { return (y ^ static_cast<ULONG>(phase)) & 1; }
constexpr ULONG ColumnParity(int phase, ULONG x) { return (x ^ (static_cast<ULONG>(phase) >> 1)) & 1; }

// A row is a "red row" when its non-green sites are red (its greens are Gr sites).
constexpr bool IsRedRow(int phase, ULONG y) { return RowParity(phase, y) == 0; }
// Whether the even columns of a row carry green.
constexpr bool GreenAtEvenColumns(int phase, ULONG y)
{
    return ColumnParity(phase, 0) == RowParity(phase, y);
}

// Gains are unsigned 16-bit multipliers: the low 16 bits of the field.
inline ULONG GainMultiplier(LONG gain) { return static_cast<ULONG>(gain) & 0xFFFF; }

// The colour transform of one frame. Magnitude is |K| modulo 65536, Positive the sign the
// processor flagged for the frame. For channel c: POS sums in_i x |K[i][c]| over the positive
// entries of rows 0..2 plus a positive offset, NEG the rest; out = POS/64 - NEG/64.
struct TransformTable {
    ULONG Magnitude[4][3];
    bool Positive[4][3];
    // Largest POS and NEG any input of 0..255 can produce, per output channel.
    ULONG MaximumPositive[3];
    ULONG MaximumNegative[3];
};

inline void PrepareTransform(const LONG* coefficients, const UCHAR* positiveFlags,
                             TransformTable* table)
{
    for (int c = 0; c < 3; ++c) {
        ULONG positive = 0;
        ULONG negative = 0;
        for (int i = 0; i < 4; ++i) {
            LONG k = coefficients[i * 4 + c];
            // Negation in unsigned arithmetic: defined for every 32-bit value.
            ULONG magnitude = (k >= 0 ? static_cast<ULONG>(k) : 0u - static_cast<ULONG>(k)) & 0xFFFF;
            bool isPositive = positiveFlags[i * 4 + c] != 0;
            table->Magnitude[i][c] = magnitude;
            table->Positive[i][c] = isPositive;
            ULONG reach = i == 3 ? magnitude : magnitude * 255;
            if (isPositive) {
                positive += reach;
            } else {
                negative += reach;
            }
        }
        table->MaximumPositive[c] = positive;
        table->MaximumNegative[c] = negative;
    }
}

// True when POS and NEG stay below 65536 for every input: 16-bit sums are then exact.
inline bool TransformFitsSixteenBits(const TransformTable* table)
{
    for (int c = 0; c < 3; ++c) {
        if (table->MaximumPositive[c] > 0xFFFF || table->MaximumNegative[c] > 0xFFFF) {
            return false;
        }
    }
    return true;
}

// True when every output channel's only positive input term is its own input (red for red,
// and so on): the usual colour-correction shape, whose sums need no per-term masks.
inline bool TransformIsDiagonal(const TransformTable* table)
{
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 3; ++i) {
            if (table->Positive[i][c] != (i == c)) {
                return false;
            }
        }
    }
    return true;
}

// Whether any output channel has a non-zero offset term.
inline bool TransformHasOffsets(const TransformTable* table)
{
    return table->Magnitude[3][0] != 0 || table->Magnitude[3][1] != 0 ||
           table->Magnitude[3][2] != 0;
}

inline bool UnityGains(const FrameDescriptor* frame)
{
    return GainMultiplier(frame->RedGain) == 128 && GainMultiplier(frame->GreenGain) == 128 &&
           GainMultiplier(frame->BlueGain) == 128;
}

}  // namespace KernelSupport
