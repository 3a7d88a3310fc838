#include "resize_rows.h"

#include <algorithm>
#include <cstring>

namespace vex::resize {

const PowerTables& power_tables() {
  static const PowerTables tables = [] {
    PowerTables t{};
    for (std::int32_t i = 0; i < 256; ++i) {
      t.square[i] = static_cast<std::int16_t>(i * i / 256);
      t.cube[i] = static_cast<std::int16_t>(i * i * i / 65536);
    }
    return t;
  }();
  return tables;
}

CubicWeights cubic_weights(int f) {
  const PowerTables& t = power_tables();
  const std::int32_t s = t.square[f], c = t.cube[f];
  return {{-f + 2 * s - c, 256 - 2 * s + c, f + s - c, c - s}};
}

std::int32_t smooth_weight(int f) {
  const PowerTables& t = power_tables();
  return 2 * t.cube[f] - 3 * t.square[f] + 256;
}

namespace {

std::uint8_t clamp_byte(std::int32_t v) {
  return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

bool inside(const SourceView& src, std::int32_t ix, std::int32_t iy) {
  return ix >= 0 && ix < src.width && iy >= 0 && iy < src.height;
}

void nearest_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst) {
  const std::int32_t bpp = src.bytes_per_pixel;
  bool seen_inside = false;
  for (std::int32_t x = 0; x < at.count; ++x) {
    if (!inside(src, at.ix[x], at.iy[x])) {
      // Past the picture after being inside it: the rest of the row is outside too.
      if (seen_inside) break;
      continue;
    }
    seen_inside = true;
    std::memcpy(dst + static_cast<std::ptrdiff_t>(x) * bpp,
                src.row(at.iy[x]) + static_cast<std::ptrdiff_t>(at.ix[x]) * bpp,
                static_cast<std::size_t>(bpp));
  }
}

// Two taps per axis with weights (wx, 256 - wx) and (wy, 256 - wy); the right
// column and the lower row fall back to the near ones at the edges.
template <class WeightOf>
void two_tap_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst, WeightOf near) {
  const std::int32_t bpp = src.bytes_per_pixel;
  for (std::int32_t x = 0; x < at.count; ++x) {
    const std::int32_t ix = at.ix[x], iy = at.iy[x];
    if (!inside(src, ix, iy)) continue;
    const std::int32_t wx = near(at.fx[x]), wy = near(at.fy[x]);
    const std::int32_t ix1 = std::min(ix + 1, src.width - 1);
    const std::int32_t iy1 = iy + 1 < src.height ? iy + 1 : iy;
    const std::uint8_t* p0 = src.row(iy);
    const std::uint8_t* p1 = src.row(iy1);
    const std::ptrdiff_t o0 = static_cast<std::ptrdiff_t>(ix) * bpp;
    const std::ptrdiff_t o1 = static_cast<std::ptrdiff_t>(ix1) * bpp;
    std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(x) * bpp;
    for (std::int32_t k = 0; k < bpp; ++k) {
      const std::int32_t top = p0[o0 + k] * wx + p0[o1 + k] * (256 - wx);
      const std::int32_t bottom = p1[o0 + k] * wx + p1[o1 + k] * (256 - wx);
      out[k] = static_cast<std::uint8_t>((top * wy + bottom * (256 - wy)) >> 16);
    }
  }
}

void bilinear_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst) {
  two_tap_row(src, at, dst, [](std::int32_t f) { return 256 - f; });
}

void smooth_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst) {
  two_tap_row(src, at, dst, [](std::int32_t f) { return smooth_weight(f); });
}

// Quadratic through P(-1), P(0), P(+1) at fraction f, in 1/256 units.
std::int32_t quadratic(std::int32_t pm, std::int32_t p, std::int32_t pp, std::int32_t f,
                       std::int32_t square) {
  const std::int32_t e = (pm + pp - 2 * p) * square + f * (pp - pm);
  return 256 * p + e / 2;
}

void quadratic_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst) {
  const PowerTables& t = power_tables();
  const std::int32_t bpp = src.bytes_per_pixel;
  for (std::int32_t x = 0; x < at.count; ++x) {
    const std::int32_t ix = at.ix[x], iy = at.iy[x];
    if (!inside(src, ix, iy)) continue;
    const std::int32_t fx = at.fx[x], fy = at.fy[x];
    const std::ptrdiff_t om = static_cast<std::ptrdiff_t>(std::max(ix - 1, 0)) * bpp;
    const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(ix) * bpp;
    const std::ptrdiff_t op = static_cast<std::ptrdiff_t>(std::min(ix + 1, src.width - 1)) * bpp;
    const std::uint8_t* rows[3];
    for (int j = 0; j < 3; ++j) rows[j] = src.row(std::clamp(iy - 1 + j, 0, src.height - 1));
    std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(x) * bpp;
    for (std::int32_t k = 0; k < bpp; ++k) {
      std::int32_t r[3];
      for (int j = 0; j < 3; ++j)
        r[j] = quadratic(rows[j][om + k], rows[j][o + k], rows[j][op + k], fx, t.square[fx]);
      out[k] = clamp_byte(quadratic(r[0], r[1], r[2], fy, t.square[fy]) >> 16);
    }
  }
}

