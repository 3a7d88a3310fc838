// AVX2 kernels of the JPEG colour conversion: sixteen pixels at a time as
// 16-bit lanes, the chroma terms worked out with the single precision
// products of the tables (rounded half to even by the conversion), the sums
// clamped by the saturating pack, and the blue, green, red bytes interleaved
// with byte shuffles. Only intrinsics are used here, so no inline function
// compiled with AVX2 can stand in for another file's plain copy.
#include "jpeg_color_avx2.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__AVX2__)
#include <immintrin.h>

namespace vex::jpeg::avx2 {

namespace {

// Eight chroma bytes times k, rounded half to even, as 32-bit lanes.
inline __m256i Scale8(__m128i bytes, __m256 k) {
  const __m256 x =
      _mm256_sub_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)), _mm256_set1_ps(127.5f));
  return _mm256_cvtps_epi32(_mm256_mul_ps(x, k));
}

// Sixteen chroma bytes times k as 16-bit lanes in order.
inline __m256i Scale16(__m128i bytes, __m256 k) {
  const __m256i lo = Scale8(bytes, k);
  const __m256i hi = Scale8(_mm_unpackhi_epi64(bytes, bytes), k);
  // The pack works per 128-bit half: (lo0..3 hi0..3 | lo4..7 hi4..7).
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
}

inline __m256i Load16(const std::int16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Eight terms, each repeated: 16 lanes.
inline __m256i Doubled(const std::int16_t* p) {
  const __m256i v = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  return _mm256_or_si256(v, _mm256_slli_epi32(v, 16));
}

// Clamps the 16-bit blue, green and red sums to bytes and stores 16 pixels
// (48 bytes) of blue, green, red.
inline void StoreBgr(__m256i b16, __m256i g16, __m256i r16, std::uint8_t* out) {
  const __m256i bg =
      _mm256_permute4x64_epi64(_mm256_packus_epi16(b16, g16), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i rr = _mm256_packus_epi16(r16, r16);
  const __m128i b = _mm256_castsi256_si128(bg);
  const __m128i g = _mm256_extracti128_si256(bg, 1);
  const __m128i r = _mm_unpacklo_epi64(_mm256_castsi256_si128(rr), _mm256_extracti128_si256(rr, 1));
  // Output byte i comes from pixel i / 3 of channel i % 3; -1 gives 0.
  const __m128i b0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
  const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
  const __m128i r0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m128i b1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
  const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
  const __m128i r1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
  const __m128i b2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
  const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
  const __m128i r2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
  const auto mix = [&](__m128i mb, __m128i mg, __m128i mr) {
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, mb), _mm_shuffle_epi8(g, mg)),
                        _mm_shuffle_epi8(r, mr));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), mix(b0, g0, r0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), mix(b1, g1, r1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), mix(b2, g2, r2));
}

inline __m256i Luma16(const std::uint8_t* y) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
}

// blue = Y + tb, green = Y - tgb - tgr, red = Y + tr.
inline void Combine(__m256i y16, __m256i tb, __m256i tgb, __m256i tgr, __m256i tr,
                    std::uint8_t* out) {
  StoreBgr(_mm256_add_epi16(y16, tb), _mm256_sub_epi16(_mm256_sub_epi16(y16, tgb), tgr),
           _mm256_add_epi16(y16, tr), out);
}

} // namespace

int ycc_to_bgr(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
               std::uint8_t* bgr, int width) {
  const __m256 kb = _mm256_set1_ps(kCbToB), kgb = _mm256_set1_ps(kCbToG);
  const __m256 kr = _mm256_set1_ps(kCrToR), kgr = _mm256_set1_ps(kCrToG);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i bv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
    const __m128i rv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
    Combine(Luma16(y + x), Scale16(bv, kb), Scale16(bv, kgb), Scale16(rv, kgr), Scale16(rv, kr),
            bgr + 3 * x);
  }
  return x;
}

int ycc_terms_to_bgr(const std::uint8_t* y, const std::int16_t* tb, const std::int16_t* tgb,
                     const std::int16_t* tgr, const std::int16_t* tr, std::uint8_t* bgr,
                     int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16)
    Combine(Luma16(y + x), Load16(tb + x), Load16(tgb + x), Load16(tgr + x), Load16(tr + x),
            bgr + 3 * x);
  return x;
}

int ycc_half_terms_to_bgr(const std::uint8_t* y, const std::int16_t* tb, const std::int16_t* tgb,
                          const std::int16_t* tgr, const std::int16_t* tr, std::uint8_t* bgr,
                          int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const int h = x / 2;
    Combine(Luma16(y + x), Doubled(tb + h), Doubled(tgb + h), Doubled(tgr + h), Doubled(tr + h),
            bgr + 3 * x);
  }
  return x;
}

int chroma_terms(float ka, float kb, const std::uint8_t* c, int factor, int n, std::int16_t* a,
                 std::int16_t* b) {
  if (factor != 1 && factor != 2) return 0;
  const __m256 va_k = _mm256_set1_ps(ka), vb_k = _mm256_set1_ps(kb);
  int s = 0;
  for (; s + 16 <= n; s += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + s));
    const __m256i va = Scale16(bytes, va_k), vb = Scale16(bytes, vb_k);
    if (factor == 1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + s), va);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + s), vb);
      continue;
    }
    // Each term twice: 32 entries (the arrays have 16 spare for the last).
    const auto store2 = [](std::int16_t* p, __m256i v) {
      const __m256i lo = _mm256_unpacklo_epi16(v, v), hi = _mm256_unpackhi_epi16(v, v);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute2x128_si256(lo, hi, 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 16),
                          _mm256_permute2x128_si256(lo, hi, 0x31));
    };
    store2(a + 2 * s, va);
    store2(b + 2 * s, vb);
  }
  return s;
}

} // namespace vex::jpeg::avx2

#else

namespace vex::jpeg::avx2 {
int ycc_to_bgr(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int) {
  return 0;
}
int ycc_terms_to_bgr(const std::uint8_t*, const std::int16_t*, const std::int16_t*,
                     const std::int16_t*, const std::int16_t*, std::uint8_t*, int) {
  return 0;
}
int ycc_half_terms_to_bgr(const std::uint8_t*, const std::int16_t*, const std::int16_t*,
                          const std::int16_t*, const std::int16_t*, std::uint8_t*, int) {
  return 0;
}
int chroma_terms(float, float, const std::uint8_t*, int, int, std::int16_t*, std::int16_t*) {
  return 0;
}
} // namespace vex::jpeg::avx2

#endif
