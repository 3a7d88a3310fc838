// The JPEG writer: exact header bytes (JFIF, quality-80 tables, frame and
// scan headers), density and comment rules, refused depths, the structure
// of baseline and progressive files, the entropy coders' edge cases, and the
// fast paths (bit output, colour conversion) against their plain versions.
#include "formats/jpeg_internal.h"
#include "platform/cpu_features.h"
#include "reference/jpeg_progressive_ref.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using testing_support::make_random_image;
using testing_support::Rng;
using Bytes = std::vector<std::uint8_t>;

struct Options {
  unsigned quality = 80;
  TvexCompression compression = CP_JPEG_STD;
  std::uint8_t sub_sampling = 1;
  TvexImageInfo* info = nullptr;
  bool plain_pipeline = false;
  int helpers = 0;
};

Bytes encode(TvexImage& image, const Options& o, TvexErrorCode* error = nullptr) {
  TvexJPEGImage jpeg(o.sub_sampling);
  jpeg.SetQuality(static_cast<std::uint16_t>(o.quality));
  jpeg.SetCompression(o.compression);
  jpeg.SetImageInfo(o.info);
  jpeg.PlainPipeline = o.plain_pipeline;
  jpeg.SetHelpers(o.helpers);
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, image.GetDibHandle());
  if (error) *error = jpeg.GetError();
  return out.TakeBytes();
}

struct Segment {
  std::uint16_t marker;
  Bytes body; // without the length word
};

// Marker segments of a file; entropy-coded data after an SOS is skipped up
// to the next marker that is not a stuffed byte or a restart marker.
std::vector<Segment> segments(const Bytes& f) {
  std::vector<Segment> out;
  std::size_t p = 0;
  while (p + 1 < f.size()) {
    EXPECT_EQ(f[p], 0xFF) << "at " << p;
    const std::uint16_t marker = static_cast<std::uint16_t>(0xFF00 | f[p + 1]);
    p += 2;
    if (marker == 0xFFD8 || marker == 0xFFD9) {
      out.push_back({marker, {}});
      continue;
    }
    const std::size_t len = (std::size_t{f[p]} << 8) | f[p + 1];
    out.push_back({marker, Bytes(f.begin() + static_cast<std::ptrdiff_t>(p + 2),
                                 f.begin() + static_cast<std::ptrdiff_t>(p + len))});
    p += len;
    if (marker == 0xFFDA) {
      while (p + 1 < f.size() &&
             !(f[p] == 0xFF && f[p + 1] != 0x00 && (f[p + 1] < 0xD0 || f[p + 1] > 0xD7)))
        ++p;
    }
  }
  return out;
}

std::vector<Segment> with_marker(const std::vector<Segment>& all, std::uint16_t marker) {
  std::vector<Segment> out;
  for (const auto& s : all)
    if (s.marker == marker) out.push_back(s);
  return out;
}

void make_grey(TvexImage& image, int w, int h, bool white_first, std::uint32_t seed) {
  make_random_image(image, w, h, 8, seed);
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(white_first ? 255 - i : i);
    pal.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&pal);
}

TEST(JpegWriterBytes, FileStartsWithTheJfifHeader) {
  TvexImage image;
  make_random_image(image, 16, 16, 24, 1);
  const Bytes f = encode(image, {});
  const Bytes start = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                       0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  ASSERT_GE(f.size(), start.size());
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 20), start);
  EXPECT_EQ(f[f.size() - 2], 0xFF);
  EXPECT_EQ(f[f.size() - 1], 0xD9);
}

