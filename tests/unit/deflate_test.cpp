// Deflate coding: the Huffman table (canonical decoder set-up, lookahead
// decoding against bit-by-bit decoding, length-limited encoder), the
// deflater and the inflater against plain step-by-step coders on random and
// corpus data, hand-made hostile streams with their codes, and CRC-32.
#include "reference/deflate_ref.h"
#include "test_support.h"
#include "vexImageCompress.h"

#include "platform/exceptions.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using testing_support::Rng;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Huffman table

TEST(HuffmanPNG, BeginTableGivesCanonicalCodes) {
  // Lengths (3, 3, 3, 3, 3, 2, 4, 4) give 010 011 100 101 110 00 1110 1111.
  TvexHuffmanPNG t;
  const std::uint32_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
  for (int i = 0; i < 8; ++i) t.SetCodeLength(i, lengths[i]);
  ASSERT_EQ(t.BeginTable(8), EC_OK);
  EXPECT_TRUE(t.Ready);
  const int values[8] = {5, 0, 1, 2, 3, 4, 6, 7};
  const std::uint32_t codes[8] = {0, 2, 3, 4, 5, 6, 14, 15};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(t.Values(i), values[i]);
    EXPECT_EQ(t.Code(i), codes[i]);
  }
  EXPECT_EQ(t.MinCode(1), 0);
  EXPECT_EQ(t.MaxCode(2), 6);
  EXPECT_EQ(t.ValuePtr(3), 6);
}

TEST(HuffmanPNG, LookaheadDecodesAsBitByBit) {
  // Random tables, also over-subscribed and incomplete ones, and random bits.
  Rng rng(7);
  for (int round = 0; round < 300; ++round) {
    TvexHuffmanPNG t;
    const int count = rng.uniform(1, 288);
    const int max_len = rng.uniform(1, 15);
    for (int i = 0; i < count; ++i)
      t.SetCodeLength(
          i, rng.uniform(0, 3) == 0 ? 0 : static_cast<std::uint32_t>(rng.uniform(1, max_len)));
    t.BeginTable(count);
    for (int k = 0; k < 200; ++k) {
      const std::uint64_t bits = (std::uint64_t{rng.next()} << 32) | rng.next();
      int pos = 0;
      t.OnReadBits = [&](std::uint16_t) { return static_cast<std::uint32_t>((bits >> pos++) & 1); };
      const std::int32_t slow = t.DecodeSymbol();
      int used = 0;
      ASSERT_EQ(t.DecodeFast(bits, used), slow) << round;
      ASSERT_EQ(used, pos) << round;
    }
  }
}

std::vector<int> lengths_of(const std::vector<std::uint32_t>& freq, int max_length,
                            TvexErrorCode* status = nullptr) {
  TvexHuffmanPNG t;
  for (std::size_t s = 0; s < freq.size(); ++s) t.SetFrequency(static_cast<int>(s), freq[s]);
  const TvexErrorCode e = t.BuildCodes(max_length);
  if (status) *status = e;
  std::vector<int> out;
  for (std::size_t s = 0; s < freq.size(); ++s)
    out.push_back(static_cast<int>(t.CodeLength(static_cast<int>(s))));
  return out;
}

