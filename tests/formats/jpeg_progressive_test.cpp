// Progressive JPEG reading: the four block decoders against the plain
// bit-by-bit decoders on random tables, scans and prior coefficients; the
// end-of-band and point-transform cases; files written progressively here
// read back to the pixels of the baseline file of the same picture; hostile
// scan parameters and cut files.
#include "formats/jpeg_reader_internal.h"

#include "reference/jpeg_block_ref.h"
#include "test_support.h"

#include "vexFileStream.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::Rng;
using vex::jpeg::BitReader;

std::int32_t PullMemory(void* ctx, std::uint8_t* dst, std::int32_t n) {
  return static_cast<TvexBufferStream*>(ctx)->Read(dst, n);
}

// ---------------------------------------------------------------------------
// Block decoders against the plain ones

struct Table {
  std::uint8_t counts[16] = {};
  std::vector<std::uint8_t> values;
};

// A complete canonical code over `symbols` (shuffled), lengths 2..12.
Table MakeTable(Rng& rng, std::vector<int> symbols) {
  for (std::size_t i = symbols.size(); i > 1; --i)
    std::swap(symbols[i - 1],
              symbols[static_cast<std::size_t>(rng.uniform(0, static_cast<int>(i) - 1))]);
  Table t;
  std::int64_t space = 4; // codes free at length 2
  std::size_t next = 0;
  for (int l = 2; l <= 16 && next < symbols.size(); ++l) {
    const std::int64_t remaining = static_cast<std::int64_t>(symbols.size() - next);
    std::int64_t n = std::min<std::int64_t>(
        remaining, rng.uniform(0, static_cast<int>(std::min<std::int64_t>(space, 40))));
    if (n >= space && remaining > n) n = space - 1; // keep room for the rest
    if (l == 16) n = std::min(remaining, space - 1);
    t.counts[l - 1] = static_cast<std::uint8_t>(n);
    for (std::int64_t i = 0; i < n; ++i)
      t.values.push_back(static_cast<std::uint8_t>(symbols[next++]));
    space = (space - n) * 2;
  }
  return t;
}

reference::HuffDecodeTable RefTable(const Table& t) {
  std::vector<std::int32_t> v(257, 0);
  for (std::size_t i = 0; i < t.values.size(); ++i) v[i] = t.values[i];
  return reference::define_table(t.counts, v);
}

std::unique_ptr<TvexHuffmanJPEG> OurTable(const Table& t) {
  auto h = std::make_unique<TvexHuffmanJPEG>(256, 16);
  for (std::size_t i = 0; i < t.values.size(); ++i) h->SetValues(static_cast<int>(i), t.values[i]);
  h->DefineTable(static_cast<int>(t.values.size()), t.counts);
  return h;
}

Bytes RandomBytes(Rng& rng, int n) {
  Bytes out;
  while (static_cast<int>(out.size()) < n) {
    const auto b = static_cast<std::uint8_t>(rng.next());
    out.push_back(b);
    if (b == 0xFF) out.push_back(0x00);
  }
  return out;
}

enum Kind { kDCFirst, kDCRefine, kACFirst, kACRefine };

