// Targa and PCX: hand-made files of every layout and their hostile cousins
// (one table per format), the run-length coders' piece rules, metadata both
// ways, round trips of every depth, and the codecs fed in pieces against one
// whole call.
#include "vexImageCompress.h"
#include "vexImageFile.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace pf = vex::platform;
using namespace testing_support;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Loaded {
  TvexErrorCode error;
  std::unique_ptr<TvexImage> image;
};

template <class R> Loaded load(const Bytes& bytes, TvexImageInfo* info = nullptr) {
  pf::MemoryStream mem(bytes.data(), bytes.size());
  R reader;
  reader.SetImageInfo(info);
  const DibHandle dib = reader.LoadFromStream(mem);
  Loaded r{reader.GetError(), std::make_unique<TvexImage>()};
  if (!pf::is_null(dib)) r.image->SetDibHandle(dib);
  return r;
}

template <class R>
Bytes save(TvexImage& image, TvexCompression c, TvexErrorCode expect = EC_OK,
           TvexImageInfo* info = nullptr) {
  pf::MemoryStream out;
  R writer;
  writer.SetImageInfo(info);
  writer.SetCompression(c);
  writer.SaveToStream(out, image.GetDibHandle());
  EXPECT_EQ(writer.GetError(), expect);
  return out.TakeBytes();
}

// Colours of the picture, top row first, as "rrggbb" words.
std::string colours(TvexImage& image) {
  std::string s;
  for (int y = 0; y < std::abs(image.Height()); ++y)
    for (int x = 0; x < image.Width(); ++x) {
      char b[8];
      std::snprintf(b, sizeof b, "%06x", pixel_rgb(image, x, y));
      if (!s.empty()) s += ' ';
      s += b;
    }
  return s;
}

