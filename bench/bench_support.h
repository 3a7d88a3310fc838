// Pictures for the benchmarks: a synthetic photograph-like one, or a PPM file.
#pragma once

#include "vexImage.h"

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace bench_support {

// Smooth gradients, fine texture (noise of `noise_mask` + 1 levels) and hard edges.
inline std::unique_ptr<TvexImage> make_picture(int w, int h, unsigned noise_mask = 7) {
  auto image = std::make_unique<TvexImage>();
  image->SetWidth(w);
  image->SetHeight(h);
  image->SetBitCount(24);
  std::uint32_t state = 12345;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image->ScanLine(y);
    for (int x = 0; x < w; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = static_cast<int>((state >> 16) & noise_mask);
      const bool edge = ((x / 97) + (y / 61)) % 5 == 0;
      row[3 * x + 0] = static_cast<std::uint8_t>(((x * 255) / w + noise) & 255);
      row[3 * x + 1] = static_cast<std::uint8_t>(edge ? 240 : ((y * 255) / h + noise) & 255);
      row[3 * x + 2] = static_cast<std::uint8_t>(((x + y) / 16 + noise) & 255);
    }
  }
  return image;
}

// Binary PPM (P6, maxval 255) into a 24-bit image (blue, green, red; rows bottom-up).
inline std::unique_ptr<TvexImage> read_ppm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  if (!in || magic != "P6" || maxval != 255 || w <= 0 || h <= 0) return nullptr;
  auto image = std::make_unique<TvexImage>();
  image->SetWidth(w);
  image->SetHeight(h);
  image->SetBitCount(24);
  if (!image->Bits()) return nullptr;
  std::vector<char> line(static_cast<std::size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    if (!in.read(line.data(), static_cast<std::streamsize>(line.size()))) return nullptr;
    std::uint8_t* row = image->ScanLine(y);
    for (int x = 0; x < w; ++x) {
      row[3 * x + 0] = static_cast<std::uint8_t>(line[3 * x + 2]);
      row[3 * x + 1] = static_cast<std::uint8_t>(line[3 * x + 1]);
      row[3 * x + 2] = static_cast<std::uint8_t>(line[3 * x + 0]);
    }
  }
  return image;
}

} // namespace bench_support
