// PNG reading and writing: hand-made files of every kind the reader must
// place, refuse or keep in part; the metadata chunks; the writer's chunk
// sequence, filter choice, IDAT sizes and zlib header.
#include "vexImageFile.h"

#include "codecs/crc32.h"
#include "codecs/deflate.h"
#include "formats/png_unfilter.h"
#include "reference/deflate_ref.h"
#include "reference/png_ref.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace pf = vex::platform;
using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes be32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

Bytes chunk(const char* type, const Bytes& data) {
  Bytes c = be32(static_cast<std::uint32_t>(data.size()));
  c.insert(c.end(), type, type + 4);
  c.insert(c.end(), data.begin(), data.end());
  const Bytes crc = be32(vex::Crc32(0, c.data() + 4, data.size() + 4));
  c.insert(c.end(), crc.begin(), crc.end());
  return c;
}

Bytes ihdr(std::uint32_t w, std::uint32_t h, int depth, int type, int interlace = 0) {
  Bytes d = be32(w);
  const Bytes hh = be32(h);
  d.insert(d.end(), hh.begin(), hh.end());
  d.insert(d.end(), {std::uint8_t(depth), std::uint8_t(type), 0, 0, std::uint8_t(interlace)});
  return chunk("IHDR", d);
}

Bytes zlib(const Bytes& raw) {
  Bytes z;
  TvexDeflater::DeflateBuffer(raw.data(), raw.size(), 100, z);
  return z;
}

// Signature, the given chunks, IEND.
Bytes png(std::initializer_list<Bytes> chunks) {
  Bytes b = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  for (const Bytes& c : chunks) b.insert(b.end(), c.begin(), c.end());
  const Bytes end = chunk("IEND", {});
  b.insert(b.end(), end.begin(), end.end());
  return b;
}

struct Read {
  TvexErrorCode error;
  std::unique_ptr<TvexImage> image; // null without a bitmap
  TvexImageInfo info;
};

Read read_png(const Bytes& bytes, const std::string& description = "") {
  Read r;
  r.info.SetDescription(description);
  TvexPNGImage png;
  png.SetImageInfo(&r.info);
  pf::MemoryStream stream(bytes.data(), bytes.size());
  const DibHandle dib = png.LoadFromStream(stream);
  r.error = png.GetError();
  if (!pf::is_null(dib)) {
    r.image = std::make_unique<TvexImage>();
    r.image->SetDibHandle(dib);
  }
  return r;
}

// Pixels of the top row(s), 0xRRGGBB, row by row.
std::vector<std::uint32_t> pixels(TvexImage& image) {
  std::vector<std::uint32_t> p;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) p.push_back(pixel_rgb(image, x, y));
  return p;
}

struct FileCase {
  const char* name;
  Bytes file;
  TvexErrorCode error;
  int bit_count; // 0: no bitmap
  std::vector<std::uint32_t> rgb;
};

