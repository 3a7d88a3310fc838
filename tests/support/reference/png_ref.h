// The PNG row filters undone byte by byte, as the format defines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

// Filter `type` undone in place on `row` with the row above `prior`; false
// for a type other than 0..4.
bool png_unfilter(int type, std::uint8_t* row, const std::uint8_t* prior, std::size_t size,
                  std::size_t bpp);

// The filtered data of an image written row by row: per row the chosen
// filter type and the row filtered with it. Candidates are None, Sub (when
// mask bit 1 is set) and, below the first row, Up, Average and Paeth (mask
// bits 2..4); the one with the most positions k >= 4 whose bytes k-4..k are
// equal wins, the lower type on a tie.
std::vector<std::uint8_t> png_filter_rows(const std::vector<std::vector<std::uint8_t>>& rows,
                                          std::size_t bpp, std::uint32_t mask);

} // namespace reference
