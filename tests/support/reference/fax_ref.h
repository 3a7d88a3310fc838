// Plain fax coding written from the documented algorithms: code trees walked
// one bit at a time, changing elements found pixel by pixel. The library's
// table-driven fax codecs are checked against these.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

// A bilevel picture, rows top down, each (width + 7) / 8 bytes, leftmost
// pixel in the most significant bit, 1 black.
struct BitImage {
  int width = 0, height = 0;
  std::vector<std::uint8_t> bits;
  BitImage() = default;
  BitImage(int w, int h)
      : width(w), height(h), bits(static_cast<std::size_t>((w + 7) / 8) * h, 0) {}
  int stride() const { return (width + 7) / 8; }
  std::uint8_t* row(int y) { return bits.data() + static_cast<std::size_t>(y) * stride(); }
  const std::uint8_t* row(int y) const {
    return bits.data() + static_cast<std::size_t>(y) * stride();
  }
  int pixel(int y, int x) const { return (row(y)[x >> 3] >> (7 - (x & 7))) & 1; }
};

// -1 Modified Huffman; 0 Group 3 one-dimensional, 1 Group 3
// two-dimensional, 2 Group 4.
inline constexpr int kModifiedHuffman = -1;

struct FaxDecoded {
  int error = 0;
  int rows = 0;                // rows completed
  std::int64_t bytes_used = 0; // input bytes read, a partly read one included
};

// Decodes `data` into `image` from its top row on.
FaxDecoded fax_decode(int mode, bool reverse_bits, const std::uint8_t* data, std::size_t size,
                      BitImage& image);

// Codes every row of `image` as one strip.
std::vector<std::uint8_t> fax_encode(int mode, const BitImage& image);

} // namespace reference
