// The image view control without a window: fit scale, centring, border,
// background, notifications and ownership, painted onto a raster surface.
#include "vexImageCtrl.h"

#include "platform/draw_surface.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace pf = vex::platform;
using testing_support::make_random_image;
using testing_support::pixel_rgb;

namespace {

constexpr pf::Colour kSentinel = pf::rgb(1, 2, 3);
constexpr pf::Colour kGrey = pf::rgb(128, 128, 128);
constexpr pf::Colour kBlack = pf::rgb(0, 0, 0);
constexpr pf::Colour kWhite = pf::rgb(255, 255, 255);
constexpr pf::Colour kLightGrey = pf::rgb(192, 192, 192);

// 0xRRGGBB as the test helpers give it, to the surface's 0x00BBGGRR.
pf::Colour surface_colour(std::uint32_t rrggbb) {
  return pf::rgb(static_cast<std::uint8_t>(rrggbb >> 16), static_cast<std::uint8_t>(rrggbb >> 8),
                 static_cast<std::uint8_t>(rrggbb));
}

void solid(TvexImage& img, int w, int h, pf::Colour c) {
  img.SetWidth(w);
  img.SetHeight(h);
  img.SetBitCount(24);
  img.FillColor(c);
}

TEST(ImageCtrl, FitScaleTakesTheSmallerRatioOfTheUsableArea) {
  const struct {
    int cw, ch, pw, ph;
    TvexBorderStyle border;
    double scale;
  } cases[] = {
      {200, 100, 400, 100, BS_NONE, 0.5},
      {200, 100, 400, 100, BS_SINGLE, 0.49},
      {200, 100, 100, 400, BS_NONE, 0.25},
      {200, 100, 50, 20, BS_NONE, 4.0},
      {100, 100, 100, 100, BS_NONE, 1.0},
      {104, 54, 50, 25, BS_SINGLE, 2.0},
      {433, 321, 3000, 2000, BS_NONE, 433.0 / 3000.0},
  };
  for (const auto& c : cases) {
    TvexImageCtrl ctrl;
    ctrl.SetBounds(0, 0, c.cw, c.ch);
    ctrl.SetBorderStyle(c.border);
    solid(*ctrl.Image(), c.pw, c.ph, kWhite);
    ctrl.SetScaleToFit(true);
    EXPECT_DOUBLE_EQ(ctrl.Scale(), c.scale)
        << c.cw << "x" << c.ch << " for " << c.pw << "x" << c.ph;
    EXPECT_TRUE(ctrl.ScaleToFit());
  }
}

TEST(ImageCtrl, FitScaleFollowsTheControlSizeAndIsOneForAnEmptyPicture) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 200, 100);
  ctrl.Image(); // an image without a bitmap
  ctrl.SetScaleToFit(true);
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 1.0);
  solid(*ctrl.Image(), 400, 100, kWhite);
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 0.5);
  ctrl.SetBounds(0, 0, 100, 100);
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 0.25);
}

TEST(ImageCtrl, SettingTheScaleSwitchesFittingOff) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 200, 100);
  solid(*ctrl.Image(), 400, 100, kWhite);
  ctrl.SetScaleToFit(true);
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 0.5);
  ctrl.SetScale(0.5); // the same value changes nothing
  EXPECT_TRUE(ctrl.ScaleToFit());
  ctrl.SetScale(2.0);
  EXPECT_FALSE(ctrl.ScaleToFit());
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 2.0);
}

TEST(ImageCtrl, ScaleReadsOneWithoutAnImage) {
  TvexImageCtrl ctrl;
  ctrl.SetScale(3.0);
  EXPECT_DOUBLE_EQ(ctrl.Scale(), 1.0);
  EXPECT_FALSE(ctrl.HasImage()) << "reading the scale must not create an image";
}

TEST(ImageCtrl, CentringPutsThePictureInTheMiddleRoundingHalfToEven) {
  const struct {
    int cw, ch, pw, ph;
    double scale;
    int ox, oy;
  } cases[] = {
      {101, 51, 50, 20, 1.0, 26, 16},   // 25.5 and 15.5 round up to even
      {99, 53, 50, 20, 1.0, 24, 16},    // 24.5 rounds down to even, 16.5 to 16
      {40, 10, 50, 20, 1.0, -5, -5},    // a smaller control gives a negative origin
      {200, 100, 100, 30, 0.5, 75, 42}, // 42.5 -> 42
  };
  for (const auto& c : cases) {
    TvexImageCtrl ctrl;
    ctrl.SetBounds(0, 0, c.cw, c.ch);
    make_random_image(*ctrl.Image(), c.pw, c.ph, 24, 7);
    ctrl.SetScale(c.scale);
    ctrl.SetCenter(true);
    pf::RasterSurface dc(c.cw, c.ch, kSentinel);
    ctrl.PaintTo(dc);
    EXPECT_EQ(ctrl.Image()->OriginX(), c.ox) << c.cw << "x" << c.ch;
    EXPECT_EQ(ctrl.Image()->OriginY(), c.oy) << c.cw << "x" << c.ch;
    if (c.scale == 1.0 && c.ox >= 0 && c.oy >= 0) {
      EXPECT_EQ(dc.Pixel(c.ox, c.oy), surface_colour(pixel_rgb(*ctrl.Image(), 0, 0)));
      EXPECT_EQ(dc.Pixel(c.ox - 1, c.oy), kSentinel);
      EXPECT_EQ(dc.Pixel(c.ox + c.pw - 1, c.oy + c.ph - 1),
                surface_colour(pixel_rgb(*ctrl.Image(), c.pw - 1, c.ph - 1)));
      EXPECT_EQ(dc.Pixel(c.ox + c.pw, c.oy + c.ph - 1), kSentinel);
    }
    if (c.ox < 0) {
      EXPECT_EQ(dc.Pixel(0, 0), surface_colour(pixel_rgb(*ctrl.Image(), 5, 5)));
    }
  }
}

