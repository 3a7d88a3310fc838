// Photographs through the e-mail road: every Exif orientation comes out
// upright, and an output is checked from its own bytes (frame, tables,
// sampling, stretch, resolution, comment).
#include "batch.h"
#include "orientation.h"

#include "test_support.h"
#include "vexDCT.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// Two JPEG generations (the source at quality 95, the output at 80 with
// 4:2:0 chroma) of smooth pictures stay within this per channel.
constexpr int kJpegBound = 24;

// Exif: which side of the upright picture the stored first row and first
// column show, per orientation 1..8.
enum Side { Top, Bottom, Left, Right };
struct Layout {
  Side row0, col0;
};
constexpr Layout kExif[9] = {{Top, Left},     {Top, Left},     {Top, Right},
                             {Bottom, Right}, {Bottom, Left},  {Left, Top},
                             {Right, Top},    {Right, Bottom}, {Left, Bottom}};

// Where the upright pixel (x, y) of a w x h picture lies in the stored one.
void stored_position(int orientation, int w, int h, int x, int y, int& sx, int& sy) {
  const Layout l = kExif[orientation];
  if (l.row0 == Left || l.row0 == Right) {
    sy = l.row0 == Left ? x : w - 1 - x;
    sx = l.col0 == Top ? y : h - 1 - y;
  } else {
    sy = l.row0 == Top ? y : h - 1 - y;
    sx = l.col0 == Left ? x : w - 1 - x;
  }
}

// A smooth picture that no turn or mirror leaves unchanged.
std::uint32_t upright_rgb(int x, int y, int w, int h) {
  const int r = x * 255 / (w - 1), g = y * 255 / (h - 1), b = (x + 2 * y) * 255 / (w + 2 * h - 3);
  return static_cast<std::uint32_t>((r << 16) | (g << 8) | b);
}

// The stored form of the w x h upright picture under `orientation`.
void make_stored(TvexImage& img, int orientation, int w, int h) {
  const Layout l = kExif[orientation];
  const bool turned = l.row0 == Left || l.row0 == Right;
  const int sw = turned ? h : w, sh = turned ? w : h;
  make_random_image(img, sw, sh, 24, 1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int sx = 0, sy = 0;
      stored_position(orientation, w, h, x, y, sx, sy);
      const std::uint32_t c = upright_rgb(x, y, w, h);
      std::uint8_t* p = img.ScanLine(sy) + 3 * sx;
      p[0] = c & 255, p[1] = (c >> 8) & 255, p[2] = (c >> 16) & 255;
    }
}