TEST(JpegWriterBytes, Quality80TablesAndHeaders) {
  TvexImage image;
  make_random_image(image, 37, 21, 24, 2);
  const Bytes f = encode(image, {});
  const auto all = segments(f);
  // DQT: luminance then chrominance, one segment each.
  const auto dqt = with_marker(all, 0xFFDB);
  ASSERT_EQ(dqt.size(), 2u);
  ASSERT_EQ(dqt[0].body.size(), 65u);
  const Bytes lum_start = {0x00, 0x09, 0x06, 0x07, 0x08, 0x07, 0x06,
                           0x09, 0x08, 0x07, 0x08, 0x0A, 0x0A};
  EXPECT_EQ(Bytes(dqt[0].body.begin(), dqt[0].body.begin() + 13), lum_start);
  EXPECT_EQ(dqt[1].body[0], 0x01);
  EXPECT_EQ(dqt[1].body[1], 10); // chrominance 17 * 0.5632
  // The raw bytes of the first DQT segment.
  const Bytes dqt_bytes = {0xFF, 0xDB, 0x00, 0x43, 0x00, 0x09};
  EXPECT_NE(std::search(f.begin(), f.end(), dqt_bytes.begin(), dqt_bytes.end()), f.end());
  // SOF0: precision 8, height 21, width 37, (1, 0x22, 0), (2, 0x11, 1), (3, 0x11, 1).
  const auto sof = with_marker(all, 0xFFC0);
  ASSERT_EQ(sof.size(), 1u);
  EXPECT_EQ(sof[0].body, (Bytes{8, 0, 21, 0, 37, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
  // Two DHT segments, each a DC and an AC table of one id.
  const auto dht = with_marker(all, 0xFFC4);
  ASSERT_EQ(dht.size(), 2u);
  for (int id = 0; id < 2; ++id) {
    const Bytes& b = dht[id].body;
    EXPECT_EQ(b[0], id);
    int dc_count = 0;
    for (int n = 0; n < 16; ++n) dc_count += b[1 + n];
    ASSERT_LT(static_cast<std::size_t>(17 + dc_count), b.size());
    EXPECT_EQ(b[17 + dc_count], 0x10 + id);
  }
  // One SOS: 3 components, table bytes 0x00, 0x11, 0x11, Ss 0, Se 63, Ah/Al 0.
  const auto sos = with_marker(all, 0xFFDA);
  ASSERT_EQ(sos.size(), 1u);
  EXPECT_EQ(sos[0].body, (Bytes{3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0}));
  EXPECT_TRUE(with_marker(all, 0xFFDD).empty()); // no restart interval
  EXPECT_TRUE(with_marker(all, 0xFFFE).empty()); // no comment without metadata
}

TEST(JpegWriterBytes, SamplingFactorsPerMode) {
  struct Case {
    std::uint8_t mode;
    unsigned quality;
    Bytes factors; // Y, Cb, Cr
  } cases[] = {
      {0, 10, {0x22, 0x11, 0x11}}, {0, 30, {0x22, 0x11, 0x21}},  {0, 60, {0x22, 0x21, 0x22}},
      {0, 80, {0x11, 0x11, 0x11}}, {1, 100, {0x22, 0x11, 0x11}}, {2, 50, {0x22, 0x21, 0x21}},
      {7, 50, {0x11, 0x11, 0x11}},
  };
  for (const auto& c : cases) {
    TvexImage image;
    make_random_image(image, 17, 9, 32, 3);
    Options o;
    o.sub_sampling = c.mode;
    o.quality = c.quality;
    const auto sof = with_marker(segments(encode(image, o)), 0xFFC0);
    ASSERT_EQ(sof.size(), 1u);
    EXPECT_EQ((Bytes{sof[0].body[7], sof[0].body[10], sof[0].body[13]}), c.factors)
        << int(c.mode) << " q" << c.quality;
  }
}

TEST(JpegWriterBytes, GreyImageHasOneComponent) {
  TvexImage image;
  make_grey(image, 17, 9, false, 4);
  const auto all = segments(encode(image, {}));
  const auto sof = with_marker(all, 0xFFC0);
  ASSERT_EQ(sof.size(), 1u);
  EXPECT_EQ(sof[0].body.size() + 2, 11u);
  EXPECT_EQ(sof[0].body, (Bytes{8, 0, 9, 0, 17, 1, 1, 0x11, 0}));
  EXPECT_EQ(with_marker(all, 0xFFDB).size(), 1u);
  EXPECT_EQ(with_marker(all, 0xFFC4).size(), 1u);
  const auto sos = with_marker(all, 0xFFDA);
  ASSERT_EQ(sos.size(), 1u);
  EXPECT_EQ(sos[0].body, (Bytes{1, 1, 0x00, 0, 63, 0}));
}

TEST(JpegWriterBytes, WhiteFirstGreyPaletteIsStoredInverted) {
  // Index i of a white-first palette is grey 255 - i: the file must equal
  // the one written for the black-first image holding 255 - i.
  TvexImage a, b;
  make_grey(a, 23, 11, true, 5);
  make_grey(b, 23, 11, false, 5);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 23; ++x)
      b.ScanLine(y)[x] = static_cast<std::uint8_t>(255 - a.ScanLine(y)[x]);
  EXPECT_EQ(encode(a, {}), encode(b, {}));
}

TEST(JpegWriterErrors, UnsupportedDepthsWriteNothing) {
  struct Case {
    int bits;
  } cases[] = {{1}, {4}, {16}};
  for (const auto& c : cases) {
    TvexImage image;
    make_random_image(image, 8, 8, c.bits, 6);
    TvexErrorCode error = EC_OK;
    const Bytes f = encode(image, {}, &error);
    EXPECT_EQ(error, EC_BITDEPTH) << c.bits;
    EXPECT_TRUE(f.empty()) << c.bits;
  }
}

TEST(JpegWriterErrors, NoStreamAndNoDib) {
  TvexJPEGImage jpeg;
  jpeg.WriteImage(nullptr);
  EXPECT_EQ(jpeg.GetError(), EC_FILENOTOPEN);
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, DibHandle::Null);
  EXPECT_EQ(jpeg.GetError(), EC_INVALIDHANDLE);
}

TEST(JpegWriterErrors, OneObjectSavingTwiceSizesItsBuffersAgain) {
  // A second save through the same object (a larger picture, another
  // sampling) must not reuse the first picture's buffers.
  TvexImage small, large;
  make_random_image(small, 9, 7, 24, 12);
  make_random_image(large, 61, 45, 24, 13);
  TvexJPEGImage jpeg(3);
  jpeg.SetQuality(80);
  vex::platform::MemoryStream first, second;
  jpeg.SaveToStream(first, small.GetDibHandle());
  jpeg.SubSampling = 1;
  jpeg.SaveToStream(second, large.GetDibHandle());
  ASSERT_EQ(jpeg.GetError(), EC_OK);
  Options o;
  EXPECT_EQ(second.TakeBytes(), encode(large, o));
}

TEST(JpegWriterMetadata, DensityRules) {
  struct Case {
    TvexResolutionUnit unit;
    double x, y;
    std::int16_t num, den;
    Bytes expected; // units, X density, Y density
    TvexResolutionUnit unit_after;
    bool modified = true;
  } cases[] = {
      {RU_INCH, 300, 150, 1, 1, {1, 0x01, 0x2C, 0x00, 0x96}, RU_INCH},
      // Modified metadata is switched to pixels per metre by the file base
      // before the writer looks at it, so centimetres come out as inches.
      {RU_CENTIMETER, 118, 118, 1, 1, {1, 0x01, 0x2C, 0x01, 0x2C}, RU_INCH},
      {RU_CENTIMETER, 118, 118, 1, 1, {2, 0x00, 0x76, 0x00, 0x76}, RU_CENTIMETER, false},
      {RU_NONE, 0, 0, 3, 2, {0, 0x00, 0x03, 0x00, 0x02}, RU_NONE},
      {RU_INCH, 0, 72, 4, 3, {0, 0x00, 0x04, 0x00, 0x03}, RU_NONE}, // a zero resolution
      {RU_METER, 11811.02362, 3937.00787, 1, 1, {1, 0x01, 0x2C, 0x00, 0x64}, RU_INCH},
      {RU_INCH, 100000, 72.5, 1, 1, {1, 0xFF, 0xFF, 0x00, 0x48}, RU_INCH}, // capped, half to even
      {RU_NONE, 0, 0, -1, 0, {0, 0x00, 0x01, 0x00, 0x01}, RU_NONE}, // ratio terms kept positive
  };
  for (const auto& c : cases) {
    TvexImageInfo info;
    info.SetResolutionUnit(c.unit);
    info.SetXResolution(c.x);
    info.SetYResolution(c.y);
    info.SetAspectNumerator(c.num);
    info.SetAspectDenominator(c.den);
    info.SetModified(c.modified);
    TvexImage image;
    make_random_image(image, 8, 8, 24, 7);
    Options o;
    o.info = &info;
    const Bytes f = encode(image, o);
    ASSERT_GE(f.size(), 20u);
    EXPECT_EQ(Bytes(f.begin() + 13, f.begin() + 18), c.expected) << int(c.unit) << " " << c.x;
    EXPECT_EQ(info.ResolutionUnit(), c.unit_after);
  }
}

TEST(JpegWriterMetadata, CommentSegment) {
  TvexImageInfo info;
  info.SetDescription("Holiday");
  TvexImage image;
  make_random_image(image, 8, 8, 24, 8);
  Options o;
  o.info = &info;
  const auto com = with_marker(segments(encode(image, o)), 0xFFFE);
  ASSERT_EQ(com.size(), 1u);
  EXPECT_EQ(com[0].body, (Bytes{'H', 'o', 'l', 'i', 'd', 'a', 'y', 0}));
  // A comment too long for one segment is cut to fit.
  info.SetDescription(std::string(70000, 'x'));
  const auto all = segments(encode(image, o));
  const auto longcom = with_marker(all, 0xFFFE);
  ASSERT_EQ(longcom.size(), 1u);
  EXPECT_EQ(longcom[0].body.size(), 65533u);
  EXPECT_EQ(longcom[0].body.back(), 0);
  EXPECT_EQ(with_marker(all, 0xFFC0).size(), 1u);
}

TEST(JpegWriterProgressive, ScriptStructure) {
  struct Case {
    int bits;
    std::size_t scans;
    std::vector<Bytes> sos;
  } cases[] = {
      {8, 3, {{1, 1, 0x00, 0, 0, 0x00}, {1, 1, 0x00, 1, 5, 0x00}, {1, 1, 0x00, 6, 63, 0x00}}},
      {24,
       8,
       {{3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 0, 0x01},
        {1, 1, 0x00, 1, 63, 0x01},
        {1, 2, 0x11, 1, 63, 0x01},
        {1, 3, 0x11, 1, 63, 0x01},
        {3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 0, 0x10},
        {1, 1, 0x00, 1, 63, 0x10},
        {1, 2, 0x11, 1, 63, 0x10},
        {1, 3, 0x11, 1, 63, 0x10}}},
  };
  for (const auto& c : cases) {
    TvexImage image;
    if (c.bits == 8)
      make_grey(image, 33, 17, false, 9);
    else
      make_random_image(image, 33, 17, 24, 9);
    Options o;
    o.compression = CP_JPEG_PROG;
    const auto all = segments(encode(image, o));
    EXPECT_EQ(with_marker(all, 0xFFC2).size(), 1u);
    EXPECT_TRUE(with_marker(all, 0xFFC0).empty());
    const auto sos = with_marker(all, 0xFFDA);
    ASSERT_EQ(sos.size(), c.scans);
    for (std::size_t i = 0; i < sos.size(); ++i) EXPECT_EQ(sos[i].body, c.sos[i]) << i;
  }
}

// --- Entropy coder edge cases -------------------------------------------

struct Coder {
  TvexHuffmanJPEG dc, ac;
  TvexJPEGComponent c;
  vex::platform::MemoryStream mem;
  TvexBufferStream stream;
  JPEGBitWriter bits{stream};

  Coder(int rows, int columns) {
    stream.SetSource(&mem);
    stream.SetWriteMode(true);
    c.DCTable = &dc;
    c.ACTable = &ac;
    c.Bits = &bits;
    c.BlocksPerLine = columns;
    c.ScanRows = rows;
    c.ScanColumns = columns;
    c.Coefficients.assign(static_cast<std::size_t>(rows) * columns * 64, 0);
  }
  std::vector<int> used_ac() const {
    std::vector<int> s;
    for (int i = 0; i < 256; ++i)
      if (ac.Frequency(i) != 0) s.push_back(i);
    return s;
  }
  Bytes finish() {
    bits.Flush();
    stream.Flush();
    return mem.TakeBytes();
  }
};

TEST(SequentialCoder, RunsAndEndOfBlock) {
  struct Case {
    std::vector<std::pair<int, int>> values; // zig-zag position, value
    std::vector<int> ac_symbols;
  } cases[] = {
      {{}, {0x00}},                     // all AC zero: a single EOB
      {{{63, 1}}, {0xF0, 0xE1}},        // last position: ZRL x3, run 14, no EOB
      {{{17, -3}}, {0xF0, 0x02, 0x00}}, // 16 zeros: one ZRL then run 0, EOB
      {{{1, 1}, {2, 2}}, {0x01, 0x02, 0x00}},
  };
  for (const auto& tc : cases) {
    Coder k(1, 1);
    for (auto [pos, v] : tc.values)
      k.c.Coefficients[vex::jpeg::ZigZag[pos]] = static_cast<std::int16_t>(v);
    k.dc.Clear();
    k.ac.Clear();
    k.c.SetCoding(false, 0);
    (k.c.*k.c.EncodeBlock)(0, 0);
    std::vector<int> want = tc.ac_symbols;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(k.used_ac(), want);
    if (!tc.values.empty() && tc.values[0].first == 63) {
      EXPECT_EQ(k.ac.Frequency(0xF0), 3u);
    }
  }
}

TEST(SequentialCoder, DecodeBlockReadsWhatEncodeBlockWrote) {
  // Random blocks through the counting pass, optimal tables, the writing
  // pass, then back through DHT-style table definitions and DecodeBlock.
  Rng rng(71);
  for (int trial = 0; trial < 20; ++trial) {
    const int n = rng.uniform(1, 300);
    Coder k(1, n);
    for (int b = 0; b < n; ++b) {
      std::int16_t* block = &k.c.Coefficients[static_cast<std::size_t>(b) * 64];
      block[0] = static_cast<std::int16_t>(rng.uniform(-1024, 1016));
      const int density = rng.uniform(0, 3);
      for (int z = 1; z < 64; ++z)
        if (rng.uniform(0, 2 + 10 * density) == 0)
          block[vex::jpeg::ZigZag[z]] = static_cast<std::int16_t>(rng.uniform(-1023, 1023));
    }
    k.c.SetCoding(false, 0);
    for (int b = 0; b < n; ++b) (k.c.*k.c.EncodeBlock)(0, b);
    k.dc.BuildCodes(16);
    k.ac.BuildCodes(16);
    k.c.LastDC = 0;
    k.c.SetCoding(true, 0);
    for (int b = 0; b < n; ++b) (k.c.*k.c.EncodeBlock)(0, b);
    const Bytes data = k.finish();

    vex::platform::MemoryStream in(data.data(), data.size());
    TvexBufferStream stream;
    stream.SetSource(&in);
    TvexHuffmanJPEG dc, ac;
    for (auto [from, to] : {std::pair{&k.dc, &dc}, std::pair{&k.ac, &ac}}) {
      std::uint8_t counts[16];
      int total = 0;
      for (int i = 0; i < 16; ++i)
        total += counts[i] = static_cast<std::uint8_t>(from->CodeCount(i));
      for (int i = 0; i < total; ++i) to->SetValues(i, from->Values(i));
      ASSERT_EQ(to->DefineTable(total, counts), EC_OK);
      to->OnReadBits = [&stream](std::uint16_t count) { return stream.ReadBits(count); };
    }
    TvexJPEGComponent d;
    d.DCTable = &dc;
    d.ACTable = &ac;
    d.Stream = &stream;
    for (int b = 0; b < n; ++b) {
      d.DecodeBlock(0, b);
      ASSERT_EQ(0, std::memcmp(d.Coefficients.data(),
                               &k.c.Coefficients[static_cast<std::size_t>(b) * 64], 128))
          << "trial " << trial << " block " << b;
    }
  }
}

TEST(SequentialCoder, DecodeBlockRefusesARunPastTheLastPosition) {
  // DC symbol 0 and AC symbol 0xF1 (run 15, size 1), each the code 0: the
  // fourth run steps past position 63.
  const Bytes data = {0x2A, 0x80, 0xFF, 0xD9};
  vex::platform::MemoryStream in(data.data(), data.size());
  TvexBufferStream stream;
  stream.SetSource(&in);
  TvexHuffmanJPEG dc, ac;
  const std::uint8_t one_code[16] = {1};
  dc.SetValues(0, 0x00);
  ac.SetValues(0, 0xF1);
  ASSERT_EQ(dc.DefineTable(1, one_code), EC_OK);
  ASSERT_EQ(ac.DefineTable(1, one_code), EC_OK);
  for (TvexHuffmanJPEG* t : {&dc, &ac})
    t->OnReadBits = [&stream](std::uint16_t count) { return stream.ReadBits(count); };
  TvexJPEGComponent d;
  d.DCTable = &dc;
  d.ACTable = &ac;
  d.Stream = &stream;
  try {
    d.DecodeBlock(0, 0);
    FAIL() << "no exception";
  } catch (const vex::ImagingError& e) {
    EXPECT_STREQ(e.what(), "JPEG Fatal error, Value out of range");
  }
}

TEST(SequentialCoder, MagnitudeBits) {
  // DC differences -1, -3 and 3: categories 1, 2, 2 with bits 0, 00, 11.
  Coder k(1, 3);
  const int dc[3] = {-1, -4, -1};
  for (int j = 0; j < 3; ++j)
    k.c.Coefficients[static_cast<std::size_t>(j) * 64] = static_cast<std::int16_t>(dc[j]);
  k.c.SetCoding(false, 0);
  for (int j = 0; j < 3; ++j) (k.c.*k.c.EncodeBlock)(0, j);
  k.dc.BuildCodes(16);
  k.ac.BuildCodes(16);
  k.c.LastDC = 0;
  k.c.SetCoding(true, 0);
  for (int j = 0; j < 3; ++j) (k.c.*k.c.EncodeBlock)(0, j);
  // Rebuild the expected bit string from the codes.
  std::string want;
  auto put = [&](std::uint32_t code, int len) {
    for (int b = len - 1; b >= 0; --b) want += ((code >> b) & 1) ? '1' : '0';
  };
  put(k.dc.Code(1), static_cast<int>(k.dc.CodeLength(1)));
  put(0, 1);
  put(k.ac.Code(0), static_cast<int>(k.ac.CodeLength(0)));
  put(k.dc.Code(2), static_cast<int>(k.dc.CodeLength(2)));
  put(0, 2);
  put(k.ac.Code(0), static_cast<int>(k.ac.CodeLength(0)));
  put(k.dc.Code(2), static_cast<int>(k.dc.CodeLength(2)));
  put(3, 2);
  put(k.ac.Code(0), static_cast<int>(k.ac.CodeLength(0)));
  while (want.size() % 8) want += '0';
  const Bytes got = k.finish();
  std::string got_bits;
  for (std::size_t i = 0; i < got.size(); ++i) {
    for (int b = 7; b >= 0; --b) got_bits += ((got[i] >> b) & 1) ? '1' : '0';
    if (got[i] == 0xFF) ++i; // stuffed zero
  }
  EXPECT_EQ(got_bits, want);
}

TEST(ProgressiveCoder, AllZeroBandGivesOneEndOfBandRun) {
  Coder k(1, 100);
  k.c.Ss = 1;
  k.c.Se = 63;
  k.ac.Clear();
  k.c.SetCoding(false, 3);
  k.c.ResetEOBRun();
  for (int j = 0; j < 100; ++j) (k.c.*k.c.EncodeBlock)(0, j);
  EXPECT_TRUE(k.used_ac().empty()); // nothing until the run is flushed
  k.c.FlushEOBRun();
  EXPECT_EQ(k.used_ac(), std::vector<int>{0x60});
  // Writing: the 1-bit code 0, then 6 bits of 100 = 100100.
  k.ac.BuildCodes(16);
  k.c.SetCoding(true, 3);
  k.c.ResetEOBRun();
  for (int j = 0; j < 100; ++j) (k.c.*k.c.EncodeBlock)(0, j);
  k.c.FlushEOBRun();
  EXPECT_EQ(k.finish(), Bytes{0x48});
}

TEST(ProgressiveCoder, RunOf32767BlocksIsFlushedAtOnce) {
  Coder k(1, 32767);
  k.c.Ss = 1;
  k.c.Se = 63;
  k.ac.Clear();
  k.c.SetCoding(false, 3);
  k.c.ResetEOBRun();
  for (int j = 0; j < 32767; ++j) (k.c.*k.c.EncodeBlock)(0, j);
  EXPECT_EQ(k.c.EOBRun, 0);
  EXPECT_EQ(k.used_ac(), std::vector<int>{0xE0});
  EXPECT_EQ(k.ac.Frequency(0xE0), 1u);
}

TEST(ProgressiveCoder, BandEndingOnAValueLeavesTheRunAlone) {
  Coder k(1, 2);
  k.c.Ss = 1;
  k.c.Se = 5;
  k.c.Coefficients[64 + vex::jpeg::ZigZag[5]] = 3;
  k.ac.Clear();
  k.c.SetCoding(false, 3);
  k.c.ResetEOBRun();
  (k.c.*k.c.EncodeBlock)(0, 0); // zero band: run of 1
  EXPECT_EQ(k.c.EOBRun, 1);
  (k.c.*k.c.EncodeBlock)(0, 1); // flushes the run, ends on Se: no new run
  EXPECT_EQ(k.c.EOBRun, 0);
  EXPECT_EQ(k.used_ac(), (std::vector<int>{0x00, 0x42}));
}

TEST(ProgressiveCoder, DcPointTransformAndRefinement) {
  Coder k(1, 1);
  k.c.Coefficients[0] = -3;
  k.c.Al = 1;
  k.dc.Clear();
  k.c.SetCoding(false, 1);
  k.c.LastDC = 0;
  (k.c.*k.c.EncodeBlock)(0, 0);
  EXPECT_EQ(k.c.LastDC, -2); // -3 >> 1 rounds toward minus infinity
  EXPECT_EQ(k.dc.Frequency(2), 1u);
  k.c.Al = 0;
  k.c.SetCoding(true, 2);
  (k.c.*k.c.EncodeBlock)(0, 0);
  EXPECT_EQ(k.finish(), Bytes{0x80}); // refinement bit 1: (-2 << 1) | 1 = -3
}

TEST(ProgressiveCoder, RefinementCodesNewValuesAndCorrections) {
  // Al = 0 after a first pass at Al = 1: coefficient 1 is new (run/size
  // symbol 0x?1 with a sign bit), 3 and -2 only send correction bits.
  Coder k(1, 1);
  k.c.Ss = 1;
  k.c.Se = 63;
  k.c.Al = 0;
  k.c.Ah = 1;
  k.c.Coefficients[vex::jpeg::ZigZag[1]] = 3;
  k.c.Coefficients[vex::jpeg::ZigZag[4]] = -1;
  k.c.Coefficients[vex::jpeg::ZigZag[6]] = -2;
  k.ac.Clear();
  k.c.SetCoding(false, 4);
  k.c.ResetEOBRun();
  (k.c.*k.c.EncodeBlock)(0, 0);
  k.c.FlushEOBRunWithCorrections();
  // Zeros at 2 and 3 before the new -1: symbol 0x21; then an end of band.
  EXPECT_EQ(k.used_ac(), (std::vector<int>{0x00, 0x21}));
}

TEST(ProgressiveCoder, AcEncodersMatchThePlainReference) {
  // Random bands (sparse values, long zero runs, all-zero blocks that make
  // end-of-band runs, values at Se) through the library's AC encoders and
  // the plain reference: same symbol counts, then the same bits.
  Rng rng(61);
  struct Band {
    int ss, se, al;
  } bands[] = {{1, 63, 1}, {1, 5, 0}, {6, 63, 0}, {1, 63, 0}, {1, 63, 2}, {3, 40, 1}, {63, 63, 0}};
  for (int trial = 0; trial < 400; ++trial) {
    const Band band = bands[trial % std::size(bands)];
    const bool refine = (trial / std::size(bands)) % 2 == 1;
    const int rows = rng.uniform(1, 6), columns = rng.uniform(1, 40);
    Coder k(rows, columns);
    const int density = rng.uniform(0, 4); // 0: mostly empty blocks
    for (std::size_t b = 0; b < k.c.Coefficients.size() / 64; ++b) {
      const bool empty = density == 0 ? rng.uniform(0, 9) != 0 : rng.uniform(0, 4) == 0;
      if (empty) continue;
      for (int z = 1; z < 64; ++z) {
        if (rng.uniform(0, 7 + 8 * (4 - density)) != 0) continue;
        const int mag = rng.uniform(0, 3) == 0 ? rng.uniform(1, 300) : rng.uniform(1, 3);
        k.c.Coefficients[b * 64 + vex::jpeg::ZigZag[z]] =
            static_cast<std::int16_t>(rng.uniform(0, 1) ? mag : -mag);
      }
      if (rng.uniform(0, 5) == 0) k.c.Coefficients[b * 64 + vex::jpeg::ZigZag[band.se]] = 1;
    }
    const reference::ProgScan scan{rows,    columns, band.ss,
                                   band.se, band.al, k.c.Coefficients.data()};
    const auto events =
        refine ? reference::encode_ac_refine(scan) : reference::encode_ac_first(scan);
    k.c.Ss = static_cast<std::uint8_t>(band.ss);
    k.c.Se = static_cast<std::uint8_t>(band.se);
    k.c.Al = static_cast<std::uint8_t>(band.al);
    k.c.Ah = refine ? 1 : 0;
    const int kind = refine ? 4 : 3;
    auto run_pass = [&] {
      k.c.ResetEOBRun();
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) (k.c.*k.c.EncodeBlock)(r, c);
      if (refine)
        k.c.FlushEOBRunWithCorrections();
      else
        k.c.FlushEOBRun();
    };
    k.ac.Clear();
    k.c.SetCoding(false, kind);
    run_pass();
    std::vector<std::uint32_t> want_freq(256, 0);
    for (const auto& e : events)
      if (e.symbol >= 0) ++want_freq[static_cast<std::size_t>(e.symbol)];
    for (int sym = 0; sym < 256; ++sym)
      ASSERT_EQ(k.ac.Frequency(sym), want_freq[static_cast<std::size_t>(sym)])
          << "trial " << trial << " symbol " << sym;
    k.ac.BuildCodes(16);
    // The reference's bits with the table's codes, padded and stuffed.
    std::vector<int> bits;
    auto put = [&](std::uint32_t v, int n) {
      for (int i = n - 1; i >= 0; --i) bits.push_back(static_cast<int>((v >> i) & 1));
    };
    for (const auto& e : events) {
      if (e.symbol >= 0) put(k.ac.Code(e.symbol), static_cast<int>(k.ac.CodeLength(e.symbol)));
      put(e.bits, e.count);
    }
    while (bits.size() % 8) bits.push_back(0);
    Bytes want;
    for (std::size_t i = 0; i < bits.size(); i += 8) {
      int byte = 0;
      for (int j = 0; j < 8; ++j) byte = byte * 2 + bits[i + static_cast<std::size_t>(j)];
      want.push_back(static_cast<std::uint8_t>(byte));
      if (byte == 0xFF) want.push_back(0);
    }
    k.c.SetCoding(true, kind);
    run_pass();
    ASSERT_EQ(k.finish(), want) << "trial " << trial;
  }
}

