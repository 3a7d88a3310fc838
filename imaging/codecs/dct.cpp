// Forward and inverse 8x8 DCT (Arai-Agui-Nakajima factorisation) with the
// quantiser folded into one multiplier per coefficient; zig-zag and
// quantisation tables. Portable kernels; dct_sse2.cpp and dct_avx2.cpp hold
// the SIMD ones, which perform the same single-precision operations in the same order.
#include "vexDCT.h"

#include "platform/cpu_features.h"
#include "platform/rounding.h"

#include <cmath>

namespace vex::jpeg {

const std::uint8_t ZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const std::uint8_t ZigZagGuarded[80] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33,
    40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54,
    47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

const std::uint8_t NaturalToZigZag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

// 1 / (8 a(v) a(u)) with a(0) = 1, a(k) = sqrt(2) cos(k pi / 16), computed in
// extended precision and rounded once to single precision (the unit tests
// recompute them).
const float ScaleTable[64] = {
    0.125f,        0.0901199803f, 0.0956708565f, 0.106303759f,  0.125f,        0.159094825f,
    0.230969876f,  0.453063726f,  0.0901199803f, 0.064972885f,  0.0689748451f, 0.07664074f,
    0.0901199803f, 0.114700973f,  0.16652f,      0.326640755f,  0.0956708565f, 0.0689748451f,
    0.0732233077f, 0.0813613757f, 0.0956708565f, 0.121765904f,  0.176776692f,  0.346759975f,
    0.106303759f,  0.07664074f,   0.0813613757f, 0.0904039219f, 0.106303759f,  0.135299027f,
    0.196423739f,  0.385299027f,  0.125f,        0.0901199803f, 0.0956708565f, 0.106303759f,
    0.125f,        0.159094825f,  0.230969876f,  0.453063726f,  0.159094825f,  0.114700973f,
    0.121765904f,  0.135299027f,  0.159094825f,  0.202489302f,  0.293968886f,  0.576640725f,
    0.230969876f,  0.16652f,      0.176776692f,  0.196423739f,  0.230969876f,  0.293968886f,
    0.426776707f,  0.8371526f,    0.453063726f,  0.326640755f,  0.346759975f,  0.385299027f,
    0.453063726f,  0.576640725f,  0.8371526f,    1.64213395f};

const std::uint16_t LuminanceBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

const std::uint16_t ChrominanceBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

double QualityScale(unsigned quality) {
  if (quality == 0) return 1.0;
  if (quality >= 100) return 0.0001;
  return vex::to_double(10.0L - 4.958675L * std::log10(static_cast<long double>(quality)));
}

QuantTable MakeQuantTable(const std::uint16_t base[64], double scale, std::uint8_t id) {
  QuantTable table;
  table.PrecisionId = id & 0x0F;
  for (int i = 0; i < 64; ++i) {
    const long double step = static_cast<long double>(base[ZigZag[i]]) * scale;
    std::int64_t q = vex::round_to_int64(step);
    if (q < 1) q = 1;
    if (q > 255) q = 255;
    table.Entries[i] = static_cast<std::uint16_t>(q);
  }
  return table;
}

} // namespace vex::jpeg

namespace {

// Single-precision helpers; each call rounds its result to float.
struct Butterfly {
  float c4, k1, k2;

  // Forward 1-D transform of d[0..7] (already level-shifted sums where the
  // caller wants them) into y[0..7]. `shift` is subtracted from the four sums.
  void Forward(const float d[8], float shift, float y[8]) const {
    const float tmp0 = (d[0] + d[7]) - shift;
    const float tmp1 = (d[1] + d[6]) - shift;
    const float tmp2 = (d[2] + d[5]) - shift;
    const float tmp3 = (d[3] + d[4]) - shift;
    const float tmp4 = d[3] - d[4];
    const float tmp5 = d[2] - d[5];
    const float tmp6 = d[1] - d[6];
    const float tmp7 = d[0] - d[7];

    const float t10 = tmp0 + tmp3;
    const float t11 = tmp1 + tmp2;
    const float t12 = tmp1 - tmp2;
    const float t13 = tmp0 - tmp3;
    y[0] = t10 + t11;
    y[4] = t10 - t11;
    const float z1 = c4 * (t12 + t13);
    y[2] = t13 + z1;
    y[6] = t13 - z1;

    const float o10 = tmp4 + tmp5;
    const float o11 = tmp5 + tmp6;
    const float o12 = tmp6 + tmp7;
    const float w = c4 * (o10 + o12);
    const float z3 = c4 * o11;
    const float z11 = tmp7 + z3;
    const float z13 = tmp7 - z3;
    const float z4 = k1 * (w + o12);
    const float z2 = k2 * (w - o12);
    y[1] = z11 + z4;
    y[7] = z11 - z4;
    y[5] = z13 + z2;
    y[3] = z13 - z2;
  }

