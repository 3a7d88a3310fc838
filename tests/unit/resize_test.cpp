// The transform against the plain reference: every interpolation, every depth
// it takes, many size ratios (down, up, mixed, extreme), and the bicubic
// scaler's portable and SSE2 kernels against each other and the reference.
#include "vexImageTransform.h"

#include "ops/resize_rows.h"
#include "reference/resize_ref.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using testing_support::make_random_image;
using testing_support::Rng;

namespace {

enum class Kind { Grey8, Pal8, Rgb24, Rgb32, Rgba32 };
const Kind kKinds[] = {Kind::Grey8, Kind::Pal8, Kind::Rgb24, Kind::Rgb32, Kind::Rgba32};

const char* kind_name(Kind k) {
  switch (k) {
  case Kind::Grey8:
    return "grey8";
  case Kind::Pal8:
    return "pal8";
  case Kind::Rgb24:
    return "rgb24";
  case Kind::Rgb32:
    return "rgb32";
  default:
    return "rgba32";
  }
}

// Random pixels; `smooth` mixes in gradients so that interpolation has
// something other than noise to work on.
void make_source(TvexImage& image, int w, int h, Kind kind, std::uint32_t seed) {
  const int bits = kind == Kind::Rgb24 ? 24 : (kind == Kind::Grey8 || kind == Kind::Pal8) ? 8 : 32;
  make_random_image(image, w, h, bits, seed);
  if (kind == Kind::Grey8) {
    TvexImage::LogPalette pal;
    pal.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<std::uint8_t>(i);
      pal.palPalEntry[i] = {v, v, v, 0};
    }
    image.SetPaletteEntries(&pal);
  }
  if (kind == Kind::Rgba32) image.SetImageFormat(IF_RGBA32);
  if (seed % 2 == 0) {
    // Every other source is a smooth picture with a few hard edges.
    const int bpp = bits / 8;
    for (int y = 0; y < h; ++y) {
      std::uint8_t* row = image.ScanLine(y);
      for (int x = 0; x < w * bpp; ++x)
        if ((x / bpp + y) % 7 != 0)
          row[x] = static_cast<std::uint8_t>((x * 5 + y * 3 + (x % bpp) * 60) & 255);
    }
  }
}

// The row bytes (no padding) of two images of equal geometry; the first
// difference is described.
std::string first_difference(TvexImage& a, TvexImage& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.BitCount() != b.BitCount())
    return "geometry differs";
  const int bytes = a.Width() * a.BitCount() / 8;
  for (int y = 0; y < std::abs(a.Height()); ++y) {
    const std::uint8_t* ra = a.ScanLine(y);
    const std::uint8_t* rb = b.ScanLine(y);
    for (int i = 0; i < bytes; ++i)
      if (ra[i] != rb[i])
        return "row " + std::to_string(y) + " byte " + std::to_string(i) + ": " +
               std::to_string(ra[i]) + " vs " + std::to_string(rb[i]);
  }
  return "";
}

void expect_resize_matches_reference(TvexImage& src, int rw, int rh, int interpolation) {
  TvexImage result;
  result.SetWidth(rw);
  result.SetHeight(rh);
  TvexImageTransform t(nullptr);
  t.SetSourceImage(0, &src);
  t.SetResultImage(&result);
  ASSERT_EQ(t.Resize(static_cast<TvexInterpolation>(interpolation)), &result);
  ASSERT_EQ(t.Error(), EC_OK);

  TvexImage expected;
  expected.SetWidth(rw);
  expected.SetHeight(rh);
  expected.SetBitCount(static_cast<std::uint16_t>(src.BitCount()));
  reference::resize(src, expected, interpolation);
  const std::string diff = first_difference(result, expected);
  EXPECT_EQ(diff, "") << src.Width() << "x" << src.Height() << " -> " << rw << "x" << rh
                      << " interpolation " << interpolation;
}

struct Ratio {
  int sw, sh, rw, rh;
};