TEST(ProgressiveCoder, LongEndOfBandRunsMatchThePlainReference) {
  // 70000 empty blocks: runs flushed at 32767, twice, then the rest; in a
  // refinement scan with correction bits from earlier values.
  for (const bool refine : {false, true}) {
    Coder k(2, 35000);
    for (std::size_t b = 0; b < k.c.Coefficients.size() / 64; b += 7)
      k.c.Coefficients[b * 64 + 1] = 6;
    const reference::ProgScan scan{2, 35000, 1, 63, 1, k.c.Coefficients.data()};
    const auto events =
        refine ? reference::encode_ac_refine(scan) : reference::encode_ac_first(scan);
    k.c.Ss = 1;
    k.c.Se = 63;
    k.c.Al = 1;
    k.ac.Clear();
    k.c.SetCoding(false, refine ? 4 : 3);
    k.c.ResetEOBRun();
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 35000; ++c) (k.c.*k.c.EncodeBlock)(r, c);
    if (refine)
      k.c.FlushEOBRunWithCorrections();
    else
      k.c.FlushEOBRun();
    std::vector<std::uint32_t> want_freq(256, 0);
    for (const auto& e : events)
      if (e.symbol >= 0) ++want_freq[static_cast<std::size_t>(e.symbol)];
    for (int sym = 0; sym < 256; ++sym)
      ASSERT_EQ(k.ac.Frequency(sym), want_freq[static_cast<std::size_t>(sym)]) << sym;
    if (refine) {
      EXPECT_GE(k.ac.Frequency(0xE0), 2u);
    }
  }
}

