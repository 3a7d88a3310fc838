// AVX2 kernels of the bicubic scaler: the sums of the SSE2 kernels, wider.
// The vertical pass takes sixteen source bytes per step; the horizontal pass
// gathers the taps of eight one-byte pixels, or works on two pixels of three
// or four bytes at once. The sums are kept split as (c & 63) | ((c >> 6) <<
// 16), and each weight packed as (w, 64w), so one 16-bit multiply-add gives
// w * c exactly. Only intrinsics and plain loops are used here, so no inline
// function compiled with AVX2 can stand in for another file's plain copy.
#include "resize_rows.h"

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

// Byte k of one pixel from the split sums, one tap at a time.
std::uint8_t PixelByte(const std::int32_t* s, const BicubicColumn& c, std::int32_t k) {
  std::int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const std::int32_t split = s[c.offset[i] + k];
    const std::int32_t whole = (split >> 16) * 64 + (split & 0xFFFF);
    value += c.weight[i] * whole;
  }
  value >>= 16;
  return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// V >> 16 saturated to 0..255 in the low byte lanes of each 128-bit half.
__m256i ToBytes(__m256i v) {
  const __m256i shifted = _mm256_srai_epi32(v, 16);
  const __m256i words = _mm256_packs_epi32(shifted, shifted);
  return _mm256_packus_epi16(words, words);
}

__m256i Load2(const std::int32_t* lo, const std::int32_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Two pixels of up to four bytes: the first in the low dword of the result,
// the second in the high one.
std::uint64_t TwoPixels(const std::int32_t* s, const BicubicColumn& a, const BicubicColumn& b) {
  __m256i acc = _mm256_setzero_si256();
  for (int i = 0; i < 4; ++i) {
    const __m256i taps = Load2(s + a.offset[i], s + b.offset[i]);
    const __m256i weights = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_set1_epi32(static_cast<int>(a.packed[i]))),
        _mm_set1_epi32(static_cast<int>(b.packed[i])), 1);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(taps, weights));
  }
  const __m256i bytes = ToBytes(acc);
  const auto lo = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes)));
  const auto hi = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
  return lo | (static_cast<std::uint64_t>(hi) << 32);
}

void Store4(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
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

void horizontal(const std::int32_t* s, const BicubicColumn* columns, std::size_t n,
                std::int32_t bpp, std::uint8_t* dst) {
  if (bpp == 1) {
    // Eight result pixels at a time: lane p holds tap i of pixel p.
    constexpr int kStep = static_cast<int>(sizeof(BicubicColumn) / sizeof(std::int32_t));
    const __m256i across =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(kStep));
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
      const BicubicColumn* c = columns + x;
      __m256i acc = _mm256_setzero_si256();
      for (int i = 0; i < 4; ++i) {
        const __m256i offsets = _mm256_i32gather_epi32(c->offset + i, across, 4);
        const __m256i taps = _mm256_i32gather_epi32(s, offsets, 4);
        const __m256i weights =
            _mm256_i32gather_epi32(reinterpret_cast<const int*>(c->packed + i), across, 4);
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(taps, weights));
      }
      const __m256i bytes = ToBytes(acc);
      Store4(dst + x, static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes))));
      Store4(dst + x + 4,
             static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1))));
    }
    for (; x < n; ++x) dst[x] = PixelByte(s, columns[x], 0);
    return;
  }
  // Three or four bytes per pixel: lane k of each half holds byte k of a
  // pixel. Three-byte pixels are stored as 4 bytes, the fourth overwritten by
  // the next pixel; the last pixel goes byte by byte so nothing past the row
  // is touched.
  std::size_t x = 0;
  const std::size_t pairs_end = bpp == 4 ? n : (n > 0 ? n - 1 : 0);
  for (; x + 2 <= pairs_end; x += 2) {
    const std::uint64_t two = TwoPixels(s, columns[x], columns[x + 1]);
    Store4(dst + bpp * x, static_cast<std::uint32_t>(two));
    Store4(dst + bpp * (x + 1), static_cast<std::uint32_t>(two >> 32));
  }
  for (; x < n; ++x)
    for (std::int32_t k = 0; k < bpp; ++k) dst[bpp * x + k] = PixelByte(s, columns[x], k);
}

} // namespace vex::resize::avx2

#else

namespace vex::resize::avx2 {
void vertical(const std::uint8_t* const*, const CubicWeights&,
              const std::pair<std::int32_t, std::int32_t>*, std::size_t, std::int32_t*) {}
void horizontal(const std::int32_t*, const BicubicColumn*, std::size_t, std::int32_t,
                std::uint8_t*) {}
} // namespace vex::resize::avx2

#endif
