// BMP reading and writing, and the file base it rests on: round trips of
// every depth and compression, the error codes of broken files, OS/2 and
// top-down files, hostile sizes, and the base's helpers.
#include "vexImageFile.h"

#include "platform/exceptions.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
namespace pf = vex::platform;
using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A Windows bitmap with a 40-byte header, `colours` palette entries and the given pixel bytes.
Bytes make_bmp(std::int32_t w, std::int32_t h, int bpp, std::uint32_t compression, int colours,
               const Bytes& pixels) {
  const std::uint32_t offset = 54 + 4 * static_cast<std::uint32_t>(colours);
  Bytes b(offset + pixels.size(), 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, offset + static_cast<std::uint32_t>(pixels.size()));
  put32(b, 10, offset);
  put32(b, 14, 40);
  put32(b, 18, static_cast<std::uint32_t>(w));
  put32(b, 22, static_cast<std::uint32_t>(h));
  put16(b, 26, 1);
  put16(b, 28, static_cast<std::uint32_t>(bpp));
  put32(b, 30, compression);
  put32(b, 38, 3780); // 96 dpi
  put32(b, 42, 2835); // 72 dpi
  for (int i = 0; i < colours; ++i) {
    b[54 + 4 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);           // blue
    b[54 + 4 * static_cast<std::size_t>(i) + 1] = static_cast<std::uint8_t>(255 - i); // green
    b[54 + 4 * static_cast<std::size_t>(i) + 2] = static_cast<std::uint8_t>(i * 3);   // red
  }
  if (!pixels.empty()) std::memcpy(b.data() + offset, pixels.data(), pixels.size());
  return b;
}

struct Loaded {
  TvexErrorCode error;
  std::unique_ptr<TvexImage> image;
};

Loaded load_bytes(const Bytes& bytes, TvexImageInfo* info = nullptr) {
  pf::MemoryStream mem(bytes.data(), bytes.size());
  TvexBmpImage reader;
  reader.SetImageInfo(info);
  const DibHandle dib = reader.LoadFromStream(mem);
  Loaded r{reader.GetError(), std::make_unique<TvexImage>()};
  if (!pf::is_null(dib)) r.image->SetDibHandle(dib);
  return r;
}

} // namespace

TEST(Bmp, RoundTripsEveryDepthAndCompression) {
  struct Case {
    int bpp;
    TvexCompression compression;
    std::uint32_t header_compression;
  };
  const Case cases[] = {{1, CP_NOCOMP, 0},  {4, CP_NOCOMP, 0}, {4, CP_RLE4, 2},
                        {8, CP_NOCOMP, 0},  {8, CP_RLE8, 1},   {16, CP_NOCOMP, 0},
                        {24, CP_NOCOMP, 0}, {32, CP_NOCOMP, 0}};
  const fs::path dir = scratch_dir("bmp_round_trip");
  for (const Case& c : cases) {
    for (const auto& [w, h] : {std::pair{1, 1}, std::pair{13, 7}, std::pair{64, 3}}) {
      SCOPED_TRACE(std::to_string(c.bpp) + " bits, compression " + std::to_string(c.compression) +
                   ", " + std::to_string(w) + "x" + std::to_string(h));
      TvexImage image;
      make_random_image(image, w, h, c.bpp, static_cast<std::uint32_t>(w * 31 + c.bpp));
      if (c.bpp == 4 && (w & 1)) // the unused nibble is not part of the picture
        for (int y = 0; y < h; ++y) image.ScanLine(y)[w / 2] &= 0xF0;
      const std::string file = (dir / "x.bmp").string();
      TvexBmpImage writer;
      writer.SetCompression(c.compression);
      writer.SaveToFile(file, image.GetDibHandle());
      ASSERT_EQ(writer.GetError(), EC_OK);
      const Bytes bytes = read_file(file);
      ASSERT_GE(bytes.size(), 54u);
      EXPECT_EQ(bytes[30], c.header_compression);

      TvexBmpImage reader;
      TvexImage back;
      back.SetDibHandle(reader.LoadFromFile(file));
      ASSERT_EQ(reader.GetError(), EC_OK);
      EXPECT_EQ(reader.GetCompression(), c.compression);
      EXPECT_EQ(pixel_digest(back), pixel_digest(image));
    }
  }
}

