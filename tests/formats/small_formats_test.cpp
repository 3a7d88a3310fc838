// PBM/PGM/PPM, SGI and icon files from bytes: what each reads (pixels, codes
// of broken and hostile files), what the writers write, the SGI run-length
// codec's lines, and saves the icon format refuses.
#include "codecs/rle_sgi.h"
#include "vexImageFile.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
namespace pf = vex::platform;
using namespace testing_support;

namespace {

std::string be16(unsigned v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string be32(std::uint32_t v) {
  return be16(v >> 16) + be16(v & 0xFFFF);
}
std::string le16(unsigned v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string le32(std::uint32_t v) {
  return le16(v & 0xFFFF) + le16(v >> 16);
}
std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

// An SGI header: storage, bytes per channel, dimension, sides, channels and
// the colour map id.
std::string sgi(int storage, int bpc, int dimension, int x, int y, int z, std::uint32_t map = 0) {
  std::string h = be16(474) + bytes({storage, bpc}) + be16(dimension) + be16(x) + be16(y) + be16(z);
  h += be32(0) + be32(255) + std::string(84, '\0') + be32(map);
  return h + std::string(512 - h.size(), '\0');
}

// An icon with one bitmap entry: the 40-byte header (stored height doubled),
// `palette` entries i -> (i, i, i) and the pixel bytes.
std::string icon(int bits, int w, int h, int palette, const std::string& pixels,
                 std::uint32_t header_size = 40, std::uint32_t colours_used = 0) {
  std::string d = le16(0) + le16(1) + le16(1);
  d += bytes({w, h, 0, 0}) + le16(1) + le16(bits) + le32(0) + le32(22);
  std::string b = le32(header_size) + le32(w) + le32(2 * h) + le16(1) + le16(bits) + le32(0) +
                  le32(0) + le32(0) + le32(0) + le32(colours_used) + le32(0);
  b += std::string(header_size - 40, '\0');
  for (int i = 0; i < palette; ++i) b += bytes({i, i, i, 0});
  return d + b + pixels;
}

struct Loaded {
  TvexErrorCode error = EC_OK;
  std::unique_ptr<TvexImage> image = std::make_unique<TvexImage>();
  TvexImageInfo info;
};

Loaded load(TvexImageFile& reader, const std::string& data) {
  Loaded r;
  pf::MemoryStream stream(data.data(), data.size());
  reader.SetImageInfo(&r.info);
  const DibHandle dib = reader.LoadFromStream(stream);
  if (!pf::is_null(dib)) r.image->SetDibHandle(dib);
  r.error = reader.GetError();
  return r;
}

// The pixel bytes of each row, top row first, as hex.
std::string rows_hex(TvexImage& image) {
  std::string s;
  if (!image.Bits()) return "none";
  const int h = std::abs(image.Height());
  const int n = (image.Width() * image.BitCount() + 7) / 8;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = image.ScanLine(y);
    if (y) s += '/';
    for (int i = 0; i < n; ++i) {
      char b[3];
      std::snprintf(b, sizeof b, "%02x", row[i]);
      s += b;
    }
  }
  return s;
}

using Make = std::function<std::unique_ptr<TvexImageFile>()>;
const Make kPnm = [] { return std::make_unique<TvexPxMImage>(); };
const Make kSgi = [] { return std::make_unique<TvexSGIImage>(); };
const Make kIcon = [] { return std::make_unique<TvexICONImage>(); };

} // namespace

TEST(SmallFormats, ReadersGiveThePixelsOrTheCodes) {
  const std::string rle_rows = sgi(1, 1, 2, 3, 2, 1) + be32(528) + be32(532) + be32(4) + be32(3) +
                               bytes({0x03, 7, 0x00, 0x00}) + bytes({0x82, 1, 2});
  struct Case {
    const char* name;
    Make make;
    std::string data;
    TvexErrorCode code;
    const char* rows; // DIB bytes of each row, top first; "none" for no picture
  };
  const Case cases[] = {
      {"P5 with a comment", kPnm, "P5\n# scan\n2 1\n255\n" + bytes({10, 20}), EC_OK, "0a14"},
      {"P4 rows of two bytes, 1 is black", kPnm, "P4\n10 2\n" + bytes({0xFF, 0xC0, 0, 0}), EC_OK,
       "0000/ffc0"},
      {"P1 digits with and without spaces", kPnm, "P1\n3 2\n0 1 0\n110\n", EC_OK, "a0/20"},
      {"P2 maxval 15 scaled, larger values clamped", kPnm, "P2\n3 1\n15\n0 7 99\n", EC_OK,
       "0077ff"},
      {"P3 red first", kPnm, "P3\n1 1\n255\n1 2 3\n", EC_OK, "030201"},
      {"P6 two bytes a sample", kPnm, "P6 1 1 65535 " + bytes({0, 0, 0x80, 0, 0xFF, 0xFF}), EC_OK,
       "ff8000"},
      {"header on one line with comments", kPnm, "P5 #a\n2#b\n1 255 xy", EC_OK, "7879"},
      {"header with CR LF", kPnm, "P5\r\n2 1\r\n255\r\n" + bytes({10, 20}), EC_OK, "0a14"},
      {"P7 is not known", kPnm, "P7\n2 1\n", EC_BADFORMAT, "none"},
      {"width not a number", kPnm, "P5\nx 1\n255\n", EC_READFROMFILE, "none"},
      {"width overflows", kPnm, "P5\n99999999999999999999 1\n255\n", EC_READFROMFILE, "none"},
      {"zero height", kPnm, "P5\n2 0\n255\n", EC_READFROMFILE, "none"},
      {"maxval 0", kPnm, "P5\n2 1\n0\n", EC_READFROMFILE, "none"},
      {"maxval above 65535", kPnm, "P5\n2 1\n65536\n", EC_READFROMFILE, "none"},
      {"no separator after maxval", kPnm, "P5\n2 1\n255", EC_READFROMFILE, "none"},
      {"binary pixels cut short", kPnm, "P5\n2 2\n255\n" + bytes({1, 2, 3}), EC_ENDOFFILE,
       "0102/0300"},
      {"text pixel not a number", kPnm, "P2\n2 1\n255\n1 x\n", EC_ENDOFFILE, "0100"},
      {"text pixels missing", kPnm, "P1\n2 1\n1", EC_ENDOFFILE, "00"},
      {"SGI verbatim, three channels", kSgi, sgi(0, 1, 3, 2, 1, 3) + "\x01\x02\x03\x04\x05\x06",
       EC_OK, "050301060402"},
      {"SGI verbatim, rows bottom up", kSgi, sgi(0, 1, 2, 1, 2, 1) + "\x01\x02", EC_OK, "02/01"},
      {"SGI run-length rows", kSgi, rle_rows, EC_OK, "010200/070707"},
      {"SGI two bytes a channel", kSgi, sgi(0, 2, 3, 1, 1, 3), EC_BITDEPTH, "none"},
      {"SGI dimension 1", kSgi, sgi(0, 1, 1, 1, 1, 1), EC_UNKNOWNFORMAT, "none"},
      {"SGI colour map", kSgi, sgi(0, 1, 2, 1, 1, 1, 0x00010000), EC_UNKNOWNFORMAT, "none"},
      {"SGI two channels", kSgi, sgi(0, 1, 3, 1, 1, 2), EC_UNKNOWNFORMAT, "none"},
      {"SGI zero width", kSgi, sgi(0, 1, 2, 0, 1, 1), EC_READFROMFILE, "none"},
      {"SGI header cut", kSgi, sgi(0, 1, 2, 1, 1, 1).substr(0, 100), EC_READFROMFILE, "none"},
      {"SGI verbatim cut", kSgi, sgi(0, 1, 2, 2, 2, 1) + "\x01", EC_ENDOFFILE, "0000/0100"},
      {"SGI tables cut", kSgi, sgi(1, 1, 2, 2, 2, 1) + be32(0), EC_ENDOFFILE, "0000/0000"},
      {"SGI lines past the end", kSgi,
       sgi(1, 1, 2, 2, 1, 1) + be32(9999) + be32(4) + bytes({0x02, 5, 0}), EC_ENDOFFILE, "0000"},
      {"SGI lines sharing bytes, lengths huge", kSgi,
       sgi(1, 1, 2, 2, 2, 1) + be32(528) + be32(528) + be32(0xFFFFFFFF) + be32(0xFFFFFFFF) +
           bytes({0x02, 9, 0}),
       EC_OK, "0909/0909"},
      {"SGI lines pointing into the header", kSgi,
       sgi(1, 1, 2, 2, 1, 1) + be32(0) + be32(4) + bytes({0}), EC_OK, "da01"},
      {"icon, 8 bits", kIcon, icon(8, 2, 2, 256, bytes({1, 2, 0, 0, 3, 4, 0, 0})), EC_OK,
       "0304/0102"},
      {"icon with a V5 header", kIcon, icon(24, 1, 1, 0, bytes({1, 2, 3, 0}), 124), EC_OK,
       "010203"},
      {"icon with a short colour table", kIcon, icon(8, 1, 1, 2, bytes({1, 0, 0, 0}), 40, 2), EC_OK,
       "01"},
      {"a cursor is not an icon", kIcon, le16(0) + le16(2) + le16(1) + std::string(16, '\0'),
       EC_BADFORMAT, "none"},
      {"no images", kIcon, le16(0) + le16(1) + le16(0), EC_BADFORMAT, "none"},
      {"entry cut", kIcon, le16(0) + le16(1) + le16(1) + "\x10", EC_READFROMFILE, "none"},
      {"entry points past the end", kIcon, icon(8, 1, 1, 0, "").replace(18, 4, le32(5000)),
       EC_READFROMFILE, "none"},
      {"bit count 7", kIcon, icon(7, 1, 1, 0, ""), EC_BITDEPTH, "none"},
      {"pixels cut short", kIcon, icon(24, 2, 2, 0, "\x01\x02"), EC_READFROMFILE,
       "000000000000/0102"
       "00000000"},
      {"PNG image cut after its signature: a damaged icon", kIcon,
       icon(8, 1, 1, 0, "").replace(22, 8, "\x89PNG\r\n\x1a\n"), EC_READFROMFILE, "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = c.make();
    Loaded r = load(*reader, c.data);
    EXPECT_EQ(int{r.error}, int{c.code});
    EXPECT_EQ(rows_hex(*r.image), c.rows);
  }
  auto pnm = kPnm();
  EXPECT_EQ(load(*pnm, cases[0].data).info.Description(), "scan");
}

TEST(SmallFormats, SgiRunLengthLines) {
  TvexImage image;
  make_random_image(image, 300, 2, 8, 1);
  std::memset(image.ScanLine(1), 9, 300); // the bottom row: the first line
  TvexImageSGIRLE codec;
  codec.SetImage(image.GetDibHandle());
  const std::uint8_t* data = nullptr;
  std::int32_t count = 0, raw = 3;
  std::vector<std::vector<std::uint8_t>> lines;
  for (int i = 0; i < 2; ++i) {
    raw = 300;
    ASSERT_EQ(codec.Compress(data, count, raw), EC_OK);
    EXPECT_EQ(raw, 300);
    lines.emplace_back(data, data + count);
  }
  const std::vector<std::uint8_t> equal = {0x7F, 9, 0x56, 9, 0x57, 9, 0};
  EXPECT_EQ(lines[0], equal);

  // Decoding gives the lines back, with or without their terminators.
  TvexImage back;
  make_random_image(back, 300, 2, 8, 2);
  back.FillBytes(0);
  TvexImageSGIRLE decoder;
  decoder.SetImage(back.GetDibHandle());
  for (std::size_t i = 0; i < 2; ++i) {
    std::int32_t length = static_cast<std::int32_t>(lines[i].size() - i), produced = 0;
    decoder.Decompress(lines[i].data(), length, produced);
  }
  EXPECT_EQ(std::memcmp(back.ScanLine(0), image.ScanLine(0), 300), 0);
  EXPECT_EQ(std::memcmp(back.ScanLine(1), image.ScanLine(1), 300), 0);

  TvexImage tiny;
  make_random_image(tiny, 3, 1, 8, 3);
  std::memcpy(tiny.ScanLine(0), "\x01\x02\x03", 3);
  TvexImageSGIRLE small;
  small.SetImage(tiny.GetDibHandle());
  raw = 3;
  ASSERT_EQ(small.Compress(data, count, raw), EC_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + count),
            (std::vector<std::uint8_t>{0x83, 1, 2, 3, 0}));
}

namespace {

std::string save(TvexImageFile& writer, TvexImage& image, TvexImageInfo* info = nullptr) {
  pf::MemoryStream stream;
  writer.SetImageInfo(info);
  writer.SaveToStream(stream, image.GetDibHandle());
  const auto b = stream.TakeBytes();
  return {b.begin(), b.end()};
}

// A grey image: the ramp black to white (or white to black) over the depth.
void make_grey(TvexImage& image, int w, int h, int bpp, bool white_first, std::uint32_t seed) {
  make_random_image(image, w, h, bpp, seed);
  TvexImage::LogPalette grey;
  const int n = 1 << bpp;
  grey.palNumEntries = static_cast<std::uint16_t>(n);
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint8_t>((white_first ? n - 1 - i : i) * 255 / (n - 1));
    grey.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&grey);
}

} // namespace

