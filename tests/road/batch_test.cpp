// The batch road: naming, sizing, progress, and whole conversions through
// the format manager.
#include "batch.h"
#include "batch_runner.h"
#include "depth_expand.h"

#include "peer.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;
using testing_support::read_file;

TEST(BatchNaming, LoadFormatFollowsTheFirstFourLettersOfTheExtension) {
  const struct {
    const char* name;
    TvexFileFormat format;
  } cases[] = {
      {"a.jpg", FF_JPEG},         {"a.JPEG", FF_JPEG},       {"a.jpeg2000", FF_JPEG},
      {"a.Tiff", FF_JPEG},        {"a.tif", FF_TIFF},        {"a.kdc", FF_KDC},
      {"a.dib", FF_DIB},          {"a.bmp", FF_BMP},         {"a.PNG", FF_PNG},
      {"a.tga", FF_TARGA},        {"a.pcx", FF_PCX},         {"a.gif", FF_GIF},
      {"noext", FF_JPEG},         {"dir.bmp/file", FF_JPEG}, {"a.", FF_JPEG},
      {"/x/y/p.tar.bmp", FF_BMP},
  };
  for (const auto& c : cases) EXPECT_EQ(LoadFormatFromName(c.name), c.format) << c.name;
}

TEST(BatchNaming, OutputGoesIntoEmailBesideTheSource) {
  EXPECT_EQ(MailFileName("/pics/Holiday.Photo.JPEG"), "/pics/email/Holiday.Photo.jpg");
  EXPECT_EQ(MailFileName("/pics/a.b.png"), "/pics/email/a.b.jpg");
  EXPECT_EQ(MailFileName("/pics/noext"), "/pics/email/noext.jpg");
  EXPECT_EQ(MailFileName("/pics.d/noext"), "/pics.d/email/noext.jpg");
  EXPECT_EQ(MailFileName("rel.bmp"), "email/rel.jpg");
  // Under -o: a bare file name has an empty folder, which must not throw.
  EXPECT_EQ(OutputUnder({"rel.bmp", ""}, "out"), "out/rel.jpg");
  EXPECT_EQ(OutputUnder({"sub/rel.bmp", "sub"}, "out"), "out/rel.jpg");
  EXPECT_EQ(OutputUnder({"sub/deep/rel.bmp", "sub"}, "out"), "out/deep/rel.jpg");
}

TEST(BatchSizing, LongerSideBecomes1024RoundedHalfToEven) {
  const struct {
    int w, h, rw, rh;
  } cases[] = {{1024, 768, 1024, 768},       {1025, 10, 1024, 10},    {2000, 2000, 1024, 1024},
               {2048, 1025, 1024, 512},      {2048, 1027, 1024, 514}, {1500, 1000, 1024, 683},
               {1000, 3000, 341, 1024},      {10, 1025, 10, 1024},    {3000000, 1, 1024, 0},
               {4000000, 3000000, 1024, 768}};
  for (const auto& c : cases) {
    std::int32_t rw = 0, rh = 0;
    MailSize(c.w, c.h, rw, rh);
    EXPECT_EQ(rw, c.rw) << c.w << "x" << c.h;
    EXPECT_EQ(rh, c.rh) << c.w << "x" << c.h;
  }
}

TEST(BatchProgressBar, RoundsHalfToEven) {
  EXPECT_EQ(BatchProgress(1, 8), 12); // 12.5
  EXPECT_EQ(BatchProgress(3, 8), 38); // 37.5
  EXPECT_EQ(BatchProgress(1, 3), 33);
  EXPECT_EQ(BatchProgress(2, 3), 67);
  EXPECT_EQ(BatchProgress(3, 3), 100);
  EXPECT_EQ(BatchProgress(0, 0), 0);
}

