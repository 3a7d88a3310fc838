// Plain single-precision 8x8 DCT with the folded quantiser, written directly
// from the documented butterflies, one float variable per intermediate. The
// library's portable and SIMD kernels must give the same bits.
#pragma once

#include <cstdint>

namespace reference {

struct DctConstants {
  float c4, k1, k2, bias;
};
// cos(pi/4), 0.5/cos(pi/8), 0.5/cos(3pi/8) from extended precision; 128.5.
DctConstants dct_constants();
// 1 / (8 a(v) a(u)), natural order.
void dct_scale(float scale[64]);

// block: 64 samples row-major; multipliers natural order.
void forward_dct(const std::uint8_t block[64], const float multipliers[64],
                 std::int16_t coefficients[64]);
void inverse_dct(const std::int16_t coefficients[64], const float multipliers[64],
                 std::uint8_t block[64]);

} // namespace reference
