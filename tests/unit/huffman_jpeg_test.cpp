// JPEG Huffman tables: BuildCodes against a plain two-pass implementation of
// the same rules (ties, 16-bit limit, reserved symbol), the documented edge
// cases, and the lookahead decoder against bit-by-bit decoding on random
// valid and invalid tables and random bit streams.
#include "reference/huffman_ref.h"
#include "test_support.h"
#include "vexHuffmanJPEG.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using testing_support::Rng;

struct BitSource {
  std::vector<int> bits;
  std::size_t pos = 0;
  int next() { return pos < bits.size() ? bits[pos++] : (++pos, 0); }
  std::uint32_t peek32() const {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 32; ++i) {
      const std::size_t p = pos + i;
      v = (v << 1) | static_cast<std::uint32_t>(p < bits.size() ? bits[p] : 0);
    }
    return v;
  }
};

// Lengths of a table after BuildCodes (per symbol) and a validity check.
void expect_valid_code(const TvexHuffmanJPEG& t, const std::uint32_t freq[257]) {
  double kraft = 0;
  for (int s = 0; s < 256; ++s) {
    const auto len = t.CodeLength(s);
    if (freq[s] != 0) {
      ASSERT_GT(len, 0u) << "symbol " << s;
    }
    if (len == 0) continue;
    ASSERT_LE(len, 16u);
    kraft += 1.0 / static_cast<double>(1u << len);
    // No code is all ones.
    ASSERT_NE(t.Code(s), (1u << len) - 1) << "symbol " << s;
    for (int w = s + 1; w < 256; ++w) {
      const auto lw = t.CodeLength(w);
      if (lw == 0) continue;
      // Prefix-free: the shorter code is not a prefix of the longer one.
      const auto lo = std::min(len, lw);
      ASSERT_NE(t.Code(s) >> (len - lo), t.Code(w) >> (lw - lo)) << s << " " << w;
    }
  }
  EXPECT_LT(kraft, 1.0);
}

std::unique_ptr<TvexHuffmanJPEG> build(const std::uint32_t freq[257]) {
  auto t = std::make_unique<TvexHuffmanJPEG>();
  for (int s = 0; s < 257; ++s) t->SetFrequency(s, freq[s]);
  t->BuildCodes(16);
  return t;
}

void random_frequencies(Rng& rng, std::uint32_t freq[257]) {
  std::memset(freq, 0, 257 * sizeof freq[0]);
  freq[256] = 1;
  const int kind = rng.uniform(0, 4);
  const int used = rng.uniform(1, kind == 4 ? 255 : 162);
  for (int i = 0; i < used; ++i) {
    const int s = rng.uniform(0, 255);
    switch (kind) {
    case 0:
      freq[s] = rng.uniform(1, 1000000);
      break; // spread
    case 1:
      freq[s] = 7;
      break; // all ties
    case 2:
      freq[s] = 1u << rng.uniform(0, 26);
      break; // skewed: long codes
    case 3:
      freq[s] = rng.uniform(1, 3);
      break; // many near-ties
    default:
      freq[s] = rng.uniform(1, 50);
      break;
    }
  }
}

TEST(BuildCodes, MatchesTwoPassReferenceOnRandomCounts) {
  Rng rng(21);
  for (int trial = 0; trial < 3000; ++trial) {
    std::uint32_t freq[257];
    random_frequencies(rng, freq);
    const auto want = reference::optimal_lengths(freq);
    const auto tp = build(freq);
    const TvexHuffmanJPEG& t = *tp;
    ASSERT_EQ(t.Status, EC_OK);
    int total = 0;
    for (int n = 0; n < 16; ++n) {
      ASSERT_EQ(t.CodeCount(n), want.counts[n]) << "trial " << trial << " length " << n + 1;
      total += want.counts[n];
    }
    EXPECT_EQ(t.CodeCount(16), 0);
    EXPECT_EQ(t.CodeCount(-1), 0);
    ASSERT_EQ(static_cast<int>(want.values.size()), total);
    for (int k = 0; k < total; ++k) ASSERT_EQ(t.Values(k), want.values[k]) << "trial " << trial;
    expect_valid_code(t, freq);
  }
}

TEST(BuildCodes, SingleSymbolGetsAOneBitCode) {
  std::uint32_t freq[257] = {};
  freq[42] = 1000;
  freq[256] = 1;
  const auto tp = build(freq);
  const TvexHuffmanJPEG& t = *tp;
  EXPECT_EQ(t.Status, EC_OK);
  EXPECT_EQ(t.CodeLength(42), 1u);
  EXPECT_EQ(t.Code(42), 0u);
  EXPECT_EQ(t.CodeCount(0), 1);
  for (int n = 1; n < 16; ++n) EXPECT_EQ(t.CodeCount(n), 0);
}

