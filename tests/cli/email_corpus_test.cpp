// label: slow
// One copy of every corpus file through `parvula-cli email`: each file a
// reader of ours loads becomes a JPEG that djpeg decodes without a warning,
// at the size the resize rule gives (sides swapped for photographs turned
// upright).
#include "batch.h"
#include "cli_runner.h"
#include "orientation.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;
using namespace testing_support;

TEST(EmailCorpus, EveryReadableFileBecomesAMailSizedJpeg) {
  if (!fs::exists(cli_path())) GTEST_SKIP() << "no parvula-cli";
  if (std::system("command -v djpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "djpeg not installed";
  if (!fs::is_directory(corpus_dir())) GTEST_SKIP() << "no corpus";
  const fs::path dir = scratch_dir("email_corpus");
  struct Readable {
    fs::path copy;
    std::int32_t width, height;
  };
  std::vector<Readable> readable;
  std::string args = "email -q";
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(corpus_dir()))
    if (e.is_regular_file() && e.path().extension() != ".tsv" && e.path().extension() != ".md")
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    // Numbered copies: no two sources share an output name.
    const fs::path copy = dir / (std::to_string(&f - files.data()) + "_" + f.filename().string());
    TvexImageFileMgr mgr;
    TvexImage image;
    image.SetDibHandle(LoadByExtension(f.string(), mgr));
    if (!image.Bits()) continue;
    fs::copy_file(f, copy);
    std::int32_t w = 0, h = 0;
    MailSize(image.Width(), std::abs(image.Height()), w, h);
    // Photographs are written upright.
    if (SwapsSides(mgr.GetImageInfo().Orientation())) std::swap(w, h);
    readable.push_back({copy, w, h});
    args += " '" + copy.string() + "'";
  }
  ASSERT_FALSE(readable.empty());
  const CliRun run = run_cli(args);
  EXPECT_EQ(run.status, 0) << run.out;
  for (const Readable& r : readable) {
    SCOPED_TRACE(r.copy.filename().string());
    const fs::path out = fs::path(MailFileName(r.copy.string()));
    const std::string cmd =
        "djpeg -pnm '" + out.string() + "' 2>&1 >'" + (dir / "out.pnm").string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string warnings;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) warnings += buf;
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(warnings, "");
    int w = 0, h = 0;
    FILE* pnm = std::fopen((dir / "out.pnm").string().c_str(), "rb");
    ASSERT_NE(pnm, nullptr);
    EXPECT_EQ(std::fscanf(pnm, "P%*d %d %d", &w, &h), 2);
    std::fclose(pnm);
    EXPECT_EQ(w, r.width);
    EXPECT_EQ(h, r.height);
  }
}