// --- Fast paths against plain versions ------------------------------------

TEST(FastPaths, BitWriterMatchesStreamWriteBits) {
  Rng rng(51);
  for (int trial = 0; trial < 300; ++trial) {
    vex::platform::MemoryStream m1, m2;
    TvexBufferStream s1, s2;
    s1.SetSource(&m1);
    s1.SetWriteMode(true);
    s2.SetSource(&m2);
    s2.SetWriteMode(true);
    JPEGBitWriter w(s2);
    const int n = rng.uniform(0, 3000);
    const bool ones = rng.uniform(0, 1) == 0; // many 0xFF bytes
    for (int i = 0; i < n; ++i) {
      const int count = rng.uniform(0, 32);
      const std::uint32_t value = ones ? 0xFFFFFFFFu - (rng.uniform(0, 20) == 0 ? 1u : 0u)
                                       : rng.next() ^ (rng.next() << 16);
      s1.WriteBits(value, count);
      w.Put(value, count);
      if (rng.uniform(0, 500) == 0) {
        s1.FlushBits();
        w.Flush();
      }
    }
    s1.FlushBits();
    s1.Flush();
    w.Flush();
    s2.Flush();
    ASSERT_EQ(m1.TakeBytes(), m2.TakeBytes()) << "trial " << trial;
  }
}