const Ratio kRatios[] = {
    {1, 1, 1, 1},      {1, 1, 7, 5},      {2, 2, 4, 4},        {3, 2, 300, 200}, {5, 1, 1, 5},
    {97, 61, 13, 9},   {64, 48, 32, 24},  {50, 40, 200, 170},  {41, 43, 40, 44}, {200, 7, 31, 20},
    {333, 3, 9, 1},    {17, 90, 120, 9},  {150, 100, 102, 68}, {7, 7, 8, 8},     {640, 30, 17, 29},
    {2000, 70, 40, 2},                    // ratio 50: past the 16-bit step
    {3, 2000, 2, 41},                     // ratio 48 vertically
    {186, 2, 3098, 3}, {2, 186, 3, 3098}, // steps that fall short of the last source pixel
    {3, 2, 2000, 2}, // a step that overshoots: the far columns read the last one
    {2, 3, 5000, 2}, // a step of 0: every column samples the first
};

} // namespace

class ResizeDifferential : public ::testing::TestWithParam<int> {};

TEST_P(ResizeDifferential, MatchesReferenceOnFixedRatios) {
  const int interpolation = GetParam();
  std::uint32_t seed = 1;
  for (Kind kind : kKinds) {
    for (const Ratio& r : kRatios) {
      SCOPED_TRACE(kind_name(kind));
      TvexImage src;
      make_source(src, r.sw, r.sh, kind, seed++);
      expect_resize_matches_reference(src, r.rw, r.rh, interpolation);
    }
  }
}

TEST_P(ResizeDifferential, MatchesReferenceOnRandomRatios) {
  const int interpolation = GetParam();
  Rng rng(static_cast<std::uint64_t>(interpolation) + 100);
  for (int i = 0; i < 60; ++i) {
    const Kind kind = kKinds[rng.uniform(0, 4)];
    SCOPED_TRACE(kind_name(kind));
    const int sw = rng.uniform(1, 260), sh = rng.uniform(1, 160);
    const int rw = rng.uniform(1, 300), rh = rng.uniform(1, 180);
    TvexImage src;
    make_source(src, sw, sh, kind, rng.next());
    expect_resize_matches_reference(src, rw, rh, interpolation);
  }
  // Results of 2049..32768 pixels on one side, where the rounded step strays
  // by a source pixel or more towards the far edge.
  for (int i = 0; i < 8; ++i) {
    const int along = rng.uniform(1, 400), far = rng.uniform(2049, 32768);
    const int across = rng.uniform(1, 4), result_across = rng.uniform(1, 3);
    TvexImage src;
    if (i % 2 == 0) {
      make_source(src, along, across, kKinds[i % 5], rng.next());
      expect_resize_matches_reference(src, far, result_across, interpolation);
    } else {
      make_source(src, across, along, kKinds[i % 5], rng.next());
      expect_resize_matches_reference(src, result_across, far, interpolation);
    }
  }
}