TEST(Bmp, BrokenFilesGiveTheirCodes) {
  const Bytes good = make_bmp(4, 2, 8, 0, 256, Bytes(8, 1));
  auto with = [&](auto change) {
    Bytes b = good;
    change(b);
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    TvexErrorCode error;
    bool image;
  };
  const Case cases[] = {
      {"good", good, EC_OK, true},
      {"not BM", with([](Bytes& b) { b[1] = 'A'; }), EC_BADFORMAT, false},
      {"66-byte header", with([](Bytes& b) { put32(b, 14, 66); }), EC_BADFORMAT, false},
      {"16-byte header", with([](Bytes& b) { put32(b, 14, 16); }), EC_BADFORMAT, false},
      {"shorter than a file header", Bytes{'B', 'M', 0, 0}, EC_BADFORMAT, false},
      {"empty", Bytes{}, EC_BADFORMAT, false},
      {"2 bits per pixel", with([](Bytes& b) { put16(b, 28, 2); }), EC_BITDEPTH, false},
      {"0 bits per pixel", with([](Bytes& b) { put16(b, 28, 0); }), EC_BITDEPTH, false},
      {"pixels cut short", Bytes(good.begin(), good.end() - 3), EC_ENDOFFILE, true},
      {"zero width", with([](Bytes& b) { put32(b, 18, 0); }), EC_WINDOWS, false},
      {"zero height", with([](Bytes& b) { put32(b, 22, 0); }), EC_WINDOWS, false},
      {"huge bitmap", with([](Bytes& b) {
         put32(b, 18, 100000);
         put32(b, 22, 100000);
       }),
       EC_WINDOWS, false},
      {"most negative height", with([](Bytes& b) { put32(b, 22, 0x80000000u); }), EC_WINDOWS,
       false},
      {"pixel offset beyond the end", with([](Bytes& b) { put32(b, 10, 0xFFFFFFF0u); }),
       EC_ENDOFFILE, true},
      {"unknown compression read as plain", with([](Bytes& b) { put32(b, 30, 7); }), EC_OK, true},
  };
  for (const Case& c : cases) {
    const Loaded r = load_bytes(c.bytes);
    EXPECT_EQ(int{r.error}, int{c.error}) << c.name;
    EXPECT_EQ(r.image->Bits() != nullptr, c.image) << c.name;
  }
}

TEST(Bmp, HugeBitmapIsRefusedByThePlatform) {
  Bytes b = make_bmp(4, 2, 24, 0, 0, Bytes(24, 0));
  put32(b, 18, 3000000);
  put32(b, 22, 2000000);
  pf::MemoryStream mem(b.data(), b.size());
  TvexBmpImage reader;
  EXPECT_TRUE(pf::is_null(reader.LoadFromStream(mem)));
  EXPECT_EQ(reader.GetError(), EC_WINDOWS);
  EXPECT_EQ(reader.GetWinError(), pf::kErrorNotEnoughMemory);
}

TEST(Bmp, TopDownFileComesOutWithItsTopRowFirst) {
  // Rows in file order: 1 1 1 1, 2 2 2 2, 3 3 3 3 (the first is the top).
  Bytes pixels;
  for (int r = 1; r <= 3; ++r) pixels.insert(pixels.end(), 4, static_cast<std::uint8_t>(r));
  const Loaded up = load_bytes(make_bmp(4, -3, 8, 0, 256, pixels));
  ASSERT_EQ(up.error, EC_OK);
  EXPECT_GT(up.image->Height(), 0); // held bottom-up like every image
  for (int y = 0; y < 3; ++y) EXPECT_EQ(up.image->ScanLine(y)[0], y + 1);
  // The same rows bottom-up: the first row in the file is the bottom one.
  const Loaded down = load_bytes(make_bmp(4, 3, 8, 0, 256, pixels));
  for (int y = 0; y < 3; ++y) EXPECT_EQ(down.image->ScanLine(y)[0], 3 - y);
}