TEST(FastPaths, ColourConversionMatchesExtendedPrecision) {
  // Every colour whose scaled value lies near a rounding boundary (where the
  // integer path could go wrong) and a spread sample of all the others.
  long mismatches = 0, near = 0;
  for (int r = 0; r < 256; ++r)
    for (int g = 0; g < 256; ++g)
      for (int b = 0; b < 256; ++b) {
        const int ny = 2989 * r + 5867 * g + 1144 * b;
        const int nb = -1687 * r - 3312 * g + 5000 * b + 1275000;
        const int nr = 5000 * r - 4183 * g - 816 * b + 1275000;
        const bool boundary = std::abs(ny % 10000 - 5000) <= 1 ||
                              std::abs(nb % 10000 - 5000) <= 1 || std::abs(nr % 10000 - 5000) <= 1;
        if (!boundary && (b % 61) != (r + g) % 61) continue;
        near += boundary;
        mismatches += vex::jpeg::Luma(r, g, b) != vex::jpeg::LumaExact(r, g, b);
        mismatches += vex::jpeg::Cb(r, g, b) != vex::jpeg::CbExact(r, g, b);
        mismatches += vex::jpeg::Cr(r, g, b) != vex::jpeg::CrExact(r, g, b);
      }
  EXPECT_GT(near, 1000);
  EXPECT_EQ(mismatches, 0);
  // The ends of the documented range.
  EXPECT_EQ(vex::jpeg::Luma(255, 255, 255), 255);
  EXPECT_EQ(vex::jpeg::Cb(255, 255, 0), 0);
  EXPECT_EQ(vex::jpeg::Cb(0, 0, 255), 255);
  EXPECT_EQ(vex::jpeg::Cr(255, 0, 0), 255);
}

