// The vector operations of the pixel stages on 512-bit registers (AVX-512 F and BW), for
// inclusion inside the namespace of the AVX-512 kernel family, whose file defines
// VECTOR_TARGET.
#define VECTOR_INLINE inline __attribute__((always_inline)) VECTOR_TARGET

typedef __m512i Vec;
constexpr ULONG BlockPixels = 64;

VECTOR_INLINE Vec Load(const UCHAR* p) { return _mm512_loadu_si512(p); }
VECTOR_INLINE void Store(UCHAR* p, Vec v) { _mm512_storeu_si512(p, v); }
VECTOR_INLINE Vec Zero() { return _mm512_setzero_si512(); }
VECTOR_INLINE Vec Set8(char v) { return _mm512_set1_epi8(v); }
VECTOR_INLINE Vec Set16(short v) { return _mm512_set1_epi16(v); }
// A constant the compiler must keep as a value: a multiplication by it stays one multiply
// rather than becoming a chain of shifts and adds.
VECTOR_INLINE Vec Opaque(Vec v)
{
    __asm__("" : "+v"(v));
    return v;
}
VECTOR_INLINE Vec Set32(int v) { return _mm512_set1_epi32(v); }
VECTOR_INLINE Vec And(Vec a, Vec b) { return _mm512_and_si512(a, b); }
VECTOR_INLINE Vec Add16(Vec a, Vec b) { return _mm512_add_epi16(a, b); }
VECTOR_INLINE Vec Sub16(Vec a, Vec b) { return _mm512_sub_epi16(a, b); }
template <int N> VECTOR_INLINE Vec ShiftLeft16(Vec a) { return _mm512_slli_epi16(a, N); }
template <int N> VECTOR_INLINE Vec ShiftRight16(Vec a) { return _mm512_srli_epi16(a, N); }
VECTOR_INLINE Vec Max16(Vec a, Vec b) { return _mm512_max_epi16(a, b); }
VECTOR_INLINE Vec Min16(Vec a, Vec b) { return _mm512_min_epi16(a, b); }
VECTOR_INLINE Vec MinU16(Vec a, Vec b) { return _mm512_min_epu16(a, b); }
VECTOR_INLINE Vec MulLow16(Vec a, Vec b) { return _mm512_mullo_epi16(a, b); }
VECTOR_INLINE Vec MulHighU16(Vec a, Vec b) { return _mm512_mulhi_epu16(a, b); }
VECTOR_INLINE Vec SubSatU16(Vec a, Vec b) { return _mm512_subs_epu16(a, b); }
VECTOR_INLINE Vec PackUS16(Vec a, Vec b) { return _mm512_packus_epi16(a, b); }
VECTOR_INLINE Vec PackS32(Vec a, Vec b) { return _mm512_packs_epi32(a, b); }
VECTOR_INLINE Vec UnpackLow8(Vec a, Vec b) { return _mm512_unpacklo_epi8(a, b); }
VECTOR_INLINE Vec UnpackHigh8(Vec a, Vec b) { return _mm512_unpackhi_epi8(a, b); }
VECTOR_INLINE Vec UnpackLow16(Vec a, Vec b) { return _mm512_unpacklo_epi16(a, b); }
VECTOR_INLINE Vec UnpackHigh16(Vec a, Vec b) { return _mm512_unpackhi_epi16(a, b); }
VECTOR_INLINE Vec Add32(Vec a, Vec b) { return _mm512_add_epi32(a, b); }
VECTOR_INLINE Vec Sub32(Vec a, Vec b) { return _mm512_sub_epi32(a, b); }
template <int N> VECTOR_INLINE Vec ShiftRight32(Vec a) { return _mm512_srli_epi32(a, N); }
VECTOR_INLINE Vec Add64(Vec a, Vec b) { return _mm512_add_epi64(a, b); }
VECTOR_INLINE Vec SumBytes(Vec a) { return _mm512_sad_epu8(a, _mm512_setzero_si512()); }
VECTOR_INLINE Vec GreaterThan8(Vec a, Vec b) { return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b)); }
// The interleaves work inside 128-bit lanes: lane k of the store's n-th register must hold
// pixels 16n + 4k .. 16n + 4k + 3, so the 4-pixel groups are transposed 4 x 4.
VECTOR_INLINE Vec StoreOrder(Vec a)
{
    return _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), a);
}
VECTOR_INLINE ULONGLONG Total64(Vec a)
{
    alignas(64) ULONGLONG lanes[8];
    _mm512_store_si512(lanes, a);
    ULONGLONG total = 0;
    for (ULONGLONG lane : lanes) {
        total += lane;
    }
    return total;
}
