// The GIF reader on small files built here: what each kind of hostile or
// unusual file gives (code, size, pixels), the refused save and the
// manager's search. Real files are compared with Pillow by the manifest and
// the peer test.
#include "peer.h"
#include "test_support.h"

#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Codes of the given widths packed least significant bit first, split into
// data sub-blocks and ended by the empty one.
Bytes Lzw(int min_size, std::initializer_list<std::pair<int, int>> codes) {
  Bytes packed;
  std::uint32_t acc = 0;
  int bits = 0;
  for (const auto& [code, width] : codes) {
    acc |= static_cast<std::uint32_t>(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) packed.push_back(acc & 0xFF);
  }
  if (bits) packed.push_back(acc & 0xFF);
  Bytes out{static_cast<std::uint8_t>(min_size)};
  for (std::size_t i = 0; i < packed.size(); i += 255) {
    const std::size_t n = std::min<std::size_t>(255, packed.size() - i);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), packed.begin() + std::ptrdiff_t(i),
               packed.begin() + std::ptrdiff_t(i + n));
  }
  out.push_back(0);
  return out;
}

struct Frame {
  int left = 0, top = 0, w = 2, h = 2;
  bool interlaced = false;
  int transparent = -1;
};

// Screen `sw` x `sh` with a 4-colour global table (red, green, blue, black),
// background index 2, one image of `data` (min code size and blocks).
Bytes Gif(int sw, int sh, const Frame& f, const Bytes& data, const char* version = "GIF89a") {
  Bytes b(version, version + 6);
  auto le = [&](int v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
  };
  le(sw);
  le(sh);
  b.insert(b.end(), {0x81, 2, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0});
  if (f.transparent >= 0)
    b.insert(b.end(), {0x21, 0xF9, 4, 1, 0, 0, static_cast<std::uint8_t>(f.transparent), 0});
  b.push_back(0x2C);
  le(f.left);
  le(f.top);
  le(f.w);
  le(f.h);
  b.push_back(f.interlaced ? 0x40 : 0);
  b.insert(b.end(), data.begin(), data.end());
  b.push_back(0x3B);
  return b;
}

// 2 x 2 of indices 0, 1, 2, 3 (min code size 2: clear 4, end 5; the width
// grows to 4 bits when entry 7 is made).
const Bytes kFour = Lzw(2, {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {3, 4}, {5, 4}});

constexpr std::uint32_t R = 0xFF0000, G = 0x00FF00, B = 0x0000FF, K = 0, W = 0xFFFFFF;

struct Case {
  const char* name;
  Bytes file;
  int code;
  int w, h;                       // 0: no bitmap
  std::vector<std::uint32_t> rgb; // rows top down; empty: not checked
};

Bytes Repeat(Bytes head, const Bytes& unit, int n) {
  for (int i = 0; i < n; ++i) head.insert(head.end(), unit.begin(), unit.end());
  return head;
}

