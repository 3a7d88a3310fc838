// AVX2 colour conversion of the JPEG writer: the integer numerators of the
// SSE2 kernel for eight pixels at a time, each quotient by 10000 rounded
// through a single precision product that is exact enough to tell every
// case but the exact ties, which go to the extended precision formulas.
// Only intrinsics and out-of-line functions are used here, so no inline
// function compiled with AVX2 can stand in for another file's plain copy.
#include "jpeg_internal.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__AVX2__)
#include <immintrin.h>

namespace vex::jpeg {

namespace {

// round(n / 10000) for 0 <= n <= 2550000 (every numerator of the three
// formulas) with exact ties flagged: t = n + 5000 is exact in single
// precision, and the truncated single precision product t * fl(1 / 10000)
// is floor(t / 10000) for every t up to 2560000 (the products of multiples
// of 10000 round back onto the integers; the tests check every colour). A
// tie is t divisible by 10000.
inline __m256i RoundQuotient(__m256i n, __m256i& tie) {
  const __m256i t = _mm256_add_epi32(n, _mm256_set1_epi32(5000));
  const __m256i q =
      _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(t), _mm256_set1_ps(1.0f / 10000.0f)));
  // q < 2^15: q * 10000 through the 16-bit multiply-add.
  tie = _mm256_cmpeq_epi32(_mm256_madd_epi16(q, _mm256_set1_epi32(10000)), t);
  return q;
}

inline int Mask(__m256i m) {
  return _mm256_movemask_ps(_mm256_castsi256_ps(m));
}

inline void Store8(std::uint8_t* p, std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

} // namespace

void ConvertRowRGBAvx2(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                       std::uint8_t* cb, std::uint8_t* cr) {
  std::int64_t x = 0;
  const __m256i low24 = _mm256_set1_epi32(0x00FFFFFF);
  const __m256i byte0 = _mm256_set1_epi32(0xFF);
  const __m256i byte2 = _mm256_set1_epi32(0x00FF0000);
  const __m256i offset = _mm256_set1_epi32(1275000);
  // 24-bit pixels: bytes 3i..3i+2 of each half to dword i.
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                          1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  // Eight 32-bit pixels are one 32-byte load; eight 24-bit ones two 16-byte
  // loads 12 bytes apart, the second reading 4 bytes past the eighth pixel:
  // 24-bit rows keep their last 2 pixels for the scalar tail.
  const std::int64_t end = step == 4 ? width - 7 : width - 9;
  for (; x < end; x += 8, src += 8 * step) {
    __m256i px; // lanes: b | g << 8 | r << 16
    if (step == 4) {
      px = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)), low24);
    } else {
      const __m256i v = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 12)), 1);
      px = _mm256_shuffle_epi8(v, spread);
    }
    // (r, g) and (b, 0) as 16-bit pairs of each 32-bit lane.
    const __m256i rg = _mm256_or_si256(_mm256_srli_epi32(px, 16),
                                       _mm256_and_si256(_mm256_slli_epi32(px, 8), byte2));
    const __m256i b0 = _mm256_and_si256(px, byte0);
    const __m256i ny =
        _mm256_add_epi32(_mm256_madd_epi16(rg, _mm256_set1_epi32((5867 << 16) | 2989)),
                         _mm256_madd_epi16(b0, _mm256_set1_epi32(1144)));
    const __m256i nb = _mm256_add_epi32(
        _mm256_add_epi32(
            _mm256_madd_epi16(rg, _mm256_set1_epi32(static_cast<int>((0x10000u - 3312) << 16) |
                                                    (0x10000 - 1687))),
            _mm256_madd_epi16(b0, _mm256_set1_epi32(5000))),
        offset);
    const __m256i nr = _mm256_add_epi32(
        _mm256_add_epi32(
            _mm256_madd_epi16(rg,
                              _mm256_set1_epi32(static_cast<int>((0x10000u - 4183) << 16) | 5000)),
            _mm256_madd_epi16(b0, _mm256_set1_epi32(0x10000 - 816))),
        offset);
    __m256i ty, tb, tr;
    const __m256i qy = RoundQuotient(ny, ty);
    const __m256i qb = RoundQuotient(nb, tb);
    const __m256i qr = RoundQuotient(nr, tr);
    // Packs work per 128-bit half; the dword permute gives Y0..7, Cb0..7, Cr0..7.
    const __m256i bytes = _mm256_permutevar8x32_epi32(
        _mm256_packus_epi16(_mm256_packs_epi32(qy, qb), _mm256_packs_epi32(qr, qr)), order);
    Store8(y + x, _mm256_extract_epi64(bytes, 0));
    Store8(cb + x, _mm256_extract_epi64(bytes, 1));
    Store8(cr + x, _mm256_extract_epi64(bytes, 2));
    if (!_mm256_testz_si256(_mm256_or_si256(ty, _mm256_or_si256(tb, tr)), _mm256_set1_epi32(-1))) {
      // Exact ties: the extended-precision value decides.
      const int my = Mask(ty), mb = Mask(tb), mr = Mask(tr);
      for (int i = 0; i < 8; ++i) {
        const std::uint8_t* p = src + i * step;
        if ((my >> i) & 1) y[x + i] = ExactTie(0, p[2], p[1], p[0]);
        if ((mb >> i) & 1) cb[x + i] = ExactTie(1, p[2], p[1], p[0]);
        if ((mr >> i) & 1) cr[x + i] = ExactTie(2, p[2], p[1], p[0]);
      }
    }
  }
  ConvertRowRGBPortable(src, step, width - x, y + x, cb + x, cr + x);
}

} // namespace vex::jpeg

#else

namespace vex::jpeg {
void ConvertRowRGBAvx2(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                       std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRowRGBPortable(src, step, width, y, cb, cr);
}
} // namespace vex::jpeg

#endif