TEST(JpegProgressiveBlocks, AllFourDecodersMatchThePlainOnes) {
  Rng rng(77);
  int blocks = 0, corrupt = 0;
  for (int round = 0; round < 800; ++round) {
    const Kind kind = static_cast<Kind>(round % 4);
    std::vector<int> symbols;
    if (kind == kDCFirst) {
      for (int s = 0; s <= 11; ++s) symbols.push_back(s);
    } else {
      for (int r = 0; r < 15; ++r) symbols.push_back(r * 16); // end-of-band runs
      symbols.push_back(0xF0);
      for (int r = 0; r < 16; ++r)
        for (int s = 1; s <= (kind == kACRefine ? 1 : 10); ++s)
          if (kind == kACRefine || rng.uniform(0, r < 3 ? 1 : 5) == 0)
            symbols.push_back(r * 16 + s);
      if (kind == kACRefine && rng.uniform(0, 3) == 0) symbols.push_back(0x12); // invalid size
    }
    const Table t = MakeTable(rng, symbols);
    const auto ours = OurTable(t);
    const reference::HuffDecodeTable ref = RefTable(t);
    vex::jpeg::FastTable fast;
    fast.Build(*ours, kind == kDCFirst);
    const int ss = kind <= kDCRefine ? 0 : rng.uniform(1, 63);
    const int se = kind <= kDCRefine ? 0 : rng.uniform(ss, 63);
    const int al = rng.uniform(0, 5);
    const Bytes bytes = RandomBytes(rng, 2000);
    vex::platform::MemoryStream ms_ref(bytes.data(), bytes.size()), ms(bytes.data(), bytes.size());
    TvexBufferStream ref_bs, bs;
    ref_bs.SetSource(&ms_ref);
    bs.SetSource(&ms);
    BitReader br;
    br.Begin(&PullMemory, &bs);
    const reference::BitSource source = [&ref_bs](int n) { return ref_bs.ReadBits(n); };
    TvexJPEGComponent c;
    c.DCTable = ours.get();
    c.ACTable = ours.get();
    reference::BlockState state;
    for (int b = 0; b < 200; ++b) {
      // Prior coefficients for refinements: earlier scans left multiples of
      // 2^(al+1) in some positions.
      std::int16_t expect[64] = {}, got[64];
      if (kind == kDCRefine || kind == kACRefine)
        for (int i = 0; i < 64; ++i)
          if (rng.uniform(0, 2) == 0)
            expect[i] = static_cast<std::int16_t>(rng.uniform(-20, 20) * (2 << al));
      std::memcpy(got, expect, sizeof got);
      reference::BlockResult r = reference::BlockResult::Ok;
      bool threw = false;
      try {
        switch (kind) {
        case kDCFirst:
          r = reference::decode_dc_first(ref, source, state, al, expect);
          if (r == reference::BlockResult::Ok) vex::jpeg::DecodeDCFirst(br, c, fast, al, got);
          break;
        case kDCRefine:
          reference::decode_dc_refine(source, al, expect);
          vex::jpeg::DecodeDCRefine(br, al, got);
          break;
        case kACFirst:
          r = reference::decode_ac_first(ref, source, state, ss, se, al, expect);
          if (r == reference::BlockResult::Ok)
            vex::jpeg::DecodeACFirst(br, c, fast, ss, se, al, got);
          break;
        case kACRefine:
          r = reference::decode_ac_refine(ref, source, state, ss, se, al, expect);
          if (r == reference::BlockResult::Ok) vex::jpeg::DecodeACRefine(br, c, ss, se, al, got);
          break;
        }
        if (r == reference::BlockResult::Corrupt) {
          // Ours must fail on the same block.
          switch (kind) {
          case kDCFirst:
            vex::jpeg::DecodeDCFirst(br, c, fast, al, got);
            break;
          case kACFirst:
            vex::jpeg::DecodeACFirst(br, c, fast, ss, se, al, got);
            break;
          case kACRefine:
            vex::jpeg::DecodeACRefine(br, c, ss, se, al, got);
            break;
          default:
            break;
          }
        }
      } catch (const vex::ImagingError&) {
        threw = true;
      }
      ASSERT_EQ(threw, r == reference::BlockResult::Corrupt) << "round " << round << " block " << b;
      if (threw) {
        ++corrupt;
        break;
      }
      ASSERT_EQ(0, std::memcmp(expect, got, sizeof got)) << "round " << round << " block " << b;
      ASSERT_EQ(c.EOBRun, state.eob_run) << "round " << round << " block " << b;
      ASSERT_EQ(c.LastDC, state.last_dc);
      ++blocks;
    }
  }
  EXPECT_GT(blocks, 50000);
  EXPECT_GT(corrupt, 10);
}

