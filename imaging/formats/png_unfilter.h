// Undoing the PNG row filters: plain loops for every pixel size, SSE2 for
// the pixels of three and four bytes (RGB and RGBA rows), whose Average and
// Paeth filters are the bulk of a photograph's decoding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vex::png {

// Filter type `type` undone in place on `row` (`size` bytes) with the row
// above `prior`, pixels `bpp` bytes apart; bytes left of the first pixel
// count as 0. False for a type other than 0..4 (the row is left as it was).
bool Unfilter(int type, std::uint8_t* row, const std::uint8_t* prior, std::size_t size,
              std::size_t bpp);

} // namespace vex::png
