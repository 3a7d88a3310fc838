// The format manager: extension map, settings, the fallback over every
// reader when a file's extension lies, saving, and independent managers.
#include "vexImageFile.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
namespace pf = vex::platform;
using namespace testing_support;

namespace {

fs::path write_bmp(const fs::path& file, int bpp, TvexCompression compression, std::uint32_t seed) {
  TvexImage image;
  make_random_image(image, 9, 5, bpp, seed);
  TvexBmpImage writer;
  writer.SetCompression(compression);
  writer.SaveToFile(file.string(), image.GetDibHandle());
  EXPECT_EQ(writer.GetError(), EC_OK);
  return file;
}

} // namespace

TEST(Manager, FormatFromExtension) {
  struct Case {
    const char* name;
    TvexFileFormat format;
  };
  const Case cases[] = {
      {"a.bmp", FF_BMP},     {"a.RLE", FF_BMP},
      {"a.cri", FF_CRI},     {"x/y.dib", FF_DIB},
      {"a.ico", FF_ICON},    {"PHOTO.JPEG", FF_JPEG},
      {"a.jpg", FF_JPEG},    {"x.jpe", FF_UNKNOWN},
      {"a.pbm", FF_PBM},     {"a.pcx", FF_PCX},
      {"a.pgm", FF_PGM},     {"a.png", FF_PNG},
      {"a.ppm", FF_PPM},     {"a.bw", FF_SGI},
      {"a.rgb", FF_SGI},     {"a.rgba", FF_SGI},
      {"a.sgi", FF_SGI},     {"a.tif", FF_TIFF},
      {"a.TIFF", FF_TIFF},   {"a.tga", FF_TARGA},
      {"noext", FF_UNKNOWN}, {"dir.bmp/noext", FF_UNKNOWN},
      {"a.", FF_UNKNOWN},    {"a.GIF", FF_GIF},
      {"a.tar.png", FF_PNG},
  };
  for (const Case& c : cases)
    EXPECT_EQ(int{TvexImageFileMgr::FormatFromExtension(c.name)}, int{c.format}) << c.name;
}

TEST(Manager, Settings) {
  TvexImageFileMgr m;
  EXPECT_EQ(m.GetQuality(), 100);
  EXPECT_TRUE(m.GetTIFFWhiteIsZero());
  EXPECT_EQ(m.GetJPEGSampling(), 1);
  for (const auto& [in, out] :
       {std::pair{0, 1}, std::pair{250, 100}, std::pair{80, 80}, std::pair{1, 1}}) {
    m.SetQuality(static_cast<std::uint16_t>(in));
    EXPECT_EQ(m.GetQuality(), out) << in;
  }
  m.SetCompression(200); // stored unchanged
  EXPECT_EQ(m.GetCompression(), 200);
  EXPECT_EQ(&ImageFileManager(), &ImageFileManager());
}

TEST(Manager, CreateFormatGivesTheObjectItsMetadata) {
  TvexImageFileMgr m;
  for (int f : {int{FF_BMP}, int{FF_DIB}}) {
    TvexImageFile* obj = m.CreateFormat(static_cast<TvexFileFormat>(f));
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->GetImageInfo(), &m.GetImageInfo());
    EXPECT_EQ(m.GetCurrent(), obj);
  }
  for (int f : {int{FF_KDC}, int{FF_CGM}, int{FF_UNKNOWN}, int{FF_DETECT}, 200})
    EXPECT_EQ(m.CreateFormat(static_cast<TvexFileFormat>(f)), nullptr) << f;
}

TEST(Manager, FallbackFindsTheReaderWhenTheExtensionLies) {
  const fs::path dir = scratch_dir("manager_fallback");
  const fs::path bmp = write_bmp(dir / "source.bmp", 8, CP_RLE8, 1);
  fs::copy_file(bmp, dir / "photo.jpg");
  fs::copy_file(bmp, dir / "noextension");
  TvexImage reference;
  {
    TvexBmpImage r;
    reference.SetDibHandle(r.LoadFromFile(bmp.string()));
  }
  struct Case {
    fs::path file;
    TvexFileFormat asked;
  };
  for (const Case& c : {Case{dir / "photo.jpg", FF_JPEG}, Case{dir / "photo.jpg", FF_DETECT},
                        Case{dir / "noextension", FF_DETECT}, Case{dir / "noextension", FF_PNG},
                        Case{dir / "source.bmp", FF_UNKNOWN}}) {
    SCOPED_TRACE(c.file.filename().string() + " as " + std::to_string(c.asked));
    TvexImageFileMgr m;
    TvexImage image;
    const DibHandle dib = m.LoadImage(c.file.string(), c.asked);
    ASSERT_FALSE(pf::is_null(dib));
    image.SetDibHandle(dib);
    EXPECT_EQ(m.GetLastError(), EC_OK);
    EXPECT_EQ(m.GetImageInfo().FileFormat(), FF_BMP);
    EXPECT_EQ(m.GetImageInfo().FileName(), c.file.string());
    EXPECT_EQ(m.GetCompression(), CP_RLE8);
    EXPECT_FALSE(m.GetMoreImages());
    EXPECT_EQ(m.GetCurrent(), nullptr);
    EXPECT_EQ(pixel_digest(image), pixel_digest(reference));
  }
}