TEST(ImageCtrl, TurningCentringOffResetsTheOrigin) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 100, 100);
  solid(*ctrl.Image(), 10, 10, kWhite);
  ctrl.SetCenter(true);
  pf::RasterSurface dc(100, 100);
  ctrl.PaintTo(dc);
  EXPECT_EQ(ctrl.Image()->OriginX(), 45);
  ctrl.SetCenter(false);
  EXPECT_EQ(ctrl.Image()->OriginX(), 0);
  EXPECT_EQ(ctrl.Image()->OriginY(), 0);
}

TEST(ImageCtrl, FittedPictureCoversOnlyItsScaledRectangle) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 200, 100);
  solid(*ctrl.Image(), 400, 100, pf::rgb(10, 200, 30));
  ctrl.SetScaleToFit(true);
  pf::RasterSurface dc(200, 100, kSentinel);
  ctrl.PaintTo(dc);
  EXPECT_EQ(dc.Pixel(0, 0), pf::rgb(10, 200, 30));
  EXPECT_EQ(dc.Pixel(199, 49), pf::rgb(10, 200, 30));
  EXPECT_EQ(dc.Pixel(199, 50), kSentinel);
}

// Which pixel each of the four border lines owns, end points excluded.
TEST(ImageCtrl, SingleBorderDrawsFourLinesOverThePicture) {
  const int w = 12, h = 9;
  const pf::Colour pic = pf::rgb(40, 50, 60);
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, w, h);
  ctrl.SetBorderStyle(BS_SINGLE);
  solid(*ctrl.Image(), w, h, pic);
  pf::RasterSurface dc(w, h, kSentinel);
  ctrl.PaintTo(dc);
  const struct {
    int x, y;
    pf::Colour c;
  } expect[] = {
      {0, 0, kGrey},
      {5, 0, kGrey},
      {1, 0, kGrey},
      {0, 4, kGrey},
      {0, h - 2, kGrey},
      {0, h - 1, pic}, // no line reaches it
      {w - 1, 0, kWhite},
      {w - 1, 4, kWhite},
      {w - 1, h - 1, kWhite},
      {1, h - 1, kWhite},
      {5, h - 1, kWhite},
      {1, 1, kBlack},
      {2, 1, kBlack},
      {1, 4, kBlack},
      {1, h - 3, kBlack},
      {1, h - 2, pic}, // the black and light grey lines both stop short of it
      {w - 2, 1, kLightGrey},
      {w - 2, 4, kLightGrey},
      {w - 2, h - 2, kLightGrey},
      {2, h - 2, kLightGrey},
      {2, 2, pic},
      {w - 3, h - 3, pic},
  };
  for (const auto& e : expect)
    EXPECT_EQ(dc.Pixel(e.x, e.y), e.c) << "(" << e.x << ", " << e.y << ")";
}

TEST(ImageCtrl, FreshControlPaintsOnlyBackgroundAndBorder) {
  TvexImageCtrl ctrl;
  EXPECT_EQ(ctrl.Width(), 64);
  EXPECT_EQ(ctrl.Height(), 64);
  EXPECT_EQ(ctrl.Color(), TvexImageCtrl::kNoColor);
  ASSERT_NE(ctrl.Image(), nullptr);
  EXPECT_TRUE(ctrl.HasImage());

  pf::RasterSurface untouched(64, 64, kSentinel);
  ctrl.PaintTo(untouched);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(untouched.Pixel(x, y), kSentinel);

  ctrl.SetColor(pf::rgb(9, 8, 7));
  ctrl.SetBorderStyle(BS_SINGLE);
  pf::RasterSurface dc(64, 64, kSentinel);
  ctrl.PaintTo(dc);
  EXPECT_EQ(dc.Pixel(0, 0), kGrey);
  EXPECT_EQ(dc.Pixel(0, 63), pf::rgb(9, 8, 7));
  EXPECT_EQ(dc.Pixel(30, 30), pf::rgb(9, 8, 7));
  EXPECT_EQ(dc.transfer_count(), 0);
}