TEST(BuildCodes, EqualCountsMergeTheHigherSymbolFirst) {
  // Symbols 1 and 2 and the reserved symbol all count 1: 2 and 256 are
  // merged first, so 2 ends deeper than 1.
  std::uint32_t freq[257] = {};
  freq[1] = freq[2] = freq[256] = 1;
  const auto tp = build(freq);
  const TvexHuffmanJPEG& t = *tp;
  EXPECT_EQ(t.CodeLength(1), 1u);
  EXPECT_EQ(t.CodeLength(2), 2u);
  EXPECT_EQ(t.Code(1), 0u);
  EXPECT_EQ(t.Code(2), 2u);
  EXPECT_EQ(t.Values(0), 1);
  EXPECT_EQ(t.Values(1), 2);
}

TEST(BuildCodes, LengthsAreLimitedTo16Bits) {
  // Fibonacci counts give a maximally deep tree.
  struct Case {
    int symbols;
  } cases[] = {{20}, {30}, {40}, {45}};
  for (const auto& c : cases) {
    std::uint32_t freq[257] = {};
    std::uint32_t a = 1, b = 1;
    for (int s = 0; s < c.symbols; ++s) {
      freq[s] = a;
      const std::uint32_t n = a + b;
      a = b;
      b = n;
    }
    freq[256] = 1;
    const auto tp = build(freq);
    const TvexHuffmanJPEG& t = *tp;
    EXPECT_EQ(t.Status, EC_OK) << c.symbols;
    expect_valid_code(t, freq);
    if (c.symbols <= 40) {
      // Shallow enough for the counters: exactly the reference result.
      const auto want = reference::optimal_lengths(freq);
      for (int n = 0; n < 16; ++n) EXPECT_EQ(t.CodeCount(n), want.counts[n]) << c.symbols;
    }
  }
}

TEST(BuildCodes, TooManyCodesFails) {
  std::uint32_t freq[257];
  for (auto& f : freq) f = 1;
  TvexHuffmanJPEG t;
  for (int s = 0; s < 257; ++s) t.SetFrequency(s, freq[s]);
  EXPECT_EQ(t.BuildCodes(16), EC_EXCEPTION);
  // 255 symbols still fit.
  TvexHuffmanJPEG u;
  for (int s = 0; s < 255; ++s) u.SetFrequency(s, 1);
  EXPECT_EQ(u.BuildCodes(16), EC_OK);
}

TEST(BuildCodes, ClearKeepsTheReservedSymbol) {
  TvexHuffmanJPEG t;
  t.SetFrequency(3, 5);
  t.Clear();
  EXPECT_EQ(t.Frequency(3), 0u);
  EXPECT_EQ(t.Frequency(256), 1u);
}

TEST(Magnitude, CategoriesAndExtend) {
  struct Case {
    int value, category;
  } cats[] = {{0, 0}, {1, 1}, {-1, 1},     {2, 2},     {-3, 2},
              {3, 2}, {4, 3}, {-1023, 10}, {1024, 11}, {-2047, 11}};
  for (const auto& c : cats) EXPECT_EQ(vex::jpeg::Category(c.value), c.category) << c.value;
  EXPECT_EQ(vex::jpeg::Extend(0, 1), -1);
  EXPECT_EQ(vex::jpeg::Extend(1, 1), 1);
  EXPECT_EQ(vex::jpeg::Extend(1, 2), -2);
  EXPECT_EQ(vex::jpeg::Extend(3, 2), 3);
  EXPECT_EQ(vex::jpeg::Extend(0, 0), 0);
}

TEST(DefineTable, CountLimits) {
  std::uint8_t counts[16] = {};
  counts[7] = 255;
  counts[8] = 1; // 256 codes: accepted
  TvexHuffmanJPEG t;
  for (int i = 0; i < 256; ++i) t.SetValues(i, i);
  EXPECT_EQ(t.DefineTable(256, counts), EC_OK);
  EXPECT_TRUE(t.Ready);
  counts[9] = 1; // 257: refused without touching memory past the arrays
  TvexHuffmanJPEG u;
  EXPECT_EQ(u.DefineTable(257, counts), EC_HUFFMANSIZE);
  EXPECT_FALSE(u.Ready);
}

// Random count lists: valid ones from random frequencies, arbitrary ones
// (oversubscribed, sparse, empty) that a hostile DHT segment may carry.
void random_counts(Rng& rng, std::uint8_t counts[16], int& total) {
  std::memset(counts, 0, 16);
  const int kind = rng.uniform(0, 3);
  if (kind <= 1) {
    std::uint32_t freq[257];
    random_frequencies(rng, freq);
    const auto l = reference::optimal_lengths(freq);
    std::memcpy(counts, l.counts, 16);
  } else if (kind == 2) {
    int budget = rng.uniform(0, 256);
    for (int i = 0; i < 16 && budget > 0; ++i) {
      const int n = rng.uniform(0, std::min(budget, 1 << std::min(i + 1, 8)));
      counts[i] = static_cast<std::uint8_t>(n);
      budget -= n;
    }
  } else {
    for (int i = 0; i < 3; ++i)
      counts[rng.uniform(0, 15)] = static_cast<std::uint8_t>(rng.uniform(0, 80));
  }
  total = 0;
  for (int i = 0; i < 16; ++i) total += counts[i];
}