TEST(HuffmanPNG, BuildCodesCases) {
  struct Case {
    std::vector<std::uint32_t> freq;
    int max_length;
    std::vector<int> lengths;
  } cases[] = {
      {{0, 5, 0}, 15, {0, 1, 0}},       // one symbol: one bit
      {{3, 3}, 15, {1, 1}},             // two
      {{1, 1, 1, 1}, 15, {2, 2, 2, 2}}, // ties
      {{8, 4, 2, 1, 1}, 15, {1, 2, 3, 4, 4}},
      {{1, 1, 2, 3, 5, 8, 13, 21, 34}, 15, {8, 8, 7, 6, 5, 4, 3, 2, 1}},
      {{1, 1, 2, 3, 5, 8, 13, 21, 34}, 5, {5, 5, 5, 5, 5, 5, 4, 2, 1}}, // folded
      {{1, 2, 4, 8, 16, 32, 64, 128, 256, 512}, 7, {7, 7, 7, 7, 6, 6, 4, 3, 2, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(lengths_of(c.freq, c.max_length), c.lengths);
  TvexErrorCode status = EC_OK;
  lengths_of({0, 0, 0}, 15, &status);
  EXPECT_EQ(status, EC_HUFFMANNOTDEF);
}

TEST(HuffmanPNG, BuiltCodesDecodeBack) {
  // Random counts, limits 7 and 15: prefix-free, complete, within the limit,
  // and reversed codes decode to their symbol through a table from the lengths.
  Rng rng(11);
  int built = 0;
  for (int round = 0; round < 200; ++round) {
    const int max_length = round % 2 ? 7 : 15;
    const int n = max_length == 7 ? 19 : 288;
    TvexHuffmanPNG enc;
    for (int s = 0; s < n; ++s)
      enc.SetFrequency(s,
                       rng.uniform(0, 2) == 0 ? 0 : 1u << rng.uniform(0, max_length == 7 ? 5 : 12));
    try {
      if (enc.BuildCodes(max_length) != EC_OK) continue;
    } catch (const std::range_error&) {
      // Trees deeper than twice the limit are refused.
      continue;
    }
    ++built;
    TvexHuffmanPNG dec;
    double kraft = 0;
    int used = 0;
    for (int s = 0; s < n; ++s) {
      const std::uint32_t len = enc.CodeLength(s);
      ASSERT_LE(len, static_cast<std::uint32_t>(max_length));
      dec.SetCodeLength(s, len);
      if (len) kraft += 1.0 / (1u << len), ++used;
    }
    if (used > 1) {
      EXPECT_DOUBLE_EQ(kraft, 1.0);
    }
    dec.BeginTable(n);
    for (int s = 0; s < n; ++s) {
      if (enc.CodeLength(s) == 0) continue;
      int u = 0;
      ASSERT_EQ(dec.DecodeFast(enc.Code(s), u), s);
      ASSERT_EQ(u, static_cast<int>(enc.CodeLength(s)));
    }
  }
  EXPECT_GT(built, 150);
}

// ---------------------------------------------------------------------------
// Deflater against the plain one

Bytes make_data(int kind, std::size_t size, std::uint32_t seed) {
  Rng rng(seed);
  Bytes d(size);
  for (std::size_t i = 0; i < size; ++i) {
    switch (kind) {
    case 0:
      d[i] = static_cast<std::uint8_t>(rng.next());
      break; // noise
    case 1:
      d[i] = static_cast<std::uint8_t>(rng.uniform(0, 3));
      break; // few symbols
    case 2:
      d[i] = i > 40 && rng.uniform(0, 9) ? d[i - 40] : static_cast<std::uint8_t>(rng.next());
      break;
    case 3:
      d[i] = static_cast<std::uint8_t>(rng.uniform(0, 20) ? 0 : rng.next());
      break; // zeros
    default:
      d[i] = static_cast<std::uint8_t>(32 * rng.uniform(0, 7) + (i % 7));
      break; // one hash
    }
  }
  return d;
}

Bytes ours(const Bytes& data, int quality, std::vector<std::size_t>* pieces = nullptr) {
  Bytes out;
  std::size_t at = 0;
  TvexDeflater z;
  Rng rng(data.size());
  const TvexErrorCode e = z.Deflate(
      quality,
      [&](std::uint8_t* dst, std::size_t max) { // uneven reads
        const std::size_t n = std::min({max, data.size() - at, std::size_t(rng.uniform(1, 70000))});
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, dst);
        at += n;
        return n;
      },
      [&](const std::uint8_t* p, std::size_t n) {
        if (pieces) pieces->push_back(n);
        out.insert(out.end(), p, p + n);
      });
  EXPECT_EQ(e, EC_OK);
  return out;
}

std::vector<Bytes> corpus_samples() {
  std::vector<Bytes> out;
  for (const char* f :
       {"bmp/bmpsuite/g/rgb24.bmp", "bmp/bmpsuite/g/pal8.bmp", "pnm/", "tga/", "sgi/"}) {
    std::filesystem::path p = testing_support::corpus_dir() / f;
    if (std::filesystem::is_directory(p)) {
      std::vector<std::filesystem::path> files;
      for (auto& e : std::filesystem::recursive_directory_iterator(p))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
      if (files.empty()) continue;
      p = files[files.size() / 2];
    }
    if (!std::filesystem::exists(p)) continue;
    Bytes b = testing_support::read_file(p);
    if (b.size() > 300000) b.resize(300000);
    out.push_back(std::move(b));
  }
  return out;
}

TEST(Deflater, SameBytesAsPlainProcedure) {
  std::vector<Bytes> inputs = {{},
                               {7},
                               Bytes(70000, 0),
                               make_data(0, 5000, 1),
                               make_data(1, 90000, 2),
                               make_data(2, 120000, 3),
                               make_data(3, 200000, 4),
                               make_data(4, 60000, 5)};
  // Noise repeated after exactly one window: no match may reach that far.
  Bytes period = make_data(0, 32768, 6);
  period.insert(period.end(), period.begin(), period.begin() + 3000);
  inputs.push_back(period);
  for (Bytes& b : corpus_samples()) inputs.push_back(std::move(b));
  for (std::size_t i = 0; i < inputs.size(); ++i)
    for (int quality : {10, 40, 60, 90}) {
      std::vector<std::size_t> pieces;
      const Bytes fast = ours(inputs[i], quality, &pieces);
      ASSERT_EQ(fast, reference::deflate(inputs[i], quality))
          << "input " << i << " quality " << quality;
      for (std::size_t k = 0; k + 1 < pieces.size(); ++k) ASSERT_EQ(pieces[k], 8192u);
      ASSERT_TRUE(!pieces.empty() && pieces.back() > 0 && pieces.back() <= 8192);
      Bytes back;
      ASSERT_EQ(TvexInflater::InflateBuffer(fast.data(), fast.size(), back, inputs[i].size()),
                EC_OK);
      ASSERT_EQ(back, inputs[i]);
    }
}

TEST(Deflater, HeaderAndFirstBlock) {
  struct Case {
    int quality;
    std::uint8_t flg;
  } cases[] = {{0, 0x01}, {20, 0x01}, {26, 0x5E}, {51, 0x9C}, {76, 0xDA}, {100, 0xDA}};
  const Bytes literals = {1, 2, 3, 4, 5};
  for (const Case& c : cases) {
    const Bytes z = ours(literals, c.quality);
    ASSERT_GE(z.size(), 6u);
    EXPECT_EQ(z[0], 0x78);
    EXPECT_EQ(z[1], c.flg) << c.quality;
    // Final dynamic block; literals only: HDIST 0 (one distance code of length 0).
    EXPECT_EQ(z[2] & 7, 5);
    EXPECT_EQ((z[3] >> 0) & 31, 0) << "HDIST";
  }
}

// ---------------------------------------------------------------------------
// Inflater

// Bits least significant first, as deflate streams hold them.
struct BitWriter {
  Bytes out;
  std::uint32_t acc = 0;
  int n = 0;
  BitWriter& put(std::uint32_t v, int bits) {
    for (int k = 0; k < bits; ++k) {
      acc |= ((v >> k) & 1) << n;
      if (++n == 8) flush();
    }
    return *this;
  }
  // A Huffman code goes most significant bit first.
  BitWriter& code(std::uint32_t c, int len) {
    for (int k = len - 1; k >= 0; --k) put((c >> k) & 1, 1);
    return *this;
  }
  BitWriter& fixed(int s) {
    if (s < 144) return code(0x30 + s, 8);
    if (s < 256) return code(0x190 + s - 144, 9);
    if (s < 280) return code(s - 256, 7);
    return code(0xC0 + s - 280, 8);
  }
  BitWriter& bytes(const Bytes& b) {
    flush();
    out.insert(out.end(), b.begin(), b.end());
    return *this;
  }
  void flush() {
    if (n > 0) out.push_back(static_cast<std::uint8_t>(acc));
    acc = 0;
    n = 0;
  }
};

// FLG with the given top bits and a valid check for CMF.
std::uint8_t flg_for(std::uint8_t cmf, std::uint8_t top) {
  return static_cast<std::uint8_t>(top + (31 - (cmf * 256 + top) % 31) % 31);
}

std::uint32_t adler_of(const Bytes& b) {
  return vex::deflate::UpdateAdler(1, b.data(), b.size());
}
Bytes be32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

// A zlib stream: header bytes, the blocks written by `body`, then Adler-32
// of `adler_data`.
Bytes zlib(const std::function<void(BitWriter&)>& body, const Bytes& adler_data,
           std::uint8_t cmf = 0x78, std::uint8_t flg = 0x01) {
  BitWriter w;
  w.bytes({cmf, flg});
  body(w);
  w.bytes(be32(adler_of(adler_data)));
  return w.out;
}

// Dynamic block header whose literal/length code has lengths `lit` and
// distance code `dist`, all code lengths sent as plain symbols with a
// code-length code of five bits each.
void dynamic_header(BitWriter& w, bool final, const std::vector<int>& lit,
                    const std::vector<int>& dist) {
  w.put(final, 1).put(2, 2).put(static_cast<std::uint32_t>(lit.size() - 257), 5);
  w.put(static_cast<std::uint32_t>(dist.size() - 1), 5).put(15, 4);
  // 19 code-length codes of 5 bits each (an incomplete code)...
  for (int i = 0; i < 19; ++i) w.put(5, 3);
  // ...with canonical codes: symbols 0..18 in order get codes 0..18.
  for (int l : lit) w.code(static_cast<std::uint32_t>(l), 5);
  for (int l : dist) w.code(static_cast<std::uint32_t>(l), 5);
}

struct Outcome {
  Bytes out;
  int error;
};

Outcome run_ours(const std::vector<Bytes>& pieces, std::size_t want, bool bytewise) {
  TvexInflater z;
  std::size_t next = 1;
  z.SetInput(pieces.empty() ? nullptr : pieces[0].data(), pieces.empty() ? 0 : pieces[0].size(),
             [&](const std::uint8_t*& d, std::size_t& n) {
               if (next >= pieces.size()) return false;
               d = pieces[next].data();
               n = pieces[next++].size();
               return true;
             });
  Outcome r{{}, 0};
  try {
    z.StartInflate();
    r.out.resize(want);
    if (bytewise) {
      for (std::size_t i = 0; i < want; ++i) r.out[i] = z.InflateByte();
    } else {
      z.Inflate(r.out.data(), want);
    }
    z.FinishInflate();
  } catch (const vex::EPNGException& e) {
    EXPECT_TRUE(std::string(e.what()) == (z.Error == EC_CRC ? "PNG, Bad CRC" : "PNG, Bad code"));
    r.out.clear();
  }
  r.error = z.Error;
  return r;
}

TEST(Inflater, HandMadeStreams) {
  const Bytes abc = {'a', 'b', 'c'};
  auto fixed_abc = [](BitWriter& w) {
    w.put(1, 1).put(1, 2).fixed('a').fixed('b').fixed('c').fixed(256);
  };
  struct Case {
    const char* name;
    Bytes stream;
    std::size_t want;
    int error;
    Bytes expect;
  } cases[] = {
      {"fixed", zlib(fixed_abc, abc), 3, 0, abc},
      {"1 KiB window", zlib(fixed_abc, abc, 0x28, flg_for(0x28, 0)), 3, 0, abc},
      {"bad method", zlib(fixed_abc, abc, 0x77, flg_for(0x77, 0)), 3, 13, {}},
      {"bad check", zlib(fixed_abc, abc, 0x78, 0x02), 3, 13, {}},
      {"preset dictionary", zlib(fixed_abc, abc, 0x78, flg_for(0x78, 0x20)), 3, 13, {}},
      {"64 KiB window", zlib(fixed_abc, abc, 0x88, flg_for(0x88, 0)), 3, 13, {}},
      {"block type 3", zlib([](BitWriter& w) { w.put(1, 1).put(3, 2); }, {}), 1, 13, {}},
      {"stored",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(0, 2).bytes({3, 0, 0xFC, 0xFF, 'a', 'b', 'c'});
           },
           abc),
       3, 0, abc},
      {"stored, bad NLEN",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(0, 2).bytes({3, 0, 0, 0, 'a', 'b', 'c'});
           },
           abc),
       3,
       13,
       {}},
      {"empty stored block after the data",
       zlib(
           [&](BitWriter& w) {
             w.put(0, 1).put(1, 2).fixed('a').fixed('b').fixed('c').fixed(256);
             w.put(0, 1).put(0, 2).bytes({0, 0, 0xFF, 0xFF}).put(1, 1).put(1, 2).fixed(256);
           },
           abc),
       3, 0, abc},
      {"stored data left",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(0, 2).bytes({4, 0, 0xFB, 0xFF, 'a', 'b', 'c', 'd'});
           },
           abc),
       3,
       16,
       {}},
      {"literal left",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(1, 2).fixed('a').fixed('b').fixed('c').fixed('d').fixed(256);
           },
           abc),
       3,
       8,
       {}},
      {"more wanted than the final block has", zlib(fixed_abc, abc), 4, 13, {}},
      {"wrong Adler",
       [&] {
         Bytes s = zlib(fixed_abc, abc);
         s.back() ^= 1;
         return s;
       }(),
       3,
       22,
       {}},
      {"truncated Adler",
       [&] {
         Bytes s = zlib(fixed_abc, abc);
         s.pop_back();
         return s;
       }(),
       3,
       13,
       {}},
      {"truncated data",
       [&] {
         Bytes s = zlib(fixed_abc, abc);
         s.resize(4);
         return s;
       }(),
       3,
       13,
       {}},
      {"empty", {}, 1, 13, {}},
      // Length 3 at distance 1 before any data: the zero-filled window.
      {"distance before the start",
       zlib([](BitWriter& w) { w.put(1, 1).put(1, 2).fixed(257).code(0, 5).fixed(256); },
            Bytes(3, 0)),
       3, 0, Bytes(3, 0)},
      {"distance code 30",
       zlib([](BitWriter& w) { w.put(1, 1).put(1, 2).fixed('a').fixed(257).code(30, 5); }, {}),
       4,
       13,
       {}},
      {"length symbol 286",
       zlib([](BitWriter& w) { w.put(1, 1).put(1, 2).fixed(286); }, {}),
       1,
       13,
       {}},
      // Dynamic: a's length 1, end of block 1, one distance code of length 1.
      {"dynamic",
       zlib(
           [](BitWriter& w) {
             std::vector<int> lit(257, 0);
             lit['a'] = 1;
             lit[256] = 1;
             dynamic_header(w, true, lit, {1});
             w.code(0, 1).code(1, 1);
           },
           {'a'}),
       1,
       0,
       {'a'}},
      // 255 zeros, a 2, then 16 repeats the 2 for symbol 256 and both distance codes.
      {"repeat across the two code lengths",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(2, 2).put(0, 5).put(1, 5).put(15, 4);
             for (int i = 0; i < 19; ++i) w.put(5, 3);
             w.code(18, 5).put(127, 7).code(18, 5).put(106, 7).code(2, 5).code(16, 5).put(0, 2);
             w.code(0, 2).code(1, 2);
           },
           {255}),
       1,
       0,
       {255}},
      {"repeat with no previous length",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(15, 4);
             for (int i = 0; i < 19; ++i) w.put(5, 3);
             w.code(16, 5).put(0, 2);
           },
           {}),
       1,
       13,
       {}},
      {"zero run past the end",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(15, 4);
             for (int i = 0; i < 19; ++i) w.put(5, 3);
             w.code(18, 5).put(127, 7).code(18, 5).put(127, 7).code(18, 5).put(0, 7);
           },
           {}),
       1,
       13,
       {}},
      // Incomplete code-length code: only symbol 1 has a code (0); bit 1 matches nothing.
      {"incomplete code",
       zlib(
           [](BitWriter& w) {
             w.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(14, 4);
             for (int i = 0; i < 17; ++i) w.put(0, 3);
             w.put(1, 3).put(1, 1);
           },
           {}),
       1,
       13,
       {}},
  };
  for (const Case& c : cases) {
    for (bool bytewise : {false, true}) {
      const Outcome got = run_ours({c.stream}, c.want, bytewise);
      EXPECT_EQ(got.error, c.error) << c.name;
      if (c.error == 0) {
        EXPECT_EQ(got.out, c.expect) << c.name;
      }
    }
    EXPECT_EQ(reference::inflate({c.stream}, c.want).error, c.error) << c.name << " (plain)";
  }
}

