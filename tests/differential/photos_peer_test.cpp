// The pictures people have, against peer programs: photographs with an Exif
// orientation come out upright (Pillow's exif_transpose), four-component
// JPEGs decode to ImageMagick's RGB, Motion-JPEG frames to the pixels of the
// same frame with its tables, and the default BMP output of ImageMagick and
// Pillow goes through the e-mail road.
//
// Bounds. Four components: ImageMagick (chroma replicated, as ours, and no
// colour profile) converts with its own decoder's integer transform and the
// CMYK-to-RGB products; ours differ by the JPEG decoding differences (see
// jpeg_reader_peer_test) carried through the products: measured at most 5
// and a mean up to 1.46 per channel on the corpus files (CMYK, YCCK,
// progressive) and on ImageMagick's and Pillow's outputs.
// Upright photographs: our e-mail output against Pillow's upright source
// resized to the same size (bicubic), both decoded by Pillow; resampling and
// the stretch keep the mean difference below 6 (measured 2.7 to 5.6), and any
// other turn or mirror of the same shape gives 40 or more.
#include "batch.h"

#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

constexpr int kCmykMax = 6;
constexpr double kCmykMean = 1.6;
constexpr double kUprightMean = 6.0;

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A binary PPM (P6, maxval 255) from a command's output: RGB, top row first.
struct Rgb {
  int width = 0, height = 0;
  std::vector<std::uint8_t> px;
};
Rgb ppm(const std::string& data) {
  Rgb r;
  std::istringstream in(data);
  std::string magic;
  int maxval = 0;
  in >> magic >> r.width >> r.height >> maxval;
  in.get();
  if (magic != "P6" || maxval != 255) return {};
  r.px.resize(static_cast<std::size_t>(r.width) * r.height * 3);
  in.read(reinterpret_cast<char*>(r.px.data()), static_cast<std::streamsize>(r.px.size()));
  return r;
}

Rgb ours(const fs::path& file, int& code) {
  TvexImageFileMgr mgr;
  TvexImage img;
  img.SetDibHandle(mgr.LoadImage(file.string(), FF_DETECT));
  code = mgr.GetLastError();
  Rgb r;
  if (!img.Bits()) return r;
  r.width = img.Width();
  r.height = std::abs(img.Height());
  for (int y = 0; y < r.height; ++y)
    for (int x = 0; x < r.width; ++x) {
      const std::uint32_t c = pixel_rgb(img, x, y);
      r.px.insert(r.px.end(), {std::uint8_t(c >> 16), std::uint8_t(c >> 8), std::uint8_t(c)});
    }
  return r;
}

void expect_close(const Rgb& a, const Rgb& b, int max_bound, double mean_bound,
                  const std::string& what) {
  ASSERT_EQ(a.width, b.width) << what;
  ASSERT_EQ(a.height, b.height) << what;
  ASSERT_EQ(a.px.size(), b.px.size()) << what;
  int worst = 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.px.size(); ++i) {
    const int d = std::abs(int(a.px[i]) - int(b.px[i]));
    worst = std::max(worst, d);
    sum += d;
  }
  const double mean = a.px.empty() ? 0 : sum / double(a.px.size());
  std::printf("%-60s max %d mean %.3f\n", fs::path(what).filename().c_str(), worst, mean);
  EXPECT_LE(worst, max_bound) << what << " (mean " << mean << ")";
  EXPECT_LE(mean, mean_bound) << what << " (max " << worst << ")";
}

// A corpus photograph made small, as a source for the peers' files.
fs::path small_photo(const fs::path& dir) {
  const fs::path png = dir / "photo.png";
  run("/usr/bin/convert '" + (corpus_dir() / "photos/nolmoonen/012mp-bus.jpg").string() +
      "' -resize 320x '" + png.string() + "'");
  return png;
}

} // namespace