TEST(PngRead, FilesGiveTheirCodesAndPixels) {
  const Bytes grey3 = zlib({0, 7, 0, 8, 0, 9});
  // A stored block holding two of the three rows, then no more data.
  const Bytes cut = {0x78, 0x01, 0x00, 4, 0, 0xFB, 0xFF, 0, 7, 0, 8};
  Bytes bad_crc = ihdr(1, 1, 8, 0);
  bad_crc.back() ^= 1;
  const Bytes idat = chunk("IDAT", grey3);
  const Bytes half1 = chunk("IDAT", Bytes(grey3.begin(), grey3.begin() + 5));
  const Bytes half2 = chunk("IDAT", Bytes(grey3.begin() + 5, grey3.end()));
  Bytes half2_bad = half2;
  half2_bad.back() ^= 1;
  const Bytes empty = chunk("IDAT", {});
  Bytes too_long = chunk("tEXt", {'a', 0, 'b'});
  too_long[3] = 200;
  // The same rows stored, the file cut after two of them.
  Bytes cut_file = png(
      {ihdr(1, 3, 8, 0), chunk("IDAT", {0x78, 0x01, 0x01, 6, 0, 0xF9, 0xFF, 0, 7, 0, 8, 0, 9})});
  cut_file.resize(8 + 25 + 8 + 11);
  const std::vector<FileCase> cases = {
      {"grey 8", png({ihdr(1, 3, 8, 0), idat}), EC_OK, 8, {0x070707, 0x080808, 0x090909}},
      {"2-bit grey in a 4-bit bitmap",
       png({ihdr(5, 1, 2, 0), chunk("IDAT", zlib({0, 0x1B, 0x40}))}),
       EC_OK,
       4,
       {0, 0x555555, 0xAAAAAA, 0xFFFFFF, 0x555555}},
      {"2-bit palette",
       png({ihdr(2, 1, 2, 3), chunk("PLTE", {1, 2, 3, 4, 5, 6, 7, 8, 9}),
            chunk("IDAT", zlib({0, 0x90}))}),
       EC_OK,
       4,
       {0x070809, 0x040506}},
      {"grey + alpha on black",
       png({ihdr(2, 1, 8, 4), chunk("IDAT", zlib({0, 200, 0, 200, 255}))}),
       EC_OK,
       8,
       {0, 0xC8C8C8}},
      {"grey + alpha on bKGD",
       png({ihdr(2, 1, 8, 4), chunk("bKGD", {0, 100}), chunk("IDAT", zlib({0, 200, 0, 200, 51}))}),
       EC_OK,
       8,
       {0x646464, 0x787878}},
      {"RGBA on white bKGD",
       png({ihdr(2, 1, 8, 6), chunk("bKGD", {0, 255, 0, 255, 0, 255}),
            chunk("IDAT", zlib({0, 10, 20, 30, 0, 10, 20, 30, 255}))}),
       EC_OK,
       32,
       {0xFFFFFF, 0x0A141E}},
      {"filters Sub, Up, Average, Paeth",
       png({ihdr(2, 4, 8, 0), chunk("IDAT", zlib({1, 5, 3, 2, 2, 1, 3, 1, 4, 4, 250, 7}))}),
       EC_OK,
       8,
       {0x050505, 0x080808, 0x070707, 0x090909, 0x040404, 0x0A0A0A, 0xFEFEFE, 0x050505}},
      {"interlaced 1 x 1 has pass 0 only",
       png({ihdr(1, 1, 8, 2, 1), chunk("IDAT", zlib({0, 1, 2, 3}))}),
       EC_OK,
       24,
       {0x010203}},
      {"interlaced 2 x 2 grey 1 bit",
       png({ihdr(2, 2, 1, 0, 1), chunk("IDAT", zlib({0, 0x80, 0, 0x00, 0, 0x80}))}),
       EC_OK,
       1,
       {0xFFFFFF, 0, 0xFFFFFF, 0}},
      {"IDAT data split, empty IDATs around",
       png({ihdr(1, 3, 8, 0), empty, half1, empty, half2, empty}),
       EC_OK,
       8,
       {0x070707, 0x080808, 0x090909}},
      {"IDAT data ends early: rows kept",
       png({ihdr(1, 3, 8, 0), chunk("IDAT", cut)}),
       EC_BADDECOMPRESS,
       8,
       {0x070707, 0x080808, 0}},
      {"file cut inside IDAT: rows kept", cut_file, EC_ENDOFFILE, 8, {0x070707, 0x080808, 0}},
      {"bad filter type",
       png({ihdr(1, 3, 8, 0), chunk("IDAT", zlib({0, 7, 5, 8, 0, 9}))}),
       EC_BADDECOMPRESS,
       8,
       {0x070707, 0, 0}},
      {"bad CRC of a header chunk: data used", png({bad_crc, idat}), EC_CRC, 8, {0x070707}},
      {"bad CRC of a later IDAT: data used",
       png({ihdr(1, 3, 8, 0), half1, half2_bad}),
       EC_CRC,
       8,
       {0x070707, 0x080808, 0x090909}},
      {"chunk longer than the file", png({ihdr(1, 3, 8, 0), too_long}), EC_ENDOFFILE, 0, {}},
      {"no IHDR first", png({chunk("tEXt", {'a', 0, 'b'}), ihdr(1, 1, 8, 0)}), EC_BADFORMAT, 0, {}},
      {"not a PNG", {'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0}, EC_BADFORMAT, 0, {}},
      {"width 0", png({ihdr(0, 1, 8, 0), idat}), EC_BADFORMAT, 0, {}},
      {"width 2^31", png({ihdr(0x80000000u, 1, 8, 0), idat}), EC_BADFORMAT, 0, {}},
      {"no image data", png({ihdr(1, 1, 8, 0)}), EC_ENDOFDATA, 0, {}},
      {"bitmap over the size cap", png({ihdr(1 << 20, 1 << 20, 8, 2), idat}), EC_WINDOWS, 0, {}},
      {"16-bit samples", png({ihdr(1, 1, 16, 0), idat}), EC_BITDEPTH, 0, {}},
      {"RGB of 4 bits", png({ihdr(1, 1, 4, 2), idat}), EC_BITDEPTH, 0, {}},
      {"colour type 5", png({ihdr(1, 1, 8, 5), idat}), EC_UNKNOWNFORMAT, 0, {}},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    Read r = read_png(c.file);
    EXPECT_EQ(r.error, c.error);
    ASSERT_EQ(r.image != nullptr, c.bit_count != 0);
    if (!r.image) continue;
    EXPECT_EQ(r.image->BitCount(), c.bit_count);
    EXPECT_EQ(pixels(*r.image), c.rgb);
  }
}

TEST(PngRead, MetadataChunks) {
  const Bytes head = ihdr(1, 1, 8, 0), idat = chunk("IDAT", zlib({0, 0}));
  const auto text = [](const std::string& key, const std::string& value) {
    Bytes d(key.begin(), key.end());
    d.push_back(0);
    d.insert(d.end(), value.begin(), value.end());
    return chunk("tEXt", d);
  };
  Read r =
      read_png(png({head, text("Comment", "hi"), text("Author", "me"), text("Title", ""),
                    text("Description", "!"), text("Software", "s"), text("Source", "h"),
                    text("Copyright", "c"), chunk("pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0E, 0x74, 1}),
                    chunk("tIME", {0x07, 0xE4, 2, 29, 12, 34, 56}), idat}),
               "x");
  ASSERT_EQ(r.error, EC_OK);
  EXPECT_EQ(r.info.Description(), "hi\rCOMMENT\rx!");
  EXPECT_EQ(r.info.Artist(), "me");
  EXPECT_EQ(r.info.DocumentName(), "");
  EXPECT_EQ(r.info.Software(), "s");
  EXPECT_EQ(r.info.HostComputer(), "h");
  EXPECT_EQ(r.info.RightsNotice(), "c");
  EXPECT_EQ(r.info.ResolutionUnit(), RU_METER);
  EXPECT_EQ(r.info.XResolution(), 2835);
  EXPECT_EQ(r.info.YResolution(), 3700);
  EXPECT_EQ(r.image->XResolution(), 2835);
  // 29 February 2020 12:34:56 is day 43890 after 30 December 1899.
  EXPECT_DOUBLE_EQ(r.info.DateTime(), 43890.0 + (12 * 3600 + 34 * 60 + 56) / 86400.0);

  // An aspect ratio, and a date that does not exist, which is ignored.
  Read a = read_png(png({head, chunk("pHYs", {0, 0, 0, 3, 0, 0, 0, 2, 0}),
                         chunk("tIME", {0x07, 0xE3, 2, 29, 0, 0, 0}), idat}));
  EXPECT_EQ(a.info.AspectNumerator(), 3);
  EXPECT_EQ(a.info.AspectDenominator(), 2);
  EXPECT_EQ(a.info.DateTime(), 0);
}

// The row filters undone as the plain byte-by-byte reference does, for every
// type (5 is refused), pixel size and a spread of row lengths.
TEST(PngRead, UnfilterEqualsThePlainReference) {
  Rng rng(13);
  for (int type = 0; type <= 5; ++type)
    for (std::size_t bpp = 1; bpp <= 8; ++bpp)
      for (const std::size_t size :
           {std::size_t{0}, bpp - 1, bpp, 2 * bpp, 3 * bpp + 1, 96 * bpp, std::size_t{1000}}) {
        Bytes prior(size), row(size);
        for (auto& b : prior) b = static_cast<std::uint8_t>(rng.next());
        for (auto& b : row) b = static_cast<std::uint8_t>(rng.next());
        Bytes expect = row;
        const bool ok = reference::png_unfilter(type, expect.data(), prior.data(), size, bpp);
        EXPECT_EQ(vex::png::Unfilter(type, row.data(), prior.data(), size, bpp), ok);
        EXPECT_EQ(row, expect) << "type " << type << " bpp " << bpp << " size " << size;
      }
}

// The chunks of a file: type and data.
std::vector<std::pair<std::string, Bytes>> chunks_of(const Bytes& f) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (std::size_t at = 8; at + 12 <= f.size();) {
    const std::size_t n =
        (std::size_t{f[at]} << 24) | (f[at + 1] << 16) | (f[at + 2] << 8) | f[at + 3];
    out.emplace_back(std::string(f.begin() + long(at) + 4, f.begin() + long(at) + 8),
                     Bytes(f.begin() + long(at) + 8, f.begin() + long(at + 8 + n)));
    at += n + 12;
  }
  return out;
}

struct Written {
  TvexErrorCode error;
  Bytes file;
};

Written write_png(TvexImage& image, int quality = 100, std::uint32_t mask = 0xFFFF,
                  TvexImageInfo* info = nullptr) {
  TvexPNGImage png;
  png.SetQuality(static_cast<std::uint16_t>(quality));
  png.FilterMask = mask;
  png.SetImageInfo(info);
  png.SetClock([] {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 9;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_sec = 7;
    return t;
  });
  pf::MemoryStream out;
  png.SaveToStream(out, image.GetDibHandle());
  return {png.GetError(), out.TakeBytes()};
}

// The filtered rows of a written file, inflated.
Bytes idat_data(const Bytes& file) {
  Bytes z, raw;
  for (const auto& [type, data] : chunks_of(file))
    if (type == "IDAT") z.insert(z.end(), data.begin(), data.end());
  TvexInflater::InflateBuffer(z.data(), z.size(), raw, 1 << 24);
  return raw;
}

TEST(PngWrite, ChunksInOrderWithMetadataAndIdatPieces) {
  TvexImage image;
  make_random_image(image, 100, 100, 24, 7); // noise: 30100 bytes hardly shrink
  TvexImageInfo info;
  info.SetArtist("A");
  info.SetDocumentName("T");
  info.SetResolutionUnit(RU_METER);
  info.SetXResolution(2834.5);
  info.SetYResolution(3779.5);
  const Written w = write_png(image, 100, 0xFFFF, &info);
  ASSERT_EQ(w.error, EC_OK);
  std::string types;
  std::vector<std::size_t> idats;
  for (const auto& [type, data] : chunks_of(w.file)) {
    types += type + " ";
    if (type == "IDAT") idats.push_back(data.size());
    if (type == "pHYs") {
      EXPECT_EQ(data, (Bytes{0, 0, 0x0B, 0x12, 0, 0, 0x0E, 0xC4, 1}));
    }
    if (type == "tIME") {
      EXPECT_EQ(data, (Bytes{0x07, 0xEA, 12, 9, 13, 5, 7}));
    }
  }
  EXPECT_EQ(types, "IHDR pHYs tIME tEXt tEXt IDAT IDAT IDAT IDAT IEND ");
  ASSERT_EQ(idats.size(), 4u);
  EXPECT_EQ(idats[0], 8192u);
  EXPECT_EQ(idats[2], 8192u);
  EXPECT_LT(idats[3], 8192u);
  Bytes z;
  for (const auto& [type, data] : chunks_of(w.file))
    if (type == "IDAT") z.insert(z.end(), data.begin(), data.end());
  EXPECT_EQ(z, reference::deflate(idat_data(w.file), 100));
  Read r = read_png(w.file);
  EXPECT_EQ(r.error, EC_OK);
  EXPECT_EQ(pixel_digest(*r.image), pixel_digest(image));
  EXPECT_EQ(r.info.Artist(), "A");
  EXPECT_EQ(r.info.DocumentName(), "T");
}

TEST(PngWrite, FilterChoiceZlibHeaderAndRefusedDepth) {
  // Every row the same ramp: Sub wins the first row, Up (tied with Paeth) the others.
  TvexImage ramp;
  ramp.SetWidth(8);
  ramp.SetHeight(4);
  ramp.SetBitCount(24);
  for (int y = 0; y < 4; ++y)
    for (int i = 0; i < 24; ++i) ramp.ScanLine(y)[i] = static_cast<std::uint8_t>(i * 7);
  const struct {
    int quality;
    std::uint32_t mask;
    std::uint8_t flg;
    Bytes filters;
  } cases[] = {{100, 0xFFFF, 0xDA, {1, 2, 2, 2}},
               {20, 0xFFFF, 0x01, {1, 2, 2, 2}},
               {60, 0x1, 0x9C, {0, 0, 0, 0}},
               {40, 0x11, 0x5E, {0, 4, 4, 4}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quality);
    const Written w = write_png(ramp, c.quality, c.mask);
    ASSERT_EQ(w.error, EC_OK);
    for (const auto& [type, data] : chunks_of(w.file))
      if (type == "IDAT") {
        EXPECT_EQ(data[0], 0x78);
        EXPECT_EQ(data[1], c.flg);
        break;
      }
    const Bytes raw = idat_data(w.file);
    ASSERT_EQ(raw.size(), 4u * 25);
    Bytes z;
    for (const auto& [type, data] : chunks_of(w.file))
      if (type == "IDAT") z.insert(z.end(), data.begin(), data.end());
    EXPECT_EQ(z, reference::deflate(raw, c.quality)) << "the plain deflater's bytes";
    for (int y = 0; y < 4; ++y) EXPECT_EQ(raw[25 * y], c.filters[y]) << "row " << y;
  }
  // Rows by turns that Sub, Up, Average and Paeth each turn into zeros: the
  // file's filtered data equals the plain reference's for every filter mask.
  TvexImage mixed;
  mixed.SetWidth(40);
  mixed.SetHeight(16);
  mixed.SetBitCount(24);
  std::vector<Bytes> rgb_rows;
  Bytes prev(120, 0);
  for (int y = 0; y < 16; ++y) {
    Bytes row(120);
    for (int i = 0; i < 120; ++i) {
      const int left = i >= 3 ? row[i - 3] : 0, up = prev[i], upper_left = i >= 3 ? prev[i - 3] : 0;
      const int p = left + up - upper_left;
      const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upper_left);
      const int paeth = pa <= pb && pa <= pc ? left : pb <= pc ? up : upper_left;
      const int kinds[4] = {i * 5 + y, up, (left + up) / 2 + (i < 3 ? 90 : 0),
                            i < 3 ? 200 - y : paeth};
      row[i] = static_cast<std::uint8_t>(kinds[y % 4]);
    }
    for (int x = 0; x < 40; ++x)
      for (int k = 0; k < 3; ++k) mixed.ScanLine(y)[3 * x + k] = row[3 * x + 2 - k];
    rgb_rows.push_back(row);
    prev = row;
  }
  std::string types;
  for (const std::uint32_t mask : {0xFFFFu, 0x1u, 0x3u, 0x5u, 0x9u, 0x11u, 0x1Du}) {
    const Bytes raw = idat_data(write_png(mixed, 50, mask).file);
    EXPECT_EQ(raw, reference::png_filter_rows(rgb_rows, 3, mask)) << "mask " << mask;
    for (std::size_t at = 0; at < raw.size(); at += 121) types += char('0' + raw[at]);
  }
  for (const char t : {'0', '1', '2', '3', '4'}) EXPECT_NE(types.find(t), std::string::npos) << t;

  TvexImage deep;
  make_random_image(deep, 4, 4, 16, 1);
  const Written w = write_png(deep);
  EXPECT_EQ(w.error, EC_BITDEPTH);
  EXPECT_EQ(w.file.size(), 8u); // the signature, no image data
}

} // namespace
