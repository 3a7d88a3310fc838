// The transform's numeric edge cases (tables, sample points, exact samples,
// the rounding and clamping of the cubic), its refusals, and the limits of
// the fixed-point step (large ratios, wide results).
#include "vexImageTransform.h"

#include "ops/resize_rows.h"
#include "platform/cpu_features.h"
#include "reference/resize_ref.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using testing_support::make_random_image;

namespace {

void make_grey(TvexImage& image, int w, int h) {
  image.Clear();
  image.SetWidth(w);
  image.SetHeight(h);
  image.SetBitCount(8);
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    pal.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&pal);
  ASSERT_EQ(image.ImageFormat(), IF_GREY8);
}

const std::uint8_t* pixel(TvexImage& image, int x, int y) {
  return image.ScanLine(y) + x * (image.BitCount() / 8);
}

TvexImage* resize(TvexImageTransform& t, TvexImage& src, TvexImage& dst, int w, int h,
                  TvexInterpolation interpolation) {
  dst.SetWidth(w);
  dst.SetHeight(h);
  t.SetSourceImage(0, &src);
  t.SetResultImage(&dst);
  return t.Resize(interpolation);
}

} // namespace

TEST(TransformTables, SquareAndCube) {
  const auto& t = vex::resize::power_tables();
  struct Row {
    int index, square, cube;
  } rows[] = {{0, 0, 0},     {1, 0, 0},       {16, 1, 0},      {40, 6, 0},     {41, 6, 1},
              {128, 64, 32}, {200, 156, 122}, {254, 252, 250}, {255, 254, 253}};
  for (const Row& r : rows) {
    EXPECT_EQ(t.square[r.index], r.square) << r.index;
    EXPECT_EQ(t.cube[r.index], r.cube) << r.index;
  }
  // Regrouped cubic weights sum to 256 for every fraction (a flat area stays flat).
  for (int f = 0; f < 256; ++f) {
    const auto w = vex::resize::cubic_weights(f);
    EXPECT_EQ(w.w[0] + w.w[1] + w.w[2] + w.w[3], 256) << f;
    const int s = vex::resize::smooth_weight(f);
    EXPECT_GE(s, 0);
    EXPECT_LE(s, 256);
  }
}

TEST(TransformSamplePoints, FixedPointStepOfTheBatchSizes) {
  struct Case {
    int sw, sh, rw, rh, a, d;
  } cases[] = {{4000, 3000, 1024, 768, 4000, 4000},
               {1500, 1000, 1024, 683, 1500, 1499},
               {2048, 1025, 1024, 512, 2048, 2050},
               {1000, 3000, 341, 1024, 3003, 3000}};
  for (const Case& c : cases) {
    TvexImage src, dst;
    make_grey(src, c.sw, c.sh);
    TvexImageTransform t;
    ASSERT_NE(resize(t, src, dst, c.rw, c.rh, IP_BICUBIC), nullptr);
    EXPECT_EQ(t.FixedMatrix().a, c.a) << c.sw;
    EXPECT_EQ(t.FixedMatrix().d, c.d) << c.sw;
    EXPECT_EQ(t.FixedMatrix().b, 0);
    EXPECT_EQ(t.FixedMatrix().c, 0);
    EXPECT_EQ(t.FixedMatrix().tx, 0);
    EXPECT_EQ(t.FixedMatrix().ty, 0);
    const auto m = reference::resize_matrix(c.sw, c.sh, c.rw, c.rh);
    EXPECT_EQ(m.a, c.a);
    EXPECT_EQ(m.d, c.d);
  }
  // Result column 1 of the 4000-wide source samples source column 3 at 232/256.
  const std::int64_t x = 4000 * 1;
  EXPECT_EQ(x >> 10, 3);
  EXPECT_EQ((x >> 2) & 255, 232);
}