// A Targa file: header, ID, map and pixel bytes as given.
Bytes tga(int type, int depth, int w, int h, const Bytes& pixels, int desc = 0,
          const Bytes& map = {}, int first = 0, int entry_bits = 24) {
  const int entry = entry_bits <= 16 ? 2 : entry_bits / 8;
  Bytes b = {0,
             static_cast<std::uint8_t>(map.empty() ? 0 : 1),
             static_cast<std::uint8_t>(type),
             static_cast<std::uint8_t>(first),
             0,
             static_cast<std::uint8_t>(map.size() / static_cast<std::size_t>(entry)),
             0,
             static_cast<std::uint8_t>(map.empty() ? 0 : entry_bits),
             0,
             0,
             0,
             0,
             static_cast<std::uint8_t>(w),
             static_cast<std::uint8_t>(w >> 8),
             static_cast<std::uint8_t>(h),
             static_cast<std::uint8_t>(h >> 8),
             static_cast<std::uint8_t>(depth),
             static_cast<std::uint8_t>(desc)};
  b.insert(b.end(), map.begin(), map.end());
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

// A PCX file: the 128-byte header and the coded bytes.
Bytes pcx(int version, int bits, int planes, int w, int h, int bpl, const Bytes& data,
          const Bytes& header_palette = {}) {
  Bytes b(128, 0);
  b[0] = 10;
  b[1] = static_cast<std::uint8_t>(version);
  b[2] = 1;
  b[3] = static_cast<std::uint8_t>(bits);
  b[8] = static_cast<std::uint8_t>(w - 1);
  b[9] = static_cast<std::uint8_t>((w - 1) >> 8);
  b[10] = static_cast<std::uint8_t>(h - 1);
  b[11] = static_cast<std::uint8_t>((h - 1) >> 8);
  b[12] = 44; // 300 dpi
  b[13] = 1;
  b[14] = 72;
  for (std::size_t i = 0; i < header_palette.size() && i < 48; ++i) b[16 + i] = header_palette[i];
  b[65] = static_cast<std::uint8_t>(planes);
  b[66] = static_cast<std::uint8_t>(bpl);
  b[67] = static_cast<std::uint8_t>(bpl >> 8);
  b[68] = 1;
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes head(const Bytes& b, std::size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

Bytes trailer(std::uint8_t marker = 12) {
  Bytes t(769, 0);
  t[0] = marker;
  for (int i = 0; i < 256; ++i)
    t[1 + 3 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i); // red ramp
  return t;
}

struct Case {
  const char* name;
  Bytes bytes;
  TvexErrorCode error;
  int bits;           // of the bitmap; 0 = no bitmap
  std::string pixels; // colours top row first; empty = not checked
};

template <class R> void run(const Case& c) {
  SCOPED_TRACE(c.name);
  const Loaded r = load<R>(c.bytes);
  EXPECT_EQ(int{r.error}, int{c.error});
  if (c.bits == 0) {
    EXPECT_EQ(r.image->Bits(), nullptr);
    return;
  }
  ASSERT_NE(r.image->Bits(), nullptr);
  EXPECT_EQ(r.image->BitCount(), c.bits);
  if (!c.pixels.empty()) {
    EXPECT_EQ(colours(*r.image), c.pixels);
  }
}

const Bytes kMap3 = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90}; // 3 entries, BGR

} // namespace

TEST(Targa, FilesGiveTheirPicturesAndCodes) {
  const Bytes bgr4 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}; // 2x2 rows bottom first
  const Case cases[] = {
      {"true colour, bottom row first", tga(2, 24, 2, 2, bgr4), EC_OK, 24,
       "090807 0c0b0a 030201 060504"},
      {"the same picture stored top row first",
       tga(2, 24, 2, 2, {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}, 0x20), EC_OK, 24,
       "090807 0c0b0a 030201 060504"},
      {"rows stored right to left", tga(2, 24, 2, 2, bgr4, 0x10), EC_OK, 24,
       "0c0b0a 090807 060504 030201"},
      {"16-bit map entries 0x7FFF and 0x001F",
       tga(1, 8, 2, 1, {0, 1}, 0, {0xFF, 0x7F, 0x1F, 0}, 0, 16), EC_OK, 8, "f8f8f8 0000f8"},
      {"a map from index 2 fills colours 2, 3, 4", tga(1, 8, 4, 1, {1, 2, 3, 4}, 0, kMap3, 2),
       EC_OK, 8, "000000 302010 605040 908070"},
      {"grey without a map", tga(3, 8, 2, 1, {7, 200}), EC_OK, 8, "070707 c8c8c8"},
      {"grey with a map stays grey", tga(3, 8, 1, 1, {1}, 0, kMap3), EC_OK, 8, "010101"},
      {"grey and alpha keep the grey", tga(3, 16, 2, 1, {9, 255, 77, 0}), EC_OK, 8,
       "090909 4d4d4d"},
      {"no image data", tga(0, 8, 2, 1, {}), EC_OK, 8, "000000 000000"},
      {"packed 1-bit grey", tga(3, 1, 10, 1, {0xA0, 0x40}), EC_OK, 1,
       "ffffff 000000 ffffff 000000 000000 000000 000000 000000 000000 ffffff"},
      {"packed 4-bit indices", tga(1, 4, 3, 1, {0x12, 0x00}, 0, kMap3), EC_OK, 4,
       "605040 908070 302010"},
      {"run packet across rows", tga(10, 24, 2, 2, {0x82, 1, 2, 3, 0x00, 4, 5, 6}), EC_OK, 24,
       "030201 060504 030201 030201"},
      {"raw packet across rows, top first", tga(9, 8, 3, 2, {0x05, 0, 1, 2, 2, 1, 0}, 0x20, kMap3),
       EC_OK, 8, "302010 605040 908070 908070 605040 302010"},
      {"a run past the picture stops at its end", tga(11, 8, 2, 2, {0xFF, 5, 0x00, 9}), EC_OK, 8,
       "050505 050505 050505 050505"},
      {"run-length data cut inside a packet", tga(11, 8, 2, 2, {0x81, 5, 0x03, 1}), EC_ENDOFFILE, 8,
       "010101 000000 050505 050505"},
      {"uncompressed data cut short", tga(3, 8, 2, 2, {1, 2, 3}), EC_ENDOFFILE, 8,
       "030303 000000 010101 020202"},
      {"colour map cut short", head(tga(1, 8, 2, 1, {}, 0, kMap3), 22), EC_READFROMFILE, 0, ""},
      {"65535 x 65535 of 32 bits: over the bitmap cap", tga(2, 32, 65535, 65535, {}), EC_WINDOWS, 0,
       ""},
      // Not plausibly Targa: the manager asks the next format.
      {"image type 4", tga(4, 8, 2, 1, {1, 2}), EC_BADFORMAT, 0, ""},
      {"map type 2",
       [] {
         Bytes b = tga(2, 24, 1, 1, {1, 2, 3});
         b[1] = 2;
         return b;
       }(),
       EC_BADFORMAT, 0, ""},
      {"15-bit pixels", tga(2, 15, 1, 1, {1, 2}), EC_BADFORMAT, 0, ""},
      {"8-bit true colour", tga(2, 8, 1, 1, {1}), EC_BADFORMAT, 0, ""},
      {"colour-mapped without a map", tga(1, 8, 1, 1, {1}), EC_BADFORMAT, 0, ""},
      {"map entries of 8 bits", tga(1, 8, 1, 1, {0}, 0, {1, 2, 3}, 0, 8), EC_BADFORMAT, 0, ""},
      {"width 0", tga(2, 24, 0, 1, {}), EC_BADFORMAT, 0, ""},
      {"shorter than a header", Bytes(17, 0), EC_BADFORMAT, 0, ""},
  };
  for (const Case& c : cases) run<TvexTargaImage>(c);
}