void bicubic_row(const SourceView& src, const RowCoords& at, std::uint8_t* dst) {
  const std::int32_t bpp = src.bytes_per_pixel;
  for (std::int32_t x = 0; x < at.count; ++x) {
    const std::int32_t ix = at.ix[x], iy = at.iy[x];
    if (!inside(src, ix, iy)) continue;
    const CubicWeights wx = cubic_weights(at.fx[x]);
    const CubicWeights wy = cubic_weights(at.fy[x]);
    std::ptrdiff_t off[4];
    const std::uint8_t* rows[4];
    for (int i = 0; i < 4; ++i) {
      off[i] = static_cast<std::ptrdiff_t>(std::clamp(ix - 1 + i, 0, src.width - 1)) * bpp;
      rows[i] = src.row(std::clamp(iy - 1 + i, 0, src.height - 1));
    }
    std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(x) * bpp;
    for (std::int32_t k = 0; k < bpp; ++k) {
      std::int32_t v = 0;
      for (int j = 0; j < 4; ++j) {
        std::int32_t r = 0;
        for (int i = 0; i < 4; ++i) r += wx.w[i] * rows[j][off[i] + k];
        v += wy.w[j] * r;
      }
      out[k] = clamp_byte(v >> 16);
    }
  }
}

} // namespace

RowFunction row_function(TvexInterpolation interpolation) {
  switch (interpolation) {
  case IP_NEAREST:
    return nearest_row;
  case IP_BILINEAR:
    return bilinear_row;
  case IP_QUADRATIC:
    return quadratic_row;
  case IP_BICUBIC:
    return bicubic_row;
  case IP_SMOOTH:
    return smooth_row;
  default:
    return nullptr;
  }
}

BicubicScaler::BicubicScaler(const SourceView& src, const std::int32_t* ix, const std::uint8_t* fx,
                             std::int32_t result_width, bool simd)
    : BicubicScaler(src, ix, fx, result_width,
                    simd ? vex::platform::simd_level() : vex::platform::SimdLevel::none) {}

BicubicScaler::BicubicScaler(const SourceView& src, const std::int32_t* ix, const std::uint8_t* fx,
                             std::int32_t result_width, vex::platform::SimdLevel level)
    : src_(src), result_width_(result_width), level_(level) {
  using vex::platform::SimdLevel;
  while (level_ != SimdLevel::none && (!vex::platform::simd_level_available(level_) ||
                                       (level_ == SimdLevel::sse2 && !sse2_compiled())))
    level_ = static_cast<SimdLevel>(static_cast<int>(level_) - 1);
  const std::int32_t bpp = src.bytes_per_pixel;
  // The vector kernels know pixels of one, three and four bytes.
  if (bpp != 1 && bpp != 3 && bpp != 4) level_ = SimdLevel::none;
  simd_ = level_ != SimdLevel::none;
  columns_.resize(static_cast<std::size_t>(result_width));
  for (std::int32_t x = 0; x < result_width; ++x) {
    Column& c = columns_[static_cast<std::size_t>(x)];
    const CubicWeights w = cubic_weights(fx[x]);
    for (int i = 0; i < 4; ++i) {
      c.offset[i] = std::clamp(ix[x] - 1 + i, 0, src.width - 1) * bpp;
      c.weight[i] = w.w[i];
    }
    // Taps are in increasing order, so the bytes a column reads form one range.
    runs_.emplace_back(c.offset[0], c.offset[3] + bpp);
  }
  // Merge the ranges (they come sorted from a scale; sorting keeps any order
  // safe). The vector kernels also bridge short gaps: a downscale leaves a
  // few unread bytes between the taps of neighbouring columns, and sixteen
  // bytes a step over the gap cost far less than a byte at a time around it.
  // The sums of a gap are never read, so the result is the same.
  if (!std::is_sorted(runs_.begin(), runs_.end())) std::sort(runs_.begin(), runs_.end());
  const std::int32_t bridge = simd_ ? 96 : 0;
  std::size_t merged = 0;
  for (std::size_t i = 1; i < runs_.size(); ++i) {
    if (runs_[i].first <= runs_[merged].second + bridge)
      runs_[merged].second = std::max(runs_[merged].second, runs_[i].second);
    else
      runs_[++merged] = runs_[i];
  }
  if (!runs_.empty()) runs_.resize(merged + 1);
  // One pixel before the row and two after it for the edge copies, and four
  // spare entries: the vector kernels read a whole vector at every tap.
  lead_ = simd_ ? bpp : 0;
  sums_.assign(static_cast<std::size_t>(src.width + 2) * bpp + static_cast<std::size_t>(lead_) + 4,
               0);
  if (simd_) LayOutLanes(level_ == SimdLevel::avx2);
}

namespace {

std::uint32_t packed_weight(std::int32_t w) {
  return static_cast<std::uint16_t>(w) |
         (static_cast<std::uint32_t>(static_cast<std::uint16_t>(64 * w)) << 16);
}

} // namespace