// A sample exactly on a source pixel copies it, for every interpolation and depth.
TEST(TransformSamplePoints, ExactSamplesCopyThePixel) {
  for (int bits : {8, 24, 32}) {
    TvexImage src;
    make_random_image(src, 40, 30, bits, static_cast<std::uint32_t>(bits));
    for (int ip = IP_NEAREST; ip <= IP_SMOOTH; ++ip) {
      TvexImage dst;
      TvexImageTransform t;
      ASSERT_NE(resize(t, src, dst, 20, 15, static_cast<TvexInterpolation>(ip)), nullptr);
      ASSERT_EQ(t.FixedMatrix().a, 2048);
      for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x)
          ASSERT_EQ(std::memcmp(pixel(dst, x, y), pixel(src, 2 * x, 2 * y),
                                static_cast<std::size_t>(bits / 8)),
                    0)
              << "interpolation " << ip << " at " << x << "," << y;
    }
  }
}

// Taps 0, 0, 255, 255 at fx = 128: 127.5 exactly, cut down to 127. Taps 0,
// 255, 255, 0 overshoot and clamp to 255; their negative, 255, 0, 0, 255,
// undershoots and clamps to 0.
TEST(TransformCubic, HalfwayValueIsCutDownAndOvershootClamped) {
  struct Case {
    std::uint8_t taps[4];
    int expected;
  } cases[] = {{{0, 0, 255, 255}, 127}, {{0, 255, 255, 0}, 255}, {{255, 0, 0, 255}, 0}};
  for (const Case& c : cases) {
    TvexImage src;
    make_grey(src, 4, 4);
    for (int y = 0; y < 4; ++y) std::memcpy(src.ScanLine(y), c.taps, 4);
    vex::resize::SourceView view;
    view.top = src.ScanLine(0);
    view.stride = src.ScanLine(1) - src.ScanLine(0);
    view.width = 4;
    view.height = 4;
    view.bytes_per_pixel = 1;
    // The general row function.
    const std::int32_t ix = 1, iy = 1;
    const std::uint8_t fx = 128, fy = 0;
    std::uint8_t out = 77;
    vex::resize::row_function(IP_BICUBIC)(view, {&ix, &iy, &fx, &fy, 1}, &out);
    EXPECT_EQ(out, c.expected);
    // The scaler's two kernels.
    for (bool simd : {false, true}) {
      vex::resize::BicubicScaler scaler(view, &ix, &fx, 1, simd);
      out = 77;
      scaler.Row(iy, fy, &out);
      EXPECT_EQ(out, c.expected) << "simd " << simd;
    }
    // End to end: a step of 1.5 columns puts result column 1 at 1 + 128/256.
    TvexImage dst;
    make_grey(dst, 2, 4);
    TvexImageTransform t;
    t.SetSourceImage(0, &src);
    t.SetResultImage(&dst);
    t.SetInterpolation(IP_BICUBIC);
    t.SetScaleX(2.0 / 3.0);
    t.SetKeepSize(true);
    ASSERT_EQ(t.Execute(), &dst);
    ASSERT_EQ(t.FixedMatrix().a, 1536);
    for (int y = 0; y < 4; ++y) EXPECT_EQ(*pixel(dst, 1, y), c.expected);
  }
}

// A 2 x 2 source blown up to 4 x 4 reads only existing pixels at its right and
// bottom edges; every result pixel is written.
TEST(TransformEdges, TinySourceUpscaledClampsAtTheEdges) {
  for (int ip = IP_NEAREST; ip <= IP_SMOOTH; ++ip) {
    TvexImage src, dst;
    make_random_image(src, 2, 2, 24, 9);
    TvexImageTransform t;
    ASSERT_NE(resize(t, src, dst, 4, 4, static_cast<TvexInterpolation>(ip)), nullptr);
    EXPECT_EQ(t.Error(), EC_OK);
    EXPECT_EQ(std::memcmp(pixel(dst, 0, 0), pixel(src, 0, 0), 3), 0);
    // The last column and row sample the last source pixel at half a pixel:
    // with the right and lower neighbours clamped to it, the two-tap
    // interpolations give that pixel.
    if (ip == IP_NEAREST || ip == IP_BILINEAR || ip == IP_SMOOTH) {
      EXPECT_EQ(std::memcmp(pixel(dst, 3, 3), pixel(src, 1, 1), 3), 0) << ip;
    }
  }
}

