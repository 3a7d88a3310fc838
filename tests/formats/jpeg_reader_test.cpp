// JPEG reader: the entropy bit reader against the buffered stream's ReadBits,
// the fast colour conversion and upsampling against the plain reference, and
// the marker loop, segments and scans on corpus files and patched copies.
#include "formats/jpeg_reader_internal.h"

#include "reference/jpeg_block_ref.h"
#include "reference/ycc_ref.h"
#include "test_support.h"

#include "vexFileStream.h"

#include "platform/cpu_features.h"
#include "platform/file_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using testing_support::Rng;
using vex::jpeg::BitReader;

// ---------------------------------------------------------------------------
// Bit reader

std::int32_t PullMemory(void* ctx, std::uint8_t* dst, std::int32_t n) {
  return static_cast<TvexBufferStream*>(ctx)->Read(dst, n);
}

// Random entropy-coded bytes: stuffed 0xFF 0x00 pairs, and optionally a
// marker (with fill bytes) after `data_len` bytes, then trailing bytes.
std::vector<std::uint8_t> RandomScanBytes(Rng& rng, int data_len, int marker, int fill) {
  std::vector<std::uint8_t> out;
  while (static_cast<int>(out.size()) < data_len) {
    const std::uint8_t b = rng.next() % 5 == 0 ? 0xFF : static_cast<std::uint8_t>(rng.next());
    out.push_back(b);
    if (b == 0xFF) out.push_back(0x00);
  }
  if (marker != 0) {
    for (int i = 0; i < fill; ++i) out.push_back(0xFF);
    out.push_back(0xFF);
    out.push_back(static_cast<std::uint8_t>(marker));
    for (int i = 0; i < 7; ++i) out.push_back(static_cast<std::uint8_t>(rng.next()));
  }
  return out;
}

TEST(JpegBitReader, DeliversTheBitsOfReadBitsThroughMarkersAndTheEnd) {
  Rng rng(11);
  for (int round = 0; round < 300; ++round) {
    const int len = rng.uniform(0, round < 150 ? 64 : 40000);
    const int marker = round % 3 == 0 ? 0 : (round % 3 == 1 ? 0xD9 : 0xC4);
    const std::vector<std::uint8_t> bytes = RandomScanBytes(rng, len, marker, round % 4);
    vex::platform::MemoryStream ms_ref(bytes.data(), bytes.size());
    vex::platform::MemoryStream ms_fast(bytes.data(), bytes.size());
    TvexBufferStream ref, fast;
    ref.SetSource(&ms_ref);
    fast.SetSource(&ms_fast);
    BitReader br;
    br.Begin(&PullMemory, &fast);
    std::int64_t bits = 0;
    const std::int64_t limit = 8 * static_cast<std::int64_t>(bytes.size()) + 200;
    while (bits < limit) {
      const int n = rng.uniform(0, 16);
      ASSERT_EQ(br.Get(n), ref.ReadBits(n)) << "round " << round << " at bit " << bits;
      bits += n;
    }
    // Both leave the marker for the marker loop.
    const std::int32_t back = br.Finish();
    fast.Seek(fast.GetPosition() - back);
    if (marker != 0) {
      std::uint8_t m[2] = {};
      ASSERT_EQ(fast.Read(m, 2), 2);
      EXPECT_EQ(m[0], 0xFF);
      EXPECT_EQ(m[1], marker);
    } else {
      EXPECT_EQ(fast.GetPosition(), static_cast<std::int64_t>(bytes.size()));
    }
  }
}

TEST(JpegBitReader, TruncationIsSeenOnlyOncePastTheData) {
  const std::vector<std::uint8_t> bytes = {0x12, 0x34, 0xFF, 0x00, 0x56};
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  EXPECT_EQ(br.Get(16), 0x1234u);
  EXPECT_EQ(br.Get(16), 0xFF56u);
  EXPECT_FALSE(br.Truncated());
  EXPECT_EQ(br.Get(1), 0u);
  EXPECT_TRUE(br.Truncated());
}

TEST(JpegBitReader, MarkerEndsTheDataWithoutTruncation) {
  const std::vector<std::uint8_t> bytes = {0xAB, 0xFF, 0xD9};
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  EXPECT_EQ(br.Get(8), 0xABu);
  EXPECT_EQ(br.Get(16), 0u);
  EXPECT_TRUE(br.AtMarker());
  EXPECT_FALSE(br.Truncated());
}