// Rotation, shear and offsets: the general coordinate step with skipped
// samples, against the reference rows over the transform's own matrix.
TEST_P(ResizeDifferential, GeneralTransformMatchesReference) {
  const int interpolation = GetParam();
  struct Setting {
    double angle, scale_x, scale_y, shear_x, shear_y, offset_x, offset_y;
    bool keep;
    TColor bk;
  } settings[] = {
      {30, 1, 1, 0, 0, 0, 0, false, 0},         {90, 0.5, 0.75, 0, 0, 0, 0, false, 0x0000FF},
      {-17.5, 1.3, 1.3, 0, 0, 3, -2, false, 0}, {0, 1, 1, 0.25, 0, 0, 0, true, 0x808080},
      {0, 0.8, 1.1, 0, -0.3, 0, 0, false, 0},   {0, 1, 1, 0, 0, 5.5, -3.25, true, 0x102030},
      {200, 2, 2, 0.1, 0.1, 0, 0, false, 0},    {0, 1.5, 1.5, 0, 0, 0, 0, true, 0},
  };
  std::uint32_t seed = 7;
  for (Kind kind : kKinds) {
    for (const Setting& s : settings) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " angle " + std::to_string(s.angle));
      TvexImage src;
      make_source(src, 37, 23, kind, seed++);
      TvexImageTransform t;
      t.SetSourceImage(0, &src);
      t.SetInterpolation(static_cast<TvexInterpolation>(interpolation));
      t.SetAngle(s.angle);
      t.SetScaleX(s.scale_x);
      t.SetScaleY(s.scale_y);
      t.SetShearX(s.shear_x);
      t.SetShearY(s.shear_y);
      t.SetOffsetX(s.offset_x);
      t.SetOffsetY(s.offset_y);
      t.SetKeepSize(s.keep);
      t.SetBkColor(s.bk);
      TvexImage* result = t.Execute();
      ASSERT_NE(result, nullptr);
      ASSERT_EQ(t.Error(), EC_OK);
      TvexImage expected;
      expected.SetWidth(result->Width());
      expected.SetHeight(result->Height());
      expected.SetBitCount(static_cast<std::uint16_t>(src.BitCount()));
      expected.SetPaletteEntries(nullptr);
      if (src.BitCount() == 8) {
        TvexImage::LogPalette pal;
        src.GetPaletteEntries(&pal);
        expected.SetPaletteEntries(&pal);
      }
      if (src.BitCount() > 8) expected.SetImageFormat(src.ImageFormat());
      if (s.bk & 0xFFFFFF) expected.FillColor(s.bk);
      const TvexFixedMatrix& f = t.FixedMatrix();
      const reference::FixedMatrix m{f.a, f.b, f.c, f.d, f.tx, f.ty};
      const bool plain = f.b == 0 && f.c == 0 && f.tx == 0 && f.ty == 0;
      reference::transform_rows(src, expected, m, interpolation, plain && !s.keep);
      EXPECT_EQ(first_difference(*result, expected), "");
    }
  }
}

