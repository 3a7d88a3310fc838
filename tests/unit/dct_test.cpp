// The 8x8 DCT with folded quantiser: tables, the quality rule, the exact
// edge values, and bit-identity of the portable and SIMD kernels with the
// plain reference on random blocks and tables.
#include "platform/cpu_features.h"
#include "reference/dct_ref.h"
#include "test_support.h"
#include "vexDCT.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using testing_support::Rng;
using namespace vex::jpeg;

// The SIMD kernels of each level; those the build or processor lacks are skipped.
struct SimdKernels {
  const char* name;
  vex::platform::SimdLevel level;
  decltype(&detail::ForwardDCTSse2) forward;
  decltype(&detail::InverseDCTSse2) inverse;
};
const SimdKernels kSimdKernels[] = {
    {"sse2", vex::platform::SimdLevel::sse2, detail::ForwardDCTSse2, detail::InverseDCTSse2},
    {"avx2", vex::platform::SimdLevel::avx2, detail::ForwardDCTAvx2, detail::InverseDCTAvx2}};

// Runs each available SIMD inverse kernel on coef and compares with want.
void ExpectInverseKernelsEqual(const TvexDCT& dct, const std::int16_t* coef,
                               const std::uint8_t* want, int trial) {
  for (const SimdKernels& k : kSimdKernels) {
    std::uint8_t out[8 * 24];
    if (!vex::platform::simd_level_available(k.level) || !k.inverse(dct, coef, out + 3, 24))
      continue;
    for (int r = 0; r < 8; ++r)
      ASSERT_EQ(0, std::memcmp(want + 8 * r, out + 3 + 24 * r, 8)) << k.name << " trial " << trial;
  }
}

std::vector<int> to_natural(const QuantTable& t) {
  std::vector<int> n(64);
  for (int i = 0; i < 64; ++i) n[ZigZag[i]] = t.Entries[i];
  return n;
}

TEST(DctTables, ZigZagIsAPermutationWithItsInverse) {
  bool seen[64] = {};
  for (int i = 0; i < 64; ++i) {
    ASSERT_FALSE(seen[ZigZag[i]]);
    seen[ZigZag[i]] = true;
    EXPECT_EQ(NaturalToZigZag[ZigZag[i]], i);
    EXPECT_EQ(ZigZagGuarded[i], ZigZag[i]);
  }
  for (int i = 64; i < 80; ++i) EXPECT_EQ(ZigZagGuarded[i], 63);
  // A few positions of the T.81 order.
  EXPECT_EQ(ZigZag[2], 8);
  EXPECT_EQ(ZigZag[3], 16);
  EXPECT_EQ(ZigZag[63], 63);
}

TEST(DctTables, ScaleAndConstantsMatchExtendedPrecisionValues) {
  float scale[64];
  reference::dct_scale(scale);
  EXPECT_EQ(0, std::memcmp(scale, ScaleTable, sizeof scale));
  EXPECT_FLOAT_EQ(ScaleTable[0], 0.125f);
  EXPECT_NEAR(ScaleTable[1], 0.0901200, 1e-7);
  EXPECT_NEAR(ScaleTable[9], 0.0649729, 1e-7);
  EXPECT_NEAR(ScaleTable[63], 1.6421340, 1e-6);
  TvexDCT dct;
  const auto k = reference::dct_constants();
  EXPECT_EQ(dct.C4, k.c4);
  EXPECT_EQ(dct.K1, k.k1);
  EXPECT_EQ(dct.K2, k.k2);
  EXPECT_NEAR(dct.K1, 0.5411961, 1e-7);
  EXPECT_NEAR(dct.K2, 1.3065630, 1e-6);
  EXPECT_EQ(dct.Bias, 128.5f);
}

