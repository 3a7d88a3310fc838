// Row functions of the resampling transform. Each writes one result row from
// per-column source coordinates (integer part and fraction in 1/256). The
// bicubic scaler is the fast path of a plain scale: it works per run, with
// per-column taps and weights fixed in advance, and has portable, SSE2 and
// AVX2 implementations that give the same bytes.
#pragma once

#include "platform/cpu_features.h"
#include "vexImageTypeDef.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vex::resize {

// square[t] = t*t div 256 and cube[t] = t*t*t div 65536 for t = 0..255.
struct PowerTables {
  std::int16_t square[256];
  std::int16_t cube[256];
};
const PowerTables& power_tables();

// Weights of the four cubic taps (-1, 0, +1, +2) for fraction f: the cubic
// convolution formula regrouped by tap, so that sum(w[i] * P[i]) equals
// 256*P1 + f*(P2-P0) + square*(2P0-2P1+P2-P3) + cube*(P1-P0+P3-P2) exactly.
// Each weight lies in -39..256.
struct CubicWeights {
  std::int32_t w[4];
};
CubicWeights cubic_weights(int f);
// Smooth-step weight of the near pixel: 2*cube[f] - 3*square[f] + 256 (0..256).
std::int32_t smooth_weight(int f);

// The source as the row functions see it: the top row and the distance from
// one row to the next one down (negative for bottom-up pixel memory). No
// table per row, so a source of millions of rows costs no extra memory.
struct SourceView {
  const std::uint8_t* top = nullptr;
  std::ptrdiff_t stride = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytes_per_pixel = 0; // 1, 3 or 4

  const std::uint8_t* row(std::int32_t r) const { return top + r * stride; }
};

// Sampling positions of one result row. A column whose (ix, iy) lies outside
// the source is skipped (its bytes stay as they are).
struct RowCoords {
  const std::int32_t* ix = nullptr;
  const std::int32_t* iy = nullptr;
  const std::uint8_t* fx = nullptr;
  const std::uint8_t* fy = nullptr;
  std::int32_t count = 0;
};

using RowFunction = void (*)(const SourceView& src, const RowCoords& at, std::uint8_t* dst);
// The row function of an interpolation; null above IP_SMOOTH.
RowFunction row_function(TvexInterpolation interpolation);

// One result column of the bicubic scaler.
struct BicubicColumn {
  std::int32_t offset[4]; // byte offsets of the four taps in a source row
  std::int32_t weight[4]; // cubic weights for fx
};

// Eight 32-bit lanes of horizontal weights, each packed as the weight in the
// low 16 bits and 64 * weight in the high 16 bits, in the order a vector
// kernel reads them (see BicubicScaler's constructor).
struct alignas(32) LaneWeights {
  std::uint32_t lane[8];
};

// Bicubic rows of a plain scale: every result column samples the same source
// column (ix, fx) in every row, and all of them lie inside the source.
class BicubicScaler {
public:
  // `simd` selects the kernels of the SIMD level in use (see
  // platform/cpu_features.h), false the portable ones.
  BicubicScaler(const SourceView& src, const std::int32_t* ix, const std::uint8_t* fx,
                std::int32_t result_width, bool simd);
  // The kernels of `level`, or of the best level below it that the build and
  // processor have.
  BicubicScaler(const SourceView& src, const std::int32_t* ix, const std::uint8_t* fx,
                std::int32_t result_width, vex::platform::SimdLevel level);
  // Writes result_width pixels for source row iy (0..height-1) and fraction fy.
  void Row(std::int32_t iy, std::uint8_t fy, std::uint8_t* dst);
  // The same from the four tap rows (iy - 1 .. iy + 2, clamped) given apart.
  void Row(const std::uint8_t* const rows[4], std::uint8_t fy, std::uint8_t* dst);
  bool UsesSimd() const { return simd_; }
  vex::platform::SimdLevel Level() const { return level_; }

private:
  using Column = BicubicColumn;
  void VerticalPortable(const std::uint8_t* const rows[4], const CubicWeights& v);
  void HorizontalPortable(std::uint8_t* dst) const;
  void VerticalSse2(const std::uint8_t* const rows[4], const CubicWeights& v);
  void HorizontalSse2(std::uint8_t* dst) const;
  std::int32_t* Sums() { return sums_.data() + lead_; }
  void LayOutLanes(bool avx2);
  void CopyEdgeSums();

  SourceView src_;
  std::int32_t result_width_;
  vex::platform::SimdLevel level_;
  bool simd_; // sse2 or avx2: the sums are kept split
  std::vector<Column> columns_;
  // Byte ranges [begin, end) of a source row that some column reads.
  std::vector<std::pair<std::int32_t, std::int32_t>> runs_;
  // Vertical sums per source byte: plain values on the portable path; on the
  // SSE2 path each is split as (c & 63) | ((c >> 6) << 16) so that one 16-bit
  // multiply-add against a packed weight gives weight * c exactly. Sums()
  // points at byte 0 of the row; the vector kernels keep copies of the edge
  // pixels' sums before and after it (one pixel left, two right), so that the
  // taps of every column are four neighbouring pixels there and no tap needs
  // an offset of its own.
  std::vector<std::int32_t> sums_;
  std::int32_t lead_ = 0;
  // Vector kernels: the sums index of each column's first tap, and the
  // weights in kernel order; both padded with zero-weight columns to whole
  // groups of the kernel.
  std::vector<std::int32_t> first_tap_;
  std::vector<LaneWeights> lanes_;
};

// Whether the SSE2 kernels were compiled in.
bool sse2_compiled();

// AVX2 kernels (resize_rows_avx2.cpp; only where the processor has AVX2),
// the same sums as the SSE2 ones on the split form.
namespace avx2 {
void vertical(const std::uint8_t* const rows[4], const CubicWeights& v,
              const std::pair<std::int32_t, std::int32_t>* runs, std::size_t run_count,
              std::int32_t* sums);
// Four pixels of three or four bytes, or eight of one byte, per step; `count`
// columns are written.
void horizontal(const std::int32_t* sums, const std::int32_t* first_tap, const LaneWeights* lanes,
                std::size_t count, std::int32_t bytes_per_pixel, std::uint8_t* dst);
} // namespace avx2

} // namespace vex::resize