TEST(Targa, RunLengthPiecesAndWriterCodes) {
  // A row of 300 equal 24-bit pixels: runs of 128, 86 and 86.
  TvexImage image;
  make_random_image(image, 300, 1, 24, 1);
  for (int x = 0; x < 300; ++x) std::memcpy(image.ScanLine(0) + 3 * x, "\x01\x02\x03", 3);
  const Bytes b = save<TvexTargaImage>(image, CP_TARGA_RLE);
  ASSERT_GE(b.size(), 18u + 12u + 26u);
  EXPECT_EQ(b[2], 10);
  EXPECT_EQ(Bytes(b.begin() + 18, b.begin() + 30),
            (Bytes{0xFF, 1, 2, 3, 0xD5, 1, 2, 3, 0xD5, 1, 2, 3}));
  EXPECT_EQ(std::string(b.end() - 18, b.end() - 1), "TRUEVISION-XFILE.");
  // An unknown compression: header written, no pixels, footer still there.
  const Bytes bad = save<TvexTargaImage>(image, CP_PACKBITS, EC_BADCOMPRESS);
  EXPECT_EQ(bad.size(), 18u + 26u);
  // Palette pictures: type 1 with a 24-bit map of 2^bits entries and descriptor 0.
  make_random_image(image, 5, 3, 4, 2);
  const Bytes p = save<TvexTargaImage>(image, CP_NOCOMP);
  EXPECT_EQ((Bytes{p[1], p[2], p[5], p[6], p[7], p[16], p[17]}), (Bytes{1, 1, 16, 0, 24, 8, 0}));
}

