// JPEG reader: the entropy bit reader against the buffered stream's ReadBits,
// the fast colour conversion and upsampling against the plain reference, and
// the marker loop, segments and scans on small files and patched copies.
#include "formats/jpeg_reader_internal.h"

#include "reference/jpeg_block_ref.h"
#include "reference/ycc_ref.h"
#include "test_support.h"

#include "vexFileStream.h"
#include "vexImageFile.h"

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
    // Streams that run on, end at a marker (the rest reads as zero bits) or
    // are cut (the file ends inside the data, perhaps on a lone 0xFF).
    std::vector<std::uint8_t> bytes = RandomBytes(rng, rng.uniform(1, 3000));
    const int ending = round % 4;
    if (ending == 1) {
      bytes.push_back(0xFF);
      bytes.push_back(static_cast<std::uint8_t>(rng.uniform(0, 1) ? 0xD9 : 0xD0 + round % 8));
    } else if (ending == 2) {
      bytes.resize(static_cast<std::size_t>(rng.uniform(0, static_cast<int>(bytes.size()))));
    }
    vex::platform::MemoryStream ms_ref(bytes.data(), bytes.size()), ms(bytes.data(), bytes.size());
    TvexBufferStream ref_bs, bs;
    ref_bs.SetSource(&ms_ref);
    bs.SetSource(&ms);
    BitReader br;
    br.Begin(&PullMemory, &bs);
    std::int64_t consumed = 0, data_bits = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i, data_bits += 8) {
      if (bytes[i] != 0xFF || i + 1 == bytes.size()) continue;
      if (bytes[i + 1] != 0x00) break;
      ++i;
    }
    const reference::BitSource source = [&](int n) {
      consumed += n;
      return ref_bs.ReadBits(n);
    };
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
      // Both deliver zero bits past the data; the reader knows when it got there.
      ASSERT_EQ(br.Overran(), consumed > data_bits) << "round " << round << " block " << b;
      ASSERT_EQ(br.Truncated(), ending != 1 && consumed > data_bits);
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

// The row kernel of the SIMD level in use and those of each level the build
// and processor have.
using ColourKernel = decltype(&vex::jpeg::ycc_to_bgr_row);
std::vector<std::pair<const char*, ColourKernel>> ColourKernels() {
  std::vector<std::pair<const char*, ColourKernel>> k{{"in use", vex::jpeg::ycc_to_bgr_row}};
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (vex::platform::simd_level_available(vex::platform::SimdLevel::sse2))
    k.emplace_back("sse2", vex::jpeg::ycc_to_bgr_row_sse2);
#endif
  if (vex::platform::simd_level_available(vex::platform::SimdLevel::avx2))
    k.emplace_back("avx2", vex::jpeg::ycc_to_bgr_row_avx2);
  return k;
}

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
    for (const auto& [name, kernel] : ColourKernels()) {
      std::fill(out_b.begin(), out_b.end(), 0);
      kernel(t, y.data(), cb.data(), cr.data(), out_b.data(), width);
      ASSERT_EQ(out_a, out_b) << name << " Cr " << cr_v;
    }
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
      vex::jpeg::chroma_terms(t, false, cb.data(), factor, width, tb.data(), tgb.data());
      vex::jpeg::chroma_terms(t, true, cr.data(), factor, width, tr.data(), tgr.data());
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
      if (factor == 2) {
        // Terms kept at half width.
        vex::jpeg::chroma_terms(t, false, cb.data(), 1, n, tb.data(), tgb.data());
        vex::jpeg::chroma_terms(t, true, cr.data(), 1, n, tr.data(), tgr.data());
        vex::jpeg::ycc_half_terms_to_bgr_row(t, y.data(), tb.data(), tgb.data(), tgr.data(),
                                             tr.data(), fast.data(), width);
        vex::jpeg::ycc_half_terms_to_bgr_row_portable(t, y.data(), tb.data(), tgb.data(),
                                                      tgr.data(), tr.data(), plain.data(), width);
        ASSERT_EQ(fast, full) << "half " << width;
        ASSERT_EQ(plain, full) << "half " << width;
      }
    }
  }
}