TEST(Bmp, Os2FileWithTripletPalette) {
  // 12-byte core header, 8 bits, 256 RGB triples.
  Bytes b(14 + 12 + 256 * 3, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 10, static_cast<std::uint32_t>(b.size()));
  put32(b, 14, 12);
  put16(b, 18, 2);
  put16(b, 20, 2);
  put16(b, 22, 1);
  put16(b, 24, 8);
  for (int i = 0; i < 256; ++i) {
    b[26 + 3 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);      // blue
    b[26 + 3 * static_cast<std::size_t>(i) + 1] = 7;                             // green
    b[26 + 3 * static_cast<std::size_t>(i) + 2] = static_cast<std::uint8_t>(~i); // red
  }
  b.insert(b.end(), {5, 6, 0, 0, 7, 8, 0, 0});
  pf::MemoryStream mem(b.data(), b.size());
  TvexBmpImage reader;
  TvexImage image;
  image.SetDibHandle(reader.LoadFromStream(mem));
  ASSERT_EQ(reader.GetError(), EC_OK);
  EXPECT_TRUE(reader.GetIsOS2());
  EXPECT_EQ(image.Width(), 2);
  EXPECT_EQ(image.ScanLine(1)[0], 5); // bottom row first in the file
  pf::RgbQuad table[256];
  ASSERT_EQ(pf::GetDIBColorTable(image.GetDibHandle(), 0, 256, table), 256u);
  for (int i : {0, 1, 128, 255}) {
    EXPECT_EQ(table[i].rgbBlue, i);
    EXPECT_EQ(table[i].rgbGreen, 7);
    EXPECT_EQ(table[i].rgbRed, 255 - i);
    EXPECT_EQ(table[i].rgbReserved, 0);
  }
}