TEST(Targa, MetadataTravelsThroughTheExtensionArea) {
  TvexImage image;
  make_random_image(image, 3, 2, 24, 3);
  TvexImageInfo out;
  out.SetArtist("A. Painter");
  out.SetDescription(std::string(400, 'c'));
  out.SetSoftware("Parvula");
  out.SetVersion(1.25);
  out.SetDateTime(45000.5); // 15 March 2023, noon
  out.SetAspectNumerator(4);
  out.SetAspectDenominator(3);
  Bytes b = save<TvexTargaImage>(image, CP_NOCOMP, EC_OK, &out);
  TvexImageInfo in;
  ASSERT_EQ(load<TvexTargaImage>(b, &in).error, EC_OK);
  EXPECT_EQ(in.Artist(), "A. Painter");
  EXPECT_EQ(in.Description(), std::string(323, 'c'));
  EXPECT_EQ(in.Software(), "Parvula");
  EXPECT_DOUBLE_EQ(in.Version(), 1.25);
  EXPECT_DOUBLE_EQ(in.DateTime(), 45000.5);
  EXPECT_EQ(in.AspectNumerator(), 4);
  EXPECT_EQ(in.AspectDenominator(), 3);
  EXPECT_EQ(b[0], 7); // the software name is the ID field too
  // An empty date stamp gives 0; a footer with another signature is no footer.
  const std::size_t ext = b.size() - 26 - 495;
  std::fill(b.begin() + static_cast<std::ptrdiff_t>(ext) + 367,
            b.begin() + static_cast<std::ptrdiff_t>(ext) + 373, 0);
  in.Clear();
  in.SetDateTime(7);
  ASSERT_EQ(load<TvexTargaImage>(b, &in).error, EC_OK);
  EXPECT_EQ(in.DateTime(), 0);
  b[b.size() - 3] = 'Y';
  in.Clear();
  ASSERT_EQ(load<TvexTargaImage>(b, &in).error, EC_OK);
  EXPECT_EQ(in.Artist(), "");
  // An extension area past the end of the file.
  b[b.size() - 3] = 'E';
  b[b.size() - 26 + 3] = 0x7F;
  EXPECT_EQ(load<TvexTargaImage>(b, &in).error, EC_ENDOFFILE);
}

TEST(Pcx, FilesGiveTheirPicturesAndCodes) {
  const Bytes ega = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
  const Case cases[] = {
      {"monochrome is black and white", pcx(5, 1, 1, 10, 1, 2, {0xA0, 0x40}, {255, 0, 0}), EC_OK, 1,
       "ffffff 000000 ffffff 000000 000000 000000 000000 000000 000000 ffffff"},
      {"four planes make 4-bit pixels", pcx(5, 1, 4, 3, 1, 1, {0xC1, 0xC0, 0x60, 0x00, 0x00}, ega), EC_OK,
       4, "ff0000 0000ff 00ff00"},
      {"three planes", pcx(5, 1, 3, 2, 1, 1, {0x80, 0x40, 0x00}, ega), EC_OK, 4, "ff0000 00ff00"},
      {"2 bits x 1 plane", pcx(5, 2, 1, 3, 1, 1, {0x1B}, ega), EC_OK, 4, "000000 ff0000 00ff00"},
      {"4 bits x 1 plane", pcx(5, 4, 1, 3, 1, 2, {0x31, 0x20}, ega), EC_OK, 4,
       "0000ff ff0000 00ff00"},
      {"24 bits as three planes", pcx(5, 8, 3, 2, 1, 2, {1, 2, 3, 4, 5, 6}), EC_OK, 24,
       "010305 020406"},
      {"32 bits as four planes", pcx(5, 8, 4, 1, 1, 1, {1, 2, 3, 4}), EC_OK, 32, "010203"},
      {"256 colours with the trailing palette", cat(pcx(5, 8, 1, 2, 1, 2, {0xC2, 7}), trailer()),
       EC_OK, 8, "070000 070000"},
      {"trailing palette found at the end after stray bytes",
       cat(pcx(5, 8, 1, 2, 1, 2, {0xC2, 7, 0, 0}), trailer()), EC_OK, 8, "070000 070000"},
      {"no trailing palette: grey and code 9", pcx(5, 8, 1, 2, 1, 2, {0xC2, 7}), EC_UNKNOWNFORMAT,
       8, "070707 070707"},
      {"8 bits of version 3: grey", pcx(3, 8, 1, 1, 1, 1, {0xC1, 200}), EC_OK, 8, "c8c8c8"},
      {"version 0", pcx(0, 8, 1, 1, 1, 1, {0xC1, 200}), EC_OK, 8, "c8c8c8"},
      {"runs run on across plane lines and scan lines", pcx(5, 8, 3, 1, 2, 1, {0xC5, 9, 1}), EC_OK,
       24, "090909 090901"},
      {"a run past the picture stops at its end", pcx(4, 8, 1, 2, 2, 2, {0xFF, 3}), EC_OK, 8,
       "030303 030303 030303 030303"},
      {"data cut short", pcx(4, 8, 1, 2, 2, 2, {0xC3, 3}), EC_ENDOFFILE, 8,
       "030303 030303 030303 000000"},
      {"8 bits x 2 planes", pcx(5, 8, 2, 1, 1, 1, {1, 2}), EC_BITDEPTH, 0, ""},
      {"65535 x 65535 of 24 bits: over the bitmap cap", pcx(5, 8, 3, 65535, 65535, 65535, {}),
       EC_WINDOWS, 0, ""},
      {"header cut short", head(pcx(5, 8, 1, 1, 1, 1, {}), 60), EC_READFROMFILE, 0, ""},
      {"version 1", pcx(1, 8, 1, 1, 1, 1, {1}), EC_BADFORMAT, 0, ""},
      {"3 bits per pixel", pcx(5, 3, 1, 1, 1, 1, {1}), EC_BADFORMAT, 0, ""},
      {"Xmax before Xmin",
       [] {
         Bytes b = pcx(5, 8, 1, 1, 1, 1, {1});
         b[4] = 5;
         return b;
       }(),
       EC_BADFORMAT, 0, ""},
      {"no bytes per line", pcx(5, 8, 1, 1, 1, 0, {1}), EC_BADFORMAT, 0, ""},
      {"five planes", pcx(5, 1, 5, 1, 1, 1, {1}), EC_BADFORMAT, 0, ""},
  };
  for (const Case& c : cases) run<TvexPCXImage>(c);
  // 300 dpi is 11811 pixels per metre.
  const Loaded r = load<TvexPCXImage>(pcx(0, 8, 1, 1, 1, 1, {1}));
  EXPECT_EQ(r.image->Header()->bmiHeader.biXPelsPerMeter, 11811);
}