TEST(JpegColour, SimdKernelWritesNothingPastTheRow) {
  vex::jpeg::YccTables t;
  t.Build();
  for (const auto& [name, kernel] : ColourKernels()) {
    for (int width = 1; width < 70; ++width) {
      std::vector<std::uint8_t> y(width, 200), cb(width, 10), cr(width, 250);
      std::vector<std::uint8_t> out(3 * width + 8, 0xAA);
      kernel(t, y.data(), cb.data(), cr.data(), out.data(), width);
      for (int i = 3 * width; i < 3 * width + 8; ++i) ASSERT_EQ(out[i], 0xAA) << name << width;
    }
  }
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

// ---------------------------------------------------------------------------
// The reader on small files and patched copies

using Bytes = std::vector<std::uint8_t>;

Bytes Data(const char* name) {
  return testing_support::read_file(testing_support::data_file(name));
}

constexpr const char* kSmall = "jpg-size-17x17.jpg";       // baseline 4:2:0, JFIF APP0 first
constexpr const char* kPhoto = "hopper_orientation_2.jpg"; // baseline 4:2:0, 8 MCU rows

// The small file with the given JFIF header fields (its APP0 is at offset 2).
Bytes WithJfif(int minor, int units, int x_density, int y_density) {
  Bytes b = Data(kSmall);
  const std::uint8_t fields[] = {1,
                                 static_cast<std::uint8_t>(minor),
                                 static_cast<std::uint8_t>(units),
                                 static_cast<std::uint8_t>(x_density >> 8),
                                 static_cast<std::uint8_t>(x_density),
                                 static_cast<std::uint8_t>(y_density >> 8),
                                 static_cast<std::uint8_t>(y_density)};
  std::copy(std::begin(fields), std::end(fields), b.begin() + 11);
  return b;
}

struct Segment {
  std::uint8_t marker;
  std::size_t at;     // offset of the 0xFF
  std::size_t length; // the length field (0 for markers without one)
};

// Segments up to and including the first SOS.
std::vector<Segment> Segments(const Bytes& b) {
  std::vector<Segment> out;
  std::size_t i = 2;
  while (i + 3 < b.size() && b[i] == 0xFF) {
    const Segment seg{b[i + 1], i, static_cast<std::size_t>((b[i + 2] << 8) | b[i + 3])};
    out.push_back(seg);
    if (seg.marker == 0xDA) break;
    i += 2 + seg.length;
  }
  return out;
}

const Segment& Find(const std::vector<Segment>& segs, std::uint8_t marker, int nth = 0) {
  for (const Segment& s : segs)
    if (s.marker == marker && nth-- == 0) return s;
  static const Segment none{0, 0, 0};
  return none;
}

struct Decoded {
  int code = -1;
  std::unique_ptr<TvexImage> image; // null when no bitmap was made
  TvexImageInfo info;
};

Decoded Decode(const Bytes& bytes, const TvexImageFile::ProgressEvent& progress = nullptr) {
  Decoded d;
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexJPEGImage reader;
  reader.SetImageInfo(&d.info);
  reader.OnProgress = progress;
  const DibHandle dib = reader.LoadFromStream(ms);
  d.code = reader.GetError();
  if (dib != DibHandle::Null) {
    d.image = std::make_unique<TvexImage>();
    d.image->SetDibHandle(dib);
  }
  return d;
}

// Rows 0..rows-1 (from the top) of two images are identical.
bool SameRows(TvexImage& a, TvexImage& b, int rows) {
  const int bytes = a.Width() * a.BitCount() / 8;
  for (int y = 0; y < rows; ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), bytes) != 0) return false;
  return true;
}

bool ZeroRows(TvexImage& a, int from) {
  const int bytes = a.Width() * a.BitCount() / 8;
  for (int y = from; y < a.Height(); ++y)
    for (int x = 0; x < bytes; ++x)
      if (a.ScanLine(y)[x] != 0) return false;
  return true;
}

