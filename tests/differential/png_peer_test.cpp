// Files written by the PNG writer against real readers: every depth and
// palette kind passes pngcheck, opens in Pillow with our pixels, and reads
// back here to the same pixels.
#include "peer.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace pf = vex::platform;
using namespace testing_support;

enum class Palette { Random, GreyRamp, GreyOther };

TEST(PngPeer, WrittenFilesPassPngcheckAndOpenInPillow) {
  const bool pngcheck = std::system("command -v pngcheck >/dev/null 2>&1") == 0;
  if (!pngcheck && !peer_available()) GTEST_SKIP() << "neither pngcheck nor Pillow installed";
  const struct {
    int bits;
    Palette palette;
    int width, height;
  } cases[] = {
      {1, Palette::Random, 33, 7},    {1, Palette::GreyRamp, 9, 9},  {4, Palette::Random, 31, 5},
      {4, Palette::GreyRamp, 7, 12},  {4, Palette::GreyOther, 8, 3}, {8, Palette::Random, 65, 40},
      {8, Palette::GreyRamp, 17, 17}, {8, Palette::GreyOther, 5, 5}, {24, Palette::Random, 101, 37},
      {32, Palette::Random, 50, 21},
  };
  const fs::path dir = scratch_dir("png_peer");
  std::vector<fs::path> files;
  std::vector<std::vector<std::uint8_t>> ours;
  int n = 0;
  for (const auto& c : cases) {
    TvexImage image;
    make_random_image(image, c.width, c.height, c.bits, static_cast<std::uint32_t>(n + 1));
    if (c.bits <= 8 && c.palette != Palette::Random) {
      TvexImage::LogPalette grey;
      grey.palNumEntries = static_cast<std::uint16_t>(1 << c.bits);
      for (int i = 0; i < grey.palNumEntries; ++i) {
        const int v =
            c.palette == Palette::GreyRamp ? i * 255 / (grey.palNumEntries - 1) : (i * 37) % 256;
        grey.palPalEntry[i] = {std::uint8_t(v), std::uint8_t(v), std::uint8_t(v), 0};
      }
      image.SetPaletteEntries(&grey);
    }
    if (c.bits == 32) // opaque, so that the alpha blend on reading keeps the colours
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) image.ScanLine(y)[4 * x + 3] = 255;
    std::string name = "w";
    name += std::to_string(n++);
    const fs::path file = dir / (name + ".png");
    TvexPNGImage writer;
    writer.SaveToFile(file.string(), image.GetDibHandle());
    ASSERT_EQ(writer.GetError(), EC_OK) << file;
    files.push_back(file);
    ours.push_back(image_rgb(image));

    TvexPNGImage reader;
    TvexImage back;
    back.SetDibHandle(reader.LoadFromFile(file.string()));
    EXPECT_EQ(reader.GetError(), EC_OK) << file;
    EXPECT_EQ(image_rgb(back), ours.back()) << file;
    if (pngcheck) {
      const std::string cmd = "pngcheck -q " + file.string() + " >/dev/null 2>&1";
      EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
  }
  if (!peer_available()) return;
  const auto peers = peer_decode(files);
  ASSERT_EQ(peers.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].string());
    ASSERT_TRUE(peers[i].ok) << peers[i].error;
    EXPECT_EQ(peers[i].rgb, ours[i]);
  }
}

} // namespace