TEST(Pcx, WriterRunsLayoutsAndCodes) {
  // Lone 0xC5, runs of 100 and 130, and an 8-bit grey picture of odd width.
  TvexImage image;
  make_random_image(image, 233, 1, 8, 4);
  std::uint8_t* row = image.ScanLine(0);
  row[0] = 0xC5;
  std::memset(row + 1, 7, 100);
  std::memset(row + 101, 9, 130);
  row[231] = row[232] = 1;
  TvexImage::LogPalette grey;
  grey.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    grey.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&grey);
  const Bytes b = save<TvexPCXImage>(image, CP_PCX_RLE);
  EXPECT_EQ(b[66] | (b[67] << 8), 234);
  EXPECT_EQ(b[68], 2);
  EXPECT_EQ(Bytes(b.begin() + 128, b.begin() + 128 + 16),
            (Bytes{0xC1, 0xC5, 0xF2, 7, 0xF2, 7, 0xFF, 9, 0xE1, 9, 0xE2, 9, 0xC2, 1, 0, 0x0C}));
  EXPECT_EQ(b.size(), 128u + 15 + 769);
  make_random_image(image, 4, 4, 16, 5);
  save<TvexPCXImage>(image, CP_PCX_RLE, EC_COLORFORMAT);
}

TEST(TargaPcx, RoundTripsEveryDepthAndCompression) {
  struct Format {
    TvexFileFormat format;
    std::vector<int> depths;
    std::vector<TvexCompression> compressions;
  };
  const Format formats[] = {
      {FF_TARGA, {1, 4, 8, 16, 24, 32}, {CP_NOCOMP, CP_TARGA_RLE}},
      {FF_PCX, {1, 4, 8, 24}, {CP_PCX_RLE}},
  };
  for (const Format& f : formats)
    for (const int bits : f.depths)
      for (const TvexCompression c : f.compressions)
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{13, 7}, std::pair{290, 3}}) {
          SCOPED_TRACE(std::to_string(f.format) + ": " + std::to_string(bits) + " bits, " +
                       std::to_string(c) + ", " + std::to_string(w) + "x" + std::to_string(h));
          TvexImage image;
          make_runny_image(image, w, h, bits, static_cast<std::uint32_t>(w * 7 + bits));
          const Bytes b =
              f.format == FF_TARGA ? save<TvexTargaImage>(image, c) : save<TvexPCXImage>(image, c);
          const Loaded r = f.format == FF_TARGA ? load<TvexTargaImage>(b) : load<TvexPCXImage>(b);
          ASSERT_EQ(r.error, EC_OK);
          EXPECT_EQ(colours(*r.image), colours(image));
          // Found by the manager's search whatever the file is called.
          const fs::path file = scratch_dir("targa_pcx_probe") / "x.bin";
          write_file(file, b);
          TvexImageFileMgr mgr;
          TvexImage found;
          found.SetDibHandle(mgr.LoadImage(file.string(), FF_DETECT));
          EXPECT_EQ(mgr.GetImageInfo().FileFormat(), f.format);
        }
}

