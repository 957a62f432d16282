// The vector operations of the pixel stages on 256-bit registers, for inclusion inside the
// namespace of the AVX2 kernel family, whose file defines VECTOR_TARGET.
#define VECTOR_INLINE inline __attribute__((always_inline)) VECTOR_TARGET

typedef __m256i Vec;
constexpr ULONG BlockPixels = 32;

VECTOR_INLINE Vec Load(const UCHAR* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
VECTOR_INLINE void Store(UCHAR* p, Vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
VECTOR_INLINE Vec Zero() { return _mm256_setzero_si256(); }
VECTOR_INLINE Vec Set8(char v) { return _mm256_set1_epi8(v); }
VECTOR_INLINE Vec Set16(short v) { return _mm256_set1_epi16(v); }
// A constant the compiler must keep as a value: a multiplication by it stays one multiply
// rather than becoming a chain of shifts and adds.
VECTOR_INLINE Vec Opaque(Vec v)
{
    __asm__("" : "+x"(v));
    return v;
}
VECTOR_INLINE Vec Set32(int v) { return _mm256_set1_epi32(v); }
VECTOR_INLINE Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
VECTOR_INLINE Vec Add16(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
VECTOR_INLINE Vec Sub16(Vec a, Vec b) { return _mm256_sub_epi16(a, b); }
template <int N> VECTOR_INLINE Vec ShiftLeft16(Vec a) { return _mm256_slli_epi16(a, N); }
template <int N> VECTOR_INLINE Vec ShiftRight16(Vec a) { return _mm256_srli_epi16(a, N); }
VECTOR_INLINE Vec Max16(Vec a, Vec b) { return _mm256_max_epi16(a, b); }
VECTOR_INLINE Vec Min16(Vec a, Vec b) { return _mm256_min_epi16(a, b); }
VECTOR_INLINE Vec MinU16(Vec a, Vec b) { return _mm256_min_epu16(a, b); }
VECTOR_INLINE Vec MulLow16(Vec a, Vec b) { return _mm256_mullo_epi16(a, b); }
VECTOR_INLINE Vec MulHighU16(Vec a, Vec b) { return _mm256_mulhi_epu16(a, b); }
VECTOR_INLINE Vec SubSatU16(Vec a, Vec b) { return _mm256_subs_epu16(a, b); }
VECTOR_INLINE Vec PackUS16(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }
VECTOR_INLINE Vec PackS32(Vec a, Vec b) { return _mm256_packs_epi32(a, b); }
VECTOR_INLINE Vec UnpackLow8(Vec a, Vec b) { return _mm256_unpacklo_epi8(a, b); }
VECTOR_INLINE Vec UnpackHigh8(Vec a, Vec b) { return _mm256_unpackhi_epi8(a, b); }
VECTOR_INLINE Vec UnpackLow16(Vec a, Vec b) { return _mm256_unpacklo_epi16(a, b); }
VECTOR_INLINE Vec UnpackHigh16(Vec a, Vec b) { return _mm256_unpackhi_epi16(a, b); }
VECTOR_INLINE Vec Add32(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
VECTOR_INLINE Vec Sub32(Vec a, Vec b) { return _mm256_sub_epi32(a, b); }
template <int N> VECTOR_INLINE Vec ShiftRight32(Vec a) { return _mm256_srli_epi32(a, N); }
VECTOR_INLINE Vec Add64(Vec a, Vec b) { return _mm256_add_epi64(a, b); }
VECTOR_INLINE Vec SumBytes(Vec a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
VECTOR_INLINE Vec GreaterThan8(Vec a, Vec b) { return _mm256_cmpgt_epi8(a, b); }
// The interleaves work inside 128-bit lanes: lane k of the store's n-th register must hold
// pixels 8n + 4k .. 8n + 4k + 3, so the 4-pixel groups are dealt out as 0 2 4 6 | 1 3 5 7.
VECTOR_INLINE Vec StoreOrder(Vec a)
{
    return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}
VECTOR_INLINE ULONGLONG Total64(Vec a)
{
    alignas(32) ULONGLONG lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), a);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}