TEST(JpegReader, HeaderRecognisesOnlyTheStartOfImage) {
  const Bytes jpeg = Data(kSmall);
  const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (const Bytes* b : {&jpeg, &png}) {
    vex::platform::MemoryStream ms(b->data(), b->size());
    ms.SetPosition(0);
    TvexJPEGImage reader;
    const TvexErrorCode code = reader.ReadHeader(&ms);
    EXPECT_EQ(code, b == &jpeg ? EC_OK : EC_BADFORMAT);
    EXPECT_EQ(reader.GetBufferStream().GetPosition(), 0);
  }
  EXPECT_EQ(Decode(png).code, EC_BADFORMAT);
  EXPECT_EQ(Decode(Bytes{}).code, EC_BADFORMAT);
}

TEST(JpegReader, FrameKindsAndParametersGiveTheirCodes) {
  const Bytes base = Data(kSmall);
  const std::size_t sof = Find(Segments(base), 0xC0).at;
  struct Case {
    const char* what;
    std::size_t offset; // from the SOF's 0xFF
    std::uint8_t value;
    int code;
  };
  const Case cases[] = {
      {"SOF1 decodes like SOF0", 1, 0xC1, EC_OK},
      {"lossless", 1, 0xC3, EC_JFIF_LOSSLESS},
      {"differential sequential", 1, 0xC5, EC_JFIF_DIFFSEQ},
      {"differential progressive", 1, 0xC6, EC_JFIF_DIFFPROG},
      {"differential lossless", 1, 0xC7, EC_JFIF_DIFFLOSSLESS},
      {"arithmetic", 1, 0xC9, EC_ARITHMETIC},
      {"arithmetic progressive", 1, 0xCA, EC_ARITHMETIC},
      {"arithmetic hierarchical", 1, 0xCF, EC_ARITHMETIC},
      {"a baseline scan read as progressive holds DC and AC", 1, 0xC2, EC_JFIF_DCANDAC},
      {"12-bit samples", 4, 12, EC_BITDEPTH},
      {"two components", 9, 2, EC_JFIF_COMPONENTS},
      {"four components in a segment sized for three", 9, 4, EC_BADFORMAT},
      {"five components", 9, 5, EC_JFIF_COMPONENTS},
      {"zero horizontal sampling", 11, 0x02, EC_JFIF_ZEROFREQ},
      {"zero vertical sampling", 14, 0x10, EC_JFIF_ZEROFREQ},
      {"fractional horizontal ratio", 14, 0x31, EC_JFIF_HFREQ},
      {"fractional vertical ratio", 14, 0x13, EC_JFIF_VFREQ},
      {"duplicate component id", 13, 1, EC_JFIF_COMPID},
      {"quantisation table id above 3", 12, 4, EC_JFIF_COMPID},
      {"quantisation table never defined", 12, 2, EC_JFIF_MISSINGTABLE},
  };
  const Decoded plain = Decode(base);
  ASSERT_EQ(plain.code, EC_OK);
  for (const Case& c : cases) {
    Bytes b = base;
    b[sof + c.offset] = c.value;
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, c.code) << c.what;
    if (c.code == EC_OK) {
      ASSERT_TRUE(d.image);
      EXPECT_EQ(testing_support::pixel_digest(*d.image),
                testing_support::pixel_digest(*plain.image));
    }
  }
}

TEST(JpegReader, ScanHeadersAreChecked) {
  const Bytes base = Data(kSmall);
  const std::vector<Segment> segs = Segments(base);
  const std::size_t sos = Find(segs, 0xDA).at;
  // SOS: FF DA, length, Ns, (id, tables) x 3, Ss, Se, AhAl.
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
    int code;
  };
  const Case cases[] = {
      {"a component the frame does not have", 5, 9, EC_JFIF_COMPID},
      {"the same component twice", 7, 1, EC_DUPLICATESCAN},
      {"DC table selector above 3", 8, 0x51, EC_JFIF_MISSINGTABLE},
      {"AC table selector above 3", 8, 0x15, EC_JFIF_MISSINGTABLE},
      {"a DC table no DHT defined", 8, 0x21, EC_JFIF_MISSINGTABLE},
      {"an AC table no DHT defined", 8, 0x13, EC_JFIF_MISSINGTABLE},
      {"no components", 4, 0, EC_JFIF_COMPONENTS},
      {"more components than the frame", 4, 4, EC_JFIF_COMPONENTS},
  };
  for (const Case& c : cases) {
    Bytes b = base;
    b[sos + c.offset] = c.value;
    EXPECT_EQ(Decode(b).code, c.code) << c.what;
  }
  // SOS before any frame.
  Bytes b = base;
  b[Find(segs, 0xC0).at + 1] = 0xE5;
  EXPECT_EQ(Decode(b).code, EC_JFIF_SOSBEFORESOF);
}