std::vector<Case> Cases() {
  const Bytes header = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0, 0, 0};
  Bytes cut = Gif(2, 2, {}, kFour);
  cut.resize(cut.size() - 4);
  return {
      {"plain", Gif(2, 2, {}, kFour), 0, 2, 2, {R, G, B, K}},
      {"gif87a", Gif(2, 2, {}, kFour, "GIF87a"), 0, 2, 2, {R, G, B, K}},
      // Code 6 while the next free entry is 6: the previous string and its
      // first index again.
      {"code being defined",
       Gif(2, 2, {}, Lzw(2, {{4, 3}, {1, 3}, {6, 3}, {0, 3}, {5, 4}})),
       0,
       2,
       2,
       {G, G, G, R}},
      {"code past the table",
       Gif(2, 2, {}, Lzw(2, {{4, 3}, {0, 3}, {7, 3}, {5, 3}})),
       13,
       2,
       2,
       {R, B, B, B}},
      {"clear in the middle",
       Gif(2, 2, {}, Lzw(2, {{4, 3}, {0, 3}, {4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 4}})),
       0,
       2,
       2,
       {R, G, B, K}},
      {"transparent index", Gif(2, 2, {.transparent = 1}, kFour), 0, 2, 2, {R, W, B, K}},
      {"interlaced rows",
       Gif(1, 4, {.w = 1, .h = 4, .interlaced = true}, kFour),
       0,
       1,
       4,
       {R, B, G, K}},
      {"image partly off the screen",
       Gif(2, 2, {.left = 1, .top = 1}, kFour),
       0,
       2,
       2,
       {B, B, B, R}},
      {"image off the screen", Gif(2, 2, {.left = 9, .top = 0}, kFour), 0, 2, 2, {B, B, B, B}},
      {"uncovered screen of a transparent image",
       Gif(2, 1, {.left = 1, .w = 1, .h = 1, .transparent = 3}, kFour),
       0,
       2,
       1,
       {W, R}},
      {"screen of no size", Gif(0, 0, {}, kFour), 0, 2, 2, {R, G, B, K}},
      {"min code size 0", Gif(2, 2, {}, Bytes{0, 1, 0, 0}), 13, 2, 2, {B, B, B, B}},
      {"min code size 12", Gif(2, 2, {}, Bytes{12, 1, 0, 0}), 13, 2, 2, {}},
      {"data cut short", cut, 10, 2, 2, {}},
      {"trailer before any image", Repeat(header, {0x3B}, 1), 10, 0, 0, {}},
      {"endless extensions", Repeat(header, {0x21, 0xFE, 3, 'a', 'b', 'c'}, 5000), 10, 0, 0, {}},
      {"unknown block", Repeat(header, {0x99}, 1), 8, 0, 0, {}},
      {"not a GIF", Bytes{'G', 'I', 'F', '8', '8', 'a', 0, 0}, 8, 0, 0, {}},
  };
}

} // namespace

TEST(GifReader, HandBuiltFiles) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    TvexGIFImage reader;
    vex::platform::MemoryStream stream(c.file.data(), c.file.size());
    TvexImage image;
    const DibHandle dib = reader.LoadFromStream(stream);
    if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
    EXPECT_EQ(int{reader.GetError()}, c.code);
    if (c.w == 0) {
      EXPECT_TRUE(vex::platform::is_null(dib));
      continue;
    }
    ASSERT_FALSE(vex::platform::is_null(dib));
    EXPECT_EQ(image.BitCount(), 24);
    ASSERT_EQ(image.Width(), c.w);
    ASSERT_EQ(std::abs(image.Height()), c.h);
    if (c.rgb.empty()) continue;
    const auto rgb = image_rgb(image);
    for (std::size_t i = 0; i < c.rgb.size(); ++i)
      EXPECT_EQ(std::uint32_t(rgb[3 * i] << 16 | rgb[3 * i + 1] << 8 | rgb[3 * i + 2]), c.rgb[i])
          << "pixel " << i;
  }
}

TEST(GifReader, TheManagerFindsItAndRefusesToWriteIt) {
  const fs::path dir = scratch_dir("gif_manager");
  const Bytes file = Gif(2, 2, {}, kFour);
  write_file(dir / "a.jpg", file);
  EXPECT_EQ(TvexImageFileMgr::FormatFromExtension("x/A.GIF"), FF_GIF);
  TvexImageFileMgr mgr;
  TvexImage image;
  image.SetDibHandle(mgr.LoadImage((dir / "a.jpg").string(), FF_JPEG));
  EXPECT_EQ(mgr.GetLastError(), EC_OK);
  EXPECT_EQ(image.Width(), 2);
  mgr.SaveImage((dir / "b.gif").string(), FF_GIF, image.GetDibHandle());
  EXPECT_EQ(mgr.GetLastError(), EC_UNKNOWNFORMAT);
  EXPECT_FALSE(fs::exists(dir / "b.gif"));
}