TEST(Bmp, LargerHeadersAndColourMasks) {
  // A 3 x 1 picture behind an info header of `size` bytes whose bytes 40..
  // hold `inside` (masks of the larger headers), then `after` (masks after a
  // 40-byte header, or the palette), then the pixels.
  auto file = [](std::uint32_t size, int bpp, std::uint32_t compression, const Bytes& inside,
                 const Bytes& after, const Bytes& pixels) {
    Bytes b(14 + size, 0);
    b[0] = 'B', b[1] = 'M';
    put32(b, 10, static_cast<std::uint32_t>(14 + size + after.size()));
    put32(b, 14, size);
    put32(b, 18, 3);
    put32(b, 22, 1);
    put16(b, 26, 1);
    put16(b, 28, static_cast<std::uint32_t>(bpp));
    put32(b, 30, compression);
    std::copy(inside.begin(), inside.end(), b.begin() + 54);
    b.insert(b.end(), after.begin(), after.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    b.resize(b.size() + (4 - pixels.size() % 4) % 4, 0); // the row's padding
    return b;
  };
  auto le = [](std::initializer_list<std::uint32_t> words, int bytes) {
    Bytes out;
    for (std::uint32_t w : words)
      for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    return out;
  };
  const Bytes m565 = le({0xF800, 0x07E0, 0x001F}, 4), m555 = le({0x7C00, 0x03E0, 0x001F}, 4);
  const Bytes px565 = le({0xF800, 0x07E0, 0x0821}, 2); // red, green, (1, 1, 1)
  Bytes palette = le({0x00000000, 0x00FF8040, 0x00123456}, 4);
  const struct {
    const char* what;
    Bytes bytes;
    int bits;             // of the picture
    std::uint32_t rgb[3]; // its three pixels
  } cases[] = {
      {"5-6-5 after a 40-byte header",
       file(40, 16, 3, {}, m565, px565),
       24,
       {0xFF0000, 0x00FF00, 0x080408}},
      {"5-5-5 masks keep the 16-bit picture",
       file(40, 16, 3, {}, m555, le({0x7C00, 0, 0x1F}, 2)),
       16,
       {0xFF0000, 0, 0x0000FF}},
      {"no masks: 5-5-5",
       file(40, 16, 0, {}, {}, le({0x7C00, 0, 0x1F}, 2)),
       16,
       {0xFF0000, 0, 0x0000FF}},
      {"32-bit R and B swapped",
       file(40, 32, 3, {}, le({0xFF, 0xFF00, 0xFF0000}, 4), le({0x0000FF, 0x00FF00, 0x563412}, 4)),
       24,
       {0xFF0000, 0x00FF00, 0x123456}},
      {"alpha bit fields",
       file(40, 32, 6, {}, le({0xFF, 0xFF00, 0xFF0000, 0xFF000000}, 4),
            le({0xFF0000FF, 0, 0x563412}, 4)),
       24,
       {0xFF0000, 0, 0x123456}},
      {"10-10-10 masks in a 52-byte header",
       file(52, 32, 3, le({0x3FF00000, 0xFFC00, 0x3FF}, 4), {},
            le({0x3FF00000, 0x200, 0x3FFFFFFF}, 4)),
       24,
       {0xFF0000, 0x00007F, 0xFFFFFF}},
      {"2-3-1 masks in a 56-byte header",
       file(56, 16, 3, le({0x30, 0x0E, 0x01, 0}, 4), {}, le({0x10, 0x0E, 0x01}, 2)),
       24,
       {0x550000, 0x00FF00, 0x0000FF}},
      {"5-6-5 in a 124-byte header",
       file(124, 16, 3, m565, {}, px565),
       24,
       {0xFF0000, 0x00FF00, 0x080408}},
      {"24 bits behind a 108-byte header",
       file(108, 24, 0, {}, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9}),
       24,
       {0x030201, 0x060504, 0x090807}},
      {"palette after a 124-byte header",
       file(124, 8, 0, {}, palette, {2, 1, 0}),
       8,
       {0x123456, 0xFF8040, 0}},
      {"palette after a 64-byte OS/2 header",
       file(64, 8, 0, {}, palette, {1, 2, 0}),
       8,
       {0xFF8040, 0x123456, 0}},
      {"split masks keep 5-5-5",
       file(40, 16, 3, {}, le({0xF0F0, 0x0F00, 0x000F}, 4), le({0x7C00, 0, 0x1F}, 2)),
       16,
       {0xFF0000, 0, 0x0000FF}},
      {"masks beyond 16 bits keep 5-5-5",
       file(40, 16, 3, {}, le({0xF8000, 0x07E0, 0x1F}, 4), le({0x7C00, 0, 0x1F}, 2)),
       16,
       {0xFF0000, 0, 0x0000FF}},
  };
  for (const auto& c : cases) {
    const Loaded r = load_bytes(c.bytes);
    ASSERT_EQ(int{r.error}, int{EC_OK}) << c.what;
    EXPECT_EQ(r.image->BitCount(), c.bits) << c.what;
    for (int x = 0; x < 3; ++x)
      EXPECT_EQ(pixel_rgb(*r.image, x, 0), c.rgb[x]) << c.what << " " << x;
  }
  // Compressions the larger headers add are refused rather than read as pixels.
  EXPECT_EQ(int{load_bytes(file(64, 24, 4, {}, {}, Bytes(9))).error}, int{EC_BADCOMPRESS});
  EXPECT_EQ(int{load_bytes(file(64, 16, 3, {}, {}, Bytes(6))).error}, int{EC_BADCOMPRESS});
  EXPECT_EQ(int{load_bytes(file(124, 24, 4, {}, {}, Bytes(9))).error}, int{EC_BADCOMPRESS});
  EXPECT_EQ(int{load_bytes(file(108, 24, 5, {}, {}, Bytes(9))).error}, int{EC_BADCOMPRESS});
  // Cut masked pixels keep what arrived and say so.
  Bytes cut = file(40, 16, 3, {}, m565, px565);
  cut.resize(cut.size() - 1);
  EXPECT_EQ(int{load_bytes(cut).error}, int{EC_ENDOFFILE});
}

TEST(Bmp, RunLengthFilesAndTheirCompressionNumber) {
  // 4 x 2, RLE8: row 0 = 5 5 5 0, then end of bitmap.
  const Loaded r8 = load_bytes(make_bmp(4, 2, 8, 1, 256, {3, 5, 0, 0, 0, 1}));
  ASSERT_EQ(r8.error, EC_OK);
  EXPECT_EQ(Bytes(r8.image->ScanLine(1), r8.image->ScanLine(1) + 4), (Bytes{5, 5, 5, 0}));
  EXPECT_EQ(Bytes(r8.image->ScanLine(0), r8.image->ScanLine(0) + 4), (Bytes{0, 0, 0, 0}));
  // RLE4 run 05 12 gives 1 2 1 2 1.
  const Loaded r4 = load_bytes(make_bmp(6, 1, 4, 2, 16, {5, 0x12, 0, 1}));
  ASSERT_EQ(r4.error, EC_OK);
  EXPECT_EQ(Bytes(r4.image->ScanLine(0), r4.image->ScanLine(0) + 3), (Bytes{0x12, 0x12, 0x10}));
  // A top-down RLE file fills from the top.
  const Loaded td = load_bytes(make_bmp(2, -2, 8, 1, 256, {2, 9, 0, 1}));
  ASSERT_EQ(td.error, EC_OK);
  EXPECT_EQ(td.image->ScanLine(0)[0], 9);
  EXPECT_EQ(td.image->ScanLine(1)[0], 0);
}

