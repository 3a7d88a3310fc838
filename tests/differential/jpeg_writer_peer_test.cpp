// Files written by the JPEG writer against real decoders: every depth,
// sampling mode, a range of qualities and odd sizes, baseline and
// progressive, decode with djpeg without a warning and with Pillow, and the
// decoded pixels stay close to the source (PSNR bounds on smooth pictures
// and on the corpus photographs, which a peer decoder turns into bitmaps).
#include "formats/jpeg_internal.h"
#include "test_support.h"
#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing_support::Rng;
using Bytes = std::vector<std::uint8_t>;

bool have_tool(const char* name) {
  const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Runs a shell command; returns its exit status and its standard error
// (kept in `dir`, the calling test's own folder: tests run in parallel).
int run(const std::string& cmd, std::string& err, const fs::path& dir) {
  const fs::path errfile = dir / "stderr.txt";
  const int status = std::system((cmd + " 2>" + errfile.string()).c_str());
  std::ifstream in(errfile);
  std::stringstream ss;
  ss << in.rdbuf();
  err = ss.str();
  return status;
}

struct Raster {
  int width = 0, height = 0, channels = 0;
  Bytes pixels; // top row first, RGB or grey
};

bool read_pnm(const fs::path& path, Raster& r) {
  const Bytes f = testing_support::read_file(path);
  std::size_t p = 0;
  auto token = [&]() -> std::string {
    while (p < f.size() && (std::isspace(f[p]) || f[p] == '#')) {
      if (f[p] == '#')
        while (p < f.size() && f[p] != '\n') ++p;
      else
        ++p;
    }
    std::string t;
    while (p < f.size() && !std::isspace(f[p])) t += static_cast<char>(f[p++]);
    return t;
  };
  const std::string magic = token();
  if (magic != "P5" && magic != "P6") return false;
  r.channels = magic == "P6" ? 3 : 1;
  r.width = std::stoi(token());
  r.height = std::stoi(token());
  if (std::stoi(token()) != 255) return false;
  ++p;
  const std::size_t n = static_cast<std::size_t>(r.width) * r.height * r.channels;
  if (f.size() < p + n) return false;
  r.pixels.assign(f.begin() + static_cast<std::ptrdiff_t>(p),
                  f.begin() + static_cast<std::ptrdiff_t>(p + n));
  return true;
}

// A grey ramp palette (black first, or white first).
void set_grey_palette(TvexImage& image, bool white_first) {
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(white_first ? 255 - i : i);
    pal.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&pal);
}

// The picture as a 24-bit (or 8-bit grey) image.
void to_image(const Raster& r, TvexImage& image) {
  image.Clear();
  image.SetWidth(r.width);
  image.SetHeight(r.height);
  image.SetBitCount(r.channels == 3 ? 24 : 8);
  if (r.channels == 1) set_grey_palette(image, false);
  for (int y = 0; y < r.height; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    const std::uint8_t* src = &r.pixels[static_cast<std::size_t>(y) * r.width * r.channels];
    for (int x = 0; x < r.width; ++x) {
      if (r.channels == 1) {
        row[x] = src[x];
      } else {
        row[3 * x] = src[3 * x + 2];
        row[3 * x + 1] = src[3 * x + 1];
        row[3 * x + 2] = src[3 * x];
      }
    }
  }
}

// Expected RGB of every pixel of any depth (grey pictures give r = g = b).
Raster expected_rgb(TvexImage& image) {
  Raster r;
  r.width = image.Width();
  r.height = std::abs(image.Height());
  r.channels = 3;
  for (int y = 0; y < r.height; ++y)
    for (int x = 0; x < r.width; ++x) {
      const std::uint32_t c = testing_support::pixel_rgb(image, x, y);
      r.pixels.push_back(static_cast<std::uint8_t>(c >> 16));
      r.pixels.push_back(static_cast<std::uint8_t>(c >> 8));
      r.pixels.push_back(static_cast<std::uint8_t>(c));
    }
  return r;
}

double psnr(const Raster& a, const Raster& b) {
  // b may be grey while a is RGB: compare against its grey value.
  double se = 0;
  std::size_t n = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int c = 0; c < 3; ++c) {
        const std::size_t i = (static_cast<std::size_t>(y) * a.width + x);
        const int va = a.pixels[i * 3 + c];
        const int vb = b.channels == 3 ? b.pixels[i * 3 + c] : b.pixels[i];
        se += double(va - vb) * (va - vb);
        ++n;
      }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

