// parvula-cli email: what it writes, what it reports, how it exits.
#include "cli_runner.h"
#include "mail_fit.h"
#include "test_support.h"
#include "vexDCT.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

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

namespace {

// The quantiser of the DC term of the first table of a JPEG file.
int dc_quantiser(const fs::path& jpeg) {
  const std::vector<std::uint8_t> b = read_file(jpeg);
  for (std::size_t i = 0; i + 5 < b.size(); ++i)
    if (b[i] == 0xFF && b[i + 1] == 0xDB) return b[i + 5];
  return -1;
}

// The writer's luminance DC quantiser for a quality.
int expected_quantiser(int quality) {
  return vex::jpeg::MakeQuantTable(vex::jpeg::LuminanceBase,
                                   vex::jpeg::QualityScale(static_cast<unsigned>(quality)), 0)
      .Entries[0];
}

std::pair<int, int> size_of(const fs::path& file) {
  TvexImageFileMgr mgr;
  TvexImage image;
  image.SetDibHandle(mgr.LoadImage(file.string(), FF_DETECT));
  return {image.Width(), std::abs(image.Height())};
}

std::string quoted(const fs::path& p) {
  std::string q = "'";
  q += p.string();
  q += "'";
  return q;
}

} // namespace

TEST(MailFit, EncodedSizesAndByteCounts) {
  const std::pair<std::uint64_t, std::uint64_t> encoded[] = {
      {0, 0}, {1, 6}, {3, 6}, {4, 10}, {57, 78}, {58, 84}, {1000000, 1368424}};
  for (const auto& [n, mail] : encoded) EXPECT_EQ(MailEncodedSize(n), mail) << n;
  const std::pair<const char*, std::uint64_t> sizes[] = {
      {"20M", 20000000}, {"500K", 500000},   {"500k", 500000},
      {"2Mi", 2097152},  {"3G", 3000000000}, {"1048576", 1048576},
      {"", 0},           {"0", 0},           {"12X", 0},
      {"M", 0},          {"-5", 0},          {"1.5M", 0}};
  for (const auto& [text, bytes] : sizes) EXPECT_EQ(ParseByteSize(text).value_or(0), bytes) << text;
}

TEST_F(EmailCli, VersionIsTheProjectVersion) {
  const std::vector<std::uint8_t> cmake =
      read_file(fs::path(PARVULA_SOURCE_DIR) / "CMakeLists.txt");
  const std::string text(cmake.begin(), cmake.end());
  const std::size_t at = text.find("project(Parvula VERSION ") + 24;
  const std::string version = text.substr(at, text.find_first_of(" )", at) - at);
  const CliRun r = run_cli("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "parvula-cli " + version + "\n");
}

TEST_F(EmailCli, SizesAndQualitiesInTheWrittenFiles) {
  save_bmp(dir / "a.bmp", 1500, 1000, 24, 6);
  const struct {
    const char* args;
    int width, height, quality;
  } cases[] = {{"", 1024, 683, 80},
               {"--size 800", 800, 533, 80},
               {"--quality 30", 1024, 683, 30},
               {"-s 1500 --quality 95", 1500, 1000, 95},
               {"-s 1499", 1499, 999, 80},
               {"-s 10 --quality 1", 10, 7, 1}};
  int n = 0;
  for (const auto& c : cases) {
    const fs::path out = dir / ("out" + std::to_string(n++));
    const CliRun r =
        run_cli("email -q -o " + quoted(out) + " " + c.args + " " + quoted(dir / "a.bmp"));
    ASSERT_EQ(r.status, 0) << c.args << "\n" << r.out;
    EXPECT_EQ(size_of(out / "a.jpg"), std::make_pair(c.width, c.height)) << c.args;
    EXPECT_EQ(dc_quantiser(out / "a.jpg"), expected_quantiser(c.quality)) << c.args;
  }
  EXPECT_FALSE(fs::exists(dir / "email")) << "--output writes nowhere else";
  for (const char* bad :
       {"--size 0", "--quality 101", "--fit 20X", "--fit 20M --size 800", "--fit 1M --quality 50"})
    EXPECT_EQ(run_cli(std::string("email ") + bad + " " + quoted(dir)).status, 2) << bad;
}

TEST_F(EmailCli, OutputTreeAndDryRun) {
  fs::create_directories(dir / "src" / "sub" / "deeper");
  fs::create_directories(dir / "other");
  save_bmp(dir / "src" / "a.bmp", 40, 30, 24, 7);
  save_bmp(dir / "src" / "sub" / "deeper" / "b.png", 40, 30, 24, 8);
  save_bmp(dir / "other" / "a.bmp", 40, 30, 24, 9);
  const std::string args = "email -q -r -o " + quoted(dir / "out") + " " + quoted(dir / "src") +
                           " " + quoted(dir / "other");
  const auto before = snapshot(dir);

  const CliRun dry = run_cli(args + " --dry-run");
  EXPECT_EQ(dry.status, 0) << dry.out;
  EXPECT_EQ(snapshot(dir), before) << "a dry run writes nothing";
  for (const fs::path& listed : {dir / "out" / "sub" / "deeper" / "b.jpg", dir / "out" / "a.jpg"})
    EXPECT_NE(dry.out.find("-> " + listed.string() + "\n"), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("both write " + (dir / "out" / "a.jpg").string()), std::string::npos);
  EXPECT_NE(dry.out.find("3 to convert, nothing written"), std::string::npos) << dry.out;

  const CliRun r = run_cli(args);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find((dir / "src" / "a.bmp").string() + " and " +
                       (dir / "other" / "a.bmp").string() + " both write"),
            std::string::npos)
      << r.out;
  std::set<std::string> written;
  for (auto& e : fs::recursive_directory_iterator(dir / "out"))
    if (e.is_regular_file()) written.insert(fs::relative(e.path(), dir / "out").string());
  EXPECT_EQ(written, (std::set<std::string>{"a.jpg", "sub/deeper/b.jpg"}));
  EXPECT_FALSE(fs::exists(dir / "src" / "email"));
}