// The vector kernels take groups of columns (eight of one byte on AVX2, four
// otherwise) and read the weights of a group as consecutive 128-bit blocks.
// For one byte a block holds the four taps' weights of a column; for three or
// four it holds one tap's weight in the lanes of the pixel's bytes (zero in
// the fourth lane of three, so that byte comes out 0). The block order is the
// order of the kernel's loads: AVX2 multiplies columns 0|2 and 1|3 of a group
// tap by tap, and columns 0..3|4..7 of one byte; SSE2 goes column by column.
void BicubicScaler::LayOutLanes(bool avx2) {
  const std::int32_t bpp = src_.bytes_per_pixel;
  const std::size_t group = avx2 && bpp == 1 ? 8 : 4;
  const std::size_t blocks = bpp == 1 ? group : 4 * group;
  // Column in the group and tap of block b (tap unused for one byte).
  const auto block = [&](std::size_t b) -> std::pair<std::size_t, int> {
    if (bpp == 1) return {avx2 ? b / 2 + 4 * (b % 2) : b, 0};
    if (avx2) return {b / 2 % 2 + 2 * (b % 2), static_cast<int>(b / 4)};
    return {b / 4, static_cast<int>(b % 4)};
  };
  const std::size_t n = columns_.size();
  const std::size_t groups = (n + group - 1) / group;
  first_tap_.assign(groups * group, 0);
  lanes_.assign(groups * blocks / 2, LaneWeights{});
  for (std::size_t x = 0; x < n; ++x)
    first_tap_[x] = columns_[x].offset[1] - bpp; // offset[1] is the column's own pixel
  for (std::size_t g = 0; g < groups; ++g) {
    for (std::size_t b = 0; b < blocks; ++b) {
      const auto [column, tap] = block(b);
      const std::size_t x = g * group + column;
      if (x >= n) continue;
      const std::int32_t* w = columns_[x].weight;
      std::uint32_t* lanes = lanes_[(g * blocks + b) / 2].lane + 4 * (b % 2);
      for (std::int32_t k = 0; k < 4; ++k)
        lanes[k] = packed_weight(bpp == 1 ? w[k] : k < bpp ? w[tap] : 0);
    }
  }
}

// The vector kernels read the taps of a column as four neighbouring pixels:
// copies of the first pixel's sums before the row and of the last pixel's
// two after it stand in for the clamped taps.
void BicubicScaler::CopyEdgeSums() {
  const std::int32_t bpp = src_.bytes_per_pixel;
  std::int32_t* s = Sums();
  const std::int32_t last = (src_.width - 1) * bpp;
  for (std::int32_t k = 0; k < bpp; ++k) {
    s[k - bpp] = s[k];
    s[last + bpp + k] = s[last + k];
    s[last + 2 * bpp + k] = s[last + k];
  }
}

void BicubicScaler::Row(std::int32_t iy, std::uint8_t fy, std::uint8_t* dst) {
  const std::uint8_t* rows[4];
  for (int j = 0; j < 4; ++j) rows[j] = src_.row(std::clamp(iy - 1 + j, 0, src_.height - 1));
  Row(rows, fy, dst);
}

void BicubicScaler::Row(const std::uint8_t* const rows[4], std::uint8_t fy, std::uint8_t* dst) {
  const CubicWeights v = cubic_weights(fy);
  if (level_ == vex::platform::SimdLevel::avx2) {
    avx2::vertical(rows, v, runs_.data(), runs_.size(), Sums());
    CopyEdgeSums();
    avx2::horizontal(Sums(), first_tap_.data(), lanes_.data(), columns_.size(),
                     src_.bytes_per_pixel, dst);
  } else if (simd_) {
    VerticalSse2(rows, v);
    CopyEdgeSums();
    HorizontalSse2(dst);
  } else {
    VerticalPortable(rows, v);
    HorizontalPortable(dst);
  }
}

// The four tap rows are summed first, per source byte, and the columns after:
// the result equals the row-then-column order of the formula exactly, since
// integer sums of products do not depend on the order and nothing overflows
// (|sum| < 2^17 per byte, |V| < 2^26).
void BicubicScaler::VerticalPortable(const std::uint8_t* const rows[4], const CubicWeights& v) {
  std::int32_t* out = Sums();
  for (const auto& [begin, end] : runs_)
    for (std::int32_t k = begin; k < end; ++k)
      out[k] =
          v.w[0] * rows[0][k] + v.w[1] * rows[1][k] + v.w[2] * rows[2][k] + v.w[3] * rows[3][k];
}

void BicubicScaler::HorizontalPortable(std::uint8_t* dst) const {
  const std::int32_t bpp = src_.bytes_per_pixel;
  const std::int32_t* s = sums_.data() + lead_;
  for (const Column& c : columns_) {
    for (std::int32_t k = 0; k < bpp; ++k) {
      const std::int32_t value =
          c.weight[0] * s[c.offset[0] + k] + c.weight[1] * s[c.offset[1] + k] +
          c.weight[2] * s[c.offset[2] + k] + c.weight[3] * s[c.offset[3] + k];
      dst[k] = clamp_byte(value >> 16);
    }
    dst += bpp;
  }
}

} // namespace vex::resize
