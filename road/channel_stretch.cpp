#include "channel_stretch.h"

#include "vexImage.h"

#include "platform/cpu_features.h"
#include "platform/rounding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Takes the extremes of the first bytes of every row that fill whole 48-byte
// pieces into lo and hi; returns how many bytes of each row it covered.
std::int64_t Extremes48(TvexImage& image, std::int32_t height, std::int64_t row_bytes,
                        std::array<std::uint8_t, 3>& lo, std::array<std::uint8_t, 3>& hi) {
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (!vex::platform::simd_enabled()) return 0;
  const std::int64_t covered = row_bytes / 48 * 48;
  if (covered == 0) return 0;
  __m128i mn[3], mx[3];
  for (int k = 0; k < 3; ++k) {
    mn[k] = _mm_set1_epi8(static_cast<char>(0xFF));
    mx[k] = _mm_setzero_si128();
  }
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* p = image.ScanLine(y);
    for (std::int64_t i = 0; i < covered; i += 48)
      for (int k = 0; k < 3; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
        mn[k] = _mm_min_epu8(mn[k], v);
        mx[k] = _mm_max_epu8(mx[k], v);
      }
  }
  alignas(16) std::uint8_t a[48], b[48];
  for (int k = 0; k < 3; ++k) {
    _mm_store_si128(reinterpret_cast<__m128i*>(a + 16 * k), mn[k]);
    _mm_store_si128(reinterpret_cast<__m128i*>(b + 16 * k), mx[k]);
  }
  for (int k = 0; k < 48; ++k) {
    lo[static_cast<std::size_t>(k % 3)] = std::min(lo[static_cast<std::size_t>(k % 3)], a[k]);
    hi[static_cast<std::size_t>(k % 3)] = std::max(hi[static_cast<std::size_t>(k % 3)], b[k]);
  }
  return covered;
#else
  static_cast<void>(image);
  static_cast<void>(height);
  static_cast<void>(row_bytes);
  static_cast<void>(lo);
  static_cast<void>(hi);
  return 0;
#endif
}

} // namespace

void StretchChannels(TvexImage& image) {
  const std::int32_t width = image.Width();
  const std::int32_t height = std::abs(image.Height());
  if (static_cast<std::int64_t>(width) * height == 0 || !image.Bits() || image.BitCount() != 24)
    return;

  std::array<std::uint8_t, 3> lo{255, 255, 255}, hi{0, 0, 0};
  const std::int64_t row_bytes = std::int64_t{3} * width;
  // Whole pieces of 48 bytes (16 pixels: byte k of a piece always holds
  // channel k % 3) go through vector minima and maxima when the processor has them.
  const std::int64_t vector_bytes = Extremes48(image, height, row_bytes, lo, hi);
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* p = image.ScanLine(y);
    for (std::int64_t i = vector_bytes; i < row_bytes; ++i) {
      const auto c = static_cast<std::size_t>(i % 3);
      lo[c] = std::min(lo[c], p[i]);
      hi[c] = std::max(hi[c], p[i]);
    }
  }

  // The mapping depends only on the value, so it is computed once per value:
  // factor = 255 / (max - min) in extended precision, kept as a double, then
  // Round((v - min) * factor) in extended precision, half to even.
  std::array<std::array<std::uint8_t, 256>, 3> map{};
  bool identity = true;
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) map[c][v] = static_cast<std::uint8_t>(v);
    if (hi[c] == lo[c]) continue; // single-valued channel: no range to spread
    const double factor = static_cast<double>(255.0L / static_cast<long double>(hi[c] - lo[c]));
    for (int v = lo[c]; v <= hi[c]; ++v) {
      const long double scaled = static_cast<long double>(v - lo[c]) * factor;
      map[c][v] = static_cast<std::uint8_t>(vex::round_to_int32(scaled));
      identity = identity && map[c][v] == v;
    }
  }
  if (identity) return;

  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* p = image.ScanLine(y);
    for (std::int32_t x = 0; x < width; ++x, p += 3) {
      p[0] = map[0][p[0]];
      p[1] = map[1][p[1]];
      p[2] = map[2][p[2]];
    }
  }
}