namespace {

// Writes a BMP of the given picture through the manager.
std::string save_bmp(TvexImage& img, const fs::path& path) {
  TvexImageFileMgr mgr;
  mgr.SetCompression(CP_NOCOMP);
  mgr.SaveImage(path.string(), FF_BMP, img.GetDibHandle());
  EXPECT_EQ(mgr.GetLastError(), EC_OK) << path;
  return path.string();
}

std::string random_bmp(const fs::path& path, int w, int h, int bpp, std::uint32_t seed) {
  TvexImage img;
  testing_support::make_random_image(img, w, h, bpp, seed);
  return save_bmp(img, path);
}

// snprintf rather than string concatenation: g++ 12 warns falsely (-Wrestrict) on the latter.
std::string name(const char* pattern, int a, int b = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, a, b);
  return buf;
}

} // namespace

TEST(BatchConvert, WritesAStretchedJpegOfTheMailSize) {
  const auto dir = testing_support::scratch_dir("batch_convert");
  const std::string src = random_bmp(dir / "wide.bmp", 2048, 1025, 24, 1);
  fs::create_directories(dir / "email");
  TvexImageFileMgr mgr;
  const ConvertResult r = ConvertFile(src, mgr);
  ASSERT_TRUE(r.converted) << r.message;
  EXPECT_EQ(r.output, (dir / "email" / "wide.jpg").string());
  TvexImage out;
  out.SetDibHandle(mgr.LoadImage(r.output, FF_JPEG));
  EXPECT_EQ(out.Width(), 1024);
  EXPECT_EQ(out.Height(), 512);
  EXPECT_FALSE(fs::exists(r.output + ".part"));
}

TEST(BatchConvert, EveryDepthBecomesAJpegOfTheMailSize) {
  const auto dir = testing_support::scratch_dir("batch_depths");
  fs::create_directories(dir / "email");
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    for (int side : {100, 1500}) {
      const std::string src = random_bmp(dir / name("p%d_%d.bmp", bpp, side), side, 20, bpp, 2);
      TvexImageFileMgr mgr;
      const ConvertResult r = ConvertFile(src, mgr);
      ASSERT_TRUE(r.converted) << src << ": " << r.message;
      TvexImage out;
      out.SetDibHandle(mgr.LoadImage(r.output, FF_JPEG));
      EXPECT_EQ(out.Width(), side == 100 ? 100 : 1024) << src;
      EXPECT_EQ(out.Height(), side == 100 ? 20 : 14) << src;
    }
  }
}

// Widened pictures keep every colour (16-bit pixels in their 5 bits); grey
// ramps, and colour palettes that are not resized, stay 8-bit.
TEST(BatchConvert, WideningKeepsTheColours) {
  struct Case {
    int bpp;
    bool grey, resize;
    int expect_bpp;
  };
  for (const Case c :
       {Case{1, false, false, 24}, Case{4, false, false, 24}, Case{16, false, false, 24},
        Case{8, false, true, 24}, Case{8, false, false, 8}, Case{8, true, true, 8}}) {
    SCOPED_TRACE(name("bpp %d grey %d", c.bpp, c.grey));
    TvexImage img;
    testing_support::make_random_image(img, 37, 5, c.bpp, 7);
    if (c.grey) {
      TvexImage::LogPalette pal;
      pal.palNumEntries = 256;
      for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(255 - i);
        pal.palPalEntry[i] = {v, v, v, 0};
      }
      img.SetPaletteEntries(&pal);
    }
    testing_support::PeerImage before;
    before.ok = true;
    before.width = 37;
    before.height = 5;
    before.rgb = testing_support::image_rgb(img);
    ASSERT_TRUE(ExpandForMail(img, c.resize));
    EXPECT_EQ(img.BitCount(), c.expect_bpp);
    EXPECT_EQ(
        testing_support::compare_rgb(testing_support::image_rgb(img), before, c.bpp == 16 ? 5 : 8)
            .count,
        0);
  }
}