TEST(DecodeSymbol, LookaheadMatchesBitByBitOnRandomTablesAndStreams) {
  Rng rng(31);
  for (int trial = 0; trial < 1500; ++trial) {
    std::uint8_t counts[16];
    int total = 0;
    random_counts(rng, counts, total);
    std::vector<std::int32_t> values(257, 0);
    TvexHuffmanJPEG t;
    for (int i = 0; i < total; ++i) {
      values[i] = rng.uniform(0, 255);
      t.SetValues(i, values[i]);
    }
    t.DefineTable(total, counts);
    const auto ref = reference::define_table(counts, values);
    for (int i = 0; i < 16; ++i) {
      ASSERT_EQ(t.MaxCode(i), ref.maxcode[i]) << trial;
      if (counts[i] != 0) {
        ASSERT_EQ(t.MinCode(i), ref.mincode[i]) << trial;
        ASSERT_EQ(t.ValuePtr(i), ref.valptr[i]) << trial;
      }
    }
    // Random bits, biased streams (mostly ones reach the long and the
    // missing codes) and streams ending early (zero bits follow).
    BitSource src;
    const int length = rng.uniform(0, 600);
    const int bias = rng.uniform(0, 2);
    for (int i = 0; i < length; ++i)
      src.bits.push_back(bias == 0 ? static_cast<int>(rng.next() & 1)
                                   : (rng.uniform(0, 9) != 0 ? 1 : 0));
    BitSource a = src, b = src, c = src;
    t.OnReadBits = [&a](std::uint16_t n) {
      std::uint32_t v = 0;
      for (int i = 0; i < n; ++i) v = (v << 1) | static_cast<std::uint32_t>(a.next());
      return v;
    };
    for (int sym = 0; sym < 200 && b.pos <= src.bits.size(); ++sym) {
      const std::int32_t want = reference::decode_bit_by_bit(ref, [&b] { return b.next(); });
      const std::int32_t slow = t.DecodeSymbol();
      int used = 0;
      const std::int32_t fast = t.DecodeFast(c.peek32(), used);
      c.pos += static_cast<std::size_t>(used);
      ASSERT_EQ(slow, want) << "trial " << trial << " symbol " << sym;
      ASSERT_EQ(fast, want) << "trial " << trial << " symbol " << sym;
      ASSERT_EQ(a.pos, b.pos);
      ASSERT_EQ(c.pos, b.pos) << "trial " << trial << " symbol " << sym;
    }
  }
}

TEST(DecodeSymbol, UndefinedTableDecodesNothing) {
  TvexHuffmanJPEG t;
  int used = 0;
  EXPECT_EQ(t.DecodeFast(0, used), -1);
  EXPECT_EQ(used, 17);
  EXPECT_EQ(t.DecodeSymbol(), -1); // no bit source
}

TEST(DecodeSymbol, CodesFromBuildCodesRoundTrip) {
  // Encode a random symbol sequence with BuildCodes' codes, decode it with
  // a table defined from the same counts and values.
  Rng rng(41);
  for (int trial = 0; trial < 200; ++trial) {
    std::uint32_t freq[257];
    random_frequencies(rng, freq);
    const auto encp = build(freq);
    const TvexHuffmanJPEG& enc = *encp;
    std::vector<int> symbols;
    for (int s = 0; s < 256; ++s)
      if (freq[s] != 0) symbols.push_back(s);
    std::uint8_t counts[16];
    int total = 0;
    for (int n = 0; n < 16; ++n) total += counts[n] = static_cast<std::uint8_t>(enc.CodeCount(n));
    TvexHuffmanJPEG dec;
    for (int k = 0; k < total; ++k) dec.SetValues(k, enc.Values(k));
    ASSERT_EQ(dec.DefineTable(total, counts), EC_OK);
    BitSource src;
    std::vector<int> sent;
    for (int i = 0; i < 300; ++i) {
      const int s = symbols[rng.uniform(0, static_cast<int>(symbols.size()) - 1)];
      sent.push_back(s);
      for (int b = static_cast<int>(enc.CodeLength(s)) - 1; b >= 0; --b)
        src.bits.push_back(static_cast<int>((enc.Code(s) >> b) & 1));
    }
    for (int s : sent) {
      int used = 0;
      ASSERT_EQ(dec.DecodeFast(src.peek32(), used), s);
      src.pos += static_cast<std::size_t>(used);
    }
    EXPECT_EQ(src.pos, src.bits.size());
  }
}

} // namespace