TEST(JpegReader, TableSegmentsAreChecked) {
  const Bytes base = Data(kSmall);
  const std::vector<Segment> segs = Segments(base);
  const Decoded plain = Decode(base);
  {
    // A DQT with id 7 is passed over; the picture is unchanged.
    Bytes extra = {0xFF, 0xDB, 0x00, 0x43, 0x07};
    extra.resize(extra.size() + 64, 0x01);
    Bytes b = base;
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xDB).at), extra.begin(),
             extra.end());
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, EC_OK);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(testing_support::pixel_digest(*d.image), testing_support::pixel_digest(*plain.image));
  }
  {
    // DHT class/id byte with id 4.
    Bytes b = base;
    b[Find(segs, 0xC4).at + 4] = 0x04;
    EXPECT_EQ(Decode(b).code, EC_JFIF_HUFFTABLES);
  }
  {
    // Code counts summing to 257 or more.
    Bytes b = base;
    for (int i = 0; i < 16; ++i) b[Find(segs, 0xC4).at + 5 + i] = 17;
    EXPECT_EQ(Decode(b).code, EC_HUFFMANSIZE);
  }
}

TEST(JpegReader, MarkerLoopEndsAndDamage) {
  const Bytes base = Data(kSmall);
  const std::vector<Segment> segs = Segments(base);
  const Decoded plain = Decode(base);
  // The file ends between segments, inside a segment, and right after SOI.
  for (const std::size_t cut : {Find(segs, 0xC0).at, Find(segs, 0xC0).at + 7, std::size_t{2}}) {
    const Bytes b(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(cut));
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, EC_ENDOFFILE) << cut;
    EXPECT_FALSE(d.image);
  }
  {
    // Stray bytes between segments are passed over: the picture is read and
    // the damage reported.
    Bytes b = base;
    const Bytes junk = {0x12, 0x34, 0x56};
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xC4).at), junk.begin(),
             junk.end());
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, EC_BADFORMAT);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(testing_support::pixel_digest(*d.image), testing_support::pixel_digest(*plain.image));
  }
  {
    // A restart marker between segments.
    Bytes b = base;
    const Bytes rst = {0xFF, 0xD3};
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xC4).at), rst.begin(), rst.end());
    EXPECT_EQ(Decode(b).code, EC_BADFORMAT);
  }
  {
    // Fill bytes before a marker are allowed.
    Bytes b = base;
    const Bytes fill = {0xFF, 0xFF, 0xFF};
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xC4).at), fill.begin(),
             fill.end());
    EXPECT_EQ(Decode(b).code, EC_OK);
  }
  {
    // A hierarchical progression (DHP) segment before the frame.
    Bytes b = base;
    const Bytes dhp = {0xFF, 0xDE, 0x00, 0x0B, 8, 0, 17, 0, 17, 1, 1, 0x11, 0};
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xC0).at), dhp.begin(), dhp.end());
    EXPECT_EQ(Decode(b).code, EC_JFIF_DHP);
  }
  {
    // A frame and no scan: no picture.
    Bytes b(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(Find(segs, 0xDA).at));
    b.push_back(0xFF);
    b.push_back(0xD9);
    EXPECT_EQ(Decode(b).code, EC_ENDOFDATA);
  }
}

