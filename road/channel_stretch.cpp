#include "channel_stretch.h"

#include "vexImage.h"

#include "platform/rounding.h"

#include <array>
#include <cstdint>
#include <cstdlib>

void StretchChannels(TvexImage& image) {
  const std::int32_t width = image.Width();
  const std::int32_t height = std::abs(image.Height());
  if (static_cast<std::int64_t>(width) * height == 0 || !image.Bits() || image.BitCount() != 24)
    return;

  std::array<std::uint8_t, 3> lo{255, 255, 255}, hi{0, 0, 0};
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* p = image.ScanLine(y);
    for (std::int32_t x = 0; x < width; ++x, p += 3) {
      for (int c = 0; c < 3; ++c) {
        if (p[c] < lo[c]) lo[c] = p[c];
        if (p[c] > hi[c]) hi[c] = p[c];
      }
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
