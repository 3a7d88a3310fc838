// The 8x8 DCT of the JPEG codec with the quantiser folded into it, the
// zig-zag order and the quantisation tables the writer derives from Quality.
//
// All transform arithmetic is single precision; every sum, difference and
// product is rounded to float as it is formed (the build uses
// -ffp-contract=off, so no step is fused). The SIMD path (8 columns at a
// time) performs the same operations in the same order and therefore gives
// the same bits as the portable path.
#pragma once

#include <cstddef>
#include <cstdint>

// One quantisation table as a DQT segment carries it.
struct QuantTable {
  // High nibble: precision (0 = 8-bit entries); low nibble: table id 0..3.
  std::uint8_t PrecisionId = 0;
  // Quantisation steps in zig-zag order: entry i is the step of natural
  // coefficient ZigZag[i].
  std::uint16_t Entries[64] = {};
};

namespace vex::jpeg {

// Zig-zag position -> natural index (8 * row + column, row = vertical frequency).
extern const std::uint8_t ZigZag[64];
// Natural index -> zig-zag position; the exact inverse of ZigZag.
extern const std::uint8_t NaturalToZigZag[64];
// ZigZag followed by 16 entries of 63, so that a decoder that steps past
// position 63 on corrupt data still indexes inside a 64-entry block.
extern const std::uint8_t ZigZagGuarded[80];
// Scale of the fast transform, natural order: 1 / (8 a(v) a(u)).
extern const float ScaleTable[64];
// Base tables in natural order (luminance and chrominance).
extern const std::uint16_t LuminanceBase[64];
extern const std::uint16_t ChrominanceBase[64];

// Scale factor of the quality rule, kept as a double: 0 -> 1.0,
// 1..99 -> 10 - 4.958675 log10(quality), 100 and above -> 0.0001.
double QualityScale(unsigned quality);
// A table (precision 0, the given id) built from a base table in natural
// order: each step is the base step times the scale, rounded half to even
// and kept within 1..255.
QuantTable MakeQuantTable(const std::uint16_t base[64], double scale, std::uint8_t id);

} // namespace vex::jpeg

// Forward and inverse 8x8 transform of one component, with the quantisation
// step of each coefficient folded into a per-coefficient multiplier.
class TvexDCT {
public:
  TvexDCT();

  // cos(pi/4), 0.5 / cos(pi/8), 0.5 / cos(3 pi/8) computed from extended
  // precision angles and stored as single precision; the sample bias 128.5.
  float C4 = 0, K1 = 0, K2 = 0, Bias = 128.5f;
  // Forward: S[n] / Q; inverse: Q * S[n] (natural order). Valid after a load.
  alignas(16) float Multipliers[64] = {};
  // The 8x8 sample block, row-major.
  alignas(16) std::uint8_t Block[64] = {};

  // Loads the table for encoding. A step of 0 (never written by this
  // library) is taken as 1 so that no multiplier becomes infinite.
  void SetForwardTable(const QuantTable& table);
  // Loads the table for decoding.
  void SetInverseTable(const QuantTable& table);

  // Transforms Block into 64 quantised coefficients in natural order.
  void ForwardDCT(std::int16_t* coefficients) { ForwardDCT(Block, 8, coefficients); }
  // Transforms 64 quantised coefficients (natural order) into Block.
  void InverseDCT(const std::int16_t* coefficients) { InverseDCT(coefficients, Block, 8); }

  // The same transforms reading the 8 sample rows from (writing them to)
  // memory `stride` bytes apart, which spares the copy through Block.
  void ForwardDCT(const std::uint8_t* samples, std::ptrdiff_t stride,
                  std::int16_t* coefficients) const;
  void InverseDCT(const std::int16_t* coefficients, std::uint8_t* samples,
                  std::ptrdiff_t stride) const;
};

namespace vex::jpeg::detail {
// The two kernels behind TvexDCT; exposed for the differential tests, which
// check that both give identical results.
void ForwardDCTPortable(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                        std::int16_t* coefficients);
void InverseDCTPortable(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                        std::ptrdiff_t stride);
// The kernel of the SIMD level in use (see platform/cpu_features.h). Return
// false (and do nothing) when that level is none.
bool ForwardDCTSimd(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients);
bool InverseDCTSimd(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride);
// The kernels of each level; false when the build lacks them. The AVX2 ones
// must only be called where the processor has AVX2.
bool ForwardDCTSse2(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients);
bool InverseDCTSse2(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride);
bool ForwardDCTAvx2(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients);
bool InverseDCTAvx2(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride);
} // namespace vex::jpeg::detail