TEST(JpegReader, RestartMarkersMustComeInOrder) {
  const Bytes base = Data("restarts.jpg");
  const Decoded plain = Decode(base);
  ASSERT_EQ(plain.code, EC_OK);
  // Second restart marker RST1 becomes RST3.
  Bytes b = base;
  int seen = 0;
  std::size_t at = 0;
  for (std::size_t i = Find(Segments(base), 0xDA).at + 14; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] >= 0xD0 && b[i + 1] <= 0xD7 && ++seen == 2) {
      at = i + 1;
      break;
    }
  ASSERT_EQ(b[at], 0xD1);
  b[at] = 0xD3;
  const Decoded d = Decode(b);
  EXPECT_EQ(d.code, EC_BADDECOMPRESS);
  ASSERT_TRUE(d.image);
  // 33 x 33 at 4:4:4 with 5 MCUs per interval: the first row of 5 MCUs is
  // whole, so the top 8 rows match.
  EXPECT_TRUE(SameRows(*d.image, *plain.image, 8));
}

TEST(JpegReader, TruncatedScanKeepsTheRowsDecodedSoFar) {
  const Bytes base = Data(kPhoto);
  const Decoded plain = Decode(base);
  ASSERT_EQ(plain.code, EC_OK);
  const std::size_t sos = Find(Segments(base), 0xDA).at;
  const std::size_t cut = sos + (base.size() - sos) / 2;
  const Bytes b(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(cut));
  const Decoded d = Decode(b);
  EXPECT_EQ(d.code, EC_ENDOFFILE);
  ASSERT_TRUE(d.image);
  // Some MCU rows (16 image rows each) are whole before the cut, the rest is
  // untouched; the row the cut falls in is partly decoded.
  int whole = 0;
  while (whole + 16 <= d.image->Height() && SameRows(*d.image, *plain.image, whole + 16))
    whole += 16;
  EXPECT_GT(whole, 0);
  EXPECT_LT(whole, d.image->Height());
  EXPECT_TRUE(ZeroRows(*d.image, whole + 16));
}

TEST(JpegReader, AMarkerInsideTheScanEndsItWithTheRowsSoFar) {
  // The scan data cut in the middle and followed by the end-of-image marker.
  const Bytes base = Data(kPhoto);
  const Decoded plain = Decode(base);
  const std::size_t sos = Find(Segments(base), 0xDA).at;
  Bytes b(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(sos + (base.size() - sos) / 2));
  b.push_back(0xFF);
  b.push_back(0xD9);
  const Decoded d = Decode(b);
  EXPECT_EQ(d.code, EC_ENDOFDATA);
  ASSERT_TRUE(d.image);
  int whole = 0;
  while (whole + 16 <= d.image->Height() && SameRows(*d.image, *plain.image, whole + 16))
    whole += 16;
  EXPECT_GT(whole, 0);
  EXPECT_TRUE(ZeroRows(*d.image, whole + 16));
}

TEST(JpegReader, ProgressIsReportedAndCancelStops) {
  const Bytes base = Data(kPhoto); // 128 rows: 8 MCU rows
  std::vector<int> seen;
  const Decoded all =
      Decode(base, [&seen](TvexImageFile*, int percent, bool&) { seen.push_back(percent); });
  EXPECT_EQ(all.code, EC_OK);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 7 * 100 / 8);
  const Decoded cancelled =
      Decode(base, [](TvexImageFile*, int percent, bool& cancel) { cancel = percent >= 50; });
  EXPECT_EQ(cancelled.code, EC_USERCANCEL);
  ASSERT_TRUE(cancelled.image);
  // Row 4 reports 50 %: cancelled there, rows 0..3 are whole.
  EXPECT_TRUE(SameRows(*cancelled.image, *all.image, 16 * 4));
  EXPECT_TRUE(ZeroRows(*cancelled.image, 16 * 4));
}

TEST(JpegReader, GreyFramesGiveEightBitsWithAGreyPalette) {
  const Decoded d = Decode(Data("hopper_gray.jpg"));
  ASSERT_EQ(d.code, EC_OK);
  ASSERT_TRUE(d.image);
  EXPECT_EQ(d.image->BitCount(), 8);
  const auto* colors = d.image->Header()->bmiColors;
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(colors[i].rgbRed, i);
    EXPECT_EQ(colors[i].rgbBlue, i);
  }
}

