// The vector operations of the pixel stages on 128-bit registers, for inclusion inside the
// namespace of a kernel family. VECTOR_TARGET is the target attribute of the including file
// (empty for the SSE2 family, which the whole imaging library is built for; the wider
// families use these operations for their narrow blocks).
#ifndef VECTOR_TARGET
#define VECTOR_TARGET
#endif

#if defined(_MSC_VER)
#define VECTOR_INLINE __forceinline
#else
#define VECTOR_INLINE inline __attribute__((always_inline)) VECTOR_TARGET
#endif

typedef __m128i Vec;
constexpr ULONG BlockPixels = 16;

VECTOR_INLINE Vec Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
VECTOR_INLINE void Store(UCHAR* p, Vec v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
VECTOR_INLINE Vec Zero() { return _mm_setzero_si128(); }
VECTOR_INLINE Vec Set8(char v) { return _mm_set1_epi8(v); }
VECTOR_INLINE Vec Set16(short v) { return _mm_set1_epi16(v); }
// A constant the compiler must keep as a value: a multiplication by it stays one multiply
// rather than becoming a chain of shifts and adds.
VECTOR_INLINE Vec Opaque(Vec v)
{
    __asm__("" : "+x"(v));
    return v;
}
VECTOR_INLINE Vec Set32(int v) { return _mm_set1_epi32(v); }
VECTOR_INLINE Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
VECTOR_INLINE Vec Add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
VECTOR_INLINE Vec Sub16(Vec a, Vec b) { return _mm_sub_epi16(a, b); }
template <int N> VECTOR_INLINE Vec ShiftLeft16(Vec a) { return _mm_slli_epi16(a, N); }
template <int N> VECTOR_INLINE Vec ShiftRight16(Vec a) { return _mm_srli_epi16(a, N); }
VECTOR_INLINE Vec Max16(Vec a, Vec b) { return _mm_max_epi16(a, b); }
VECTOR_INLINE Vec Min16(Vec a, Vec b) { return _mm_min_epi16(a, b); }
VECTOR_INLINE Vec MinU16(Vec a, Vec b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
VECTOR_INLINE Vec MulLow16(Vec a, Vec b) { return _mm_mullo_epi16(a, b); }
VECTOR_INLINE Vec MulHighU16(Vec a, Vec b) { return _mm_mulhi_epu16(a, b); }
VECTOR_INLINE Vec SubSatU16(Vec a, Vec b) { return _mm_subs_epu16(a, b); }
VECTOR_INLINE Vec PackUS16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
VECTOR_INLINE Vec PackS32(Vec a, Vec b) { return _mm_packs_epi32(a, b); }
VECTOR_INLINE Vec UnpackLow8(Vec a, Vec b) { return _mm_unpacklo_epi8(a, b); }
VECTOR_INLINE Vec UnpackHigh8(Vec a, Vec b) { return _mm_unpackhi_epi8(a, b); }
VECTOR_INLINE Vec UnpackLow16(Vec a, Vec b) { return _mm_unpacklo_epi16(a, b); }
VECTOR_INLINE Vec UnpackHigh16(Vec a, Vec b) { return _mm_unpackhi_epi16(a, b); }
VECTOR_INLINE Vec Add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
VECTOR_INLINE Vec Sub32(Vec a, Vec b) { return _mm_sub_epi32(a, b); }
template <int N> VECTOR_INLINE Vec ShiftRight32(Vec a) { return _mm_srli_epi32(a, N); }
VECTOR_INLINE Vec Add64(Vec a, Vec b) { return _mm_add_epi64(a, b); }
// Sums of each 8 bytes, in 64-bit lanes.
VECTOR_INLINE Vec SumBytes(Vec a) { return _mm_sad_epu8(a, _mm_setzero_si128()); }
// All ones in the bytes where a > b, as signed bytes.
VECTOR_INLINE Vec GreaterThan8(Vec a, Vec b) { return _mm_cmpgt_epi8(a, b); }
// Bytes in pixel order, arranged so that the 8- then 16-bit interleaves of the pixel store
// write them in order: already so for one 128-bit lane.
VECTOR_INLINE Vec StoreOrder(Vec a) { return a; }
VECTOR_INLINE ULONGLONG Total64(Vec a)
{
    alignas(16) ULONGLONG lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), a);
    return lanes[0] + lanes[1];
}