TEST(QualityRule, ScaleFactors) {
  EXPECT_EQ(QualityScale(0), 1.0);
  EXPECT_EQ(QualityScale(1), 10.0);
  EXPECT_NEAR(QualityScale(80), 0.5631953, 1e-7);
  EXPECT_EQ(QualityScale(100), 0.0001);
  EXPECT_EQ(QualityScale(65535), 0.0001);
}

TEST(QualityRule, Quality80Tables) {
  const auto lum = to_natural(MakeQuantTable(LuminanceBase, QualityScale(80), 0));
  const std::vector<int> row0 = {9, 6, 6, 9, 14, 23, 29, 34};
  const std::vector<int> row1 = {7, 7, 8, 11, 15, 33, 34, 31};
  const std::vector<int> row7 = {41, 52, 54, 55, 63, 56, 58, 56};
  EXPECT_EQ(std::vector<int>(lum.begin(), lum.begin() + 8), row0);
  EXPECT_EQ(std::vector<int>(lum.begin() + 8, lum.begin() + 16), row1);
  EXPECT_EQ(std::vector<int>(lum.begin() + 56, lum.end()), row7);
  const QuantTable chroma = MakeQuantTable(ChrominanceBase, QualityScale(80), 1);
  EXPECT_EQ(chroma.PrecisionId, 1);
  const auto chr = to_natural(chroma);
  EXPECT_EQ(std::vector<int>(chr.begin(), chr.begin() + 8),
            (std::vector<int>{10, 10, 14, 26, 56, 56, 56, 56}));
  for (int n = 0; n < 64; ++n)
    if (ChrominanceBase[n] == 99) {
      EXPECT_EQ(chr[n], 56) << n;
    }
}

TEST(QualityRule, ExtremeQualities) {
  struct Case {
    unsigned quality;
    std::vector<int> lum_row0;
  } cases[] = {
      {0, {16, 11, 10, 16, 24, 40, 51, 61}},
      {1, {160, 110, 100, 160, 240, 255, 255, 255}},
      {100, {1, 1, 1, 1, 1, 1, 1, 1}},
      {65535, {1, 1, 1, 1, 1, 1, 1, 1}},
  };
  for (const auto& c : cases) {
    const auto lum = to_natural(MakeQuantTable(LuminanceBase, QualityScale(c.quality), 0));
    EXPECT_EQ(std::vector<int>(lum.begin(), lum.begin() + 8), c.lum_row0) << c.quality;
    if (c.quality >= 100) {
      for (int v : lum) EXPECT_EQ(v, 1);
    }
    if (c.quality == 0) {
      const auto chr = to_natural(MakeQuantTable(ChrominanceBase, QualityScale(0), 1));
      for (int n = 0; n < 64; ++n) EXPECT_EQ(chr[n], ChrominanceBase[n]);
    }
  }
}

TEST(DctTables, QuantiserUsesTheZigZagEntryOfEachCoefficient) {
  // A table whose entry at zig-zag position p is p + 1: the multiplier of
  // natural coefficient n must use 1 + NaturalToZigZag[n].
  QuantTable t;
  for (int p = 0; p < 64; ++p) t.Entries[p] = static_cast<std::uint16_t>(p + 1);
  TvexDCT dct;
  dct.SetForwardTable(t);
  for (int n = 0; n < 64; ++n)
    EXPECT_EQ(dct.Multipliers[n], ScaleTable[n] / static_cast<float>(NaturalToZigZag[n] + 1));
  dct.SetInverseTable(t);
  for (int n = 0; n < 64; ++n)
    EXPECT_EQ(dct.Multipliers[n], static_cast<float>(NaturalToZigZag[n] + 1) * ScaleTable[n]);
}

