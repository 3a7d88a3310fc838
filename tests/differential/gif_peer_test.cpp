// GIF files made here by Pillow and ImageMagick from a corpus photograph
// (plain, interlaced, transparent, animated, offset, noise that fills the
// code table) decode to Pillow's first frame, transparent pixels on white.
#include "peer.h"
#include "test_support.h"

#include "vexImageFile.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace testing_support;

TEST(GifPeer, MadeFilesDecodeToPillowsFirstFrame) {
  if (!peer_available() || !magick_available()) GTEST_SKIP() << "Pillow or ImageMagick missing";
  SKIP_WITHOUT_CORPUS("photos");
  const fs::path dir = scratch_dir("gif_peer");
  const std::string photo =
      (corpus_dir() / "photos" / "metadata-extractor" / "Canon_EOS_1000D.jpg").string();
  const std::string src = (dir / "src.ppm").string();
  const char* const kMakers[] = {
      "/usr/bin/python3 -c \"import sys, random; from PIL import Image; d = sys.argv[2]; "
      "im = Image.open(sys.argv[1]).convert('RGB').resize((161, 107)); im.save(d + '/src.ppm'); "
      "q = im.quantize(200); q.save(d + '/p_plain.gif', interlace=False); "
      "q.save(d + '/p_interlaced.gif', interlace=True); "
      "im.quantize(40).save(d + '/p_transparent.gif', transparency=5); "
      "im.convert('1').save(d + '/p_bilevel.gif'); "
      "q.save(d + '/p_animated.gif', save_all=True, append_images=[im.rotate(20).quantize(90), "
      "im.transpose(Image.FLIP_TOP_BOTTOM).quantize(30)], duration=50); "
      "random.seed(1); n = Image.new('P', (300, 200)); "
      "n.putdata([random.randrange(256) for _ in range(60000)]); "
      "n.putpalette([random.randrange(256) for _ in range(768)]); n.save(d + '/p_noise.gif')\" ",
      "/usr/bin/convert SRC -colors 120 -interlace GIF DIR/m_interlaced.gif",
      "/usr/bin/convert SRC -colors 60 -fuzz 8% -transparent '#202020' DIR/m_transparent.gif",
      "/usr/bin/convert SRC -colors 60 -page 200x150+17+11 DIR/m_offset.gif",
      "/usr/bin/convert -delay 5 SRC \\( SRC -negate \\) -loop 0 DIR/m_animated.gif",
  };
  for (std::string cmd : kMakers) {
    if (cmd.rfind("/usr/bin/python3", 0) == 0) cmd += "'" + photo + "' '" + dir.string() + "'";
    for (std::size_t at; (at = cmd.find("SRC")) != std::string::npos;) cmd.replace(at, 3, src);
    for (std::size_t at; (at = cmd.find("DIR")) != std::string::npos;)
      cmd.replace(at, 3, dir.string());
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".gif") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 10u);
  const auto peers = peer_decode(files);
  ASSERT_EQ(peers.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    TvexGIFImage reader;
    TvexImage image;
    image.SetDibHandle(reader.LoadFromFile(files[i].string()));
    EXPECT_EQ(reader.GetError(), EC_OK);
    ASSERT_TRUE(peers[i].ok) << peers[i].error;
    ASSERT_EQ(image.Width(), peers[i].width);
    ASSERT_EQ(std::abs(image.Height()), peers[i].height);
    const PixelDiff d = compare_rgb(image_rgb(image), peers[i]);
    EXPECT_EQ(d.count, 0) << "first at " << d.first_x << "," << d.first_y;
  }
}
