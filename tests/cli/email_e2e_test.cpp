// The main road end to end: corpus photographs and synthetic pictures in a
// temporary folder through `parvula-cli email`, outputs checked with djpeg.
#include "cli_runner.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

struct PnmSize {
  bool ok = false;
  int width = 0, height = 0;
};

// Decodes with djpeg and reads the size from the PNM header it writes.
PnmSize djpeg_size(const fs::path& jpeg) {
  PnmSize s;
  std::string cmd = "djpeg -pnm '";
  cmd += jpeg.string();
  cmd += "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return s;
  char magic[3] = {};
  const int fields = std::fscanf(p, "%2s %d %d", magic, &s.width, &s.height);
  char buf[65536];
  while (std::fread(buf, 1, sizeof buf, p) > 0) {
  }
  const int status = pclose(p);
  s.ok = fields == 3 && status == 0 && magic[0] == 'P';
  return s;
}

void save_bmp(const fs::path& path, int w, int h, int bpp) {
  TvexImage img;
  make_random_image(img, w, h, bpp, static_cast<std::uint32_t>(w + h));
  TvexImageFileMgr mgr;
  mgr.SaveImage(path.string(), FF_BMP, img.GetDibHandle());
  ASSERT_EQ(mgr.GetLastError(), EC_OK);
}

} // namespace

TEST(EmailEndToEnd, PhotographsAndSizesThroughTheWholeRoad) {
  if (!fs::exists(cli_path())) GTEST_SKIP() << "no parvula-cli";
  if (std::system("command -v djpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "djpeg not installed";
  SKIP_WITHOUT_CORPUS("photos");
  const fs::path dir = scratch_dir("email_e2e");
  const fs::path photos = corpus_dir() / "photos";
  // One progressive and one baseline photograph.
  fs::copy_file(photos / "debian-lomiri-wallpapers" / "seeding_by_Clements_Engelhardt.jpg",
                dir / "seeding.jpg");
  fs::copy_file(photos / "metadata-extractor" / "Canon_EOS_1000D.jpg", dir / "canon.JPG");
  save_bmp(dir / "keep.bmp", 1024, 768, 24);
  save_bmp(dir / "wide.bmp", 2048, 1025, 24);
  save_bmp(dir / "tall.dib", 1000, 3000, 8);
  save_bmp(dir / "mono.bmp", 200, 100, 1);

  const CliRun r = run_cli("email -q " + dir.string());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("5 converted, 1 not converted"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("mono.bmp: Un-supported bit depth."), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "email" / "mono.jpg"));

  const struct {
    const char* name;
    int width, height;
  } expected[] = {{"seeding.jpg", 1024, 576},
                  {"canon.jpg", 683, 1024}, // stored 3888 x 2592, Exif orientation 6
                  {"keep.jpg", 1024, 768},
                  {"wide.jpg", 1024, 512},
                  {"tall.jpg", 341, 1024}};
  for (const auto& e : expected) {
    const PnmSize s = djpeg_size(dir / "email" / e.name);
    EXPECT_TRUE(s.ok) << e.name << " does not decode with djpeg";
    EXPECT_EQ(s.width, e.width) << e.name;
    EXPECT_EQ(s.height, e.height) << e.name;
  }
  std::size_t outputs = 0;
  for (auto& entry : fs::directory_iterator(dir / "email")) {
    EXPECT_EQ(entry.path().extension(), ".jpg") << "left behind: " << entry.path();
    ++outputs;
  }
  EXPECT_EQ(outputs, 5u);

  // --keep-orientation: the stored pixel order.
  const CliRun kept = run_cli("email -q --keep-orientation " + (dir / "canon.JPG").string());
  EXPECT_EQ(kept.status, 0) << kept.out;
  const PnmSize s = djpeg_size(dir / "email" / "canon.jpg");
  EXPECT_EQ(s.width, 1024);
  EXPECT_EQ(s.height, 683);
}
