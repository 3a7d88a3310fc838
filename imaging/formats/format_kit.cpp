#include "format_kit.h"

#include <atomic>

namespace vex::kit {

namespace {
std::atomic<std::int64_t> bitmap_byte_cap{kMaxBitmapBytes};
} // namespace

std::int64_t BitmapByteCap() {
  return bitmap_byte_cap.load(std::memory_order_relaxed);
}

void SetBitmapByteCap(std::int64_t bytes) {
  bitmap_byte_cap.store(bytes < kMaxBitmapBytes ? bytes : kMaxBitmapBytes,
                        std::memory_order_relaxed);
}

void RgbToBgr(const std::uint8_t* rgb, std::int64_t count, std::uint8_t* bgr) {
  for (std::int64_t i = 0; i < count; ++i, rgb += 3, bgr += 3) {
    const std::uint8_t r = rgb[0], g = rgb[1], b = rgb[2];
    bgr[0] = b;
    bgr[1] = g;
    bgr[2] = r;
  }
}

void RgbaToBgra(const std::uint8_t* rgba, std::int64_t count, std::uint8_t* bgra) {
  for (std::int64_t i = 0; i < count; ++i, rgba += 4, bgra += 4) {
    const std::uint8_t r = rgba[0], g = rgba[1], b = rgba[2], a = rgba[3];
    bgra[0] = b;
    bgra[1] = g;
    bgra[2] = r;
    bgra[3] = a;
  }
}

void ExpandIndices(const std::uint8_t* indices, int bits, std::int64_t count,
                   const platform::RgbQuad* palette, int palette_size, std::uint8_t* bgr) {
  const int per_byte = 8 / bits;
  const int mask = (1 << bits) - 1;
  for (std::int64_t i = 0; i < count; ++i, bgr += 3) {
    const int shift = 8 - bits * (1 + static_cast<int>(i % per_byte));
    const int index = (indices[i / per_byte] >> shift) & mask;
    if (index < palette_size) {
      bgr[0] = palette[index].rgbBlue;
      bgr[1] = palette[index].rgbGreen;
      bgr[2] = palette[index].rgbRed;
    } else {
      bgr[0] = bgr[1] = bgr[2] = 0;
    }
  }
}

} // namespace vex::kit