TEST(Bmp, ResolutionGoesIntoTheImageInfo) {
  TvexImageInfo info;
  info.SetResolutionUnit(RU_INCH);
  const Loaded r = load_bytes(make_bmp(2, 2, 24, 0, 0, Bytes(16, 0)), &info);
  ASSERT_EQ(r.error, EC_OK);
  EXPECT_EQ(info.ResolutionUnit(), RU_METER);
  EXPECT_DOUBLE_EQ(info.XResolution(), 3780);
  EXPECT_DOUBLE_EQ(info.YResolution(), 2835);
}

TEST(Bmp, OffsetsAreRelativeToWhereTheReaderStarted) {
  Bytes b(100, 0xEE);
  const Bytes file = make_bmp(2, 1, 8, 0, 256, {4, 9, 0, 0});
  b.insert(b.end(), file.begin(), file.end());
  pf::MemoryStream mem(b.data(), b.size());
  mem.SetPosition(100);
  TvexBmpImage reader;
  TvexImage image;
  image.SetDibHandle(reader.LoadFromStream(mem));
  ASSERT_EQ(reader.GetError(), EC_OK);
  EXPECT_EQ(reader.GetStreamStart(), 100);
  EXPECT_EQ(image.ScanLine(0)[1], 9);
  EXPECT_EQ(mem.Position(), static_cast<std::int64_t>(b.size())); // left behind the pixels
}

TEST(Bmp, WriterErrors) {
  const fs::path dir = scratch_dir("bmp_writer_errors");
  TvexImage rgb, pal;
  make_random_image(rgb, 5, 5, 24, 1);
  make_random_image(pal, 5, 5, 8, 2);
  struct Case {
    const char* name;
    TvexImage* image;
    TvexCompression compression;
    TvexErrorCode error;
  };
  const Case cases[] = {
      {"compression the format lacks", &pal, CP_JPEG_STD, EC_BADCOMPRESS},
      {"RLE8 on 24 bits", &rgb, CP_RLE8, EC_COLORFORMAT},
      {"RLE4 on 8 bits", &pal, CP_RLE4, EC_COLORFORMAT},
  };
  for (const Case& c : cases) {
    TvexBmpImage writer;
    writer.SetCompression(c.compression);
    writer.SaveToFile((dir / "e.bmp").string(), c.image->GetDibHandle());
    EXPECT_EQ(int{writer.GetError()}, int{c.error}) << c.name;
    EXPECT_EQ(fs::file_size(dir / "e.bmp"), 0u) << c.name;
  }
  TvexBmpImage writer;
  writer.SaveToFile((dir / "h.bmp").string(), static_cast<DibHandle>(12345));
  EXPECT_EQ(writer.GetError(), EC_INVALIDHANDLE);
  writer.SaveToFile((dir / "no" / "such" / "folder.bmp").string(), rgb.GetDibHandle());
  EXPECT_EQ(writer.GetError(), EC_CREATEFILE);

  // A full disk is a write error.
  pf::MemoryStream full;
  full.SetWriteLimit(100);
  TvexBmpImage w2;
  w2.SaveToStream(full, rgb.GetDibHandle());
  EXPECT_EQ(w2.GetError(), EC_WRITETOFILE);
}

TEST(ImageFileBase, OpenFailuresUnlockAndAppendIsRefused) {
  const fs::path dir = scratch_dir("image_file_base");
  TvexBmpImage reader;
  for (int i = 0; i < 2; ++i) { // a second call must not block
    EXPECT_TRUE(pf::is_null(reader.LoadFromFile((dir / "missing.bmp").string())));
    EXPECT_EQ(reader.GetError(), EC_OPENFILE);
  }
  TvexImage image;
  make_random_image(image, 3, 3, 8, 5);
  const fs::path file = dir / "a.bmp";
  reader.SaveToFile(file.string(), image.GetDibHandle());
  const auto size = fs::file_size(file);
  reader.AppendImage(file.string(), image.GetDibHandle());
  EXPECT_EQ(reader.GetError(), EC_NOAPPEND);
  EXPECT_EQ(fs::file_size(file), size);
}

