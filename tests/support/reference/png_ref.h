// The PNG row filters undone byte by byte, as the format defines them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace reference {

// Filter `type` undone in place on `row` with the row above `prior`; false
// for a type other than 0..4.
bool png_unfilter(int type, std::uint8_t* row, const std::uint8_t* prior, std::size_t size,
                  std::size_t bpp);

} // namespace reference