// Streams cut into pieces (also empty ones) at random places.
std::vector<Bytes> split(const Bytes& s, Rng& rng) {
  std::vector<Bytes> pieces;
  for (std::size_t at = 0; at < s.size();) {
    const std::size_t n =
        std::min<std::size_t>(s.size() - at, static_cast<std::size_t>(rng.uniform(0, 40)) *
                                                 static_cast<std::size_t>(rng.uniform(0, 400)));
    pieces.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(at),
                        s.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
  return pieces;
}

TEST(Inflater, DamagedStreamsAsPlainProcedure) {
  // Valid streams of every block kind, then bytes changed, cut or shuffled:
  // the same bytes and codes as the step-by-step inflater, in whole, in
  // pieces and byte by byte.
  Rng rng(5);
  std::vector<Bytes> streams;
  for (int kind = 0; kind < 5; ++kind) streams.push_back(ours(make_data(kind, 3000, kind), 90));
  streams.push_back(zlib(
      [](BitWriter& w) {
        w.put(0, 1).put(0, 2).bytes({5, 0, 0xFA, 0xFF, 1, 2, 3, 4, 5});
        w.put(1, 1).put(1, 2);
        for (int i = 0; i < 300; ++i)
          if (i % 3)
            w.fixed('x');
          else
            w.fixed(265).put(1, 1).code(static_cast<std::uint32_t>(i % 4), 5);
        w.fixed(256);
      },
      {}));
  for (int round = 0; round < 1500; ++round) {
    Bytes s = streams[static_cast<std::size_t>(round) % streams.size()];
    const int edits = rng.uniform(0, 3);
    for (int e = 0; e < edits; ++e) {
      const auto at = static_cast<std::size_t>(rng.uniform(0, static_cast<int>(s.size()) - 1));
      switch (rng.uniform(0, 2)) {
      case 0:
        s[at] ^= static_cast<std::uint8_t>(1u << rng.uniform(0, 7));
        break;
      case 1:
        s[at] = static_cast<std::uint8_t>(rng.next());
        break;
      default:
        s.resize(at);
        break;
      }
      if (s.empty()) break;
    }
    const std::size_t want = static_cast<std::size_t>(rng.uniform(0, 4000));
    const reference::InflateResult plain = reference::inflate({s}, want);
    const Outcome whole = run_ours({s}, want, false);
    ASSERT_EQ(whole.error, plain.error) << round;
    if (plain.error == 0) {
      ASSERT_EQ(whole.out, plain.out) << round;
    }
    ASSERT_EQ(run_ours(split(s, rng), want, rng.uniform(0, 1) == 1).error, plain.error) << round;
  }
}

TEST(Crc32, KnownValues) {
  const std::string s = "123456789";
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  EXPECT_EQ(vex::Crc32(0, p, s.size()), 0xCBF43926u);
  EXPECT_EQ(vex::Crc32(vex::Crc32(0, p, 4), p + 4, 5), 0xCBF43926u);
  const std::uint8_t iend[4] = {'I', 'E', 'N', 'D'};
  EXPECT_EQ(vex::Crc32(0, iend, 4), 0xAE426082u);
  EXPECT_EQ(vex::Crc32(0, nullptr, 0), 0u);
}

} // namespace