std::string interpolation_name(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"Nearest", "Bilinear", "Quadratic", "Bicubic", "Smooth"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(AllInterpolations, ResizeDifferential,
                         ::testing::Values(IP_NEAREST, IP_BILINEAR, IP_QUADRATIC, IP_BICUBIC,
                                           IP_SMOOTH),
                         interpolation_name);

// The scaler's two kernels, called directly (the portable one is what
// PARVULA_SIMD=none runs), on random monotonic columns and every row fraction.
TEST(BicubicScaler, PortableAndSse2MatchReference) {
  Rng rng(2024);
  for (int trial = 0; trial < 40; ++trial) {
    const Kind kind = kKinds[trial % 5];
    SCOPED_TRACE(kind_name(kind));
    const int sw = rng.uniform(1, 120), sh = rng.uniform(1, 9), rw = rng.uniform(1, 150);
    TvexImage src;
    make_source(src, sw, sh, kind, rng.next());
    // Increasing columns, repeated ones included (upscaling), from the whole source.
    std::vector<std::int32_t> ix(static_cast<std::size_t>(rw));
    std::vector<std::uint8_t> fx(ix.size());
    for (int x = 0; x < rw; ++x) {
      ix[x] = static_cast<std::int32_t>(static_cast<std::int64_t>(x) * sw / rw);
      fx[x] = static_cast<std::uint8_t>(rng.next());
    }
    vex::resize::SourceView view;
    view.top = src.ScanLine(0);
    view.stride = sh > 1 ? src.ScanLine(1) - src.ScanLine(0) : 0;
    view.width = sw;
    view.height = sh;
    view.bytes_per_pixel = src.BitCount() / 8;
    const int row_bytes = rw * view.bytes_per_pixel;
    vex::resize::BicubicScaler portable(view, ix.data(), fx.data(), rw, false);
    vex::resize::BicubicScaler simd(view, ix.data(), fx.data(), rw, true);
    EXPECT_EQ(simd.UsesSimd(), vex::platform::simd_enabled());
    // The kernels of every level the build and processor have.
    std::vector<std::unique_ptr<vex::resize::BicubicScaler>> levels;
    for (auto level : {vex::platform::SimdLevel::sse2, vex::platform::SimdLevel::avx2}) {
      if (!vex::platform::simd_level_available(level)) continue;
      levels.push_back(
          std::make_unique<vex::resize::BicubicScaler>(view, ix.data(), fx.data(), rw, level));
      EXPECT_EQ(levels.back()->Level(), level);
    }
    for (int iy = 0; iy < sh; ++iy) {
      for (int fy : {0, 1, 64, 127, 128, 200, 255}) {
        std::vector<std::uint8_t> a(static_cast<std::size_t>(row_bytes) + 8, 0xA5), b = a;
        portable.Row(iy, static_cast<std::uint8_t>(fy), a.data());
        simd.Row(iy, static_cast<std::uint8_t>(fy), b.data());
        ASSERT_EQ(a, b) << "row " << iy << " fy " << fy;
        for (const auto& scaler : levels) {
          std::vector<std::uint8_t> c(a.size(), 0xA5);
          scaler->Row(iy, static_cast<std::uint8_t>(fy), c.data());
          ASSERT_EQ(a, c) << vex::platform::simd_level_name(scaler->Level()) << " row " << iy
                          << " fy " << fy;
        }
        // Nothing past the row was written.
        for (int i = row_bytes; i < row_bytes + 8; ++i) ASSERT_EQ(a[i], 0xA5);
        // The reference, one pixel at a time through the general step.
        TvexImage one;
        one.SetWidth(rw);
        one.SetHeight(1);
        one.SetBitCount(static_cast<std::uint16_t>(src.BitCount()));
        for (int x = 0; x < rw; ++x) {
          TvexImage px;
          px.SetWidth(1);
          px.SetHeight(1);
          px.SetBitCount(static_cast<std::uint16_t>(src.BitCount()));
          reference::FixedMatrix m;
          m.tx = static_cast<std::int64_t>(ix[x]) * 1024 + fx[x] * 4;
          m.ty = static_cast<std::int64_t>(iy) * 1024 + fy * 4;
          reference::transform_rows(src, px, m, IP_BICUBIC, false);
          std::memcpy(one.ScanLine(0) + x * view.bytes_per_pixel, px.ScanLine(0),
                      static_cast<std::size_t>(view.bytes_per_pixel));
        }
        ASSERT_EQ(std::memcmp(one.ScanLine(0), a.data(), static_cast<std::size_t>(row_bytes)), 0)
            << "row " << iy << " fy " << fy;
      }
    }
  }
}

// The vector kernels take columns in groups of four or eight and read the
// clamped taps of the edge columns from copies of the edge pixels: widths
// around the group sizes, sources of one to three pixels, and a last column
// on the right edge, against the portable kernel; nothing is written past
// the row.
TEST(BicubicScaler, GroupsAndEdgesMatchPortable) {
  const struct {
    int sw, rw;
  } kSizes[] = {{1, 1}, {1, 9},  {2, 3},  {2, 17}, {3, 4},   {3, 8},
                {5, 5}, {7, 15}, {9, 16}, {40, 7}, {40, 12}, {61, 33}};
  Rng rng(77);
  for (Kind kind : {Kind::Grey8, Kind::Rgb24, Kind::Rgb32}) {
    for (const auto& size : kSizes) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " " + std::to_string(size.sw) + " -> " +
                   std::to_string(size.rw));
      TvexImage src;
      make_source(src, size.sw, 3, kind, rng.next());
      std::vector<std::int32_t> ix(static_cast<std::size_t>(size.rw));
      std::vector<std::uint8_t> fx(ix.size());
      for (int x = 0; x < size.rw; ++x) {
        ix[x] = static_cast<std::int32_t>(static_cast<std::int64_t>(x) * size.sw / size.rw);
        fx[x] = static_cast<std::uint8_t>(rng.next());
      }
      ix.back() = size.sw - 1;
      vex::resize::SourceView view;
      view.top = src.ScanLine(0);
      view.stride = src.ScanLine(1) - src.ScanLine(0);
      view.width = size.sw;
      view.height = 3;
      view.bytes_per_pixel = src.BitCount() / 8;
      const std::size_t row_bytes = ix.size() * static_cast<std::size_t>(view.bytes_per_pixel);
      vex::resize::BicubicScaler portable(view, ix.data(), fx.data(), size.rw, false);
      for (auto level : {vex::platform::SimdLevel::sse2, vex::platform::SimdLevel::avx2}) {
        if (!vex::platform::simd_level_available(level)) continue;
        vex::resize::BicubicScaler simd(view, ix.data(), fx.data(), size.rw, level);
        for (int iy = 0; iy < 3; ++iy) {
          const auto fy = static_cast<std::uint8_t>(rng.next());
          std::vector<std::uint8_t> a(row_bytes + 16, 0xA5), b = a;
          portable.Row(iy, fy, a.data());
          simd.Row(iy, fy, b.data());
          ASSERT_EQ(a, b) << vex::platform::simd_level_name(level) << " row " << iy;
        }
      }
    }
  }
}