TEST(SmallFormats, WritersWriteThePictureOrRefuseIt) {
  TvexImage rgb;
  make_random_image(rgb, 1, 1, 24, 1);
  std::memcpy(rgb.ScanLine(0), "\x01\x02\x03", 3);
  TvexImageInfo info;
  info.SetDescription("two\nlines");
  struct Case {
    TvexFileFormat format;
    TvexCompression compression;
    TvexImageInfo* info;
    const char* file;
  };
  const Case files[] = {
      {FF_PPM, CP_NOCOMP, nullptr, "P6\n1 1\n255\n\x03\x02\x01"},
      {FF_PPM, CP_PPM_ASCII, &info, "P3\n# two lines\n1 1\n255\n3 2 1 \n"},
  };
  for (const Case& c : files) {
    TvexPxMImage writer(c.format);
    writer.SetCompression(c.compression);
    EXPECT_EQ(save(writer, rgb, c.info), c.file);
  }

  // Text bitmaps: lines of 68 characters but the last.
  TvexImage bw;
  make_grey(bw, 70, 2, 1, false, 2);
  TvexPxMImage pbm(FF_PBM);
  pbm.SetCompression(CP_PBM_ASCII);
  const std::string text = save(pbm, bw);
  std::vector<std::size_t> lengths;
  for (std::size_t at = text.find("\n", 7) + 1, lf; (lf = text.find('\n', at)) != std::string::npos;
       at = lf + 1)
    lengths.push_back(lf - at);
  EXPECT_EQ(lengths, (std::vector<std::size_t>{68, 68, 68, 68, 8}));

  struct Refusal {
    const char* name;
    TvexFileFormat format;
    TvexCompression compression;
    int bpp;
    bool grey;
    TvexErrorCode code;
  };
  const Refusal refusals[] = {
      {"colour as PBM", FF_PBM, CP_NOCOMP, 24, false, EC_BADCOMPRESS},
      {"4-bit grey", FF_PGM, CP_NOCOMP, 4, true, EC_COLORFORMAT},
      {"colour palette", FF_PPM, CP_NOCOMP, 8, false, EC_COLORFORMAT},
      {"colour as P1", FF_PBM, CP_PBM_ASCII, 24, false, EC_COLORFORMAT},
      {"P6 for PGM", FF_PGM, CP_PPM_BINARY, 8, true, EC_BADCOMPRESS},
      {"SGI colour palette", FF_SGI, CP_NOCOMP, 8, false, EC_IMAGEFORMAT},
      {"SGI 16 bits", FF_SGI, CP_SGI_RLE, 16, false, EC_IMAGEFORMAT},
      {"SGI 1-bit grey", FF_SGI, CP_NOCOMP, 1, true, EC_IMAGEFORMAT},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    TvexImage image;
    if (r.grey)
      make_grey(image, 5, 3, r.bpp, false, 3);
    else
      make_random_image(image, 5, 3, r.bpp, 3);
    auto writer = vexMakeFormat(r.format, ImageFileManager());
    writer->SetCompression(r.compression);
    save(*writer, image);
    EXPECT_EQ(int{writer->GetError()}, int{r.code});
  }
}

