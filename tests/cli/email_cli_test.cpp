// parvula-cli email: what it writes, what it reports, how it exits.
#include "cli_runner.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

void save_bmp(const fs::path& path, int w, int h, int bpp, std::uint32_t seed) {
  TvexImage img;
  make_random_image(img, w, h, bpp, seed);
  TvexImageFileMgr mgr;
  mgr.SaveImage(path.string(), FF_BMP, img.GetDibHandle());
  ASSERT_EQ(mgr.GetLastError(), EC_OK);
}

// Every file under `dir` with its size and time, to prove sources are untouched.
std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(const fs::path& dir) {
  std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> m;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) m[e.path().string()] = {e.file_size(), e.last_write_time()};
  return m;
}

class EmailCli : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(cli_path())) GTEST_SKIP() << "no parvula-cli at " << cli_path();
    dir = scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  fs::path dir;
};

} // namespace

TEST_F(EmailCli, ConvertsAFolderAndWritesOnlyIntoEmail) {
  save_bmp(dir / "a.bmp", 1500, 1000, 24, 1);
  save_bmp(dir / "b.bmp", 64, 48, 8, 2);
  fs::create_directories(dir / "sub");
  save_bmp(dir / "sub" / "c.bmp", 30, 20, 24, 3);
  const auto before = snapshot(dir);

  const CliRun r = run_cli("email -j 2 " + dir.string());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("2 converted, 0 not converted"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(dir / "email" / "a.jpg"));
  EXPECT_TRUE(fs::exists(dir / "email" / "b.jpg"));
  EXPECT_FALSE(fs::exists(dir / "sub" / "email")) << "no descent without --recursive";
  for (const auto& [path, stat] : before) {
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), stat.first) << path;
    EXPECT_EQ(fs::last_write_time(path), stat.second) << path;
  }
  TvexImageFileMgr mgr;
  TvexImage out;
  out.SetDibHandle(mgr.LoadImage((dir / "email" / "a.jpg").string(), FF_JPEG));
  EXPECT_EQ(out.Width(), 1024);
  EXPECT_EQ(out.Height(), 683);

  const CliRun deep = run_cli("email --recursive " + dir.string());
  EXPECT_EQ(deep.status, 0) << deep.out;
  EXPECT_NE(deep.out.find("3 converted"), std::string::npos) << deep.out;
  EXPECT_TRUE(fs::exists(dir / "sub" / "email" / "c.jpg"));
  EXPECT_FALSE(fs::exists(dir / "email" / "email")) << "outputs are never converted again";
}

TEST_F(EmailCli, FailuresNameTheFileAndTheReason) {
  // An SGI file of two bytes a channel: recognised, but no reader of ours
  // gives it a bitmap.
  std::vector<std::uint8_t> deep(512);
  deep[0] = 0x01, deep[1] = 0xDA, deep[3] = 2, deep[5] = 2, deep[7] = 4, deep[9] = 4, deep[11] = 1;
  testing_support::write_file(dir / "deep.sgi", deep);
  testing_support::write_file(dir / "broken.jpg", {0xFF, 0xD8, 0xFF});
  save_bmp(dir / "good.bmp", 40, 40, 24, 5);
  const CliRun r =
      run_cli("email " + (dir / "deep.sgi").string() + " " + (dir / "broken.jpg").string() + " " +
              (dir / "good.bmp").string() + " " + (dir / "missing.png").string());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("deep.sgi: Un-supported bit depth."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("broken.jpg: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("missing.png: No such file or folder."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 converted, 3 not converted"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "email" / "deep.jpg"));
  EXPECT_FALSE(fs::exists(dir / "email" / "broken.jpg"));
}

TEST_F(EmailCli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(run_cli("email").status, 2);
  EXPECT_EQ(run_cli("email -j 0 " + dir.string()).status, 2);
  EXPECT_EQ(run_cli("email --no-such-flag " + dir.string()).status, 2);
}