// Extreme inputs for the bicubic arithmetic: alternating black and white
// drives every sum to its largest magnitude and the output into both clamps.
TEST(BicubicScaler, ExtremePixelsMatchReference) {
  for (Kind kind : {Kind::Grey8, Kind::Rgb24, Kind::Rgb32}) {
    TvexImage src;
    make_source(src, 23, 11, kind, 1);
    const int bpp = src.BitCount() / 8;
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 23 * bpp; ++x) src.ScanLine(y)[x] = ((x / bpp + y) % 2 == 0) ? 255 : 0;
    for (int interpolation = IP_NEAREST; interpolation <= IP_SMOOTH; ++interpolation)
      for (const Ratio& r : {Ratio{23, 11, 67, 29}, Ratio{23, 11, 9, 5}, Ratio{23, 11, 24, 12}})
        expect_resize_matches_reference(src, r.rw, r.rh, interpolation);
  }
}

namespace {

// Binary PGM/PPM with maxval 255 as an 8-bit grey, 24-bit or 32-bit image;
// false for anything else.
bool load_pnm(const std::filesystem::path& path, TvexImage& image, bool as_32_bits) {
  const std::vector<std::uint8_t> bytes = testing_support::read_file(path);
  std::size_t pos = 0;
  auto token = [&]() {
    std::string t;
    while (pos < bytes.size()) {
      const char ch = static_cast<char>(bytes[pos]);
      if (ch == '#') {
        while (pos < bytes.size() && bytes[pos] != '\n') ++pos;
      } else if (std::isspace(static_cast<unsigned char>(ch))) {
        if (!t.empty()) break;
        ++pos;
      } else {
        t += ch;
        ++pos;
      }
    }
    return t;
  };
  const std::string magic = token();
  if (magic != "P5" && magic != "P6") return false;
  const int w = std::atoi(token().c_str()), h = std::atoi(token().c_str());
  const int maxval = std::atoi(token().c_str());
  ++pos;
  const int channels = magic == "P6" ? 3 : 1;
  if (maxval != 255 || w <= 0 || h <= 0 || w > 4096 || h > 4096 ||
      bytes.size() < pos + static_cast<std::size_t>(w) * h * channels)
    return false;
  if (channels == 1) {
    make_source(image, w, h, Kind::Grey8, 1);
  } else {
    make_source(image, w, h, as_32_bits ? Kind::Rgb32 : Kind::Rgb24, 1);
  }
  const int bpp = image.BitCount() / 8;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    const std::uint8_t* in = bytes.data() + pos + static_cast<std::size_t>(y) * w * channels;
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < bpp; ++k)
        row[x * bpp + k] = channels == 1 ? in[x] : (k < 3 ? in[x * 3 + 2 - k] : in[x * 3]);
  }
  return true;
}

} // namespace

// Real pictures from the corpus, down and up, through every interpolation.
TEST(ResizeCorpus, PicturesMatchReference) {
  SKIP_WITHOUT_CORPUS("pnm");
  const auto dir = testing_support::corpus_dir() / "pnm";
  int pictures = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    for (bool wide : {false, true}) {
      TvexImage src;
      if (!load_pnm(entry.path(), src, wide)) continue;
      ++pictures;
      SCOPED_TRACE(entry.path().string());
      const int w = src.Width(), h = src.Height();
      const Ratio sizes[] = {{w, h, (w + 2) / 3, (h + 2) / 3},
                             {w, h, w * 5 / 4 + 1, h * 3 / 2 + 1},
                             {w, h, std::max(1, w / 7), h + 3}};
      for (int ip = IP_NEAREST; ip <= IP_SMOOTH; ++ip)
        for (const Ratio& r : sizes) expect_resize_matches_reference(src, r.rw, r.rh, ip);
    }
  }
  EXPECT_GT(pictures, 4);
}