TEST(JpegBitReader, DNLMarkerInsideTheDataRaises) {
  const std::vector<std::uint8_t> bytes = {0xAB, 0xFF, 0xDC, 0x00, 0x04};
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  EXPECT_THROW(br.Get(16), vex::ImagingError);
}

TEST(JpegBitReader, RestartMarkersAreTakenInOrderAfterFillBytes) {
  // 8 bits of data, then FF FF D3, 8 more bits, then FF D5.
  const std::vector<std::uint8_t> bytes = {0x5A, 0xFF, 0xFF, 0xD3, 0xC3, 0xFF, 0xD5, 0x01};
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  EXPECT_EQ(br.Get(5), 0x0Bu);
  EXPECT_EQ(br.TakeRestart(), 3);
  EXPECT_EQ(br.Get(8), 0xC3u);
  EXPECT_EQ(br.TakeRestart(), 5);
  EXPECT_EQ(br.TakeRestart(), -1); // 0x01 is no marker
}

TEST(JpegBitReader, FinishPassesRestartMarkersAndStraysUpToTheNextMarker) {
  const std::vector<std::uint8_t> bytes = {0x5A, 0x11, 0xFF, 0xD0, 0x22, 0xFF, 0xFF, 0xDA, 0x00};
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  EXPECT_EQ(br.Get(8), 0x5Au);
  const std::int32_t back = br.Finish();
  bs.Seek(bs.GetPosition() - back);
  EXPECT_EQ(bs.GetPosition(), 6); // the last fill byte before 0xDA
}

// ---------------------------------------------------------------------------
// Block decoding against the plain bit-by-bit decoder

// A Huffman table as a DHT segment would carry it: code counts that mostly
// fill the code space (sometimes leaving codes unused, sometimes
// over-subscribing it) and distinct values drawn from `pool`.
struct RandomTable {
  std::uint8_t counts[16] = {};
  std::vector<std::uint8_t> values;
};

RandomTable MakeTable(Rng& rng, const std::vector<int>& pool, bool allow_bad) {
  RandomTable t;
  std::vector<int> left = pool;
  std::int64_t space = 2; // free codes of the current length
  int total = 0;
  for (int l = 1; l <= 16 && !left.empty(); ++l) {
    int n = static_cast<int>(std::min<std::int64_t>(space, rng.uniform(0, 1 << std::min(l, 5))));
    if (l == 16 || rng.uniform(0, 9) == 0) n = static_cast<int>(std::min<std::int64_t>(space, 255));
    if (allow_bad && rng.uniform(0, 30) == 0) n += rng.uniform(1, 3); // over-subscribed
    n = std::min<int>(n, static_cast<int>(left.size()));
    if (l < 16 && n == space) n = static_cast<int>(std::max<std::int64_t>(0, space - 1));
    t.counts[l - 1] = static_cast<std::uint8_t>(n);
    total += n;
    for (int i = 0; i < n; ++i) {
      const int j = rng.uniform(0, static_cast<int>(left.size()) - 1);
      t.values.push_back(static_cast<std::uint8_t>(left[j]));
      left.erase(left.begin() + j);
    }
    space = (space - n) * 2;
    if (space <= 0) space = allow_bad ? 1 : 0;
  }
  (void)total;
  return t;
}

reference::HuffDecodeTable RefTable(const RandomTable& t) {
  std::vector<std::int32_t> v(257, 0);
  for (std::size_t i = 0; i < t.values.size(); ++i) v[i] = t.values[i];
  return reference::define_table(t.counts, v);
}

std::unique_ptr<TvexHuffmanJPEG> OurTable(const RandomTable& t) {
  auto h = std::make_unique<TvexHuffmanJPEG>(256, 16);
  for (std::size_t i = 0; i < t.values.size(); ++i) h->SetValues(static_cast<int>(i), t.values[i]);
  h->DefineTable(static_cast<int>(t.values.size()), t.counts);
  return h;
}

std::vector<int> AcPool(Rng& rng) {
  std::vector<int> pool = {0xF0};
  for (int r = 0; r < 16; ++r)
    for (int s = 1; s <= 10; ++s)
      if (rng.uniform(0, r < 4 ? 1 : 6) == 0) pool.push_back(r * 16 + s);
  return pool;
}

// End of block on a short code, so that random data makes whole blocks.
void EndOfBlockFirst(RandomTable& t) {
  if (t.values.empty()) return;
  for (auto& v : t.values)
    if (v == 0x00) return;
  t.values[0] = 0x00;
}

