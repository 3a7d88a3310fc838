// BMP against the peer decoder: every corpus file decodes to the peer's
// pixels or ends in the error code listed in bmp_expectations.tsv, and every
// file we write opens in the peer with our pixels.
#include "vexImageFile.h"

#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

std::vector<fs::path> corpus_files() {
  std::vector<fs::path> files;
  const fs::path dir = corpus_dir() / "bmp";
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string hex(std::uint32_t c) {
  char b[8];
  std::snprintf(b, sizeof b, "%06x", c);
  return b;
}

} // namespace

TEST(BmpPeer, CorpusMatchesThePeerOrTheListedCode) {
  if (!peer_available()) GTEST_SKIP() << "/usr/bin/python3 has no PIL: differential test skipped";
  SKIP_WITHOUT_CORPUS("bmp");
  const auto files = corpus_files();
  ASSERT_FALSE(files.empty()) << "no BMP corpus under " << corpus_dir();
  const auto expectations = read_expectations(differential_dir() / "bmp_expectations.tsv");
  const auto peers = peer_decode(files);
  ASSERT_EQ(peers.size(), files.size()) << "the peer did not run";
  std::set<std::string> seen;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string rel = fs::relative(files[i], corpus_dir() / "bmp").generic_string();
    seen.insert(rel);
    SCOPED_TRACE(rel);
    const auto it = expectations.find(rel);
    const Expectation expect = it != expectations.end() ? it->second : Expectation{};

    TvexBmpImage reader;
    const DibHandle dib = reader.LoadFromFile(files[i].string());
    TvexImage image;
    if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
    EXPECT_EQ(int{reader.GetError()}, expect.code) << vexErrorMessage(reader.GetError());

    const PeerImage& peer = peers[i];
    if (expect.peer == "-") continue;
    if (expect.peer == "fails") {
      EXPECT_FALSE(peer.ok) << "the peer now reads it: update the expectation";
      continue;
    }
    if (!peer.ok || vex::platform::is_null(dib) || image.Width() != peer.width ||
        std::abs(image.Height()) != peer.height) {
      ADD_FAILURE() << "peer: " << (peer.ok ? "ok" : peer.error) << ", peer size " << peer.width
                    << "x" << peer.height << ", ours " << image.Width() << "x" << image.Height();
      continue;
    }
    const PixelDiff d = compare_rgb(image_rgb(image), peer, expect.peer == "same5" ? 5 : 8);
    if (expect.peer == "same" || expect.peer == "same5") {
      EXPECT_EQ(d.count, 0) << "first at (" << d.first_x << "," << d.first_y << ") ours "
                            << hex(d.ours) << " peer " << hex(d.peers);
    } else {
      EXPECT_GT(d.count, 0) << "now identical: update the expectation";
    }
  }
  for (const auto& [file, e] : expectations)
    EXPECT_TRUE(seen.count(file)) << "expectation for a file not in the corpus: " << file;
}

TEST(BmpPeer, FilesWeWriteOpenInThePeerWithOurPixels) {
  if (!peer_available()) GTEST_SKIP() << "/usr/bin/python3 has no PIL: differential test skipped";
  struct Case {
    int bpp;
    TvexCompression compression;
    int w, h;
  };
  const Case cases[] = {
      {1, CP_NOCOMP, 37, 11},  {4, CP_NOCOMP, 33, 9},  {4, CP_RLE4, 33, 9},  {4, CP_RLE4, 600, 3},
      {8, CP_NOCOMP, 31, 13},  {8, CP_RLE8, 31, 13},   {8, CP_RLE8, 700, 4}, {16, CP_NOCOMP, 29, 7},
      {24, CP_NOCOMP, 27, 10}, {32, CP_NOCOMP, 25, 6},
  };
  const fs::path dir = scratch_dir("bmp_peer_write");
  std::vector<fs::path> files;
  std::vector<std::unique_ptr<TvexImage>> images;
  int n = 0;
  for (const Case& c : cases) {
    auto image = std::make_unique<TvexImage>();
    make_runny_image(*image, c.w, c.h, c.bpp, static_cast<std::uint32_t>(100 + n));
    std::string name = std::to_string(n++);
    name += ".bmp";
    const fs::path file = dir / name;
    TvexBmpImage writer;
    writer.SetCompression(c.compression);
    writer.SaveToFile(file.string(), image->GetDibHandle());
    ASSERT_EQ(writer.GetError(), EC_OK) << file;
    files.push_back(file);
    images.push_back(std::move(image));
  }
  const auto peers = peer_decode(files);
  ASSERT_EQ(peers.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE("case: bpp " + std::to_string(cases[i].bpp) + " compression " +
                 std::to_string(cases[i].compression));
    ASSERT_TRUE(peers[i].ok) << peers[i].error;
    ASSERT_EQ(peers[i].width, cases[i].w);
    ASSERT_EQ(peers[i].height, cases[i].h);
    const PixelDiff d = compare_rgb(image_rgb(*images[i]), peers[i], cases[i].bpp == 16 ? 5 : 8);
    EXPECT_EQ(d.count, 0) << "first at (" << d.first_x << "," << d.first_y << ") ours "
                          << hex(d.ours) << " peer " << hex(d.peers);
  }
}