// A colour photograph of 2000 x 1500 saved as an 8-bit palette BMP gives the
// same e-mail JPEG as the same pixels saved in 24 bits.
TEST(BatchConvert, PalettePicturesAreResizedInColour) {
  if (!testing_support::peer_available()) GTEST_SKIP() << "Pillow missing";
  SKIP_WITHOUT_CORPUS("photos");
  const auto dir = testing_support::scratch_dir("batch_palette");
  const fs::path photo = testing_support::corpus_dir() / "photos" / "debian-lomiri-wallpapers" /
                         "seeding_by_Clements_Engelhardt.jpg";
  const std::string cmd =
      "/usr/bin/python3 -c \"import sys; from PIL import Image; "
      "p = Image.open(sys.argv[1]).convert('RGB').resize((2000, 1500)).quantize(256); "
      "p.save(sys.argv[2]); p.convert('RGB').save(sys.argv[3])\" '" +
      photo.string() + "' '" + (dir / "pal.bmp").string() + "' '" + (dir / "rgb.bmp").string() +
      "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  TvexImageFileMgr mgr;
  TvexImage pal;
  pal.SetDibHandle(mgr.LoadImage((dir / "pal.bmp").string(), FF_BMP));
  ASSERT_EQ(pal.BitCount(), 8);
  fs::create_directories(dir / "email");
  for (const char* f : {"pal.bmp", "rgb.bmp"})
    ASSERT_TRUE(ConvertFile((dir / f).string(), mgr).converted) << f;
  EXPECT_EQ(read_file(dir / "email" / "pal.jpg"), read_file(dir / "email" / "rgb.jpg"));
}

TEST(BatchConvert, UnreadableFilesAndFailedSavesReportNotConverted) {
  const auto dir = testing_support::scratch_dir("batch_fail");
  testing_support::write_file(dir / "junk.jpg", {1, 2, 3, 4, 5});
  TvexImageFileMgr mgr;
  ConvertResult r = ConvertFile((dir / "junk.jpg").string(), mgr);
  EXPECT_FALSE(r.converted);
  EXPECT_EQ(r.error, EC_BADFORMAT);

  // The output folder cannot be made: a file stands where it should be.
  const std::string src = random_bmp(dir / "ok.bmp", 40, 30, 24, 3);
  testing_support::write_file(dir / "email", {0});
  r = ConvertFile(src, mgr);
  EXPECT_FALSE(r.converted);
  EXPECT_NE(r.error, EC_OK);
}

TEST(BatchRunner, OutputsAreTheSameForAnyNumberOfWorkers) {
  const auto dir = testing_support::scratch_dir("batch_runner");
  for (int i = 0; i < 6; ++i)
    random_bmp(dir / name("f%d.bmp", i), 300 + 97 * i, 200 + 31 * i, i % 2 ? 8 : 24,
               static_cast<std::uint32_t>(i));
  random_bmp(dir / "clash.bmp", 64, 64, 24, 10);
  random_bmp(dir / "clash.dib", 32, 32, 24, 11); // same output name, listed after clash.bmp
  testing_support::write_file(dir / "notes.txt", {1});

  const auto files = CollectBatchFiles({dir.string()}, false);
  ASSERT_EQ(files.size(), 8u);
  EXPECT_EQ(fs::path(files[0]).filename(), "clash.bmp");
  EXPECT_EQ(fs::path(files[1]).filename(), "clash.dib");

  std::map<std::string, std::vector<std::uint8_t>> first;
  for (unsigned workers : {1u, 2u, 4u}) {
    fs::remove_all(dir / "email");
    std::size_t calls = 0;
    const auto outcomes =
        RunBatch(files, workers, [&](std::size_t done, std::size_t total, const std::string&) {
          ++calls;
          EXPECT_LE(done, total);
        });
    EXPECT_EQ(calls, files.size());
    ASSERT_EQ(outcomes.size(), files.size());
    EXPECT_EQ(outcomes[0].superseded_by, 1);
    for (const auto& o : outcomes) EXPECT_TRUE(o.result.converted) << o.source << o.result.message;
    for (const auto& o : outcomes) {
      const auto bytes = read_file(o.result.output);
      if (workers == 1)
        first[o.result.output] = bytes;
      else
        EXPECT_EQ(bytes, first[o.result.output]) << o.result.output << " with " << workers;
    }
  }
  TvexImageFileMgr mgr;
  TvexImage clash;
  clash.SetDibHandle(mgr.LoadImage((dir / "email" / "clash.jpg").string(), FF_JPEG));
  EXPECT_EQ(clash.Width(), 32) << "the later source wins, as in a sequential run";
}