TEST(JpegProgressiveBlocks, EndOfBandRunLeavesTheNextBlocksUntouched) {
  // One AC table whose only code (a single 1 bit... 2 bits here) is EOB run
  // r = 2 (symbol 0x20) followed by 2 bits: 2^2 + 3 = 7 blocks, this one and 6 more.
  Table t;
  t.counts[1] = 1;
  t.values = {0x20};
  const auto table = OurTable(t);
  vex::jpeg::FastTable fast;
  fast.Build(*table, false);
  const Bytes bytes = {0x30, 0x00}; // 00 11 ...: code 00, run bits 11
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  TvexJPEGComponent c;
  c.ACTable = table.get();
  std::int16_t blk[64];
  std::fill(std::begin(blk), std::end(blk), std::int16_t{5});
  vex::jpeg::DecodeACFirst(br, c, fast, 1, 63, 0, blk);
  EXPECT_EQ(c.EOBRun, 6);
  for (int b = 0; b < 6; ++b) vex::jpeg::DecodeACFirst(br, c, fast, 1, 63, 0, blk);
  EXPECT_EQ(c.EOBRun, 0);
  for (const std::int16_t v : blk) EXPECT_EQ(v, 5);
}

TEST(JpegProgressiveBlocks, RefinementRestoresTheLowBitOfAPointTransformedDC) {
  // DC first with Al = 1 codes -3 as -2 (arithmetic shift); the refinement
  // bit 1 restores -3.
  Table t;
  t.counts[1] = 1;
  t.values = {2}; // category 2, code 00
  const auto table = OurTable(t);
  vex::jpeg::FastTable fast;
  fast.Build(*table, true);
  // code 00, magnitude bits of -2 in category 2: 01; then the refinement bit 1.
  const Bytes bytes = {0x1C, 0x00}; // 0001 11..
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexBufferStream bs;
  bs.SetSource(&ms);
  BitReader br;
  br.Begin(&PullMemory, &bs);
  TvexJPEGComponent c;
  c.DCTable = table.get();
  std::int16_t blk[64] = {};
  vex::jpeg::DecodeDCFirst(br, c, fast, 1, blk);
  EXPECT_EQ(blk[0], -4);
  vex::jpeg::DecodeDCRefine(br, 0, blk);
  EXPECT_EQ(blk[0], -3);
}

// ---------------------------------------------------------------------------
// Files

Bytes Encode(TvexImage& image, TvexCompression compression, unsigned quality,
             std::uint8_t sub_sampling = 1) {
  TvexJPEGImage jpeg(sub_sampling);
  jpeg.SetQuality(static_cast<std::uint16_t>(quality));
  jpeg.SetCompression(compression);
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, image.GetDibHandle());
  return out.TakeBytes();
}

struct Decoded {
  int code = -1;
  std::unique_ptr<TvexImage> image;
};

Decoded Decode(const Bytes& bytes) {
  Decoded d;
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexJPEGImage reader;
  const DibHandle dib = reader.LoadFromStream(ms);
  d.code = reader.GetError();
  if (dib != DibHandle::Null) {
    d.image = std::make_unique<TvexImage>();
    d.image->SetDibHandle(dib);
  }
  return d;
}

// A smooth picture with texture, so that every scan carries data.
void MakePicture(TvexImage& image, int w, int h, int bits, std::uint32_t seed) {
  testing_support::make_random_image(image, w, h, bits, seed);
  Rng rng(seed);
  if (bits == 8) {
    TvexImage::LogPalette pal;
    pal.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<std::uint8_t>(i);
      pal.palPalEntry[i] = {v, v, v, 0};
    }
    image.SetPaletteEntries(&pal);
  }
  const int bpp = bits / 8;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < bpp; ++k)
        row[bpp * x + k] = static_cast<std::uint8_t>((x * (k + 1) * 3 + y * 5 + (k * 40)) / 2 +
                                                     rng.uniform(0, 24));
  }
}

// Offsets of every SOS marker of a file.
std::vector<std::size_t> ScanOffsets(const Bytes& b) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i + 1 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == 0xDA) out.push_back(i);
  return out;
}