TEST(DctEdges, FlatBlocks) {
  TvexDCT dct;
  dct.SetForwardTable(MakeQuantTable(LuminanceBase, QualityScale(80), 0));
  std::int16_t coef[64];
  std::memset(dct.Block, 128, 64);
  dct.ForwardDCT(coef);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(coef[i], 0);
  std::memset(dct.Block, 255, 64);
  dct.ForwardDCT(coef);
  EXPECT_EQ(coef[0], 113); // round(1016 / 9)
  for (int i = 1; i < 64; ++i) EXPECT_EQ(coef[i], 0);

  QuantTable eights;
  for (auto& e : eights.Entries) e = 8;
  dct.SetInverseTable(eights);
  std::int16_t zero[64] = {};
  dct.InverseDCT(zero);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dct.Block[i], 128); // 128.5 rounds to even
  std::int16_t dc1[64] = {1};
  dct.InverseDCT(dc1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dct.Block[i], 130); // 129.5 -> 130
}

TEST(DctEdges, ReconstructionClampsInsteadOfWrapping) {
  TvexDCT dct;
  QuantTable big;
  for (auto& e : big.Entries) e = 65535;
  dct.SetInverseTable(big);
  std::int16_t high[64] = {32767};
  dct.InverseDCT(high);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dct.Block[i], 255);
  std::int16_t low[64] = {-32768};
  dct.InverseDCT(low);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dct.Block[i], 0);
}

// Random block of a few kinds: noise, flat, smooth ramp, two levels.
void random_block(Rng& rng, std::uint8_t* b) {
  const int kind = rng.uniform(0, 3);
  const int base = rng.uniform(0, 255);
  for (int i = 0; i < 64; ++i) {
    switch (kind) {
    case 0:
      b[i] = static_cast<std::uint8_t>(rng.uniform(0, 255));
      break;
    case 1:
      b[i] = static_cast<std::uint8_t>(base);
      break;
    case 2:
      b[i] = static_cast<std::uint8_t>((base + 3 * (i % 8) + 5 * (i / 8)) & 255);
      break;
    default:
      b[i] = (rng.next() & 1) ? 0 : 255;
      break;
    }
  }
}

QuantTable random_table(Rng& rng, int max_entry) {
  QuantTable t;
  const int kind = rng.uniform(0, 2);
  for (auto& e : t.Entries)
    e = static_cast<std::uint16_t>(kind == 0 ? 1 : rng.uniform(1, kind == 1 ? 255 : max_entry));
  return t;
}

TEST(DctDifferential, ForwardKernelsMatchReference) {
  Rng rng(11);
  TvexDCT dct;
  for (int trial = 0; trial < 20000; ++trial) {
    if (trial % 64 == 0) {
      if (trial % 128 == 0)
        dct.SetForwardTable(MakeQuantTable(LuminanceBase, QualityScale(rng.uniform(0, 100)), 0));
      else
        dct.SetForwardTable(random_table(rng, 255));
    }
    std::uint8_t block[64];
    random_block(rng, block);
    std::int16_t want[64], portable[64], simd[64];
    reference::forward_dct(block, dct.Multipliers, want);
    // Rows 8 bytes apart and, to exercise the stride, 24 bytes apart.
    std::uint8_t wide[8 * 24];
    for (int r = 0; r < 8; ++r) std::memcpy(wide + 24 * r + 5, block + 8 * r, 8);
    vex::jpeg::detail::ForwardDCTPortable(dct, wide + 5, 24, portable);
    ASSERT_EQ(0, std::memcmp(want, portable, sizeof want)) << "trial " << trial;
    for (const SimdKernels& k : kSimdKernels) {
      if (vex::platform::simd_level_available(k.level) && k.forward(dct, wide + 5, 24, simd)) {
        ASSERT_EQ(0, std::memcmp(want, simd, sizeof want)) << k.name << " trial " << trial;
      }
    }
    std::memcpy(dct.Block, block, 64);
    dct.ForwardDCT(simd);
    ASSERT_EQ(0, std::memcmp(want, simd, sizeof want));
  }
}

