// SSE2 kernels of the bicubic scaler. Same sums as the portable kernels: the
// vertical pass uses 16-bit multiply-adds on pairs of tap rows; the
// horizontal pass multiplies each 32-bit sum, stored split into a low 6-bit
// and a high part, by a weight packed as (w, 64w), so that one multiply-add
// gives w * sum exactly.
#include "resize_rows.h"

#include <algorithm>
#include <cstring>

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#define PARVULA_RESIZE_SSE2 1
#include <emmintrin.h>
#endif

namespace vex::resize {

#if PARVULA_RESIZE_SSE2

bool sse2_compiled() {
  return true;
}

namespace {

std::uint32_t pair16(std::int32_t lo, std::int32_t hi) {
  return static_cast<std::uint16_t>(lo) |
         (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16);
}

std::uint32_t split_sum(std::int32_t c) {
  return static_cast<std::uint32_t>(c & 63) | (static_cast<std::uint32_t>(c >> 6) << 16);
}

__m128i split_sums(__m128i c) {
  const __m128i low = _mm_and_si128(c, _mm_set1_epi32(63));
  return _mm_or_si128(low, _mm_slli_epi32(_mm_srai_epi32(c, 6), 16));
}

// Bytes of the pixel value: V >> 16 saturated to 0..255 (the pack steps saturate).
__m128i to_bytes(__m128i v) {
  const __m128i shifted = _mm_srai_epi32(v, 16);
  const __m128i words = _mm_packs_epi32(shifted, shifted);
  return _mm_packus_epi16(words, words);
}

} // namespace

void BicubicScaler::VerticalSse2(const std::uint8_t* const rows[4], const CubicWeights& v) {
  const __m128i v01 = _mm_set1_epi32(static_cast<int>(pair16(v.w[0], v.w[1])));
  const __m128i v23 = _mm_set1_epi32(static_cast<int>(pair16(v.w[2], v.w[3])));
  const __m128i zero = _mm_setzero_si128();
  std::int32_t* out = sums_.data();
  for (const auto& [begin, end] : runs_) {
    std::int32_t k = begin;
    for (; k + 16 <= end; k += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + k));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[1] + k));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2] + k));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[3] + k));
      // Interleave bytes of rows 0/1 and 2/3 as 16-bit pairs.
      const __m128i a_lo = _mm_unpacklo_epi8(a, zero), a_hi = _mm_unpackhi_epi8(a, zero);
      const __m128i b_lo = _mm_unpacklo_epi8(b, zero), b_hi = _mm_unpackhi_epi8(b, zero);
      const __m128i c_lo = _mm_unpacklo_epi8(c, zero), c_hi = _mm_unpackhi_epi8(c, zero);
      const __m128i d_lo = _mm_unpacklo_epi8(d, zero), d_hi = _mm_unpackhi_epi8(d, zero);
      const __m128i s0 = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a_lo, b_lo), v01),
                                       _mm_madd_epi16(_mm_unpacklo_epi16(c_lo, d_lo), v23));
      const __m128i s1 = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a_lo, b_lo), v01),
                                       _mm_madd_epi16(_mm_unpackhi_epi16(c_lo, d_lo), v23));
      const __m128i s2 = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a_hi, b_hi), v01),
                                       _mm_madd_epi16(_mm_unpacklo_epi16(c_hi, d_hi), v23));
      const __m128i s3 = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a_hi, b_hi), v01),
                                       _mm_madd_epi16(_mm_unpackhi_epi16(c_hi, d_hi), v23));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), split_sums(s0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 4), split_sums(s1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 8), split_sums(s2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 12), split_sums(s3));
    }
    for (; k < end; ++k)
      out[k] = static_cast<std::int32_t>(split_sum(v.w[0] * rows[0][k] + v.w[1] * rows[1][k] +
                                                   v.w[2] * rows[2][k] + v.w[3] * rows[3][k]));
  }
}

void BicubicScaler::HorizontalSse2(std::uint8_t* dst) const {
  const std::int32_t bpp = src_.bytes_per_pixel;
  const std::int32_t* s = sums_.data();
  auto load = [s](std::int32_t offset) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + offset));
  };
  const std::size_t n = columns_.size();
  if (bpp == 1) {
    // Four result pixels at a time: lane p holds tap i of pixel p.
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
      const Column* c = &columns_[x];
      __m128i acc = _mm_setzero_si128();
      for (int i = 0; i < 4; ++i) {
        const __m128i taps = _mm_setr_epi32(s[c[0].offset[i]], s[c[1].offset[i]], s[c[2].offset[i]],
                                            s[c[3].offset[i]]);
        const __m128i weights =
            _mm_setr_epi32(static_cast<int>(c[0].packed[i]), static_cast<int>(c[1].packed[i]),
                           static_cast<int>(c[2].packed[i]), static_cast<int>(c[3].packed[i]));
        acc = _mm_add_epi32(acc, _mm_madd_epi16(taps, weights));
      }
      const std::uint32_t bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(to_bytes(acc)));
      std::memcpy(dst + x, &bytes, 4);
    }
    for (; x < n; ++x) {
      const Column& c = columns_[x];
      __m128i acc = _mm_setzero_si128();
      for (int i = 0; i < 4; ++i)
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_cvtsi32_si128(s[c.offset[i]]),
                                                _mm_cvtsi32_si128(static_cast<int>(c.packed[i]))));
      dst[x] = static_cast<std::uint8_t>(_mm_cvtsi128_si32(to_bytes(acc)));
    }
    return;
  }
  // Three or four bytes per pixel: lane k holds byte k of the pixel.
  auto pixel = [&](const Column& c) {
    __m128i acc = _mm_madd_epi16(load(c.offset[0]), _mm_set1_epi32(static_cast<int>(c.packed[0])));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(load(c.offset[1]), _mm_set1_epi32(static_cast<int>(c.packed[1]))));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(load(c.offset[2]), _mm_set1_epi32(static_cast<int>(c.packed[2]))));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(load(c.offset[3]), _mm_set1_epi32(static_cast<int>(c.packed[3]))));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(to_bytes(acc)));
  };
  if (bpp == 4) {
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint32_t bytes = pixel(columns_[x]);
      std::memcpy(dst + 4 * x, &bytes, 4);
    }
    return;
  }
  // Each 3-byte pixel is stored as 4 bytes, the fourth overwritten by the next
  // pixel; the last one is stored byte by byte so nothing past the row is touched.
  for (std::size_t x = 0; x + 1 < n; ++x) {
    const std::uint32_t bytes = pixel(columns_[x]);
    std::memcpy(dst + 3 * x, &bytes, 4);
  }
  if (n > 0) {
    const std::uint32_t bytes = pixel(columns_[n - 1]);
    std::uint8_t* last = dst + 3 * (n - 1);
    last[0] = static_cast<std::uint8_t>(bytes);
    last[1] = static_cast<std::uint8_t>(bytes >> 8);
    last[2] = static_cast<std::uint8_t>(bytes >> 16);
  }
}

#else

bool sse2_compiled() {
  return false;
}

void BicubicScaler::VerticalSse2(const std::uint8_t* const rows[4], const CubicWeights& v) {
  VerticalPortable(rows, v);
}

void BicubicScaler::HorizontalSse2(std::uint8_t* dst) const {
  HorizontalPortable(dst);
}

#endif

} // namespace vex::resize