TEST(FourComponentJpeg, DecodesToImageMagicksRgb) {
  if (!have("/usr/bin/convert") || !fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no peers";
  SKIP_WITHOUT_CORPUS("jpeg/jpeg-decoder");
  const fs::path dir = scratch_dir("cmyk_peer");
  std::vector<fs::path> files = {corpus_dir() / "jpeg/jpeg-decoder/jpg-cmyk-1.jpg",
                                 corpus_dir() / "jpeg/jpeg-decoder/jpg-cmyk-2.jpg",
                                 corpus_dir() / "jpeg/jpeg-decoder/ycck.jpg",
                                 corpus_dir() / "jpeg/zune-image/four_components.jpg",
                                 corpus_dir() / "jpeg-progressive/zune-image/"
                                                "Kiara_limited_progressive_four_components.jpg"};
  if (fs::is_directory(corpus_dir() / "photos")) {
    const fs::path png = small_photo(dir);
    // ImageMagick writes YCCK (Adobe transform 2), Pillow plain CMYK (transform 0).
    run("/usr/bin/convert '" + png.string() + "' -colorspace CMYK '" + (dir / "im.jpg").string() +
        "'");
    run("/usr/bin/python3 -c \"from PIL import Image; Image.open('" + png.string() +
        "').convert('CMYK').save('" + (dir / "pil.jpg").string() + "')\"");
    files.push_back(dir / "im.jpg");
    files.push_back(dir / "pil.jpg");
  }
  for (const fs::path& f : files) {
    int code = -1;
    const Rgb mine = ours(f, code);
    EXPECT_EQ(code, EC_OK) << f;
    const Rgb peer = ppm(run("/usr/bin/convert -define jpeg:fancy-upsampling=off '" + f.string() +
                             "' +profile '*' -colorspace sRGB -strip -depth 8 ppm:-"));
    expect_close(mine, peer, kCmykMax, kCmykMean, f.string());
  }
}

TEST(MotionJpeg, FramesWithoutTablesDecodeWithTheStandardOnes) {
  if (!have("cjpeg")) GTEST_SKIP() << "cjpeg not installed";
  const fs::path dir = scratch_dir("mjpeg_peer");
  // cjpeg without -optimize codes with the standard tables; the same file
  // without its DHT segments must decode to the same pixels.
  TvexImage img;
  make_random_image(img, 61, 37, 24, 5);
  TvexImageFileMgr mgr;
  mgr.SaveImage((dir / "src.bmp").string(), FF_BMP, img.GetDibHandle());
  for (const char* sampling : {"2x2", "2x1", "1x1"}) {
    const fs::path with = dir / "with.jpg", without = dir / "without.jpg";
    run(std::string("cjpeg -sample ") + sampling + " -outfile '" + with.string() + "' '" +
        (dir / "src.bmp").string() + "'");
    std::vector<std::uint8_t> b = read_file(with), stripped(b.begin(), b.begin() + 2);
    int tables = 0;
    for (std::size_t i = 2; i + 4 <= b.size();) {
      const std::size_t len = std::size_t((b[i + 2] << 8) | b[i + 3]);
      if (b[i + 1] == 0xDA) {
        stripped.insert(stripped.end(), b.begin() + long(i), b.end());
        break;
      }
      if (b[i + 1] == 0xC4)
        ++tables;
      else
        stripped.insert(stripped.end(), b.begin() + long(i), b.begin() + long(i + 2 + len));
      i += 2 + len;
    }
    ASSERT_GT(tables, 0) << sampling;
    write_file(without, stripped);
    int c1 = -1, c2 = -1;
    const Rgb a = ours(with, c1), b2 = ours(without, c2);
    EXPECT_EQ(c1, EC_OK);
    EXPECT_EQ(c2, EC_OK) << sampling;
    EXPECT_EQ(a.px, b2.px) << sampling;
  }
}

TEST(UprightPhotographs, CorpusPhotosWithAnOrientationComeOutUpright) {
  if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no Pillow";
  SKIP_WITHOUT_CORPUS("jpeg/exif-samples");
  const char* files[] = {"jpeg/exif-orientation-examples/Landscape_6.jpg",
                         "jpeg/exif-orientation-examples/Portrait_2.jpg",
                         "jpeg/exif-orientation-examples/Portrait_7.jpg",
                         "jpeg/exif-samples/landscape_3.jpg",
                         "jpeg/exif-samples/landscape_4.jpg",
                         "jpeg/exif-samples/portrait_6.jpg",
                         "jpeg/exif-samples/portrait_8.jpg",
                         "jpeg/pillow/hopper_orientation_5.jpg",
                         "jpeg-progressive/generated/prog_exif_orient3.jpg",
                         "jpeg/metadata-extractor/Canon_EOS_20D_2.jpg"};
  const fs::path dir = scratch_dir("upright_peer");
  fs::create_directories(dir / "email");
  std::string pairs;
  for (const char* f : files) {
    const fs::path src = corpus_dir() / f;
    if (!fs::exists(src)) continue;
    const fs::path copy = dir / src.filename();
    fs::copy_file(src, copy, fs::copy_options::overwrite_existing);
    TvexImageFileMgr mgr;
    ASSERT_TRUE(ConvertFile(copy.string(), mgr).converted) << f;
    pairs += " '" + src.string() + "' '" + MailFileName(copy.string()) + "'";
  }
  // Per pair: the mean difference from Pillow's upright picture, and the
  // smallest from any other turn or mirror of the same shape.
  const std::string script =
      "import sys\nfrom PIL import Image, ImageChops, ImageStat\n"
      "T = Image.Transpose\n"
      "ops = [None, T.FLIP_LEFT_RIGHT, T.ROTATE_180, T.FLIP_TOP_BOTTOM, T.TRANSPOSE,\n"
      "       T.ROTATE_270, T.TRANSVERSE, T.ROTATE_90]\n"
      "a = sys.argv[1:]\n"
      "for src, out in zip(a[0::2], a[1::2]):\n"
      "    o = Image.open(out).convert('RGB')\n"
      "    s = Image.open(src)\n"
      "    want = s.getexif().get(0x0112, 1)\n"
      "    s = s.convert('RGB')\n"
      "    m = {}\n"
      "    for k, op in enumerate(ops, 1):\n"
      "        u = s.transpose(op) if op is not None else s\n"
      "        if (u.width >= u.height) != (o.width >= o.height): continue\n"
      "        d = ImageChops.difference(o, u.resize(o.size, Image.BICUBIC))\n"
      "        m[k] = sum(ImageStat.Stat(d).mean) / 3\n"
      "    other = min(v for k, v in m.items() if k != want)\n"
      "    print(out, m.get(want, 999), other)\n";
  write_file(dir / "upright.py", std::vector<std::uint8_t>(script.begin(), script.end()));
  std::istringstream report(
      run("/usr/bin/python3 '" + (dir / "upright.py").string() + "'" + pairs));
  int checked = 0;
  std::string out;
  double mean = 0, other = 0;
  while (report >> out >> mean >> other) {
    ++checked;
    std::printf("%-40s upright mean %.3f, any other turn %.3f\n", fs::path(out).filename().c_str(),
                mean, other);
    EXPECT_LE(mean, kUprightMean) << out;
    EXPECT_LT(2 * mean, other) << out;
  }
  EXPECT_GT(checked, 0);
}

TEST(PeerBmpFiles, ImageMagickAndPillowDefaultsGoThroughTheEmailRoad) {
  if (!have("/usr/bin/convert") || !fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no peers";
  SKIP_WITHOUT_CORPUS("photos");
  const fs::path dir = scratch_dir("bmp_peer_road");
  fs::create_directories(dir / "email");
  const fs::path png = small_photo(dir);
  run("/usr/bin/convert '" + png.string() + "' '" + (dir / "im.bmp").string() + "'");
  run("/usr/bin/python3 -c \"from PIL import Image; Image.open('" + png.string() + "').save('" +
      (dir / "pil.bmp").string() + "')\"");
  const Rgb source = ppm(run("/usr/bin/convert '" + png.string() + "' -depth 8 ppm:-"));
  for (const char* name : {"im.bmp", "pil.bmp"}) {
    int code = -1;
    // The reader gives the peer's pixels exactly ...
    const Rgb mine = ours(dir / name, code);
    EXPECT_EQ(code, EC_OK) << name;
    expect_close(mine, source, 0, 0, name);
    // ... and the road makes its e-mail picture.
    TvexImageFileMgr mgr;
    const ConvertResult r = ConvertFile((dir / name).string(), mgr);
    EXPECT_TRUE(r.converted) << name << ": " << r.message;
    EXPECT_TRUE(fs::exists(r.output) && fs::file_size(r.output) > 0) << name;
  }
}
