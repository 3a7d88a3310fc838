#include "png_unfilter.h"

#include "platform/cpu_features.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#define PNG_UNFILTER_SSE2 1
#endif

namespace vex::png {
namespace {

inline std::uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
  if (pb <= pc) return static_cast<std::uint8_t>(b);
  return static_cast<std::uint8_t>(c);
}

#ifdef PNG_UNFILTER_SSE2
// One pixel of BPP (3 or 4) bytes in the low lanes, from a row with `left`
// bytes from p on. A fourth byte is loaded with a three-byte pixel where the
// row has one (its lane is never stored); the last pixel is put together
// from its bytes.
template <int BPP> inline __m128i LoadPixel(const std::uint8_t* p, std::size_t left) {
  std::int32_t v;
  if (BPP == 4 || left >= 4)
    std::memcpy(&v, p, 4);
  else
    v = p[0] | (p[1] << 8) | (p[2] << 16);
  return _mm_cvtsi32_si128(v);
}
template <int BPP> inline void StorePixel(std::uint8_t* p, __m128i v) {
  const auto w = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
  if (BPP == 4) {
    std::memcpy(p, &w, 4);
  } else {
    p[0] = static_cast<std::uint8_t>(w);
    p[1] = static_cast<std::uint8_t>(w >> 8);
    p[2] = static_cast<std::uint8_t>(w >> 16);
  }
}

inline __m128i Abs16(__m128i v) {
  return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

template <int BPP> void SubSse2(std::uint8_t* x, std::size_t size) {
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + BPP <= size; i += BPP) {
    a = _mm_add_epi8(LoadPixel<BPP>(x + i, size - i), a);
    StorePixel<BPP>(x + i, a);
  }
}

template <int BPP> void AverageSse2(std::uint8_t* x, const std::uint8_t* prior, std::size_t size) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i + BPP <= size; i += BPP) {
    const __m128i b = LoadPixel<BPP>(prior + i, size - i);
    // (a + b) div 2: the rounded-up mean less the carry of odd sums.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel<BPP>(x + i, size - i), mean);
    StorePixel<BPP>(x + i, a);
  }
}

// Paeth on 16-bit lanes: with p = a + b - c, |p - a| = |b - c|,
// |p - b| = |a - c| and |p - c| = |(b - c) + (a - c)|; the first of a, b, c
// whose distance is the smallest wins.
template <int BPP> void PaethSse2(std::uint8_t* x, const std::uint8_t* prior, std::size_t size) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero;
  for (std::size_t i = 0; i + BPP <= size; i += BPP) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel<BPP>(prior + i, size - i), zero);
    const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
    const __m128i pa = Abs16(bc), pb = Abs16(ac), pc = Abs16(_mm_add_epi16(bc, ac));
    const __m128i least = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
    const __m128i use_a = _mm_cmpeq_epi16(pa, least);
    const __m128i use_b = _mm_andnot_si128(use_a, _mm_cmpeq_epi16(pb, least));
    const __m128i use_c = _mm_andnot_si128(_mm_or_si128(use_a, use_b), _mm_set1_epi16(-1));
    const __m128i guess = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(use_a, a), _mm_and_si128(use_b, b)), _mm_and_si128(use_c, c));
    const __m128i out =
        _mm_add_epi8(LoadPixel<BPP>(x + i, size - i), _mm_packus_epi16(guess, guess));
    StorePixel<BPP>(x + i, out);
    a = _mm_unpacklo_epi8(out, zero);
    c = b;
  }
}

template <int BPP>
bool UnfilterSse2(int type, std::uint8_t* x, const std::uint8_t* prior, std::size_t size) {
  switch (type) {
  case 1:
    SubSse2<BPP>(x, size);
    return true;
  case 3:
    AverageSse2<BPP>(x, prior, size);
    return true;
  case 4:
    PaethSse2<BPP>(x, prior, size);
    return true;
  default:
    return false;
  }
}
#endif

} // namespace

bool Unfilter(int type, std::uint8_t* x, const std::uint8_t* prior, std::size_t size,
              std::size_t bpp) {
#ifdef PNG_UNFILTER_SSE2
  // Rows of whole pixels only: an odd tail would be left for the plain loop.
  if ((type == 1 || type == 3 || type == 4) && (bpp == 3 || bpp == 4) && size % bpp == 0 &&
      vex::platform::simd_enabled())
    return bpp == 3 ? UnfilterSse2<3>(type, x, prior, size) : UnfilterSse2<4>(type, x, prior, size);
#endif
  const std::size_t lead = std::min(bpp, size);
  switch (type) {
  case 0:
    return true;
  case 1:
    for (std::size_t i = bpp; i < size; ++i) x[i] = static_cast<std::uint8_t>(x[i] + x[i - bpp]);
    return true;
  case 2:
    for (std::size_t i = 0; i < size; ++i) x[i] = static_cast<std::uint8_t>(x[i] + prior[i]);
    return true;
  case 3:
    for (std::size_t i = 0; i < lead; ++i) x[i] = static_cast<std::uint8_t>(x[i] + prior[i] / 2);
    for (std::size_t i = bpp; i < size; ++i)
      x[i] = static_cast<std::uint8_t>(x[i] + (x[i - bpp] + prior[i]) / 2);
    return true;
  case 4:
    for (std::size_t i = 0; i < lead; ++i) x[i] = static_cast<std::uint8_t>(x[i] + prior[i]);
    for (std::size_t i = bpp; i < size; ++i)
      x[i] = static_cast<std::uint8_t>(x[i] + Paeth(x[i - bpp], prior[i], prior[i - bpp]));
    return true;
  default:
    return false;
  }
}

} // namespace vex::png