TEST(JpegProgressiveFiles, ProgressiveReadsBackToTheBaselinePixels) {
  struct Case {
    int w, h, bits;
    unsigned quality;
    std::uint8_t sampling;
  };
  const Case cases[] = {{1, 1, 24, 80, 1},    {17, 9, 24, 1, 1},     {33, 47, 24, 50, 2},
                        {64, 64, 24, 100, 3}, {95, 31, 8, 80, 1},    {8, 8, 8, 1, 1},
                        {121, 77, 24, 75, 0}, {200, 150, 24, 30, 0}, {257, 3, 8, 95, 1}};
  for (const Case& c : cases) {
    TvexImage image;
    MakePicture(image, c.w, c.h, c.bits, static_cast<std::uint32_t>(c.w * 7 + c.h));
    const Decoded base = Decode(Encode(image, CP_JPEG_STD, c.quality, c.sampling));
    const Decoded prog = Decode(Encode(image, CP_JPEG_PROG, c.quality, c.sampling));
    ASSERT_EQ(base.code, EC_OK);
    ASSERT_EQ(prog.code, EC_OK) << c.w << "x" << c.h;
    ASSERT_TRUE(base.image && prog.image);
    EXPECT_EQ(testing_support::pixel_digest(*prog.image),
              testing_support::pixel_digest(*base.image))
        << c.w << "x" << c.h << " bits " << c.bits << " q " << c.quality;
  }
}

TEST(JpegProgressiveFiles, InconsistentScanParametersGiveTheirCodes) {
  TvexImage image;
  MakePicture(image, 40, 24, 24, 5);
  const Bytes base = Encode(image, CP_JPEG_PROG, 80);
  ASSERT_EQ(Decode(base).code, EC_OK);
  const std::vector<std::size_t> scans = ScanOffsets(base);
  ASSERT_EQ(scans.size(), 8u);
  // The second scan: Y, AC 1..63, Ah 0, Al 1. Its Ss, Se, AhAl bytes follow
  // the one component (FF DA, length, Ns, id, tables).
  const std::size_t p = scans[1] + 7;
  struct Case {
    const char* what;
    std::uint8_t ss, se, ahal;
    int code;
  };
  const Case cases[] = {
      {"as written", 1, 63, 0x01, EC_OK},
      {"Ss above Se", 9, 5, 0x01, EC_BADDECOMPRESS},
      {"Se beyond 63", 1, 64, 0x01, EC_BADDECOMPRESS},
      {"point transform beyond 13 bits", 1, 63, 0x0E, EC_JFIF_SUCCAPPROX},
      {"refinement of more than one bit", 1, 63, 0x31, EC_JFIF_SUCCAPPROX},
  };
  for (const Case& c : cases) {
    Bytes b = base;
    b[p] = c.ss;
    b[p + 1] = c.se;
    b[p + 2] = c.ahal;
    const Decoded d = Decode(b);
    EXPECT_EQ(d.code, c.code) << c.what;
    EXPECT_TRUE(d.image) << c.what; // what the first scan decoded is kept
  }
  {
    // The first scan (DC of three components) made to carry AC too.
    Bytes b = base;
    b[scans[0] + 12] = 5;
    EXPECT_EQ(Decode(b).code, EC_JFIF_DCANDAC);
  }
  {
    // An AC scan naming more than one component.
    Bytes b = base;
    const std::size_t s = scans[0];
    // Turn the first scan (3 components, DC) into an AC scan: Ss 1, Se 5.
    b[s + 11] = 1;
    b[s + 12] = 5;
    EXPECT_EQ(Decode(b).code, EC_JFIF_COMPONENTS);
  }
}

TEST(JpegProgressiveFiles, ScanCountIsCapped) {
  TvexImage image;
  MakePicture(image, 16, 16, 8, 9);
  const Bytes base = Encode(image, CP_JPEG_PROG, 80);
  const std::vector<std::size_t> scans = ScanOffsets(base);
  ASSERT_EQ(scans.size(), 3u);
  // Repeat the last scan (AC 6..63) until the file holds more scans than allowed.
  const Bytes last(base.begin() + static_cast<std::ptrdiff_t>(scans[2]), base.end() - 2);
  Bytes b(base.begin(), base.end() - 2);
  for (int i = 0; i < vex::jpeg::kMaxScans; ++i) b.insert(b.end(), last.begin(), last.end());
  b.push_back(0xFF);
  b.push_back(0xD9);
  const Decoded d = Decode(b);
  EXPECT_EQ(d.code, EC_BADDECOMPRESS);
  EXPECT_TRUE(d.image);
}