std::vector<int> DcPool(Rng& rng) {
  std::vector<int> pool;
  for (int s = 0; s <= 11; ++s) pool.push_back(s);
  if (rng.uniform(0, 4) == 0) pool.push_back(rng.uniform(17, 255)); // corrupt category
  return pool;
}

std::vector<std::uint8_t> RandomBytes(Rng& rng, int n) {
  std::vector<std::uint8_t> out;
  while (static_cast<int>(out.size()) < n) {
    const auto b = static_cast<std::uint8_t>(rng.next());
    out.push_back(b);
    if (b == 0xFF) out.push_back(0x00);
  }
  return out;
}

TEST(JpegBlockDecoder, SequentialBlocksMatchThePlainDecoder) {
  Rng rng(21);
  int corrupt = 0, blocks = 0;
  for (int round = 0; round < 400; ++round) {
    const bool bad = round % 4 == 3;
    const RandomTable dc_t = MakeTable(rng, DcPool(rng), bad);
    RandomTable ac_t = MakeTable(rng, AcPool(rng), bad);
    EndOfBlockFirst(ac_t);
    const auto dc = OurTable(dc_t), ac = OurTable(ac_t);
    const reference::HuffDecodeTable rdc = RefTable(dc_t), rac = RefTable(ac_t);
    vex::jpeg::FastTable fdc, fac;
    fdc.Build(*dc, true);
    fac.Build(*ac, false);
    const std::vector<std::uint8_t> bytes = RandomBytes(rng, 3000);
    vex::platform::MemoryStream ms_ref(bytes.data(), bytes.size()), ms(bytes.data(), bytes.size());
    TvexBufferStream ref_bs, bs;
    ref_bs.SetSource(&ms_ref);
    bs.SetSource(&ms);
    BitReader br;
    br.Begin(&PullMemory, &bs);
    const reference::BitSource source = [&ref_bs](int n) { return ref_bs.ReadBits(n); };
    TvexJPEGComponent c;
    c.DCTable = dc.get();
    c.ACTable = ac.get();
    reference::BlockState state;
    for (int b = 0; b < 300; ++b) {
      std::int16_t expect[64], got[64] = {};
      const reference::BlockResult r =
          reference::decode_sequential(rdc, rac, source, state, expect);
      if (r == reference::BlockResult::Corrupt) {
        EXPECT_THROW(vex::jpeg::DecodeBlockSequential(br, c, fdc, fac, got), vex::ImagingError)
            << "round " << round << " block " << b;
        ++corrupt;
        break;
      }
      bool any = false;
      ASSERT_NO_THROW(any = vex::jpeg::DecodeBlockSequential(br, c, fdc, fac, got))
          << "round " << round << " block " << b;
      ASSERT_EQ(0, std::memcmp(expect, got, sizeof got)) << "round " << round << " block " << b;
      ASSERT_EQ(c.LastDC, state.last_dc);
      bool ac_present = false;
      for (int i = 1; i < 64; ++i) ac_present |= expect[i] != 0;
      // Explicit zero values are possible only through corrupt tables; a
      // block flagged without AC may not hold any.
      if (!any) {
        ASSERT_FALSE(ac_present);
      }
      ++blocks;
    }
  }
  EXPECT_GT(corrupt, 20);
  EXPECT_GT(blocks, 5000);
}

// ---------------------------------------------------------------------------
// Colour conversion, upsampling, flat blocks

TEST(JpegColour, TablesAndKernelsMatchThePlainConversion) {
  vex::jpeg::YccTables t;
  t.Build();
  // Every (Cb, Cr) pair with a spread of Y values, through both kernels.
  const int width = 256 + 37;
  std::vector<std::uint8_t> y(width), cb(width), cr(width), out_a(3 * width), out_b(3 * width);
  Rng rng(5);
  for (int cr_v = 0; cr_v < 256; ++cr_v) {
    for (int x = 0; x < width; ++x) {
      y[x] = static_cast<std::uint8_t>(rng.next());
      cb[x] = static_cast<std::uint8_t>(x);
      cr[x] = static_cast<std::uint8_t>(cr_v);
    }
    vex::jpeg::ycc_to_bgr_row_portable(t, y.data(), cb.data(), cr.data(), out_a.data(), width);
    vex::jpeg::ycc_to_bgr_row(t, y.data(), cb.data(), cr.data(), out_b.data(), width);
    ASSERT_EQ(out_a, out_b) << "Cr " << cr_v;
    for (int x = 0; x < width; ++x) {
      std::uint8_t expect[3];
      reference::ycc_to_bgr(y[x], cb[x], cr[x], expect);
      ASSERT_EQ(0, std::memcmp(expect, &out_a[3 * x], 3)) << "x " << x << " Cr " << cr_v;
    }
  }
}