namespace {

// Random run-length data for a codec bound to `image`: Targa packets of
// pixel size p, or PCX bytes.
Bytes random_stream(Rng& rng, bool targa, int p, int length) {
  Bytes b;
  while (static_cast<int>(b.size()) < length) {
    const auto h = static_cast<std::uint8_t>(rng.next());
    b.push_back(h);
    const int n = targa ? ((h & 0x80) ? p : ((h & 0x7F) + 1) * p) : (h >= 0xC0 ? 1 : 0);
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(rng.next()));
  }
  return b;
}

} // namespace

TEST(TargaPcx, CodecsFedInPiecesDecodeLikeOneCall) {
  for (int trial = 0; trial < 60; ++trial) {
    Rng rng(static_cast<std::uint64_t>(trial) + 11);
    const bool targa = trial % 2 == 0;
    const int bits = targa ? std::vector<int>{8, 16, 24, 32}[trial / 2 % 4]
                           : std::vector<int>{1, 4, 8, 24}[trial / 2 % 4];
    const int w = rng.uniform(1, 40), h = rng.uniform(1, 9);
    const Bytes data = random_stream(rng, targa, (bits + 1) / 8, rng.uniform(0, 3000));
    const int bpl = rng.uniform(1, 12);
    std::string results[2];
    for (int pieces = 0; pieces < 2; ++pieces) {
      TvexImage image;
      make_random_image(image, w, h, bits, 1);
      std::memset(image.Bits(), 0, static_cast<std::size_t>(image.LineWidth()) * h);
      std::unique_ptr<TvexImageCompress> codec;
      if (targa) {
        auto t = std::make_unique<TvexImageTargaRLE>();
        t->SetImage(image.GetDibHandle());
        t->SetTopDown(trial % 4 == 0);
        codec = std::move(t);
      } else {
        auto p = std::make_unique<TvexImagePCXRLE>();
        p->SetImage(image.GetDibHandle());
        p->SetTopDown(true);
        p->SetBytesPerLine(bpl);
        codec = std::move(p);
      }
      // Random pieces; one that the codec cannot use at all is followed by
      // the whole rest.
      std::size_t at = 0;
      bool whole = pieces == 0;
      while (at < data.size()) {
        const std::size_t rest = data.size() - at;
        const std::size_t n =
            whole ? rest : std::min(rest, static_cast<std::size_t>(rng.uniform(1, 17)));
        std::int32_t left = static_cast<std::int32_t>(n), produced = 0;
        ASSERT_EQ(codec->Decompress(data.data() + at, left, produced), EC_OK);
        at += n - static_cast<std::size_t>(left);
        if (left == static_cast<std::int32_t>(n)) {
          if (n == rest) break;
          whole = true;
        } else {
          whole = pieces == 0;
        }
      }
      results[pieces] = pixel_digest(image);
    }
    EXPECT_EQ(results[0], results[1]) << "trial " << trial;
  }
}