TEST(JpegProgressiveFiles, CoefficientsBeyondTheLimitAreRefused) {
  // A 4:4:4 frame patched to 16000 x 16000: the bitmap (768 MB) is allowed,
  // the coefficients of three full components (1.5 GB) are not.
  TvexImage image;
  MakePicture(image, 16, 16, 24, 3);
  Bytes b = Encode(image, CP_JPEG_PROG, 80, 3);
  for (std::size_t i = 0; i + 8 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == 0xC2) {
      b[i + 5] = b[i + 7] = 0x3E; // 16000 = 0x3E80
      b[i + 6] = b[i + 8] = 0x80;
      break;
    }
  EXPECT_EQ(Decode(b).code, EC_NOMEMORY);
}

TEST(JpegProgressiveFiles, CutFilesKeepWhatWasDecoded) {
  TvexImage image;
  MakePicture(image, 96, 64, 24, 11);
  const Bytes full = Encode(image, CP_JPEG_PROG, 90);
  const Decoded whole = Decode(full);
  ASSERT_EQ(whole.code, EC_OK);
  const std::vector<std::size_t> scans = ScanOffsets(full);
  // Cut inside the fourth scan: DC and the first AC bands are there, so the
  // picture is close to the full one but not equal; no row stays black.
  const std::size_t cut = (scans[3] + scans[4]) / 2;
  const Decoded d = Decode(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
  EXPECT_EQ(d.code, EC_ENDOFFILE);
  ASSERT_TRUE(d.image);
  long diff = 0;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96 * 3; ++x)
      diff += std::abs(int{d.image->ScanLine(y)[x]} - int{whole.image->ScanLine(y)[x]});
  EXPECT_GT(diff, 0);
  EXPECT_LT(diff / (64 * 96 * 3), 20);
}

TEST(JpegProgressiveFiles, AnEndOfBandRunPastTheLastBlockDiesWithItsScan) {
  // A smooth 16 x 8 grey picture at low quality: two blocks whose AC 6..63
  // band is empty, coded as one end-of-band run of 2. Read with the frame
  // width patched to 8, the scan has one block, so the run reaches past it.
  // With the AC 6..63 scan moved before AC 1..5, the leftover run must not
  // swallow the first block of the next scan: both orders give one picture.
  TvexImage image;
  image.SetWidth(16);
  image.SetHeight(8);
  image.SetBitCount(8);
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    pal.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&pal);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x)
      image.ScanLine(y)[x] = static_cast<std::uint8_t>(40 + 9 * x + 5 * y);
  Bytes base = Encode(image, CP_JPEG_PROG, 10);
  const std::vector<std::size_t> s = ScanOffsets(base);
  ASSERT_EQ(s.size(), 3u);
  for (std::size_t i = 0; i + 8 < s[0]; ++i)
    if (base[i] == 0xFF && base[i + 1] == 0xC2) {
      base[i + 7] = 0; // width 16 -> 8
      base[i + 8] = 8;
    }
  // Each scan starts with the DHT segment written just before its SOS.
  std::size_t u[3];
  for (int i = 0; i < 3; ++i) {
    u[i] = s[i];
    for (std::size_t j = i == 0 ? 0 : s[i - 1]; j + 1 < s[i]; ++j)
      if (base[j] == 0xFF && base[j + 1] == 0xC4) {
        u[i] = j;
        break;
      }
  }
  Bytes reordered(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(u[1]));
  reordered.insert(reordered.end(), base.begin() + static_cast<std::ptrdiff_t>(u[2]),
                   base.end() - 2);
  reordered.insert(reordered.end(), base.begin() + static_cast<std::ptrdiff_t>(u[1]),
                   base.begin() + static_cast<std::ptrdiff_t>(u[2]));
  reordered.push_back(0xFF);
  reordered.push_back(0xD9);
  const Decoded d = Decode(base);
  const Decoded r = Decode(reordered);
  ASSERT_EQ(d.code, EC_OK);
  ASSERT_EQ(r.code, EC_OK);
  ASSERT_TRUE(d.image && r.image);
  EXPECT_EQ(d.image->Width(), 8);
  EXPECT_EQ(testing_support::pixel_digest(*r.image), testing_support::pixel_digest(*d.image));
}

} // namespace
