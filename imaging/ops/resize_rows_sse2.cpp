// SSE2 kernels of the bicubic scaler. Same sums as the portable kernels: the
// vertical pass uses 16-bit multiply-adds on pairs of tap rows; the
// horizontal pass multiplies each 32-bit sum, stored split into a low 6-bit
// and a high part, by a weight packed as (w, 64w), so that one multiply-add
// gives w * sum exactly; it makes four pixels per step, with the weights laid
// out in advance in the order it reads them.
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

__m128i load_sums(const std::int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Four pixels of three or four bytes: byte k of pixel p in byte k of dword p.
// Lane k holds byte k of the pixel; the weight blocks go column by column.
template <int kBpp>
__m128i four_pixels(const std::int32_t* s, const std::int32_t* first, const __m128i* w) {
  __m128i value[4];
  for (int c = 0; c < 4; ++c, w += 4) {
    const std::int32_t* p = s + first[c];
    __m128i acc = _mm_madd_epi16(load_sums(p), w[0]);
    for (int i = 1; i < 4; ++i)
      acc = _mm_add_epi32(acc, _mm_madd_epi16(load_sums(p + kBpp * i), w[i]));
    value[c] = _mm_srai_epi32(acc, 16);
  }
  return _mm_packus_epi16(_mm_packs_epi32(value[0], value[1]), _mm_packs_epi32(value[2], value[3]));
}

// Four one-byte pixels in the low dword: each column's four taps are one
// vector, and two rounds of interleaving add them up.
__m128i four_bytes(const std::int32_t* s, const std::int32_t* first, const __m128i* w) {
  __m128i v[4];
  for (int c = 0; c < 4; ++c) v[c] = _mm_madd_epi16(load_sums(s + first[c]), w[c]);
  const __m128i a = _mm_add_epi32(_mm_unpacklo_epi32(v[0], v[1]), _mm_unpackhi_epi32(v[0], v[1]));
  const __m128i b = _mm_add_epi32(_mm_unpacklo_epi32(v[2], v[3]), _mm_unpackhi_epi32(v[2], v[3]));
  const __m128i sum = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
  const __m128i shifted = _mm_srai_epi32(sum, 16);
  const __m128i words = _mm_packs_epi32(shifted, shifted);
  return _mm_packus_epi16(words, words);
}

// Writes four pixels of kBpp bytes from the dwords of `four`. Three-byte
// pixels go as dwords at three-byte steps: the last one's spare byte lands on
// the first byte after the group.
template <int kBpp> void store_four(__m128i four, std::uint8_t* dst) {
  if constexpr (kBpp == 4) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), four);
  } else {
    const auto store = [dst](int p, __m128i v) {
      const auto bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
      std::memcpy(dst + 3 * p, &bytes, 4);
    };
    store(0, four);
    store(1, _mm_shuffle_epi32(four, 1));
    store(2, _mm_shuffle_epi32(four, 2));
    store(3, _mm_shuffle_epi32(four, 3));
  }
}

template <int kBpp>
void pixels_sse2(const std::int32_t* s, const std::int32_t* first, const __m128i* w, std::size_t n,
                 std::uint8_t* dst) {
  // A three-byte group writes one byte past itself, so the group that ends
  // the row goes the partial way.
  const std::size_t whole = kBpp == 4 || n == 0 ? n : n - 1;
  std::size_t x = 0;
  for (; x + 4 <= whole; x += 4)
    store_four<kBpp>(four_pixels<kBpp>(s, first + x, w + 4 * x), dst + kBpp * x);
  if (x < n) {
    // The last, partial group (its missing columns have zero weights).
    std::uint8_t four[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(four), four_pixels<kBpp>(s, first + x, w + 4 * x));
    for (std::size_t p = 0; p < n - x; ++p) std::memcpy(dst + kBpp * (x + p), four + 4 * p, kBpp);
  }
}

} // namespace

void BicubicScaler::VerticalSse2(const std::uint8_t* const rows[4], const CubicWeights& v) {
  const __m128i v01 = _mm_set1_epi32(static_cast<int>(pair16(v.w[0], v.w[1])));
  const __m128i v23 = _mm_set1_epi32(static_cast<int>(pair16(v.w[2], v.w[3])));
  const __m128i zero = _mm_setzero_si128();
  std::int32_t* out = Sums();
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
  const std::int32_t* s = sums_.data() + lead_;
  const std::int32_t* first = first_tap_.data();
  const auto* w = reinterpret_cast<const __m128i*>(lanes_.data());
  const std::size_t n = columns_.size();
  if (bpp == 4) return pixels_sse2<4>(s, first, w, n, dst);
  if (bpp == 3) return pixels_sse2<3>(s, first, w, n, dst);
  std::size_t x = 0;
  for (; x + 4 <= n; x += 4) {
    const auto four =
        static_cast<std::uint32_t>(_mm_cvtsi128_si32(four_bytes(s, first + x, w + x)));
    std::memcpy(dst + x, &four, 4);
  }
  if (x < n) {
    const auto four =
        static_cast<std::uint32_t>(_mm_cvtsi128_si32(four_bytes(s, first + x, w + x)));
    std::memcpy(dst + x, &four, n - x);
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
