// parvula-cli info and convert: output, files written and exit statuses.
#include "vexImageFile.h"

#include "cli_runner.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// Words joined by spaces (built by appending: g++ 12 warns falsely on
// chains of string additions).
std::string join(std::initializer_list<std::string> words) {
  std::string s;
  for (const std::string& w : words) {
    if (!s.empty()) s += ' ';
    s += w;
  }
  return s;
}

CliRun run(const std::string& args) {
  return run_cli(args);
}

std::string digest_of(const fs::path& file) {
  TvexImageFileMgr m;
  TvexImage image;
  image.SetDibHandle(m.LoadImage(file.string(), FF_DETECT));
  return m.GetLastError() == EC_OK ? pixel_digest(image) : "error";
}

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(cli_path())) GTEST_SKIP() << "no parvula-cli at " << cli_path();
    dir = scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    TvexImage image;
    make_random_image(image, 21, 9, 8, 4);
    TvexBmpImage w;
    w.SaveToFile((dir / "in.bmp").string(), image.GetDibHandle());
    ASSERT_EQ(w.GetError(), EC_OK);
  }
  std::string at(const char* name) const {
    std::string q(1, '\'');
    q += (dir / name).string();
    q += '\'';
    return q;
  }
  fs::path dir;
};

} // namespace

TEST_F(Cli, InfoDescribesAFile) {
  const CliRun r = run(join({"info", at("in.bmp")}));
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* line : {"format: 20 Windows or OS/2 Bitmap", "size: 21 x 9", "bit count: 8",
                           "colour format: 4 8-bit palette", "compression: 0 None", "file size: "})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(r.out.find("error"), std::string::npos);
}

TEST_F(Cli, InfoReportsEveryFileAndFailsWhenOneFails) {
  write_file(dir / "text.bmp", std::vector<std::uint8_t>(64, 'x'));
  const CliRun r = run(join({"info", at("in.bmp"), at("missing.bmp"), at("text.bmp")}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("size: 21 x 9"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error: 3 Cannot open image file."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("error: 8 Un-supported or incorrect file format."), std::string::npos)
      << r.out;
}

TEST_F(Cli, ConvertWritesTheFormatOfTheExtension) {
  struct Case {
    std::string args;
    const char* out;
    int header_compression;
  };
  for (const Case& c :
       {Case{"", "a.bmp", 0}, Case{"--compression 2", "b.bmp", 1}, Case{"--format 21", "c.out", 0},
        Case{"--compression 2 --quality 50", "d.dib", 1}}) {
    const CliRun r = run(join({"convert", at("in.bmp"), at(c.out), c.args}));
    ASSERT_EQ(r.status, 0) << c.args << "\n" << r.out;
    EXPECT_EQ(read_file(dir / c.out)[30], c.header_compression) << c.args;
    EXPECT_EQ(digest_of(dir / c.out), digest_of(dir / "in.bmp")) << c.args;
  }
}

TEST_F(Cli, ConvertWritesTargaAndPcx) {
  for (const auto& [out, args] :
       {std::pair{"x.tga", ""}, std::pair{"y.tga", "--compression 3"}, std::pair{"z.pcx", ""}}) {
    const CliRun r = run(join({"convert", at("in.bmp"), at(out), args}));
    ASSERT_EQ(r.status, 0) << out << "\n" << r.out;
    EXPECT_EQ(digest_of(dir / out), digest_of(dir / "in.bmp")) << out;
  }
}

TEST_F(Cli, ConvertWritesAndAppendsTiffPages) {
  for (const char* args : {"--compression 13", "--append", "--append --compression 0"}) {
    const CliRun r = run(join({"convert", at("in.bmp"), at("pages.tif"), args}));
    ASSERT_EQ(r.status, 0) << args << "\n" << r.out;
  }
  EXPECT_EQ(digest_of(dir / "pages.tif"), digest_of(dir / "in.bmp"));
  for (int index : {2, 3}) {
    TvexTIFFImage reader;
    reader.SetImageIndex(index);
    TvexImage page;
    page.SetDibHandle(reader.LoadFromFile((dir / "pages.tif").string()));
    EXPECT_EQ(reader.GetError(), index == 2 ? EC_OK : EC_NOSUBIMAGE) << index;
  }
}

TEST_F(Cli, ConvertReadsAFileWhoseExtensionLies) {
  fs::copy_file(dir / "in.bmp", dir / "photo.png");
  const CliRun r = run(join({"convert", at("photo.png"), at("out.bmp")}));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(digest_of(dir / "out.bmp"), digest_of(dir / "in.bmp"));
}

TEST_F(Cli, ExitStatuses) {
  struct Case {
    std::string args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"", 2, "subcommand"},
      {"frobnicate", 2, ""},
      {"info", 2, "required"},
      {join({"convert", at("in.bmp")}), 2, "required"},
      {join({"convert", at("in.bmp"), at("x.zzz")}), 2, "--format"},
      {join({"convert", at("in.bmp"), at("x.bmp"), "--quality 0"}), 2, "--quality"},
      {join({"convert", at("in.bmp"), at("x.bmp"), "--format 99"}), 2, "--format"},
      {join({"convert", at("in.bmp"), at("x.bmp"), "--compression abc"}), 2, "--compression"},
      {join({"convert", at("missing.bmp"), at("x.bmp")}), 1, "error 3"},
      {join({"convert", at("in.bmp"), at("x.gif"), "--format 0"}), 1, "Format not supported."},
      {join({"convert", at("in.bmp"), at("y.bmp"), "--compression 1"}), 1, "error 17"},
      {join({"convert", at("in.bmp"), at("no/such/dir/z.bmp")}), 1, "error 4"},
      {join({"convert", at("in.bmp"), at("x.bmp"), "--append"}), 1, "one image a file"},
      {"--help", 0, "convert"},
  };
  for (const Case& c : cases) {
    const CliRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
  EXPECT_FALSE(fs::exists(dir / "x.gif"));
}