TEST(TransformRefusals, ErrorCodes) {
  TvexImage src, dst;
  make_random_image(src, 8, 6, 24, 1);
  {
    TvexImageTransform t;
    t.SetResultImage(&dst);
    EXPECT_EQ(t.Resize(IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_NOSOURCE);
    EXPECT_EQ(t.Execute(), nullptr);
    EXPECT_EQ(t.Error(), EC_NOSOURCE);
  }
  {
    TvexImageTransform t;
    t.SetSourceImage(0, &src);
    EXPECT_EQ(t.Resize(IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_NORESULT);
  }
  {
    // A source without bitmap: Resize sees no size, Execute no bitmap.
    TvexImage empty, out;
    TvexImageTransform t;
    t.SetSourceImage(0, &empty);
    t.SetResultImage(&out);
    EXPECT_EQ(t.Resize(IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_BADFORMAT);
    EXPECT_EQ(t.Execute(), nullptr);
    EXPECT_EQ(t.Error(), EC_NOSOURCE);
  }
  {
    TvexImage top_down, out;
    top_down.SetWidth(4);
    top_down.SetHeight(-3);
    top_down.SetBitCount(24);
    ASSERT_NE(top_down.Bits(), nullptr);
    TvexImageTransform t;
    EXPECT_EQ(resize(t, top_down, out, 2, 2, IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_BADFORMAT);
  }
  {
    TvexImageTransform t;
    TvexImage out;
    EXPECT_EQ(resize(t, src, out, 4, 3, 5), nullptr);
    EXPECT_EQ(t.Error(), EC_INTERPOLATION);
    EXPECT_EQ(resize(t, src, out, 4, 3, 255), nullptr);
    EXPECT_EQ(t.Error(), EC_INTERPOLATION);
  }
  {
    // A result of no size has no bitmap to write.
    TvexImageTransform t;
    TvexImage out;
    EXPECT_EQ(resize(t, src, out, 0, 3, IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_NORESULT);
  }
  {
    TvexImageTransform t;
    t.SetSourceImage(0, &src);
    t.SetScaleX(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(t.Execute(), nullptr);
    EXPECT_EQ(t.Error(), EC_EXCEPTION);
    EXPECT_EQ(t.ResultImage(), nullptr);
    t.SetScaleX(std::numeric_limits<double>::infinity());
    EXPECT_EQ(t.Execute(), nullptr);
    EXPECT_EQ(t.Error(), EC_EXCEPTION);
  }
}

// Depths the transform does not take: refused, the result left as it was.
TEST(TransformRefusals, UnsupportedSourceFormatsLeaveTheResultUntouched) {
  for (TvexImageFormat format : {IF_BW, IF_PAL4, IF_GREY4, IF_RGB16, IF_RGB15}) {
    TvexImage src;
    src.SetWidth(9);
    src.SetHeight(5);
    src.SetImageFormat(format);
    if (format == IF_PAL4) make_random_image(src, 9, 5, 4, 3);
    ASSERT_NE(src.Bits(), nullptr);
    // As the batch hands it in: a size, no bitmap.
    TvexImage fresh;
    TvexImageTransform t;
    EXPECT_EQ(resize(t, src, fresh, 4, 2, IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_IMAGEFORMAT) << int(format);
    EXPECT_EQ(fresh.Bits(), nullptr);
    // A result with pixels keeps them.
    TvexImage kept;
    make_random_image(kept, 4, 2, 24, 4);
    const std::string before = testing_support::pixel_digest(kept);
    EXPECT_EQ(resize(t, src, kept, 4, 2, IP_BICUBIC), nullptr);
    EXPECT_EQ(t.Error(), EC_IMAGEFORMAT);
    EXPECT_EQ(testing_support::pixel_digest(kept), before);
  }
  // A cached format that disagrees with the bit count is not trusted.
  TvexImage odd;
  odd.SetWidth(5);
  odd.SetHeight(5);
  odd.SetImageFormat(IF_RGB24);
  odd.SetBitCount(8);
  ASSERT_EQ(odd.ImageFormat(), IF_RGB24);
  TvexImage out;
  TvexImageTransform t;
  EXPECT_EQ(resize(t, odd, out, 3, 3, IP_BICUBIC), nullptr);
  EXPECT_EQ(t.Error(), EC_IMAGEFORMAT);
}

TEST(TransformResult, PaletteSourceGivesItsPaletteAndInterpolatesIndices) {
  TvexImage src, dst;
  make_random_image(src, 30, 20, 8, 12);
  ASSERT_EQ(src.ImageFormat(), IF_PAL8);
  TvexImageTransform t;
  ASSERT_NE(resize(t, src, dst, 13, 7, IP_BILINEAR), nullptr);
  EXPECT_EQ(dst.ImageFormat(), IF_PAL8);
  EXPECT_EQ(std::memcmp(dst.Header()->bmiColors, src.Header()->bmiColors, 256 * 4), 0);
  TvexImage expected;
  expected.SetWidth(13);
  expected.SetHeight(7);
  expected.SetBitCount(8);
  reference::resize(src, expected, IP_BILINEAR);
  for (int y = 0; y < 7; ++y) EXPECT_EQ(std::memcmp(dst.ScanLine(y), expected.ScanLine(y), 13), 0);
}

TEST(TransformResult, SettingsAfterResize) {
  TvexImage src, dst;
  make_random_image(src, 10, 10, 24, 2);
  TvexImageTransform t;
  EXPECT_EQ(t.UseMMX(), vex::platform::cpu_features().mmx);
  EXPECT_EQ(t.Interpolation(), IP_NEAREST);
  EXPECT_TRUE(t.InvertAngle());
  EXPECT_EQ(t.ScaleX(), 1.0);
  t.SetAngle(30);
  t.SetOffsetX(4);
  t.SetShearY(0.5);
  t.SetKeepSize(false);
  ASSERT_NE(resize(t, src, dst, 5, 4, IP_BICUBIC), nullptr);
  EXPECT_FALSE(t.KeepSize());
  EXPECT_EQ(t.Angle(), 0);
  EXPECT_EQ(t.OffsetX(), 0);
  EXPECT_EQ(t.ShearY(), 0);
  EXPECT_EQ(t.ScaleX(), 0.5);
  EXPECT_EQ(t.ScaleY(), 0.4);
  EXPECT_EQ(t.Interpolation(), IP_BICUBIC);
  t.SetKeepSize(true);
  ASSERT_NE(resize(t, src, dst, 5, 4, IP_BICUBIC), nullptr);
  EXPECT_TRUE(t.KeepSize());
}

TEST(TransformResult, ExecuteCreatesAResultAndFreesItOnFailure) {
  TvexImage src;
  make_random_image(src, 12, 8, 24, 6);
  src.SetXResolution(3780);
  TvexImageTransform t;
  t.SetSourceImage(0, &src);
  t.SetScaleX(0.5);
  t.SetScaleY(0.5);
  TvexImage* result = t.Execute();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Width(), 6);
  EXPECT_EQ(result->Height(), 4);
  EXPECT_EQ(result->XResolution(), 3780);
  EXPECT_EQ(t.ResultImage(), result);
  // With KeepSize the created result takes the source's size.
  TvexImageTransform keep;
  keep.SetSourceImage(0, &src);
  keep.SetKeepSize(true);
  ASSERT_NE(keep.Execute(), nullptr);
  EXPECT_EQ(keep.ResultImage()->Width(), 12);
  EXPECT_EQ(testing_support::pixel_digest(*keep.ResultImage()), testing_support::pixel_digest(src));
  // A palette source gives the created result its palette.
  TvexImage pal;
  make_random_image(pal, 12, 8, 8, 4);
  TvexImageTransform from_pal;
  from_pal.SetSourceImage(0, &pal);
  from_pal.SetKeepSize(true);
  ASSERT_NE(from_pal.Execute(), nullptr);
  EXPECT_EQ(from_pal.ResultImage()->ImageFormat(), IF_PAL8);
  EXPECT_EQ(testing_support::pixel_digest(*from_pal.ResultImage()),
            testing_support::pixel_digest(pal));
  // A top-down result is filled like any other.
  TvexImage top_down;
  top_down.SetWidth(6);
  top_down.SetHeight(-4);
  TvexImageTransform td;
  td.SetSourceImage(0, &src);
  td.SetResultImage(&top_down);
  ASSERT_EQ(td.Resize(IP_NEAREST), &top_down);
  EXPECT_EQ(td.FixedMatrix().d, 2048);
  EXPECT_EQ(std::memcmp(pixel(top_down, 5, 3), pixel(src, 10, 6), 3), 0);
  // A failing run drops the result it made.
  TvexImageTransform failing;
  failing.SetSourceImage(0, &src);
  failing.SetInterpolation(9);
  EXPECT_EQ(failing.Execute(), nullptr);
  EXPECT_EQ(failing.Error(), EC_INTERPOLATION);
  EXPECT_EQ(failing.ResultImage(), nullptr);
}

TEST(TransformGeneral, HalfTurnAndQuarterTurn) {
  TvexImage src;
  make_random_image(src, 7, 4, 24, 8);
  TvexImageTransform t;
  t.SetSourceImage(0, &src);
  t.SetAngle(180);
  TvexImage* half = t.Execute();
  ASSERT_NE(half, nullptr);
  ASSERT_EQ(half->Width(), 7);
  ASSERT_EQ(half->Height(), 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 7; ++x)
      ASSERT_EQ(std::memcmp(pixel(*half, x, y), pixel(src, 6 - x, 3 - y), 3), 0) << x << "," << y;

  TvexImageTransform q;
  q.SetSourceImage(0, &src);
  q.SetAngle(90);
  TvexImage* quarter = q.Execute();
  ASSERT_NE(quarter, nullptr);
  EXPECT_EQ(quarter->Width(), 4);
  EXPECT_EQ(quarter->Height(), 7);
}

TEST(TransformGeneral, BackgroundOnlyWhenRotatingShearingOrShifting) {
  TvexImage src;
  make_random_image(src, 10, 10, 24, 5);
  for (bool shifted : {false, true}) {
    TvexImage dst;
    make_random_image(dst, 10, 10, 24, 1);
    dst.FillBytes(0);
    TvexImageTransform t;
    t.SetSourceImage(0, &src);
    t.SetResultImage(&dst);
    t.SetKeepSize(true);
    t.SetScaleX(0.5);
    t.SetScaleY(0.5);
    t.SetOffsetX(shifted ? 2 : 0);
    t.SetBkColor(0x0000FF); // red
    ASSERT_EQ(t.Execute(), &dst);
    // The corner (9, 9) lies outside the scaled picture.
    const std::uint8_t* p = pixel(dst, 9, 9);
    EXPECT_EQ(p[2], shifted ? 255 : 0);
    EXPECT_EQ(p[0], 0);
  }
}

TEST(TransformGeneral, ResultThatIsItsOwnSourceReadsACopy) {
  // Pixels no sample covers keep what the result held: the source's own.
  TvexImage a, b, c;
  make_random_image(a, 16, 12, 32, 3);
  b.Assign(&a);
  c.Assign(&a);
  TvexImageTransform in_place, apart;
  in_place.SetSourceImage(0, &a);
  in_place.SetResultImage(&a);
  in_place.SetInterpolation(IP_BICUBIC);
  in_place.SetKeepSize(true);
  in_place.SetAngle(33);
  apart.SetSourceImage(0, &b);
  apart.SetResultImage(&c);
  apart.SetInterpolation(IP_BICUBIC);
  apart.SetKeepSize(true);
  apart.SetAngle(33);
  ASSERT_EQ(in_place.Execute(), &a);
  ASSERT_EQ(apart.Execute(), &c);
  EXPECT_EQ(testing_support::pixel_digest(a), testing_support::pixel_digest(c));
  EXPECT_NE(testing_support::pixel_digest(a), testing_support::pixel_digest(b));
}

// Past the 16-bit words of the step: a ratio of 64 and a result 40000 wide
// give the right picture, computed in wider integers.
TEST(TransformLimits, LargeRatiosAndWideResults) {
  {
    TvexImage src, dst;
    make_grey(src, 64000, 3);
    testing_support::Rng rng(5);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 64000; ++x) src.ScanLine(y)[x] = static_cast<std::uint8_t>(rng.next());
    TvexImageTransform t;
    ASSERT_NE(resize(t, src, dst, 1000, 1, IP_NEAREST), nullptr);
    EXPECT_EQ(t.FixedMatrix().a, 65536);
    for (int x = 0; x < 1000; ++x) ASSERT_EQ(*pixel(dst, x, 0), *pixel(src, 64 * x, 0)) << x;
    for (int ip = IP_NEAREST; ip <= IP_SMOOTH; ++ip) {
      ASSERT_NE(resize(t, src, dst, 1000, 1, static_cast<TvexInterpolation>(ip)), nullptr);
      TvexImage expected;
      make_grey(expected, 1000, 1);
      reference::resize(src, expected, ip);
      EXPECT_EQ(std::memcmp(dst.ScanLine(0), expected.ScanLine(0), 1000), 0) << ip;
    }
  }
  {
    TvexImage src, dst;
    make_random_image(src, 20000, 2, 24, 7);
    TvexImageTransform t;
    ASSERT_NE(resize(t, src, dst, 40000, 2, IP_NEAREST), nullptr);
    EXPECT_EQ(t.FixedMatrix().a, 512);
    for (int x = 0; x < 40000; ++x)
      ASSERT_EQ(std::memcmp(pixel(dst, x, 1), pixel(src, x / 2, 1), 3), 0) << x;
    ASSERT_NE(resize(t, src, dst, 40000, 2, IP_BICUBIC), nullptr);
    TvexImage expected;
    make_random_image(expected, 40000, 2, 24, 0);
    reference::resize(src, expected, IP_BICUBIC);
    EXPECT_EQ(testing_support::pixel_digest(dst), testing_support::pixel_digest(expected));
  }
}

// Within the 16-bit words the step defines every size, however far its
// rounding carries the far samples (186 -> 3098 steps by 61/1024, so the last
// column samples source column 184, not 185). Past the words (a ratio of 32 or
// more, a result over 32768) a step that would misplace samples by a source
// pixel or more is refused instead of drawn wrong. Both axes alike.
TEST(TransformLimits, TooCoarseAStepIsRefused) {
  struct Case {
    int sw, rw;
    bool ok;
    int step; // the fixed-point step when drawn
  } cases[] = {{186, 3098, true, 61},      {10000, 9000, true, 1138}, {9000, 10000, true, 922},
               {2, 5000, true, 0},         {4000, 1024, true, 4000},  {3, 2048, true, 2},
               {40000, 40000, true, 1024}, {3, 40000, false, 0},      {200000, 6000, false, 0}};
  for (const Case& c : cases)
    for (const bool vertical : {false, true}) {
      SCOPED_TRACE(std::to_string(c.sw) + " -> " + std::to_string(c.rw) +
                   (vertical ? " rows" : " columns"));
      TvexImage src, dst;
      make_grey(src, vertical ? 2 : c.sw, vertical ? c.sw : 2);
      TvexImageTransform t;
      TvexImage* r = resize(t, src, dst, vertical ? 2 : c.rw, vertical ? c.rw : 2, IP_BILINEAR);
      EXPECT_EQ(r != nullptr, c.ok);
      EXPECT_EQ(t.Error(), c.ok ? EC_OK : EC_DIMENSIONS);
      if (c.ok) {
        EXPECT_EQ(vertical ? t.FixedMatrix().d : t.FixedMatrix().a, c.step);
      }
    }
}