TEST(ImageFileBase, FileSizeAndDateGoIntoTheImageInfo) {
  const fs::path dir = scratch_dir("image_file_info");
  const Bytes bytes = make_bmp(2, 2, 8, 0, 256, Bytes(8, 0));
  write_file(dir / "i.bmp", bytes);
  TvexImageInfo info;
  TvexBmpImage reader;
  reader.SetImageInfo(&info);
  TvexImage image;
  image.SetDibHandle(reader.LoadFromFile((dir / "i.bmp").string()));
  EXPECT_EQ(info.FileSize(), static_cast<std::int32_t>(bytes.size()));
  EXPECT_GT(info.DateTime(), 40000.0); // days since 1899: after 2009
}

namespace {

// Exposes the base's helpers on a DIB of our choosing.
class Probe : public TvexBmpImage {
public:
  void Attach(TvexImage& image) {
    DIBHandle = image.GetDibHandle();
    AttachDIB();
  }
  void SetBits(int bits) { BitmapInfo->bmiHeader.biBitCount = static_cast<std::uint16_t>(bits); }
  const pf::RgbQuad* Palette() const { return BitmapInfo->bmiColors; }
};

} // namespace

TEST(ImageFileBase, ColourKinds) {
  struct Case {
    int bpp;
    int palette; // 0 descending grey, 1 ascending grey, 2 colour
    std::uint8_t kind;
  };
  const Case cases[] = {{8, 0, CK_GREY_WHITE_MIN}, {8, 1, CK_GREY_BLACK_MIN}, {8, 2, CK_PALETTE},
                        {1, 0, CK_GREY_WHITE_MIN}, {4, 1, CK_GREY_BLACK_MIN}, {16, 0, CK_RGB16},
                        {24, 0, CK_RGB24},         {32, 0, CK_RGB32}};
  for (const Case& c : cases) {
    TvexImage image;
    make_random_image(image, 4, 4, c.bpp, 3);
    if (c.bpp <= 8) {
      const int n = 1 << c.bpp;
      std::vector<pf::RgbQuad> table(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) {
        const auto v =
            static_cast<std::uint8_t>(c.palette == 0 ? 255 - i * 255 / (n - 1) : i * 255 / (n - 1));
        table[static_cast<std::size_t>(i)] = {
            v, v, static_cast<std::uint8_t>(c.palette == 2 ? v / 2 : v), 0};
      }
      image.SetColorTable(table.data(), n);
    }
    Probe p;
    p.Attach(image);
    EXPECT_EQ(p.GetColorKind(), c.kind) << c.bpp << " bits, palette " << c.palette;
  }
}

TEST(ImageFileBase, GreyPalettes) {
  struct Case {
    int bits;
    std::uint8_t kind;
    std::vector<int> first_values;
  };
  const Case cases[] = {{1, 0, {255, 0}},          {1, 1, {0, 255}},    {1, 3, {0, 255}},
                        {2, 0, {255, 170, 85, 0}}, {4, 1, {0, 17, 34}}, {8, 0, {255, 254, 253}}};
  for (const Case& c : cases) {
    Probe p;
    p.SetBits(c.bits);
    p.CreateGreyPalette(c.kind);
    for (std::size_t i = 0; i < c.first_values.size(); ++i) {
      EXPECT_EQ(p.Palette()[i].rgbRed, c.first_values[i])
          << c.bits << "/" << int{c.kind} << " " << i;
      EXPECT_EQ(p.Palette()[i].rgbBlue, c.first_values[i]);
      EXPECT_EQ(p.Palette()[i].rgbReserved, 0);
    }
  }
  Probe none;
  none.SetBits(8);
  none.CreateGreyPalette(2); // other kinds write nothing
  EXPECT_EQ(none.Palette()[5].rgbRed, 0);
}

