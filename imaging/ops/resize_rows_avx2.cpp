// AVX2 kernels of the bicubic scaler: the sums of the SSE2 kernels, wider.
// The vertical pass takes sixteen source bytes per step; the horizontal pass
// makes eight one-byte pixels or four of three or four bytes per step, with
// weights laid out in advance in the order it reads them. The sums are kept
// split as (c & 63) | ((c >> 6) << 16), and each weight packed as (w, 64w),
// so one 16-bit multiply-add gives w * c exactly. Only intrinsics, plain
// loops and functions of this file's own are used here, so no inline
// function compiled with AVX2 can stand in for another file's plain copy.
#include "resize_rows.h"

#include <cstring>

#if defined(PARVULA_HAVE_SIMD) && defined(__AVX2__)
#include <immintrin.h>

namespace vex::resize::avx2 {

namespace {

int Pair16(std::int32_t lo, std::int32_t hi) {
  return static_cast<int>(static_cast<std::uint16_t>(lo) |
                          (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16));
}

std::int32_t SplitSum(std::int32_t c) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(c & 63) |
                                   (static_cast<std::uint32_t>(c >> 6) << 16));
}

__m256i SplitSums(__m256i c) {
  const __m256i low = _mm256_and_si256(c, _mm256_set1_epi32(63));
  return _mm256_or_si256(low, _mm256_slli_epi32(_mm256_srai_epi32(c, 6), 16));
}

__m256i Load2(const std::int32_t* lo, const std::int32_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

__m256i Weights(const LaneWeights& w) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(w.lane));
}

// Four pixels of three or four bytes: byte k of pixel p in byte k of dword p.
// Lane k of a 128-bit half holds byte k of a pixel; columns 0 and 2 of the
// group share one vector, 1 and 3 the other, so that the packs leave the
// pixels in order.
template <int kBpp>
[[gnu::always_inline]] inline __m128i FourPixels(const std::int32_t* s, const std::int32_t* first,
                                                 const LaneWeights* w) {
  const std::int32_t *p0 = s + first[0], *p1 = s + first[1], *p2 = s + first[2], *p3 = s + first[3];
  __m256i even = _mm256_madd_epi16(Load2(p0, p2), Weights(w[0]));
  __m256i odd = _mm256_madd_epi16(Load2(p1, p3), Weights(w[1]));
  for (int i = 1; i < 4; ++i) {
    even = _mm256_add_epi32(
        even, _mm256_madd_epi16(Load2(p0 + kBpp * i, p2 + kBpp * i), Weights(w[2 * i])));
    odd = _mm256_add_epi32(
        odd, _mm256_madd_epi16(Load2(p1 + kBpp * i, p3 + kBpp * i), Weights(w[2 * i + 1])));
  }
  // Words: pixels 0, 1 in the low half, 2, 3 in the high one; bytes likewise
  // in the low quadword of each half.
  const __m256i words = _mm256_packs_epi32(_mm256_srai_epi32(even, 16), _mm256_srai_epi32(odd, 16));
  const __m256i bytes = _mm256_packus_epi16(words, words);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08));
}

// Eight one-byte pixels: the vector of step j holds the four taps of pixels j
// and j + 4, and three horizontal adds bring each pixel's taps together.
[[gnu::always_inline]] inline std::uint64_t
EightPixels(const std::int32_t* s, const std::int32_t* first, const LaneWeights* w) {
  __m256i v[4];
  for (int j = 0; j < 4; ++j)
    v[j] = _mm256_madd_epi16(Load2(s + first[j], s + first[j + 4]), Weights(w[j]));
  const __m256i sum =
      _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
  const __m256i shifted = _mm256_srai_epi32(sum, 16);
  const __m128i words =
      _mm_packs_epi32(_mm256_castsi256_si128(shifted), _mm256_extracti128_si256(shifted, 1));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(words, words)));
}

template <int kBpp>
void Pixels(const std::int32_t* s, const std::int32_t* first, const LaneWeights* w, std::size_t n,
            std::uint8_t* dst) {
  // Drops the fourth byte of each dword.
  const __m128i three = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  std::size_t x = 0;
  for (; x + 4 <= n; x += 4, dst += 4 * kBpp) {
    const __m128i four = FourPixels<kBpp>(s, first + x, w + 2 * x);
    if constexpr (kBpp == 4) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), four);
    } else {
      const __m128i packed = _mm_shuffle_epi8(four, three);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), packed);
      const std::uint32_t tail = static_cast<std::uint32_t>(_mm_extract_epi32(packed, 2));
      std::memcpy(dst + 8, &tail, 4);
    }
  }
  if (x < n) {
    // The last, partial group (its missing columns have zero weights).
    alignas(16) std::uint8_t four[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(four), FourPixels<kBpp>(s, first + x, w + 2 * x));
    for (std::size_t p = 0; p < n - x; ++p) std::memcpy(dst + kBpp * p, four + 4 * p, kBpp);
  }
}

} // namespace

void vertical(const std::uint8_t* const rows[4], const CubicWeights& v,
              const std::pair<std::int32_t, std::int32_t>* runs, std::size_t run_count,
              std::int32_t* sums) {
  const __m256i v01 = _mm256_set1_epi32(Pair16(v.w[0], v.w[1]));
  const __m256i v23 = _mm256_set1_epi32(Pair16(v.w[2], v.w[3]));
  for (std::size_t r = 0; r < run_count; ++r) {
    const std::int32_t end = runs[r].second;
    std::int32_t k = runs[r].first;
    for (; k + 16 <= end; k += 16) {
      const auto load = [k](const std::uint8_t* row) {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k)));
      };
      const __m256i a = load(rows[0]), b = load(rows[1]), c = load(rows[2]), d = load(rows[3]);
      // Unpacks work per 128-bit half: bytes 0..3 and 8..11, then 4..7 and 12..15.
      const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), v01),
                                          _mm256_madd_epi16(_mm256_unpacklo_epi16(c, d), v23));
      const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), v01),
                                          _mm256_madd_epi16(_mm256_unpackhi_epi16(c, d), v23));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + k),
                          SplitSums(_mm256_permute2x128_si256(lo, hi, 0x20)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + k + 8),
                          SplitSums(_mm256_permute2x128_si256(lo, hi, 0x31)));
    }
    for (; k < end; ++k)
      sums[k] = SplitSum(v.w[0] * rows[0][k] + v.w[1] * rows[1][k] + v.w[2] * rows[2][k] +
                         v.w[3] * rows[3][k]);
  }
}

void horizontal(const std::int32_t* s, const std::int32_t* first, const LaneWeights* w,
                std::size_t n, std::int32_t bpp, std::uint8_t* dst) {
  if (bpp == 4) return Pixels<4>(s, first, w, n, dst);
  if (bpp == 3) return Pixels<3>(s, first, w, n, dst);
  std::size_t x = 0;
  for (; x + 8 <= n; x += 8) {
    const std::uint64_t eight = EightPixels(s, first + x, w + x / 2);
    std::memcpy(dst + x, &eight, 8);
  }
  if (x < n) {
    const std::uint64_t eight = EightPixels(s, first + x, w + x / 2);
    std::memcpy(dst + x, &eight, n - x);
  }
}

} // namespace vex::resize::avx2

#else

namespace vex::resize::avx2 {
void vertical(const std::uint8_t* const*, const CubicWeights&,
              const std::pair<std::int32_t, std::int32_t>*, std::size_t, std::int32_t*) {}
void horizontal(const std::int32_t*, const std::int32_t*, const LaneWeights*, std::size_t,
                std::int32_t, std::uint8_t*) {}
} // namespace vex::resize::avx2

#endif
