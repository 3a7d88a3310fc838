// The LZW strip decoder against a plain encoder: both packings, with and
// without clear codes (a table that fills up and stays full), the string
// that names the code being defined, and output pulled in pieces of any size.
#include "codecs/lzw.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Codes most significant bit first widening one code early (lsb: least
// significant bit first, widening on time); with `clear` a clear code when
// the table reaches 4094 entries.
Bytes encode(const Bytes& in, bool lsb, bool clear) {
  Bytes out;
  std::uint64_t acc = 0;
  int bits = 0, width = 9, next = 258;
  const int early = lsb ? 0 : 1;
  auto emit = [&](int code) {
    if (lsb) {
      acc |= std::uint64_t(code) << bits;
      for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out.push_back(std::uint8_t(acc));
    } else {
      acc = (acc << width) | std::uint64_t(code);
      for (bits += width; bits >= 8; bits -= 8) out.push_back(std::uint8_t(acc >> (bits - 8)));
    }
  };
  std::unordered_map<std::uint32_t, int> table;
  emit(256);
  int w = in.empty() ? -1 : in[0];
  for (std::size_t i = 1; i < in.size(); ++i) {
    const std::uint32_t key = std::uint32_t(w) << 8 | in[i];
    if (auto it = table.find(key); it != table.end()) {
      w = it->second;
      continue;
    }
    emit(w);
    if (next < 4096) {
      table[key] = next;
      if (next + early >= (1 << width) && width < 12) ++width;
      ++next;
    }
    if (clear && next == 4094) {
      emit(256);
      table.clear();
      next = 258;
      width = 9;
    }
    w = in[i];
  }
  if (w >= 0) emit(w);
  emit(257);
  if (bits > 0) out.push_back(std::uint8_t(lsb ? acc : acc << (8 - bits)));
  return out;
}

TEST(Lzw, DecodesWhatThePlainEncoderWrote) {
  std::mt19937 rng(14);
  for (const bool lsb : {false, true})
    for (const bool clear : {false, true})
      for (const int alphabet : {2, 16, 256}) {
        SCOPED_TRACE(std::to_string(lsb) + std::to_string(clear) + " " + std::to_string(alphabet));
        Bytes in(60000);
        for (std::size_t i = 0; i < in.size(); ++i)
          in[i] = i % 5000 < 2500 ? std::uint8_t(rng() % alphabet) : std::uint8_t(i / 700);
        const Bytes coded = encode(in, lsb, clear);
        vex::codec::LzwDecoder d;
        d.Start(coded.data(), coded.size());
        Bytes out(in.size() + 10);
        std::size_t got = 0;
        while (got < out.size()) {
          const std::size_t want = std::min<std::size_t>(1 + rng() % 300, out.size() - got);
          const std::size_t n = d.Read(out.data() + got, want);
          got += n;
          if (n < want) break;
        }
        out.resize(got);
        EXPECT_FALSE(d.Damaged());
        EXPECT_EQ(out, in);
      }
}

TEST(Lzw, UndefinedCodesEndTheData) {
  // Clear, 'A', then code 300 which the table does not hold yet.
  const Bytes coded = encode({'A'}, false, false);
  const Bytes bad = {0x80, 0x10, 0x65, 0x80};
  vex::codec::LzwDecoder d;
  d.Start(bad.data(), bad.size());
  std::uint8_t out[8];
  EXPECT_EQ(d.Read(out, 8), 1u);
  EXPECT_EQ(out[0], 'A');
  EXPECT_TRUE(d.Damaged());
  d.Start(coded.data(), coded.size());
  EXPECT_EQ(d.Read(out, 8), 1u);
  EXPECT_FALSE(d.Damaged());
}

} // namespace