TEST(DctDifferential, InverseKernelsMatchReference) {
  Rng rng(12);
  TvexDCT dct;
  for (int trial = 0; trial < 20000; ++trial) {
    if (trial % 64 == 0) dct.SetInverseTable(random_table(rng, 65535));
    std::int16_t coef[64] = {};
    const int kind = rng.uniform(0, 3);
    for (int i = 0; i < 64; ++i) {
      if (kind == 0)
        coef[i] = static_cast<std::int16_t>(rng.uniform(-2047, 2047));
      else if (kind == 1)
        coef[i] = static_cast<std::int16_t>(rng.uniform(-32768, 32767));
      else if (kind == 2)
        coef[i] = (rng.uniform(0, 7) == 0) ? static_cast<std::int16_t>(rng.uniform(-60, 60)) : 0;
      else
        coef[i] = i == 0 ? static_cast<std::int16_t>(rng.uniform(-1024, 1023)) : 0;
    }
    std::uint8_t want[64], portable[64], simd[64];
    reference::inverse_dct(coef, dct.Multipliers, want);
    vex::jpeg::detail::InverseDCTPortable(dct, coef, portable, 8);
    ASSERT_EQ(0, std::memcmp(want, portable, 64)) << "trial " << trial;
    ExpectInverseKernelsEqual(dct, coef, want, trial);
    if (HasFatalFailure()) return;
    dct.InverseDCT(coef, simd, 8);
    ASSERT_EQ(0, std::memcmp(want, simd, 64)) << "trial " << trial;
  }
}

// The SIMD kernel takes shorter paths when coefficient rows 4..7 or columns
// 4..7 are zero: blocks whose coefficients sit in a random top-left region,
// at times with a stray one outside it, with zero and negative entries that
// give signed zeros.
TEST(DctDifferential, InverseKernelsMatchReferenceOnLowFrequencyBlocks) {
  Rng rng(13);
  TvexDCT dct;
  for (int trial = 0; trial < 20000; ++trial) {
    if (trial % 64 == 0) dct.SetInverseTable(random_table(rng, 65535));
    std::int16_t coef[64] = {};
    const int rows = rng.uniform(1, 8), cols = rng.uniform(1, 8);
    const int limit = rng.uniform(0, 1) ? 60 : 2047;
    for (int v = 0; v < rows; ++v)
      for (int u = 0; u < cols; ++u)
        if (rng.uniform(0, 2) != 0)
          coef[8 * v + u] = static_cast<std::int16_t>(rng.uniform(-limit, limit));
    if (rows == 5) {
      // One stray coefficient below row 3 must take the full path.
      coef[8 * rng.uniform(4, 7) + rng.uniform(0, 7)] =
          static_cast<std::int16_t>(rng.uniform(-3, 3));
    }
    std::uint8_t want[64], portable[64], simd[64];
    reference::inverse_dct(coef, dct.Multipliers, want);
    vex::jpeg::detail::InverseDCTPortable(dct, coef, portable, 8);
    ASSERT_EQ(0, std::memcmp(want, portable, 64)) << "trial " << trial;
    ExpectInverseKernelsEqual(dct, coef, want, trial);
    if (HasFatalFailure()) return;
    dct.InverseDCT(coef, simd, 8);
    ASSERT_EQ(0, std::memcmp(want, simd, 64)) << "trial " << trial;
  }
}

TEST(DctDifferential, RoundTripAtQuality100IsClose) {
  // Not exact (the quantiser rounds), but a transform fault would be far off.
  Rng rng(13);
  TvexDCT fwd, inv;
  const QuantTable ones = MakeQuantTable(LuminanceBase, QualityScale(100), 0);
  fwd.SetForwardTable(ones);
  inv.SetInverseTable(ones);
  for (int trial = 0; trial < 2000; ++trial) {
    random_block(rng, fwd.Block);
    std::int16_t coef[64];
    fwd.ForwardDCT(coef);
    inv.InverseDCT(coef);
    for (int i = 0; i < 64; ++i) ASSERT_LE(std::abs(int(inv.Block[i]) - int(fwd.Block[i])), 2);
  }
}

} // namespace