TEST(ImageFileBase, InvertAndSwap) {
  TvexImage rgb;
  make_random_image(rgb, 7, 3, 24, 11);
  const std::string before = pixel_digest(rgb);
  const std::uint8_t b0 = rgb.ScanLine(0)[0], r0 = rgb.ScanLine(0)[2];
  Probe p;
  p.Attach(rgb);
  p.InvertImage();
  EXPECT_EQ(rgb.ScanLine(0)[0], static_cast<std::uint8_t>(~b0));
  p.InvertImage();
  EXPECT_EQ(pixel_digest(rgb), before);
  p.SwapRGB();
  EXPECT_EQ(rgb.ScanLine(0)[0], r0);
  EXPECT_EQ(rgb.ScanLine(0)[2], b0);

  TvexImage pal;
  make_random_image(pal, 4, 4, 8, 12);
  pf::RgbQuad colour = pal.Header()->bmiColors[3];
  const std::uint8_t index = pal.ScanLine(0)[0];
  Probe q;
  q.Attach(pal);
  q.InvertImage();
  pf::RgbQuad table[256];
  pf::GetDIBColorTable(pal.GetDibHandle(), 0, 256, table);
  if (pal.ImageFormat() == IF_PAL8) {
    EXPECT_EQ(table[3].rgbRed, static_cast<std::uint8_t>(~colour.rgbRed));
    EXPECT_EQ(pal.ScanLine(0)[0], index);
  }

  TvexImage hi;
  make_random_image(hi, 4, 4, 16, 13);
  Probe r;
  r.Attach(hi);
  r.InvertImage();
  EXPECT_EQ(r.GetError(), EC_IMAGEFORMAT);
}

TEST(ImageFileBase, SwapsAndNumColors) {
  EXPECT_EQ(SwapWord(0x1234), 0x3412);
  EXPECT_EQ(SwapLong(0x12345678u), 0x78563412u);
  pf::BitmapInfoHeader h;
  struct Case {
    int bits;
    std::uint32_t used;
    int colours;
  };
  for (const Case c : {Case{1, 0, 2}, Case{4, 3, 16}, Case{8, 999, 256}, Case{24, 0, 0},
                       Case{24, 7, 7}, Case{32, 0xFFFFFFFFu, 256}}) {
    h.biBitCount = static_cast<std::uint16_t>(c.bits);
    h.biClrUsed = c.used;
    EXPECT_EQ(TvexImageFile::GetNumColors(h), c.colours) << c.bits << " " << c.used;
  }
}

TEST(ImageFileBase, ReadDataMovesPiecesOfAtMost32768Bytes) {
  // With a buffer smaller than a piece every piece goes straight to the source.
  struct Recorder : pf::Stream {
    std::vector<std::int32_t> reads;
    std::int32_t Read(void* b, std::int32_t n) override {
      reads.push_back(n);
      std::memset(b, 1, static_cast<std::size_t>(n));
      return n;
    }
    std::int32_t Write(const void*, std::int32_t n) override { return n; }
    std::int64_t Seek(std::int64_t off, pf::SeekOrigin) override { return off; }
    std::int64_t Size() override { return 1 << 20; }
    void SetSize(std::int64_t) override {}
  } source;
  Probe p;
  p.GetBufferStream().SetBufferSize(1000);
  p.GetBufferStream().SetSource(&source);
  Bytes dest(70000);
  EXPECT_TRUE(p.ReadData(nullptr, dest.data(), 70000));
  EXPECT_EQ(source.reads, (std::vector<std::int32_t>{32768, 32768, 4464}));
}

TEST(ImageFileBase, ReadAndWriteDataMoveEveryByte) {
  Bytes data(70000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  pf::MemoryStream mem;
  Probe p;
  TvexBufferStream& bs = p.GetBufferStream();
  bs.SetSource(&mem);
  bs.SetWriteMode(true);
  EXPECT_TRUE(p.WriteData(nullptr, data.data(), 70000));
  EXPECT_FALSE(p.WriteData(nullptr, nullptr, 5));
  bs.Flush();
  bs.SetWriteMode(false);
  mem.SetPosition(0);
  bs.SetSource(&mem);
  Bytes back(70000);
  EXPECT_TRUE(p.ReadData(nullptr, back.data(), 70000));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(p.ReadData(nullptr, nullptr, 5));
}
