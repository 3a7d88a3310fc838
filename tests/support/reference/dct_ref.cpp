#include "reference/dct_ref.h"

#include <cmath>

namespace reference {

namespace {
const long double kPi = 3.141592653589793238462643383279502884L;

// One forward butterfly; `s` is 256 on the column pass (level shift) and 0
// on the row pass, where the sums are taken without it.
void fwd(float d0, float d1, float d2, float d3, float d4, float d5, float d6, float d7, bool shift,
         const DctConstants& k, float y[8]) {
  float tmp0 = d0 + d7;
  float tmp1 = d1 + d6;
  float tmp2 = d2 + d5;
  float tmp3 = d3 + d4;
  if (shift) {
    tmp0 = tmp0 - 256.0f;
    tmp1 = tmp1 - 256.0f;
    tmp2 = tmp2 - 256.0f;
    tmp3 = tmp3 - 256.0f;
  }
  float tmp4 = d3 - d4;
  float tmp5 = d2 - d5;
  float tmp6 = d1 - d6;
  float tmp7 = d0 - d7;
  float t10 = tmp0 + tmp3;
  float t11 = tmp1 + tmp2;
  float t12 = tmp1 - tmp2;
  float t13 = tmp0 - tmp3;
  y[0] = t10 + t11;
  y[4] = t10 - t11;
  float sum = t12 + t13;
  float z1 = k.c4 * sum;
  y[2] = t13 + z1;
  y[6] = t13 - z1;
  float o10 = tmp4 + tmp5;
  float o11 = tmp5 + tmp6;
  float o12 = tmp6 + tmp7;
  float wsum = o10 + o12;
  float w = k.c4 * wsum;
  float z3 = k.c4 * o11;
  float z11 = tmp7 + z3;
  float z13 = tmp7 - z3;
  float a = w + o12;
  float z4 = k.k1 * a;
  float b = w - o12;
  float z2 = k.k2 * b;
  y[1] = z11 + z4;
  y[7] = z11 - z4;
  y[5] = z13 + z2;
  y[3] = z13 - z2;
}

void inv(const float x[8], const DctConstants& k, float y[8]) {
  float s1 = x[2] - x[6];
  float s2 = x[2] + x[6];
  float s3 = x[1] - x[7];
  float s4 = x[5] + x[3];
  float s5 = x[5] - x[3];
  float s6 = x[1] + x[7];
  float p1 = k.k1 * s3;
  float p2 = s6 - s4;
  float p3 = k.k2 * s5;
  float p4 = s4 + s6;
  float p5 = p1 + p3;
  float p6 = p1 - p3;
  float e0 = x[0] + x[4];
  float e1 = x[0] - x[4];
  float q1 = k.c4 * s1;
  float q2 = k.c4 * p5;
  float q3 = k.c4 * p2;
  float r1 = q2 + p6;
  float r2 = q1 + s2;
  float r3 = q2 + q3;
  float r4 = q3 + r1;
  float r5 = r1 + p4;
  float f0 = e0 + r2;
  float f1 = e1 + q1;
  float f2 = e1 - q1;
  float f3 = e0 - r2;
  y[0] = f0 + r5;
  y[1] = f1 + r4;
  y[2] = f2 + r3;
  y[3] = f3 + q2;
  y[4] = f3 - q2;
  y[5] = f2 - r3;
  y[6] = f1 - r4;
  y[7] = f0 - r5;
}
} // namespace

DctConstants dct_constants() {
  DctConstants k;
  k.c4 = static_cast<float>(std::cos(kPi / 4.0L));
  k.k1 = static_cast<float>(0.5L / std::cos(kPi / 8.0L));
  k.k2 = static_cast<float>(0.5L / std::cos(3.0L * kPi / 8.0L));
  k.bias = 128.5f;
  return k;
}

void dct_scale(float scale[64]) {
  long double a[8];
  a[0] = 1.0L;
  for (int i = 1; i < 8; ++i) a[i] = std::sqrt(2.0L) * std::cos(i * kPi / 16.0L);
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) scale[8 * v + u] = static_cast<float>(1.0L / (8.0L * a[v] * a[u]));
}

void forward_dct(const std::uint8_t block[64], const float multipliers[64],
                 std::int16_t coefficients[64]) {
  const DctConstants k = dct_constants();
  float work[8][8];
  for (int x = 0; x < 8; ++x) {
    float y[8];
    fwd(block[x], block[8 + x], block[16 + x], block[24 + x], block[32 + x], block[40 + x],
        block[48 + x], block[56 + x], true, k, y);
    for (int r = 0; r < 8; ++r) work[r][x] = y[r];
  }
  for (int r = 0; r < 8; ++r) {
    float y[8];
    fwd(work[r][0], work[r][1], work[r][2], work[r][3], work[r][4], work[r][5], work[r][6],
        work[r][7], false, k, y);
    for (int u = 0; u < 8; ++u) {
      float product = y[u] * multipliers[8 * r + u];
      float rounded = std::nearbyintf(product);
      if (rounded > 32767.0f) rounded = 32767.0f;
      if (rounded < -32768.0f) rounded = -32768.0f;
      coefficients[8 * r + u] = static_cast<std::int16_t>(rounded);
    }
  }
}

void inverse_dct(const std::int16_t coefficients[64], const float multipliers[64],
                 std::uint8_t block[64]) {
  const DctConstants k = dct_constants();
  float work[8][8];
  for (int v = 0; v < 8; ++v) {
    float x[8], y[8];
    for (int u = 0; u < 8; ++u)
      x[u] = static_cast<float>(coefficients[8 * v + u]) * multipliers[8 * v + u];
    inv(x, k, y);
    for (int c = 0; c < 8; ++c) work[v][c] = y[c];
  }
  for (int c = 0; c < 8; ++c) {
    float x[8], y[8];
    for (int r = 0; r < 8; ++r) x[r] = work[r][c];
    inv(x, k, y);
    for (int r = 0; r < 8; ++r) {
      float v = y[r] + k.bias;
      float rounded = std::nearbyintf(v);
      int s = rounded < 0.0f ? 0 : rounded > 255.0f ? 255 : static_cast<int>(rounded);
      block[8 * r + c] = static_cast<std::uint8_t>(s);
    }
  }
}

} // namespace reference