TEST(JpegReader, MetadataFromJfifAndComment) {
  // Units 1 and 2 give a resolution, units 0 only the pixel aspect ratio;
  // other units change nothing. After the read the unit is per metre and the
  // section carries the same values.
  struct Case {
    const char* what;
    Bytes file;
    TvexResolutionUnit unit; // the resolutions below are read in this unit
    double x, y;
    std::int32_t x_pels, y_pels;
    int aspect_x, aspect_y;
    double version;
  };
  const Case cases[] = {
      {"hopper_gray.jpg", Data("hopper_gray.jpg"), RU_INCH, 96, 96, 3780, 3780, 1, 1, 1.1},
      {"300 dpi", WithJfif(1, 1, 300, 300), RU_INCH, 300, 300, 11811, 11811, 1, 1, 1.1},
      {"per centimetre", WithJfif(1, 2, 1, 2), RU_CENTIMETER, 1, 2, 100, 200, 1, 1, 1.1},
      {"aspect 2:3", WithJfif(2, 0, 2, 3), RU_METER, 0, 0, 0, 0, 2, 3, 1.2},
      {"aspect 40:1", WithJfif(0, 0, 40, 1), RU_METER, 0, 0, 0, 0, 40, 1, 1.0},
      {"units 3", WithJfif(1, 3, 300, 300), RU_METER, 0, 0, 0, 0, 1, 1, 1.1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Decoded d = Decode(c.file);
    ASSERT_EQ(d.code, EC_OK);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.info.ResolutionUnit(), RU_METER);
    d.info.SetResolutionUnit(c.unit);
    EXPECT_NEAR(d.info.XResolution(), c.x, 1e-9);
    EXPECT_NEAR(d.info.YResolution(), c.y, 1e-9);
    EXPECT_EQ(d.image->XResolution(), c.x_pels);
    EXPECT_EQ(d.image->YResolution(), c.y_pels);
    EXPECT_EQ(d.info.AspectNumerator(), c.aspect_x);
    EXPECT_EQ(d.info.AspectDenominator(), c.aspect_y);
    EXPECT_NEAR(d.info.Version(), c.version, 1e-12);
  }
  // A comment without a closing zero keeps its last character.
  const Bytes raw = Data("hopper_gray.jpg");
  const Decoded gray = Decode(raw);
  EXPECT_FALSE(gray.info.Description().empty());
  const Segment com = Find(Segments(raw), 0xFE);
  ASSERT_EQ(com.marker, 0xFE);
  std::string text(raw.begin() + static_cast<std::ptrdiff_t>(com.at + 4),
                   raw.begin() + static_cast<std::ptrdiff_t>(com.at + 2 + com.length));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  EXPECT_EQ(gray.info.Description(), text);
}

TEST(JpegReader, JfifHeaderAfterAnExifSegmentIsStillTheJfifHeader) {
  // APP1 (Exif) first, then the JFIF APP0 with density units 0.
  Bytes b = WithJfif(2, 0, 3, 5);
  const Bytes exif = {0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i', 'f', 0,
                      0,    'I',  'I',  42,   0,   8,   0,   0,   0};
  b.insert(b.begin() + 2, exif.begin(), exif.end());
  const Decoded d = Decode(b);
  ASSERT_TRUE(d.image);
  EXPECT_EQ(d.info.AspectNumerator(), 3);
  EXPECT_EQ(d.info.AspectDenominator(), 5);
  EXPECT_NEAR(d.info.Version(), 1.2, 1e-12);
}

// The TIFF body of an Exif segment with IFD0 holding a dummy entry, then the
// orientation (SHORT, count 1, value v), in either byte order.
Bytes ExifTiff(bool big, int v) {
  Bytes t;
  auto u16 = [&](int x) {
    t.push_back(static_cast<std::uint8_t>(big ? x >> 8 : x));
    t.push_back(static_cast<std::uint8_t>(big ? x : x >> 8));
  };
  auto u32 = [&](std::uint32_t x) {
    u16(static_cast<int>(big ? x >> 16 : x & 0xFFFF));
    u16(static_cast<int>(big ? x & 0xFFFF : x >> 16));
  };
  t = {static_cast<std::uint8_t>(big ? 'M' : 'I'), static_cast<std::uint8_t>(big ? 'M' : 'I')};
  u16(42), u32(8), u16(2);
  u16(0x010F), u16(2), u32(4), u32(0x41424300); // Make "ABC"
  u16(0x0112), u16(3), u32(1), u16(v), u16(0);
  u32(0);
  return t;
}

