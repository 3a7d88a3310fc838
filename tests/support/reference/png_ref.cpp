#include "png_ref.h"

#include <cstdlib>

namespace reference {

bool png_unfilter(int type, std::uint8_t* row, const std::uint8_t* prior, std::size_t size,
                  std::size_t bpp) {
  if (type < 0 || type > 4) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int left = i >= bpp ? row[i - bpp] : 0;
    const int up = prior[i];
    const int upper_left = i >= bpp ? prior[i - bpp] : 0;
    int guess = 0;
    if (type == 1) guess = left;
    if (type == 2) guess = up;
    if (type == 3) guess = (left + up) / 2;
    if (type == 4) {
      const int p = left + up - upper_left;
      const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upper_left);
      guess = pa <= pb && pa <= pc ? left : pb <= pc ? up : upper_left;
    }
    row[i] = static_cast<std::uint8_t>(row[i] + guess);
  }
  return true;
}

} // namespace reference