struct Written {
  fs::path path;
  TvexErrorCode error;
};

Written write_jpeg(TvexImage& image, const fs::path& path, unsigned quality, std::uint8_t mode,
                   TvexCompression compression) {
  TvexJPEGImage jpeg(mode);
  jpeg.SetQuality(static_cast<std::uint16_t>(quality));
  jpeg.SetCompression(compression);
  jpeg.SaveToFile(path.string(), image.GetDibHandle());
  return {path, jpeg.GetError()};
}

// A smooth test picture (gradients and a soft disc), where a JPEG at a
// decent quality must come close to the source.
void smooth_image(TvexImage& image, int w, int h, int bits) {
  image.Clear();
  image.SetWidth(w);
  image.SetHeight(h);
  image.SetBitCount(static_cast<std::uint16_t>(bits));
  if (bits == 8) set_grey_palette(image, false);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      const double dx = x - w / 2.0, dy = y - h / 2.0;
      const double d = std::sqrt(dx * dx + dy * dy) / (0.4 * std::max(w, h));
      const int r = static_cast<int>(255.0 * x / std::max(1, w - 1));
      const int g = static_cast<int>(255.0 * y / std::max(1, h - 1));
      const int b = static_cast<int>(255.0 * std::max(0.0, 1.0 - d));
      if (bits == 8) {
        row[x] = static_cast<std::uint8_t>((r + g + b) / 3);
      } else {
        const int step = bits / 8;
        row[x * step] = static_cast<std::uint8_t>(b);
        row[x * step + 1] = static_cast<std::uint8_t>(g);
        row[x * step + 2] = static_cast<std::uint8_t>(r);
        if (step == 4) row[x * step + 3] = 0;
      }
    }
  }
}

class JpegWriterPeer : public ::testing::Test {
protected:
  void SetUp() override {
    if (!have_tool("djpeg")) GTEST_SKIP() << "djpeg not installed";
  }
};

// Decodes with djpeg; fails the test on a non-zero status or any message.
bool djpeg_decode(const fs::path& jpg, const fs::path& out, Raster& r, const std::string& what) {
  std::string err;
  const int status =
      run("djpeg -outfile '" + out.string() + "' '" + jpg.string() + "'", err, out.parent_path());
  EXPECT_EQ(status, 0) << what << ": " << err;
  EXPECT_TRUE(err.empty()) << what << ": " << err;
  return status == 0 && read_pnm(out, r);
}

TEST_F(JpegWriterPeer, EveryKindModeQualityAndSizeDecodesCleanly) {
  const fs::path dir = testing_support::scratch_dir("jpeg_writer_peer_matrix");
  struct Kind {
    const char* name;
    int bits;
    bool grey;
  } kinds[] = {
      {"grey8", 8, true}, {"palette8", 8, false}, {"rgb24", 24, false}, {"rgb32", 32, false}};
  const unsigned qualities[] = {1, 25, 50, 80, 100};
  const std::uint8_t modes[] = {0, 1, 2, 3};
  const int sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {8, 8}, {9, 7}, {16, 16}, {17, 9}};
  std::vector<fs::path> for_pillow;
  int files = 0;
  for (const auto& kind : kinds) {
    for (const auto& size : sizes) {
      for (const unsigned q : qualities) {
        for (const std::uint8_t mode : modes) {
          // The full product on the odd 17 x 9 size; the sizes at quality
          // 80 with two modes.
          const bool odd = size[0] == 17;
          if (!odd && !(q == 80 && (mode == 1 || mode == 0))) continue;
          TvexImage image;
          const auto seed = static_cast<std::uint32_t>(files + 1);
          testing_support::make_random_image(image, size[0], size[1], kind.bits, seed);
          if (kind.grey) set_grey_palette(image, seed % 2 == 0);
          Raster decoded[2];
          for (int prog = 0; prog < 2; ++prog) {
            std::ostringstream name;
            name << kind.name << "_" << size[0] << "x" << size[1] << "_q" << q << "_m" << int(mode)
                 << (prog ? "_prog" : "");
            const auto w = write_jpeg(image, dir / (name.str() + ".jpg"), q, mode,
                                      prog ? CP_JPEG_PROG : CP_JPEG_STD);
            ASSERT_EQ(w.error, EC_OK) << name.str();
            Raster& d = decoded[prog];
            if (!djpeg_decode(w.path, dir / (name.str() + ".pnm"), d, name.str())) continue;
            EXPECT_EQ(d.width, size[0]) << name.str();
            EXPECT_EQ(d.height, size[1]) << name.str();
            EXPECT_EQ(d.channels, kind.grey ? 1 : 3) << name.str();
            // Random pixels: only a loose bound, where chroma is kept whole.
            if (q == 100 && (mode == 0 || mode == 3)) {
              EXPECT_GT(psnr(expected_rgb(image), d), 18.0) << name.str();
            }
            if (files % 7 == 0) for_pillow.push_back(w.path);
            ++files;
          }
          // Same coefficients, another scan order: the same pixels.
          EXPECT_EQ(decoded[0].pixels, decoded[1].pixels)
              << kind.name << " " << size[0] << "x" << size[1] << " q" << q << " m" << int(mode);
        }
      }
    }
  }
  EXPECT_EQ(files, 256);
  if (!fs::exists("/usr/bin/python3")) return;
  // Pillow decodes a sample of them (one interpreter for all).
  const fs::path list = dir / "pillow_list.txt";
  {
    std::ofstream out(list);
    for (const auto& p : for_pillow) out << p.string() << "\n";
  }
  std::string err;
  const int status = run("/usr/bin/python3 -c \"import sys\nfrom PIL import Image\nfor p in "
                         "open(sys.argv[1]).read().split():\n"
                         "    im = Image.open(p); im.load()\" '" +
                             list.string() + "'",
                         err, dir);
  EXPECT_EQ(status, 0) << err;
}