// An APP1 segment with the one IFD0 entry 0x0112, in either byte order.
std::vector<std::uint8_t> exif_segment(int orientation, bool big) {
  std::vector<std::uint8_t> s = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  auto u16 = [&](int v) {
    if (big)
      s.insert(s.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
    else
      s.insert(s.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
  };
  auto u32 = [&](std::uint32_t v) {
    big ? (u16(int(v >> 16)), u16(int(v & 0xFFFF))) : (u16(int(v & 0xFFFF)), u16(int(v >> 16)));
  };
  s.push_back(big ? 'M' : 'I');
  s.push_back(big ? 'M' : 'I');
  u16(42), u32(8), u16(1);                               // header, IFD0 of one entry
  u16(0x0112), u16(3), u32(1), u16(orientation), u16(0); // SHORT value in the entry
  u32(0);                                                // no next IFD
  s[2] = std::uint8_t((s.size() - 2) >> 8), s[3] = std::uint8_t(s.size() - 2);
  return s;
}

// Saves `img` as JPEG (quality 95, with the given comment and resolution),
// then puts the segment right after SOI.
void save_photo(TvexImage& img, const fs::path& path, const std::vector<std::uint8_t>& app1,
                const std::string& comment = {}, double dpi = 0) {
  TvexImageFileMgr mgr;
  mgr.SetCompression(CP_JPEG_STD);
  mgr.SetQuality(95);
  if (!comment.empty()) mgr.GetImageInfo().SetDescription(comment);
  if (dpi > 0) {
    mgr.GetImageInfo().SetResolutionUnit(RU_INCH);
    mgr.GetImageInfo().SetXResolution(dpi);
    mgr.GetImageInfo().SetYResolution(dpi);
  }
  mgr.SaveImage(path.string(), FF_JPEG, img.GetDibHandle());
  ASSERT_EQ(mgr.GetLastError(), EC_OK);
  std::vector<std::uint8_t> bytes = read_file(path);
  bytes.insert(bytes.begin() + 2, app1.begin(), app1.end());
  write_file(path, bytes);
}

bool load(TvexImage& img, const fs::path& path) {
  TvexImageFileMgr mgr;
  img.SetDibHandle(mgr.LoadImage(path.string(), FF_JPEG));
  return mgr.GetLastError() == EC_OK && img.Width() > 0;
}

int max_diff(std::uint32_t a, std::uint32_t b) {
  int d = 0;
  for (int s = 0; s < 24; s += 8)
    d = std::max(d, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
  return d;
}

// The segments of a JPEG file up to its first SOS: marker and body.
std::vector<std::pair<int, std::vector<std::uint8_t>>>
segments(const std::vector<std::uint8_t>& f) {
  std::vector<std::pair<int, std::vector<std::uint8_t>>> out;
  for (std::size_t i = 2; i + 4 <= f.size() && f[i] == 0xFF;) {
    const int marker = f[i + 1], len = (f[i + 2] << 8) | f[i + 3];
    out.push_back({marker, {f.begin() + long(i) + 4, f.begin() + long(i) + 2 + len}});
    if (marker == 0xDA) break;
    i += 2 + static_cast<std::size_t>(len);
  }
  return out;
}

} // namespace

TEST(Upright, EveryOrientationComesOutUprightAndKeepOrientationKeepsTheStoredOrder) {
  const fs::path dir = scratch_dir("upright");
  fs::create_directories(dir / "email");
  const int w = 96, h = 64;
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE(o);
    TvexImage stored;
    make_stored(stored, o, w, h);
    std::string name = std::to_string(o);
    name += ".jpg";
    const fs::path src = dir / name;
    save_photo(stored, src, exif_segment(o, o % 2 == 0));
    TvexImageFileMgr mgr;
    ASSERT_TRUE(ConvertFile(src.string(), mgr).converted);
    TvexImage out;
    ASSERT_TRUE(load(out, MailFileName(src.string())));
    ASSERT_EQ(out.Width(), w);
    ASSERT_EQ(std::abs(out.Height()), h);
    int worst = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        worst = std::max(worst, max_diff(pixel_rgb(out, x, y), upright_rgb(x, y, w, h)));
    EXPECT_LE(worst, kJpegBound);

    // Kept order: byte for byte the output of the same pixels without Exif.
    ASSERT_TRUE(ConvertFile(src.string(), mgr, {true}).converted);
    const std::vector<std::uint8_t> kept = read_file(MailFileName(src.string()));
    std::vector<std::uint8_t> plain = read_file(src);
    plain.erase(plain.begin() + 2, plain.begin() + 2 + long(exif_segment(o, false).size()));
    write_file(src, plain);
    ASSERT_TRUE(ConvertFile(src.string(), mgr).converted);
    EXPECT_EQ(kept, read_file(MailFileName(src.string())));
  }
}

TEST(Upright, EveryDepthTurnsExactly) {
  for (const int bits : {8, 24, 32})
    for (int o = 1; o <= 8; ++o) {
      TvexImage img;
      make_random_image(img, 37, 21, bits, static_cast<std::uint32_t>(o));
      img.SetXResolution(100);
      img.SetYResolution(200);
      TvexImage stored;
      stored.Assign(&img);
      ASSERT_TRUE(TurnUpright(img, o));
      const bool swap = o >= 5;
      const int w = swap ? 21 : 37, h = swap ? 37 : 21;
      ASSERT_EQ(img.Width(), w) << bits << " " << o;
      ASSERT_EQ(std::abs(img.Height()), h);
      ASSERT_EQ(img.BitCount(), bits);
      EXPECT_EQ(img.XResolution(), swap ? 200 : 100);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          int sx = 0, sy = 0;
          stored_position(o, w, h, x, y, sx, sy);
          ASSERT_EQ(pixel_rgb(img, x, y), pixel_rgb(stored, sx, sy)) << bits << " " << o;
        }
    }
}