TEST_F(EmailCli, FitStaysUnderTheBudgetOnThePhotographs) {
  SKIP_WITHOUT_CORPUS("photos");
  const fs::path photos = corpus_dir() / "photos";
  // Budgets met at full quality, by the quality alone, and only with a smaller size.
  const struct {
    const char* budget;
    std::uint64_t bytes;
    bool quality_lowered, size_lowered;
  } cases[] = {
      {"2M", 2000000, false, false}, {"700K", 700000, true, false}, {"300K", 300000, true, true}};
  std::string fit_line; // of the last budget that fitted without a smaller size
  for (const auto& c : cases) {
    const fs::path out = dir / c.budget;
    const CliRun r =
        run_cli("email -r -o " + quoted(out) + " --fit " + c.budget + " " + quoted(photos));
    ASSERT_EQ(r.status, 0) << r.out;
    unsigned quality = 0;
    int size = 0;
    unsigned long long total = 0;
    ASSERT_EQ(
        std::sscanf(r.out.c_str(), "quality %u, size %d: %llu bytes", &quality, &size, &total), 3)
        << r.out;
    std::uint64_t sum = 0;
    int longest = 0;
    for (auto& e : fs::recursive_directory_iterator(out)) {
      if (!e.is_regular_file()) continue;
      sum += MailEncodedSize(e.file_size());
      const auto [w, h] = size_of(e.path());
      longest = std::max({longest, w, h});
    }
    EXPECT_EQ(sum, total) << c.budget;
    EXPECT_LE(sum, c.bytes) << c.budget;
    EXPECT_EQ(quality < 80, c.quality_lowered) << r.out;
    EXPECT_EQ(size < 1024, c.size_lowered) << r.out;
    EXPECT_EQ(longest, size) << c.budget;
    if (size == 1024) {
      fit_line = r.out.substr(0, r.out.find('\n') + 1);
      // At the default size the pictures are the road's: the same files as --quality.
      const fs::path same = dir / (std::string(c.budget) + "-q");
      run_cli("email -q -r -o " + quoted(same) + " --quality " + std::to_string(quality) + " " +
              quoted(photos));
      const fs::path one = fs::path("nolmoonen") / "012mp-bus.jpg";
      EXPECT_EQ(read_file(out / one), read_file(same / one)) << c.budget;
    }
  }
  // A dry run searches alike and writes nothing.
  const CliRun dry =
      run_cli("email -r -n -o " + quoted(dir / "dry") + " --fit 700K " + quoted(photos));
  EXPECT_EQ(dry.status, 0) << dry.out;
  EXPECT_NE(dry.out.find(fit_line), std::string::npos) << fit_line << dry.out;
  EXPECT_NE(dry.out.find("9 to convert, nothing written"), std::string::npos) << dry.out;
  EXPECT_FALSE(fs::exists(dir / "dry"));
  const CliRun tight =
      run_cli("email -r -o " + quoted(dir / "tight") + " --fit 100K " + quoted(photos));
  EXPECT_EQ(tight.status, 1);
  EXPECT_NE(tight.out.find("do not fit in 100000 bytes: even quality 40 at size 640 takes"),
            std::string::npos)
      << tight.out;
  EXPECT_FALSE(fs::exists(dir / "tight"));
}