TEST_F(JpegWriterPeer, SmoothPicturesDecodeCloseToTheSource) {
  const fs::path dir = testing_support::scratch_dir("jpeg_writer_peer_smooth");
  struct Case {
    int bits;
    unsigned quality;
    std::uint8_t mode;
    TvexCompression compression;
    double min_psnr;
  } cases[] = {
      {24, 80, 1, CP_JPEG_STD, 36.0}, {24, 80, 1, CP_JPEG_PROG, 36.0},
      {32, 80, 3, CP_JPEG_STD, 38.0}, {8, 80, 1, CP_JPEG_STD, 40.0},
      {8, 80, 1, CP_JPEG_PROG, 40.0}, {24, 100, 3, CP_JPEG_STD, 44.0},
      {24, 50, 0, CP_JPEG_STD, 33.0}, {24, 25, 2, CP_JPEG_PROG, 30.0},
  };
  int i = 0;
  for (const auto& c : cases) {
    TvexImage image;
    smooth_image(image, 203, 117, c.bits);
    std::string name = "smooth";
    name += std::to_string(i++);
    const auto w = write_jpeg(image, dir / (name + ".jpg"), c.quality, c.mode, c.compression);
    ASSERT_EQ(w.error, EC_OK);
    Raster decoded;
    ASSERT_TRUE(djpeg_decode(w.path, dir / (name + ".pnm"), decoded, name));
    const double p = psnr(expected_rgb(image), decoded);
    EXPECT_GE(p, c.min_psnr) << name << " bits " << c.bits << " q" << c.quality;
    RecordProperty(name + "_psnr", std::to_string(p));
  }
}

TEST_F(JpegWriterPeer, ProgressiveFileDecodesToTheBaselinePixels) {
  // The same coefficients in another scan order: djpeg must give identical
  // pixels for the baseline and the progressive file.
  const fs::path dir = testing_support::scratch_dir("jpeg_writer_peer_prog");
  struct Case {
    int bits, w, h;
    unsigned q;
    std::uint8_t mode;
  } cases[] = {{24, 203, 117, 80, 1}, {8, 45, 33, 50, 1}, {24, 17, 9, 1, 0},
               {32, 64, 48, 100, 2},  {24, 1, 1, 80, 1},  {8, 300, 7, 10, 1}};
  int i = 0;
  for (const auto& c : cases) {
    TvexImage image;
    testing_support::make_random_image(image, c.w, c.h, c.bits, static_cast<std::uint32_t>(40 + i));
    if (c.bits == 8) smooth_image(image, c.w, c.h, 8);
    std::string name = "p";
    name += std::to_string(i++);
    const auto a = write_jpeg(image, dir / (name + "_seq.jpg"), c.q, c.mode, CP_JPEG_STD);
    const auto b = write_jpeg(image, dir / (name + "_prog.jpg"), c.q, c.mode, CP_JPEG_PROG);
    ASSERT_EQ(a.error, EC_OK);
    ASSERT_EQ(b.error, EC_OK);
    Raster ra, rb;
    ASSERT_TRUE(djpeg_decode(a.path, dir / (name + "_seq.pnm"), ra, name));
    ASSERT_TRUE(djpeg_decode(b.path, dir / (name + "_prog.pnm"), rb, name));
    EXPECT_EQ(ra.pixels, rb.pixels) << name;
  }
}