TEST(Upright, SizeRuleAppliesToTheUprightPicture) {
  // Stored 1100 x 600 a quarter turn off: upright 600 x 1100, so 559 x 1024.
  const fs::path dir = scratch_dir("upright_size");
  fs::create_directories(dir / "email");
  TvexImage stored;
  make_stored(stored, 6, 600, 1100);
  save_photo(stored, dir / "tall.jpg", exif_segment(6, true));
  TvexImageFileMgr mgr;
  ASSERT_TRUE(ConvertFile((dir / "tall.jpg").string(), mgr).converted);
  TvexImage out;
  ASSERT_TRUE(load(out, dir / "email" / "tall.jpg"));
  EXPECT_EQ(out.Width(), 559);
  EXPECT_EQ(std::abs(out.Height()), 1024);
}

TEST(EmailOutput, IsABaselineQuality80JpegWithTheStretchAndTheSourceMetadata) {
  // A low-contrast photograph (values 60..180), 300 dpi, with a comment, stored
  // a quarter turn off.
  const fs::path dir = scratch_dir("email_output");
  fs::create_directories(dir / "email");
  TvexImage stored;
  make_stored(stored, 8, 80, 120);
  for (int y = 0; y < 80; ++y)
    for (std::uint8_t *p = stored.ScanLine(y), *e = p + 3 * 120; p < e; ++p)
      *p = static_cast<std::uint8_t>(60 + *p * 120 / 255);
  save_photo(stored, dir / "dull.jpg", exif_segment(8, false), "Harbour at dusk", 300);
  TvexImageFileMgr mgr;
  ASSERT_TRUE(ConvertFile((dir / "dull.jpg").string(), mgr).converted);
  const std::vector<std::uint8_t> out = read_file(dir / "email" / "dull.jpg");

  using namespace vex::jpeg;
  const QuantTable q[2] = {MakeQuantTable(LuminanceBase, QualityScale(80), 0),
                           MakeQuantTable(ChrominanceBase, QualityScale(80), 1)};
  int frames = 0, tables = 0;
  for (const auto& [marker, body] : segments(out)) {
    EXPECT_NE(marker, 0xE1) << "no Exif leaves with the picture";
    EXPECT_FALSE(marker >= 0xC1 && marker <= 0xCF && marker != 0xC4) << "only SOF0";
    if (marker == 0xC0) {
      ++frames;
      // 8 bits, 80 x 120 (upright), three components: Y 2x2, Cb and Cr 1x1.
      const std::vector<std::uint8_t> sof = {8, 0, 120,  0, 80, 3,    1, 0x22,
                                             0, 2, 0x11, 1, 3,  0x11, 1};
      EXPECT_EQ(body, sof);
    }
    if (marker == 0xDB)
      for (std::size_t i = 0; i + 65 <= body.size(); i += 65, ++tables) {
        const int id = body[i] & 15;
        ASSERT_LT(id, 2);
        for (int k = 0; k < 64; ++k) EXPECT_EQ(body[i + 1 + k], q[id].Entries[k]) << id << " " << k;
      }
    if (marker == 0xE0) {
      // JFIF, units 1 (inch), 300 x 300.
      ASSERT_GE(body.size(), 12u);
      EXPECT_EQ(std::string(body.begin(), body.begin() + 5), std::string("JFIF\0", 5));
      EXPECT_EQ(body[7], 1);
      EXPECT_EQ((body[8] << 8) | body[9], 300);
      EXPECT_EQ((body[10] << 8) | body[11], 300);
    }
    if (marker == 0xFE) {
      EXPECT_EQ(std::string(body.begin(), body.end()).c_str(), std::string("Harbour at dusk"));
    }
  }
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(tables, 2);

  // Stretched: every channel spans 0..255 after decoding; and upright.
  TvexImage img;
  ASSERT_TRUE(load(img, dir / "email" / "dull.jpg"));
  int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0}, worst = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 80; ++x) {
      const std::uint32_t c = pixel_rgb(img, x, y);
      for (int k = 0; k < 3; ++k) {
        lo[k] = std::min(lo[k], int((c >> (8 * k)) & 255));
        hi[k] = std::max(hi[k], int((c >> (8 * k)) & 255));
      }
      worst = std::max(worst, max_diff(c, upright_rgb(x, y, 80, 120)));
    }
  for (int k = 0; k < 3; ++k) {
    EXPECT_LE(lo[k], kJpegBound) << k;
    EXPECT_GE(hi[k], 255 - kJpegBound) << k;
  }
  EXPECT_LE(worst, kJpegBound);
}