TEST(FastPaths, AveragesMatchPortable) {
  Rng rng(91);
  for (int trial = 0; trial < 3000; ++trial) {
    const int factor = rng.uniform(1, 4);
    const std::int64_t stride = 8 * rng.uniform(1, 40);
    std::vector<std::uint8_t> a(static_cast<std::size_t>(stride)), b;
    for (auto& v : a)
      v = static_cast<std::uint8_t>(rng.uniform(0, 3) == 0 ? 255 : rng.uniform(0, 255));
    b = a;
    vex::jpeg::AverageAcross(a.data(), stride, factor);
    vex::jpeg::AverageAcrossPortable(b.data(), stride, factor);
    ASSERT_EQ(a, b) << trial;
    std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(factor));
    std::vector<const std::uint8_t*> ptr;
    for (auto& r : rows) {
      r.resize(static_cast<std::size_t>(stride));
      for (auto& v : r) v = static_cast<std::uint8_t>(rng.uniform(0, 255));
      ptr.push_back(r.data());
    }
    std::vector<std::uint8_t> out1(static_cast<std::size_t>(stride)), out2(out1.size());
    vex::jpeg::AverageDown(ptr.data(), factor, stride, out1.data());
    vex::jpeg::AverageDownPortable(ptr.data(), factor, stride, out2.data());
    ASSERT_EQ(out1, out2) << trial;
    // In place into the first row, as the whole-buffer path does.
    vex::jpeg::AverageDown(ptr.data(), factor, stride, rows[0].data());
    ASSERT_EQ(rows[0], out2) << trial;
  }
}