TEST(JpegExif, OrientationIsReadFromIfd0AndBrokenStructuresGiveNone) {
  struct Case {
    const char* what;
    bool big;
    std::size_t offset; // patched byte (0: none)
    std::uint8_t value;
    std::size_t size; // bytes kept (0: all)
    int want;
  };
  // Offsets: 4 IFD0 offset, 8 entry count, 22 orientation tag, 24 type,
  // 28 count, 30/31 value (little-endian low byte at 30).
  const Case cases[] = {
      {"little-endian", false, 0, 0, 0, 6},
      {"big-endian", true, 0, 0, 0, 6},
      {"value 0", false, 30, 0, 0, 0},
      {"value 9", false, 30, 9, 0, 0},
      {"value 8", false, 30, 8, 0, 8},
      {"a LONG", false, 24, 4, 0, 0},
      {"count 2", false, 26, 2, 0, 0},
      {"IFD0 past the end", false, 4, 200, 0, 0},
      {"IFD0 inside the header", false, 4, 2, 0, 0},
      {"IFD0 offset near 4 GiB", false, 7, 0xFF, 0, 0},
      {"entry count past the end", false, 9, 0xFF, 0, 0},
      {"entry cut short", false, 0, 0, 30, 0},
      {"not 42", false, 2, 43, 0, 0},
      {"no byte order", false, 0, 'X', 0, 0},
      {"nothing", false, 0, 0, 4, 0},
  };
  for (const Case& c : cases) {
    Bytes t = ExifTiff(c.big, 6);
    if (c.offset || c.value) t[c.offset] = c.value;
    if (c.size) t.resize(c.size);
    EXPECT_EQ(vex::jpeg::ExifOrientation(t.data(), t.size()), c.want) << c.what;
  }
}

TEST(JpegExif, TheReaderKeepsTheFirstExifOrientationAndNeverFailsOnIt) {
  const Bytes base = Data(kSmall);
  const Decoded plain = Decode(base);
  ASSERT_EQ(plain.code, EC_OK);
  EXPECT_EQ(plain.info.Orientation(), 1);
  auto app1 = [](const Bytes& body) {
    Bytes s(body.size() + 4);
    s[0] = 0xFF, s[1] = 0xE1;
    s[2] = static_cast<std::uint8_t>((body.size() + 2) >> 8);
    s[3] = static_cast<std::uint8_t>(body.size() + 2);
    std::copy(body.begin(), body.end(), s.begin() + 4);
    return s;
  };
  auto exif = [&](Bytes tiff) {
    Bytes body = {'E', 'x', 'i', 'f', 0, 0};
    body.insert(body.end(), tiff.begin(), tiff.end());
    return app1(body);
  };
  Bytes broken = ExifTiff(false, 6);
  broken[4] = 0xF0;
  Bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', '.', 0, 0, 0, 0, 0, 0};
  const struct {
    const char* what;
    std::vector<Bytes> segments;
    int want;
  } cases[] = {
      {"Exif", {exif(ExifTiff(true, 8))}, 8},
      {"the first Exif counts", {exif(ExifTiff(false, 3)), exif(ExifTiff(false, 6))}, 3},
      {"another APP1 before it", {app1(xmp), exif(ExifTiff(false, 5))}, 5},
      {"a broken Exif", {exif(broken)}, 1},
      {"an Exif without its TIFF body", {exif({})}, 1},
  };
  for (const auto& c : cases) {
    Bytes b = base;
    std::size_t at = 2;
    for (const Bytes& seg : c.segments) {
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), seg.begin(), seg.end());
      at += seg.size();
    }
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, EC_OK) << c.what;
    EXPECT_EQ(d.info.Orientation(), c.want) << c.what;
    ASSERT_TRUE(d.image) << c.what;
    EXPECT_EQ(testing_support::pixel_digest(*d.image), testing_support::pixel_digest(*plain.image));
  }
}

} // namespace