TEST_F(JpegWriterPeer, ExtremeShapes) {
  // Sides up to 65500 decode; longer ones (up to 65535 the frame header
  // could hold, but decoders refuse them) are refused before anything is
  // written.
  const fs::path dir = testing_support::scratch_dir("jpeg_writer_peer_shapes");
  struct Case {
    int w, h, bits;
    TvexCompression compression;
    TvexErrorCode error;
  } cases[] = {
      {65500, 2, 24, CP_JPEG_STD, EC_OK},         {65500, 2, 24, CP_JPEG_PROG, EC_OK},
      {3, 65500, 8, CP_JPEG_STD, EC_OK},          {3, 65500, 32, CP_JPEG_PROG, EC_OK},
      {65501, 1, 24, CP_JPEG_STD, EC_DIMENSIONS}, {1, 65535, 8, CP_JPEG_PROG, EC_DIMENSIONS},
      {65536, 1, 24, CP_JPEG_STD, EC_DIMENSIONS},
  };
  int i = 0;
  for (const auto& c : cases) {
    TvexImage image;
    testing_support::make_random_image(image, c.w, c.h, c.bits, static_cast<std::uint32_t>(70 + i));
    std::string name = "shape";
    name += std::to_string(i++);
    const auto w = write_jpeg(image, dir / (name + ".jpg"), 80, 1, c.compression);
    ASSERT_EQ(w.error, c.error) << name;
    if (c.error != EC_OK) {
      EXPECT_EQ(fs::file_size(w.path), 0u) << name;
      continue;
    }
    Raster decoded;
    ASSERT_TRUE(djpeg_decode(w.path, dir / (name + ".pnm"), decoded, name));
    EXPECT_EQ(decoded.width, c.w);
    EXPECT_EQ(decoded.height, c.h);
  }
}

TEST_F(JpegWriterPeer, CorpusPhotographsAtQuality80) {
  // The photographs, decoded at a quarter of their size by djpeg, written
  // here at quality 80 with 4:2:0 (the batch's settings), decoded again.
  SKIP_WITHOUT_CORPUS("photos");
  const fs::path dir = testing_support::scratch_dir("jpeg_writer_peer_photos");
  const fs::path photos = testing_support::corpus_dir() / "photos";
  int count = 0;
  double worst = 99;
  for (const auto& entry : fs::recursive_directory_iterator(photos)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".jpg") continue;
    std::string name = "photo";
    name += std::to_string(count++);
    std::string err;
    const fs::path src = dir / (name + "_src.ppm");
    ASSERT_EQ(
        run("djpeg -scale 1/4 -ppm -outfile '" + src.string() + "' '" + entry.path().string() + "'",
            err, dir),
        0);
    Raster source;
    ASSERT_TRUE(read_pnm(src, source));
    TvexImage image;
    to_image(source, image);
    for (const auto compression : {CP_JPEG_STD, CP_JPEG_PROG}) {
      const std::string tag = name + (compression == CP_JPEG_PROG ? "_prog" : "_seq");
      const auto w = write_jpeg(image, dir / (tag + ".jpg"), 80, 1, compression);
      ASSERT_EQ(w.error, EC_OK);
      Raster decoded;
      ASSERT_TRUE(djpeg_decode(w.path, dir / (tag + ".ppm"), decoded, tag));
      const double p = psnr(source, decoded);
      worst = std::min(worst, p);
      std::printf("%s %s %dx%d PSNR %.2f dB, %llu bytes\n", tag.c_str(),
                  entry.path().filename().string().c_str(), source.width, source.height, p,
                  static_cast<unsigned long long>(fs::file_size(w.path)));
      EXPECT_GE(p, 30.0) << entry.path();
    }
  }
  std::printf("worst PSNR %.2f dB over %d photographs\n", worst, count);
  EXPECT_GT(count, 0);
}

} // namespace