TEST(FastPaths, CoefficientMasksMatchPortable) {
  Rng rng(81);
  for (int trial = 0; trial < 20000; ++trial) {
    std::int16_t block[64] = {};
    const int kind = rng.uniform(0, 3);
    for (auto& c : block) {
      if (kind == 0)
        c = static_cast<std::int16_t>(rng.uniform(-32768, 32767));
      else if (rng.uniform(0, kind * 3) == 0)
        c = static_cast<std::int16_t>(rng.uniform(-9, 9));
    }
    if (trial % 97 == 0) block[rng.uniform(0, 63)] = -32768;
    const int al = rng.uniform(0, 13);
    const auto a = vex::jpeg::MagnitudeMasks(block, al);
    const auto b = vex::jpeg::MagnitudeMasksPortable(block, al);
    ASSERT_EQ(a.nonzero, b.nonzero) << trial;
    ASSERT_EQ(a.above_one, b.above_one) << trial;
  }
}

TEST(FastPaths, SimdRowConversionMatchesPortableForEveryColour) {
  // Rows of 256 pixels (blue 0..255) for every red and green, 24- and
  // 32-bit, at an odd width so that the scalar tail is exercised too.
  std::vector<std::uint8_t> row(256 * 4);
  std::uint8_t a[3][256], b[3][256];
  long mismatches = 0;
  // The kernel in use, and the AVX2 one whatever the level.
  const bool avx2 = vex::platform::simd_level_available(vex::platform::SimdLevel::avx2);
  for (const int step : {3, 4}) {
    for (int r = 0; r < 256; ++r)
      for (int g = 0; g < 256; ++g) {
        for (int x = 0; x < 256; ++x) {
          row[x * step] = static_cast<std::uint8_t>(x);
          row[x * step + 1] = static_cast<std::uint8_t>(g);
          row[x * step + 2] = static_cast<std::uint8_t>(r);
        }
        const int width = (r + g) % 2 ? 256 : 253;
        vex::jpeg::ConvertRowRGB(row.data(), step, width, a[0], a[1], a[2]);
        vex::jpeg::ConvertRowRGBPortable(row.data(), step, width, b[0], b[1], b[2]);
        for (int c = 0; c < 3; ++c) mismatches += std::memcmp(a[c], b[c], width) != 0;
        if (avx2) {
          vex::jpeg::ConvertRowRGBAvx2(row.data(), step, width, a[0], a[1], a[2]);
          for (int c = 0; c < 3; ++c) mismatches += std::memcmp(a[c], b[c], width) != 0;
        }
      }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FastPaths, BandPipelineMatchesWholeBufferPipeline) {
  // Averaging the chroma rows during the conversion and making each MCU row's
  // coefficients per pass (on a helper thread too) give the same file as
  // converting at full resolution, downsampling and transforming the whole
  // buffers.
  struct Mode {
    std::uint8_t mode;
    unsigned quality;
  } modes[] = {{0, 10}, {0, 30}, {0, 60}, {0, 90}, {1, 80}, {2, 80}, {3, 80}};
  const int sizes[][2] = {{1, 1}, {2, 3}, {17, 9}, {33, 35}, {50, 3}, {3, 50}, {64, 31}, {77, 161}};
  int seed = 100;
  for (const auto& m : modes)
    for (const auto& size : sizes)
      for (int bits : {0, 8, 24, 32}) { // 0: grey palette
        TvexImage image;
        if (bits == 0)
          make_grey(image, size[0], size[1], seed % 2 == 0, static_cast<std::uint32_t>(seed));
        else
          make_random_image(image, size[0], size[1], bits, static_cast<std::uint32_t>(seed));
        ++seed;
        for (const auto compression : {CP_JPEG_STD, CP_JPEG_PROG}) {
          Options fast, plain;
          fast.sub_sampling = plain.sub_sampling = m.mode;
          fast.quality = plain.quality = m.quality;
          fast.compression = plain.compression = compression;
          plain.plain_pipeline = true;
          const Bytes expected = encode(image, plain);
          for (const int helpers : {0, 1}) {
            fast.helpers = helpers;
            ASSERT_EQ(encode(image, fast), expected)
                << int(m.mode) << " q" << m.quality << " " << size[0] << "x" << size[1] << " bits "
                << bits << " compression " << int(compression) << " helpers " << helpers;
          }
        }
      }
}

TEST(FastPaths, HelperThreadGivesTheSameFile) {
  // Pictures of many MCU rows, so that both threads make some: runs of
  // colour keep their symbols for the writing pass, noise has its rows made
  // again. Repeated, as thread timing differs from run to run.
  struct Case {
    bool runny;
    int bits;
    unsigned quality;
  } cases[] = {{true, 24, 80}, {true, 32, 95}, {false, 24, 100}, {true, 0, 80}};
  for (const auto& c : cases) {
    TvexImage image;
    if (c.bits == 0)
      make_grey(image, 301, 517, false, 5);
    else if (c.runny)
      testing_support::make_runny_image(image, 517, 301, c.bits, 6);
    else
      make_random_image(image, 517, 301, c.bits, 7);
    Options alone, helped;
    alone.quality = helped.quality = c.quality;
    helped.helpers = 1;
    const Bytes expected = encode(image, alone);
    for (int run = 0; run < 4; ++run)
      ASSERT_EQ(encode(image, helped), expected) << c.runny << " " << c.bits << " run " << run;
  }
}

TEST(Geometry, OnePixelImageMakesOneMcu) {
  TvexImage image;
  make_random_image(image, 1, 1, 24, 10);
  TvexJPEGImage jpeg;
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, image.GetDibHandle());
  ASSERT_EQ(jpeg.GetError(), EC_OK);
  EXPECT_EQ(jpeg.MCUsAcross, 1);
  EXPECT_EQ(jpeg.MCUsDown, 1);
  EXPECT_EQ(jpeg.Components[0]->BlocksPerLine * jpeg.Components[0]->BlocksDown, 4);
  EXPECT_EQ(jpeg.Components[1]->BlocksPerLine * jpeg.Components[1]->BlocksDown, 1);
}

TEST(Geometry, PaddingRepeatsTheLastPixelAndRow) {
  // 17 x 3 with 4:4:4: the Y samples right of column 16 repeat column 16 and
  // the rows below repeat row 2 (checked before the transform).
  TvexImage image;
  make_random_image(image, 17, 3, 24, 11);
  TvexJPEGImage jpeg(3);
  jpeg.PlainPipeline = true; // keeps the whole sample buffers
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, image.GetDibHandle());
  ASSERT_EQ(jpeg.GetError(), EC_OK);
  const TvexJPEGComponent& y = *jpeg.Components[0];
  EXPECT_EQ(y.RowStride, 24);
  for (int r = 0; r < 3; ++r)
    for (int x = 17; x < 24; ++x) EXPECT_EQ(y.Samples[r * 24 + x], y.Samples[r * 24 + 16]);
  const std::int64_t rows = y.SampleBufferSize / y.RowStride;
  for (std::int64_t r = 3; r < rows; ++r)
    EXPECT_EQ(0, std::memcmp(&y.Samples[r * 24], &y.Samples[2 * 24], 24));
}

} // namespace