TEST(BatchRunner, StopsBeforeTheNextFileAndSurvivesAThrow) {
  const auto dir = testing_support::scratch_dir("batch_stop");
  std::vector<std::string> files;
  for (int i = 0; i < 6; ++i) files.push_back((dir / name("s%d.bmp", i)).string());
  for (unsigned workers : {1u, 2u}) {
    std::atomic<bool> stop{false};
    std::vector<std::size_t> reported;
    BatchControl control;
    control.stop = &stop;
    control.convert = [&](const std::string& file, TvexImageFileMgr&, const MailSettings& s) {
      if (file == files[1]) throw std::runtime_error("no memory left");
      ConvertResult r;
      r.converted = true;
      r.output = s.output;
      return r;
    };
    control.file_done = [&](std::size_t, const BatchOutcome& o) {
      EXPECT_TRUE(o.started);
      reported.push_back(0);
      if (reported.size() == 2) stop = true;
    };
    const auto outcomes = RunBatch(files, std::vector<std::string>(files.size()), MailSettings(),
                                   workers, {}, control);
    // Files under way when the stop came are finished, no other is started.
    EXPECT_GE(reported.size(), 2u);
    EXPECT_LE(reported.size(), 1u + workers);
    EXPECT_EQ(static_cast<std::size_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                     [](const auto& o) { return o.started; })),
              reported.size());
    EXPECT_FALSE(outcomes[1].result.converted);
    EXPECT_EQ(outcomes[1].result.message, "no memory left");
    EXPECT_FALSE(outcomes.back().started);
  }
}

TEST(BatchRunner, RecursionSkipsEmailFolders) {
  const auto dir = testing_support::scratch_dir("batch_collect");
  fs::create_directories(dir / "sub");
  fs::create_directories(dir / "email");
  testing_support::write_file(dir / "B.JPG", {0});
  testing_support::write_file(dir / "a.png", {0});
  testing_support::write_file(dir / "sub" / "c.tif", {0});
  testing_support::write_file(dir / "email" / "d.jpg", {0});
  testing_support::write_file(dir / "e.tiff", {0});
  std::vector<std::string> missing;
  auto flat = CollectBatchFiles({dir.string(), (dir / "nope").string()}, false, &missing);
  ASSERT_EQ(flat.size(), 2u);
  EXPECT_EQ(fs::path(flat[0]).filename(), "a.png");
  EXPECT_EQ(missing.size(), 1u);
  auto deep = CollectBatchFiles({dir.string()}, true);
  ASSERT_EQ(deep.size(), 3u);
  EXPECT_EQ(fs::path(deep[2]).filename(), "c.tif");
}

TEST(BatchConvert, ACutPhotographGivesWhatCouldBeReadAndSaysSo) {
  const auto dir = testing_support::scratch_dir("batch_cut");
  auto bytes = read_file(testing_support::data_file("hopper_orientation_2.jpg"));
  ASSERT_GT(bytes.size(), 1000u);
  bytes.resize(bytes.size() / 2);
  testing_support::write_file(dir / "cut.jpg", bytes);
  fs::create_directories(dir / "email");
  TvexImageFileMgr mgr;
  const ConvertResult r = ConvertFile((dir / "cut.jpg").string(), mgr);
  EXPECT_TRUE(r.converted) << r.message;
  EXPECT_NE(r.load_error, EC_OK);
  EXPECT_FALSE(r.load_message.empty());
  EXPECT_TRUE(fs::exists(r.output));
}