TEST(Manager, UnrecognisedAndDamagedFiles) {
  const fs::path dir = scratch_dir("manager_failures");
  write_file(dir / "text.bmp", std::vector<std::uint8_t>(200, 'x'));
  // A BMP with 2 bits per pixel: recognised, then refused with 19.
  std::vector<std::uint8_t> bad = read_file(write_bmp(dir / "good.bmp", 8, CP_NOCOMP, 2));
  bad[28] = 2;
  write_file(dir / "bad.png", bad);
  struct Case {
    fs::path file;
    TvexErrorCode error;
  };
  for (const Case& c : {Case{dir / "text.bmp", EC_BADFORMAT}, Case{dir / "bad.png", EC_BITDEPTH},
                        Case{dir / "missing.bmp", EC_OPENFILE}}) {
    TvexImageFileMgr m;
    EXPECT_TRUE(pf::is_null(m.LoadImage(c.file.string(), FF_DETECT))) << c.file;
    EXPECT_EQ(int{m.GetLastError()}, int{c.error}) << c.file;
    EXPECT_EQ(m.GetCurrent(), nullptr);
  }
}

TEST(Manager, SaveImage) {
  const fs::path dir = scratch_dir("manager_save");
  TvexImage image;
  make_random_image(image, 6, 4, 8, 3);
  TvexImageFileMgr m;
  m.SetCompression(CP_RLE8);
  m.SaveImage((dir / "out.bmp").string(), FF_DETECT, image.GetDibHandle());
  EXPECT_EQ(m.GetLastError(), EC_OK);
  EXPECT_EQ(read_file(dir / "out.bmp")[30], 1); // RLE8 in the header
  EXPECT_EQ(m.GetCurrent(), nullptr);

  // A failed save reports its code; a null DIB changes nothing.
  m.SetCompression(CP_DEFLATE);
  m.SaveImage((dir / "bad.bmp").string(), FF_BMP, image.GetDibHandle());
  EXPECT_EQ(m.GetLastError(), EC_BADCOMPRESS);
  m.SaveImage((dir / "null.bmp").string(), FF_BMP, DibHandle::Null);
  EXPECT_EQ(m.GetLastError(), EC_BADCOMPRESS);
  EXPECT_FALSE(fs::exists(dir / "null.bmp"));
  // GIF is read, not written: refused with 9 before a file is made.
  m.SaveImage((dir / "x.gif").string(), FF_DETECT, image.GetDibHandle());
  EXPECT_EQ(m.GetLastError(), EC_UNKNOWNFORMAT);
  EXPECT_FALSE(fs::exists(dir / "x.gif"));
}

TEST(Manager, IndependentManagersWorkSideBySide) {
  const fs::path dir = scratch_dir("manager_threads");
  std::vector<fs::path> files;
  for (int i = 0; i < 4; ++i)
    files.push_back(write_bmp(dir / (std::to_string(i).append(".bmp")), i % 2 ? 4 : 8,
                              i % 2 ? CP_RLE4 : CP_RLE8, static_cast<std::uint32_t>(i)));
  std::vector<std::string> expected;
  for (const auto& f : files) {
    TvexImage image;
    TvexBmpImage r;
    image.SetDibHandle(r.LoadFromFile(f.string()));
    expected.push_back(pixel_digest(image));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&, t] {
      TvexImageFileMgr m; // one per worker
      for (int round = 0; round < 25; ++round) {
        const std::size_t k = static_cast<std::size_t>((t + round) % 4);
        TvexImage image;
        image.SetDibHandle(m.LoadImage(files[k].string(), FF_DETECT));
        if (m.GetLastError() != EC_OK || pixel_digest(image) != expected[k])
          ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// The search after a reader did not recognise a file asks every class once,
// never the one already tried, and the weak signatures only after the rest.
TEST(Manager, ProbeOrderAsksEachClassOnceWeakSignaturesLast) {
  const auto classes = vexFormatClasses();
  auto row = [&](TvexFileFormat f) {
    return *std::find_if(classes.begin(), classes.end(),
                         [f](const TvexFormatClass& c) { return c.format == f; });
  };
  for (const TvexFormatClass& tried : classes) {
    SCOPED_TRACE(int{tried.format});
    std::vector<std::string> asked = {tried.class_name};
    bool weak_seen = false;
    for (const TvexFileFormat f : vexProbeOrder(tried.format)) {
      const TvexFormatClass c = row(f);
      EXPECT_EQ(std::count(asked.begin(), asked.end(), c.class_name), 0) << c.class_name;
      asked.push_back(c.class_name);
      if (c.probe == TvexFormatClass::Probe::Weak) weak_seen = true;
      EXPECT_FALSE(weak_seen && c.probe == TvexFormatClass::Probe::Strong);
    }
    std::sort(asked.begin(), asked.end());
    std::vector<std::string> all;
    for (const TvexFormatClass& c : classes) all.push_back(c.class_name);
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    EXPECT_EQ(asked, all);
  }
}