  void Inverse(const float x[8], float y[8]) const {
    const float s1 = x[2] - x[6];
    const float s2 = x[2] + x[6];
    const float s3 = x[1] - x[7];
    const float s4 = x[5] + x[3];
    const float s5 = x[5] - x[3];
    const float s6 = x[1] + x[7];
    const float p1 = k1 * s3;
    const float p2 = s6 - s4;
    const float p3 = k2 * s5;
    const float p4 = s4 + s6;
    const float p5 = p1 + p3;
    const float p6 = p1 - p3;
    const float e0 = x[0] + x[4];
    const float e1 = x[0] - x[4];
    const float q1 = c4 * s1;
    const float q2 = c4 * p5;
    const float q3 = c4 * p2;
    const float r1 = q2 + p6;
    const float r2 = q1 + s2;
    const float r3 = q2 + q3;
    const float r4 = q3 + r1;
    const float r5 = r1 + p4;
    const float f0 = e0 + r2;
    const float f1 = e1 + q1;
    const float f2 = e1 - q1;
    const float f3 = e0 - r2;
    y[0] = f0 + r5;
    y[1] = f1 + r4;
    y[2] = f2 + r3;
    y[3] = f3 + q2;
    y[4] = f3 - q2;
    y[5] = f2 - r3;
    y[6] = f1 - r4;
    y[7] = f0 - r5;
  }
};

inline std::int16_t QuantiseToInt16(float v) {
  float r = vex::round_half_even(v);
  if (r < -32768.0f) r = -32768.0f;
  if (r > 32767.0f) r = 32767.0f;
  return static_cast<std::int16_t>(r);
}

inline std::uint8_t SampleToByte(float v) {
  const float r = vex::round_half_even(v);
  if (r < 0.0f) return 0;
  if (r > 255.0f) return 255;
  return static_cast<std::uint8_t>(r);
}

} // namespace

TvexDCT::TvexDCT() {
  const long double pi = 3.141592653589793238462643383279502884L;
  C4 = static_cast<float>(std::cos(pi / 4.0L));
  K1 = static_cast<float>(0.5L / std::cos(pi / 8.0L));
  K2 = static_cast<float>(0.5L / std::cos(3.0L * pi / 8.0L));
  Bias = 128.5f;
}

void TvexDCT::SetForwardTable(const QuantTable& table) {
  for (int n = 0; n < 64; ++n) {
    std::uint16_t q = table.Entries[vex::jpeg::NaturalToZigZag[n]];
    if (q == 0) q = 1;
    Multipliers[n] = vex::jpeg::ScaleTable[n] / static_cast<float>(q);
  }
}

void TvexDCT::SetInverseTable(const QuantTable& table) {
  for (int n = 0; n < 64; ++n) {
    const std::uint16_t q = table.Entries[vex::jpeg::NaturalToZigZag[n]];
    Multipliers[n] = static_cast<float>(q) * vex::jpeg::ScaleTable[n];
  }
}

void TvexDCT::ForwardDCT(const std::uint8_t* samples, std::ptrdiff_t stride,
                         std::int16_t* coefficients) const {
  if (vex::platform::simd_enabled() &&
      vex::jpeg::detail::ForwardDCTSimd(*this, samples, stride, coefficients))
    return;
  vex::jpeg::detail::ForwardDCTPortable(*this, samples, stride, coefficients);
}

void TvexDCT::InverseDCT(const std::int16_t* coefficients, std::uint8_t* samples,
                         std::ptrdiff_t stride) const {
  if (vex::platform::simd_enabled() &&
      vex::jpeg::detail::InverseDCTSimd(*this, coefficients, samples, stride))
    return;
  vex::jpeg::detail::InverseDCTPortable(*this, coefficients, samples, stride);
}

namespace vex::jpeg::detail {

namespace {
vex::platform::SimdLevel Level() {
  static const vex::platform::SimdLevel level = vex::platform::simd_level();
  return level;
}
} // namespace

bool ForwardDCTSimd(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients) {
  if (Level() == vex::platform::SimdLevel::avx2)
    return ForwardDCTAvx2(dct, samples, stride, coefficients);
  return Level() == vex::platform::SimdLevel::sse2 &&
         ForwardDCTSse2(dct, samples, stride, coefficients);
}

bool InverseDCTSimd(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride) {
  if (Level() == vex::platform::SimdLevel::avx2)
    return InverseDCTAvx2(dct, coefficients, samples, stride);
  return Level() == vex::platform::SimdLevel::sse2 &&
         InverseDCTSse2(dct, coefficients, samples, stride);
}

void ForwardDCTPortable(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                        std::int16_t* coefficients) {
  const Butterfly bf{dct.C4, dct.K1, dct.K2};
  float work[64];
  float d[8], y[8];
  for (int x = 0; x < 8; ++x) {
    for (int r = 0; r < 8; ++r) d[r] = static_cast<float>(samples[r * stride + x]);
    bf.Forward(d, 256.0f, y);
    for (int k = 0; k < 8; ++k) work[8 * k + x] = y[k];
  }
  for (int k = 0; k < 8; ++k) {
    bf.Forward(&work[8 * k], 0.0f, y);
    for (int u = 0; u < 8; ++u)
      coefficients[8 * k + u] = QuantiseToInt16(y[u] * dct.Multipliers[8 * k + u]);
  }
}

void InverseDCTPortable(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                        std::ptrdiff_t stride) {
  const Butterfly bf{dct.C4, dct.K1, dct.K2};
  float work[64];
  float x[8], y[8];
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u)
      x[u] = static_cast<float>(coefficients[8 * v + u]) * dct.Multipliers[8 * v + u];
    bf.Inverse(x, y);
    for (int c = 0; c < 8; ++c) work[8 * v + c] = y[c];
  }
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) x[r] = work[8 * r + c];
    bf.Inverse(x, y);
    for (int r = 0; r < 8; ++r) samples[r * stride + c] = SampleToByte(y[r] + dct.Bias);
  }
}

} // namespace vex::jpeg::detail
