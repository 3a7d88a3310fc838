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

std::vector<std::uint8_t> png_filter_rows(const std::vector<std::vector<std::uint8_t>>& rows,
                                          std::size_t bpp, std::uint32_t mask) {
  std::vector<std::uint8_t> out;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<std::uint8_t>& x = rows[r];
    const std::vector<std::uint8_t> zeros(x.size(), 0);
    const std::vector<std::uint8_t>& prior = r > 0 ? rows[r - 1] : zeros;
    int best_type = 0;
    long best_score = -1;
    std::vector<std::uint8_t> best;
    for (int type = 0; type <= 4; ++type) {
      if (type > 0 && !(mask & (1u << type))) continue;
      if (type >= 2 && r == 0) continue;
      // Filtering is the unfiltering's inverse: subtract what it would add.
      std::vector<std::uint8_t> f(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        const int left = i >= bpp ? x[i - bpp] : 0;
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
        f[i] = static_cast<std::uint8_t>(x[i] - guess);
      }
      long score = 0;
      for (std::size_t k = 4; k < f.size(); ++k)
        if (f[k - 4] == f[k] && f[k - 3] == f[k] && f[k - 2] == f[k] && f[k - 1] == f[k]) ++score;
      if (score > best_score) {
        best_score = score;
        best_type = type;
        best = f;
      }
    }
    out.push_back(static_cast<std::uint8_t>(best_type));
    out.insert(out.end(), best.begin(), best.end());
  }
  return out;
}

} // namespace reference