TEST(JpegColour, ChromaTermsGiveTheBytesOfTheFullResolutionConversion) {
  vex::jpeg::YccTables t;
  t.Build();
  Rng rng(17);
  for (const int factor : {1, 2, 3, 4}) {
    for (int width = 1; width < 300; width += 13) {
      const int n = (width + factor - 1) / factor;
      std::vector<std::uint8_t> y(width), cb(n + 16), cr(n + 16);
      for (auto& v : y) v = static_cast<std::uint8_t>(rng.next());
      for (auto& v : cb) v = static_cast<std::uint8_t>(rng.next());
      for (auto& v : cr) v = static_cast<std::uint8_t>(rng.next());
      std::vector<std::int16_t> tb(width + 16), tgb(width + 16), tr(width + 16), tgr(width + 16);
      vex::jpeg::chroma_terms(t.cb_to_b, t.cb_to_g, cb.data(), factor, width, tb.data(),
                              tgb.data());
      vex::jpeg::chroma_terms(t.cr_to_r, t.cr_to_g, cr.data(), factor, width, tr.data(),
                              tgr.data());
      std::vector<std::uint8_t> fast(3 * width), plain(3 * width), full(3 * width);
      vex::jpeg::ycc_terms_to_bgr_row(t, y.data(), tb.data(), tgb.data(), tgr.data(), tr.data(),
                                      fast.data(), width);
      vex::jpeg::ycc_terms_to_bgr_row_portable(t, y.data(), tb.data(), tgb.data(), tgr.data(),
                                               tr.data(), plain.data(), width);
      const std::vector<std::uint8_t> wide_cb = reference::replicate(cb, factor, width);
      const std::vector<std::uint8_t> wide_cr = reference::replicate(cr, factor, width);
      vex::jpeg::ycc_to_bgr_row_portable(t, y.data(), wide_cb.data(), wide_cr.data(), full.data(),
                                         width);
      ASSERT_EQ(fast, full) << factor << " " << width;
      ASSERT_EQ(plain, full) << factor << " " << width;
    }
  }
}

TEST(JpegColour, SimdKernelWritesNothingPastTheRow) {
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  vex::jpeg::YccTables t;
  t.Build();
  for (int width = 1; width < 70; ++width) {
    std::vector<std::uint8_t> y(width, 200), cb(width, 10), cr(width, 250);
    std::vector<std::uint8_t> out(3 * width + 8, 0xAA);
    vex::jpeg::ycc_to_bgr_row_sse2(t, y.data(), cb.data(), cr.data(), out.data(), width);
    for (int i = 3 * width; i < 3 * width + 8; ++i) ASSERT_EQ(out[i], 0xAA) << width;
  }
#else
  GTEST_SKIP() << "no SIMD kernels in this build";
#endif
}

TEST(JpegColour, ReplicationMatchesThePlainUpsampling) {
  Rng rng(9);
  for (const int factor : {2, 3, 4, 15}) {
    for (int width = 1; width < 200; width += 7) {
      std::vector<std::uint8_t> src((width + factor - 1) / factor + 16);
      for (auto& b : src) b = static_cast<std::uint8_t>(rng.next());
      std::vector<std::uint8_t> out(width + 64, 0xEE);
      vex::jpeg::upsample_row(src.data(), out.data(), factor, width);
      const std::vector<std::uint8_t> expect = reference::replicate(src, factor, width);
      ASSERT_EQ(0, std::memcmp(expect.data(), out.data(), width)) << factor << " " << width;
      EXPECT_EQ(out[width], 0xEE);
    }
  }
}

TEST(JpegColour, FlatBlockShortcutEqualsTheInverseTransform) {
  Rng rng(3);
  TvexDCT dct;
  for (int round = 0; round < 2000; ++round) {
    QuantTable q;
    for (auto& e : q.Entries)
      e = static_cast<std::uint16_t>(rng.uniform(0, round % 2 ? 255 : 65535));
    dct.SetInverseTable(q);
    std::int16_t coef[64] = {};
    coef[0] = static_cast<std::int16_t>(rng.uniform(-32768, 32767) >> (round % 16));
    std::uint8_t samples[64];
    dct.InverseDCT(coef, samples, 8);
    const std::uint8_t flat = vex::jpeg::DCOnlySample(dct, coef[0]);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(samples[i], flat) << "DC " << coef[0];
  }
}

} // namespace
