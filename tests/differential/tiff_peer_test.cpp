// The TIFF reader against the peers: pictures the peer writes uncompressed,
// recoded by tiffcp with every coding, predictor, sample layout, byte order
// and strip size, decode to the peer's pixels of the source.
#include "peer.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

struct Variant {
  const char* sources; // first letters of the source pictures it applies to
  const char* args;    // tiffcp options
};

// r rgb, g grey, p palette, b bilevel, a rgba.
constexpr Variant kVariants[] = {
    {"rgpba", "-c none"},
    {"rgpba", "-c packbits"},
    {"rgpba", "-c lzw"},
    {"rgpa", "-c lzw:2"},
    {"rgpba", "-c zip"},
    {"rgpa", "-c zip:2"},
    {"ra", "-p separate"},
    {"ra", "-p separate -c lzw:2 -r 5"},
    {"rgpba", "-B -c packbits"},
    {"rgpa", "-B -c lzw:2"},
    {"rgpba", "-r 7 -c zip"},
    {"rgpba", "-r 1"},
    {"b", "-c g3"},
    {"b", "-c g3:2d"},
    {"b", "-c g3:fill"},
    {"b", "-c g4"},
    {"b", "-B -c g4 -r 9"},
    {"b", "-c g3:2d -r 13"},
};

bool tool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(TiffPeer, RecodedFilesDecodeToThePeersPixels) {
  if (!peer_available() || !tool("tiffcp")) GTEST_SKIP() << "Pillow or tiffcp missing";
  const fs::path dir = scratch_dir("tiff_peer");
  const std::string make =
      "/usr/bin/python3 " + (differential_dir() / "tiff_sources.py").string() + " " + dir.string();
  ASSERT_EQ(std::system(make.c_str()), 0);
  const char* names[] = {"rgb", "grey", "palette", "bilevel", "rgba"};
  std::vector<fs::path> sources;
  for (const char* n : names) sources.push_back(dir / (std::string(n) + ".tif"));
  const auto peers = peer_decode(sources);
  ASSERT_EQ(peers.size(), sources.size());
  int checked = 0;
  for (std::size_t s = 0; s < sources.size(); ++s) {
    ASSERT_TRUE(peers[s].ok) << peers[s].error;
    for (const Variant& v : kVariants) {
      if (std::string(v.sources).find(names[s][0]) == std::string::npos) continue;
      SCOPED_TRACE(std::string(names[s]) + " tiffcp " + v.args);
      const fs::path out = dir / (std::string(names[s]) + "_" + std::to_string(checked) + ".tif");
      const std::string cmd = std::string("tiffcp ") + v.args + " " + sources[s].string() + " " +
                              out.string() + " 2>/dev/null";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      TvexImageFileMgr mgr;
      auto reader = vexMakeFormat(FF_TIFF, mgr);
      TvexImage image;
      image.SetDibHandle(reader->LoadFromFile(out.string()));
      EXPECT_EQ(reader->GetError(), EC_OK);
      const PixelDiff d = compare_rgb(image_rgb(image), peers[s]);
      EXPECT_EQ(d.count, 0) << "first at " << d.first_x << "," << d.first_y << std::hex << " ours "
                            << d.ours << " peer's " << d.peers;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 57);
}

} // namespace