TEST(SmallFormats, WrittenFilesReadBackToTheSamePicture) {
  struct Case {
    TvexFileFormat format;
    TvexCompression compression;
    int bpp;
    bool white_first;
  };
  const Case cases[] = {
      {FF_PBM, CP_PBM_ASCII, 1, false},  {FF_PBM, CP_PBM_BINARY, 1, true},
      {FF_PGM, CP_PGM_ASCII, 8, true},   {FF_PGM, CP_PGM_BINARY, 8, false},
      {FF_PPM, CP_PPM_ASCII, 24, false}, {FF_PPM, CP_PPM_BINARY, 24, false},
      {FF_SGI, CP_NOCOMP, 8, true},      {FF_SGI, CP_SGI_RLE, 8, false},
      {FF_SGI, CP_NOCOMP, 24, false},    {FF_SGI, CP_SGI_RLE, 24, false},
      {FF_SGI, CP_NOCOMP, 32, false},    {FF_SGI, CP_SGI_RLE, 32, false},
  };
  std::uint32_t seed = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.format) + "/" + std::to_string(c.compression) + "/" +
                 std::to_string(c.bpp));
    TvexImage image;
    if (c.bpp <= 8)
      make_grey(image, 131, 5, c.bpp, c.white_first, seed++);
    else
      make_random_image(image, 131, 5, c.bpp, seed++);
    for (int y = 0; y < 5; ++y) std::memset(image.ScanLine(y), y, 16); // runs
    auto writer = vexMakeFormat(c.format, ImageFileManager());
    writer->SetCompression(c.compression);
    const std::string file = save(*writer, image);
    ASSERT_EQ(writer->GetError(), EC_OK);
    auto reader = vexMakeFormat(c.format, ImageFileManager());
    Loaded back = load(*reader, file);
    ASSERT_EQ(back.error, EC_OK);
    EXPECT_EQ(int{reader->GetCompression()}, c.compression == CP_NOCOMP ? 0 : c.compression);
    if (c.bpp <= 8) {
      // The same greys (from a palette with black first).
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 131; ++x)
          ASSERT_EQ(pixel_rgb(*back.image, x, y), pixel_rgb(image, x, y)) << x << "," << y;
    } else {
      EXPECT_EQ(rows_hex(*back.image), rows_hex(image)); // alpha too
    }
    if (c.compression == CP_SGI_RLE) {
      // The first line starts right after the header and the two tables.
      const std::uint32_t first = (std::uint32_t{std::uint8_t(file[512])} << 24) |
                                  (std::uint32_t{std::uint8_t(file[513])} << 16) |
                                  (std::uint32_t{std::uint8_t(file[514])} << 8) |
                                  std::uint8_t(file[515]);
      EXPECT_EQ(first, 512u + 8u * 5u * static_cast<std::uint32_t>(c.bpp / 8));
    }
  }
}

TEST(SmallFormats, AnIconSaveIsRefusedAndLeavesNoFile) {
  TvexImage image;
  make_random_image(image, 4, 4, 24, 1);
  const fs::path dir = scratch_dir("small_formats_icon_save");
  TvexICONImage writer;
  writer.SaveToFile((dir / "a.ico").string(), image.GetDibHandle());
  EXPECT_EQ(writer.GetError(), EC_UNKNOWNFORMAT);
  TvexImageFileMgr manager;
  manager.SaveImage((dir / "b.ico").string(), FF_DETECT, image.GetDibHandle());
  EXPECT_EQ(manager.GetLastError(), EC_UNKNOWNFORMAT);
  EXPECT_TRUE(fs::is_empty(dir));
  pf::MemoryStream stream;
  writer.SaveToStream(stream, image.GetDibHandle());
  EXPECT_EQ(writer.GetError(), EC_UNKNOWNFORMAT);
  EXPECT_EQ(stream.Size(), 0);
}