TEST(ImageCtrl, HiddenControlPaintsNothing) {
  TvexImageCtrl ctrl;
  ctrl.SetColor(pf::rgb(9, 8, 7));
  solid(*ctrl.Image(), 10, 10, kWhite);
  ctrl.SetVisible(false);
  pf::RasterSurface dc(64, 64, kSentinel);
  ctrl.PaintTo(dc);
  EXPECT_EQ(dc.Pixel(0, 0), kSentinel);
  EXPECT_EQ(dc.Pixel(30, 30), kSentinel);
}

TEST(ImageCtrl, ImageChangesNotifyAndRepaintInsideTheBorder) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(5, 6, 100, 50);
  std::vector<TvexImageCtrl*> changes;
  std::vector<std::pair<pf::Rect, bool>> invalidated;
  ctrl.OnChange = [&](TvexImageCtrl* sender) { changes.push_back(sender); };
  ctrl.OnInvalidate = [&](const pf::Rect& r, bool erase) { invalidated.emplace_back(r, erase); };

  solid(*ctrl.Image(), 10, 10, kWhite); // makes a section: one change
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], &ctrl);
  ASSERT_FALSE(invalidated.empty());
  EXPECT_EQ(invalidated.back().first.right, 100);
  EXPECT_FALSE(invalidated.back().second);

  ctrl.SetBorderStyle(BS_SINGLE);
  invalidated.clear();
  ctrl.Image()->SetDibHandle(DibHandle::Null); // adopting fires a change even when empty
  EXPECT_EQ(changes.size(), 2u);
  ASSERT_EQ(invalidated.size(), 1u);
  const pf::Rect r = invalidated[0].first;
  EXPECT_EQ(r.left, 2);
  EXPECT_EQ(r.top, 2);
  EXPECT_EQ(r.right, 98);
  EXPECT_EQ(r.bottom, 48);
  EXPECT_FALSE(invalidated[0].second);
}

TEST(ImageCtrl, ReadingTheImageReclaimsItsNotification) {
  TvexImageCtrl ctrl;
  int changes = 0;
  ctrl.OnChange = [&](TvexImageCtrl*) { ++changes; };
  ctrl.Image()->OnChange = nullptr;
  solid(*ctrl.Image(), 4, 4, kWhite);
  EXPECT_EQ(changes, 1);
}

TEST(ImageCtrl, TransparentFollowsTheImage) {
  TvexImageCtrl ctrl;
  ctrl.SetTransparent(true);
  EXPECT_FALSE(ctrl.Transparent());
  EXPECT_FALSE(ctrl.HasImage()) << "without an image the flag has nowhere to go";

  ctrl.SetBounds(0, 0, 4, 1);
  TvexImage* img = ctrl.Image();
  solid(*img, 4, 1, pf::rgb(255, 255, 255));
  img->ScanLine(0)[3] = 0; // pixel 1 loses its blue: yellow
  ctrl.SetTransparent(true);
  EXPECT_TRUE(ctrl.Transparent());
  EXPECT_TRUE(img->Transparent());
  pf::RasterSurface dc(4, 1, kSentinel);
  ctrl.PaintTo(dc);
  EXPECT_EQ(dc.Pixel(0, 0), kSentinel) << "white is the default transparent colour";
  EXPECT_EQ(dc.Pixel(1, 0), pf::rgb(255, 255, 0));
  EXPECT_EQ(dc.Pixel(2, 0), kSentinel);
}

TEST(ImageCtrl, OwnsTheImageItIsGiven) {
  TvexImageCtrl ctrl;
  int invalidations = 0;
  ctrl.OnInvalidate = [&](const pf::Rect&, bool) { ++invalidations; };
  auto given = std::make_unique<TvexImage>();
  solid(*given, 3, 3, kWhite);
  TvexImage* raw = given.get();
  ctrl.SetImage(given.release());
  EXPECT_EQ(ctrl.Image(), raw);
  EXPECT_EQ(invalidations, 1);
  ctrl.SetImage(raw); // its own image again: kept, not freed
  EXPECT_EQ(ctrl.Image()->Width(), 3);
  int changes = 0;
  ctrl.OnChange = [&](TvexImageCtrl*) { ++changes; };
  raw->SetWidth(5);
  EXPECT_EQ(changes, 1);
  ctrl.SetImage(nullptr);
  EXPECT_FALSE(ctrl.HasImage());
}

TEST(ImageCtrl, MouseMovesAreRelativeToACentredPicture) {
  TvexImageCtrl ctrl;
  ctrl.SetBounds(0, 0, 100, 100);
  int got_x = 0, got_y = 0;
  ctrl.OnMouseMove = [&](TvexImageCtrl*, std::uint32_t, int x, int y) {
    got_x = x;
    got_y = y;
  };
  ctrl.MouseMove(0, 30, 40);
  EXPECT_EQ(got_x, 30);
  EXPECT_EQ(got_y, 40);
  solid(*ctrl.Image(), 20, 60, kWhite);
  ctrl.SetCenter(true);
  pf::RasterSurface dc(100, 100);
  ctrl.PaintTo(dc);
  ctrl.MouseMove(0, 30, 40);
  EXPECT_EQ(got_x, -10);
  EXPECT_EQ(got_y, 20);
}

} // namespace
