// Test-only TIFF plumbing for the strip codecs: the strips of a file's first
// image, and a minimal file around strips of our own.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

struct TiffStrips {
  bool ok = false;
  int width = 0, height = 0, bits = 1, samples = 1;
  int compression = 1, photometric = 0, fill_order = 1, rows_per_strip = 0, orientation = 1;
  std::uint32_t t4_options = 0;
  std::vector<std::vector<std::uint8_t>> strips;
};

// The first directory's fields and strip bytes (classic TIFF, either byte
// order); ok is false for anything else.
TiffStrips read_tiff_strips(const std::vector<std::uint8_t>& file);

// A little-endian file of one image made of `strips`.
std::vector<std::uint8_t> make_tiff(const TiffStrips& layout);

} // namespace testing_support
