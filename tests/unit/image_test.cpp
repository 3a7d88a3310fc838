// The image model: layout, sections, palettes, format detection, filling, drawing.
#include "vexImage.h"

#include "platform/dib_section.h"
#include "platform/draw_surface.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace pf = vex::platform;
using testing_support::pixel_rgb;

namespace {

void make(TvexImage& img, int w, int h, int bpp) {
  img.SetWidth(w);
  img.SetHeight(h);
  img.SetBitCount(static_cast<std::uint16_t>(bpp));
}

} // namespace

TEST(ImageLayout, LineWidthPadsRowsToFourBytes) {
  const struct {
    int w, bpp, line;
  } cases[] = {{1000, 24, 3000}, {5, 24, 16}, {10, 1, 4}, {33, 1, 8}, {3, 4, 4},
               {9, 4, 8},        {3, 8, 4},   {2, 16, 4}, {3, 16, 8}, {7, 32, 28}};
  for (const auto& c : cases) {
    TvexImage img;
    make(img, c.w, 3, c.bpp);
    EXPECT_EQ(img.LineWidth(), c.line) << c.w << " px at " << c.bpp;
    EXPECT_EQ(img.Header()->bmiHeader.biSizeImage, static_cast<std::uint32_t>(c.line * 3));
  }
}

TEST(ImageLayout, SectionAppearsWithTheThirdValueInAnyOrder) {
  int changes = 0;
  TvexImage img;
  img.OnChange = [&](TvexImage*) { ++changes; };
  img.SetBitCount(8);
  img.SetHeight(4);
  EXPECT_TRUE(pf::is_null(img.GetDibHandle()));
  EXPECT_EQ(changes, 0);
  img.SetWidth(6);
  EXPECT_FALSE(pf::is_null(img.GetDibHandle()));
  EXPECT_EQ(changes, 1);
}

TEST(ImageLayout, FlippingTheHeightSignKeepsTheSection) {
  TvexImage img;
  make(img, 10, 100, 24);
  const DibHandle before = img.GetDibHandle();
  img.SetHeight(-100);
  EXPECT_EQ(img.GetDibHandle(), before);
  EXPECT_EQ(img.Height(), -100);
  img.SetHeight(50);
  EXPECT_NE(img.GetDibHandle(), before);
  pf::DibSection ds;
  EXPECT_FALSE(pf::GetDIBSection(before, &ds)) << "the old section must be deleted";
}

TEST(ImageLayout, ScanLineIsTopDownAndClamped) {
  TvexImage img;
  make(img, 4, 5, 8);
  EXPECT_EQ(img.ScanLine(0), img.Bits() + 4 * 4); // bottom-up memory: the top row is last
  EXPECT_EQ(img.ScanLine(4), img.Bits());
  EXPECT_EQ(img.ScanLine(-5), img.ScanLine(0));
  EXPECT_EQ(img.ScanLine(5 + 5), img.ScanLine(4));
}

TEST(ImageLayout, RefusedSectionLeavesEmptyImageWithPlatformError) {
  TvexImage img;
  make(img, 70000, 70000, 24);
  EXPECT_TRUE(pf::is_null(img.GetDibHandle()));
  EXPECT_EQ(img.Bits(), nullptr);
  EXPECT_EQ(img.Error(), EC_WINDOWS);
  EXPECT_EQ(img.PlatformError(), pf::kErrorNotEnoughMemory);
}

TEST(ImageHandles, AdoptReleaseAndOwnership) {
  const std::size_t live = pf::live_section_count();
  {
    TvexImage a;
    make(a, 3, 3, 24);
    const DibHandle h = a.ReleaseHandle();
    EXPECT_FALSE(a.OwnsHandle());
    a.Clear(); // does not delete what it no longer owns
    pf::DibSection ds;
    ASSERT_TRUE(pf::GetDIBSection(h, &ds));
    TvexImage b;
    int changes = 0;
    b.OnChange = [&](TvexImage*) { ++changes; };
    b.SetDibHandle(h);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(b.OwnsHandle());
    EXPECT_EQ(b.Width(), 3);
    EXPECT_EQ(b.LineWidth(), 12);
    b.SetDibHandle(DibHandle::Null); // deletes the owned one, still notifies
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(pf::GetDIBSection(h, &ds));
    b.SetDibHandle(h); // stale handle: the image stays empty
    EXPECT_TRUE(pf::is_null(b.GetDibHandle()));
    EXPECT_EQ(changes, 3);
  }
  EXPECT_EQ(pf::live_section_count(), live);
}

TEST(ImageFormat, DetectionFollowsBitCountAndGreyTables) {
  TvexImage img;
  make(img, 2, 2, 4);
  EXPECT_EQ(img.ImageFormat(), IF_GREY4); // a zeroed table is all grey
  TvexImage::LogPalette pal;
  pal.palNumEntries = 16;
  for (int i = 0; i < 16; ++i)
    pal.palPalEntry[i] = {std::uint8_t(i * 17), std::uint8_t(i * 17), std::uint8_t(i * 17), 0};
  img.SetPaletteEntries(&pal);
  EXPECT_EQ(img.ImageFormat(), IF_GREY4);
  pal.palPalEntry[9].peGreen = 1;
  img.SetPaletteEntries(&pal);
  EXPECT_EQ(img.ImageFormat(), IF_PAL4);

  const struct {
    int bpp;
    TvexImageFormat f;
  } depths[] = {{1, IF_BW}, {8, IF_GREY8}, {16, IF_RGB16}, {24, IF_RGB24}, {32, IF_RGB32}};
  for (const auto& d : depths) {
    TvexImage i;
    make(i, 2, 2, d.bpp);
    EXPECT_EQ(i.ImageFormat(), d.f) << d.bpp;
  }
}

TEST(ImageFormat, SettingAFormatMakesTheMatchingSection) {
  const struct {
    TvexImageFormat f;
    int bpp;
  } cases[] = {{IF_BW, 1},     {IF_GREY4, 4},   {IF_PAL8, 8},  {IF_RGB15, 16},
               {IF_RGB24, 24}, {IF_RGBA32, 32}, {IF_RGB32, 32}};
  for (const auto& c : cases) {
    TvexImage img;
    img.SetWidth(3);
    img.SetHeight(2);
    img.SetImageFormat(c.f);
    EXPECT_EQ(img.BitCount(), c.bpp);
    EXPECT_EQ(img.ImageFormat(), c.f) << "the assigned code is kept, not re-detected";
    EXPECT_FALSE(pf::is_null(img.GetDibHandle()));
  }
}

TEST(ImagePalette, EntriesRoundTripAndNearestIndex) {
  TvexImage img;
  make(img, 4, 1, 8);
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i) pal.palPalEntry[i] = {std::uint8_t(i), 0, std::uint8_t(255 - i), 0};
  img.SetPaletteEntries(&pal);
  EXPECT_TRUE(img.PaletteReplaced());
  TvexImage::LogPalette back;
  ASSERT_EQ(img.GetPaletteEntries(&back), 256);
  EXPECT_EQ(back.palPalEntry[10].peRed, 10);
  EXPECT_EQ(back.palPalEntry[10].peBlue, 245);
  // Colours carry red in the low byte.
  EXPECT_EQ(img.NearestIndex(0x00F0000F), 15);
  EXPECT_EQ(img.NearestIndex(0x00FF00FF), 127); // 127 and 128 tie: the first wins
  TvexImage rgb;
  make(rgb, 1, 1, 24);
  EXPECT_EQ(rgb.NearestIndex(0), -1);
  EXPECT_EQ(rgb.GetPaletteEntries(nullptr), 0);

  // The platform palette made from the section belongs to the caller.
  const PaletteHandle p = img.GetPalette();
  ASSERT_FALSE(pf::is_null(p));
  EXPECT_EQ(pf::GetPaletteEntries(p, 0, 0, nullptr), 256u);
  pf::DeletePalette(p);
}

TEST(ImageFill, GreyColoursSetEveryByteIncludingPadding) {
  TvexImage img;
  make(img, 5, 3, 24);
  img.FillColor(0x404040);
  for (std::uint32_t i = 0; i < img.Header()->bmiHeader.biSizeImage; ++i)
    ASSERT_EQ(img.Bits()[i], 0x40);
}

TEST(ImageFill, ColoursLandInBlueGreenRedOrder) {
  for (int bpp : {24, 32}) {
    TvexImage img;
    make(img, 3, 2, bpp);
    img.FillColor(0x00332211); // red 0x11, green 0x22, blue 0x33
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x) EXPECT_EQ(pixel_rgb(img, x, y), 0x112233u) << bpp;
  }
  TvexImage grey;
  make(grey, 3, 1, 8);
  TvexImage::LogPalette pal;
  pal.palNumEntries = 256;
  for (int i = 0; i < 256; ++i)
    pal.palPalEntry[i] = {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0};
  grey.SetPaletteEntries(&pal);
  grey.FillColor(0x00030609); // (9 + 6 + 3) / 3
  EXPECT_EQ(grey.ScanLine(0)[2], 6);
}

TEST(ImageAssign, CopiesPixelsPaletteAndMetadata) {
  TvexImage src;
  testing_support::make_random_image(src, 13, 7, 8, 42);
  src.SetXResolution(3780);
  src.ImageInfo()->SetArtist("someone");
  TvexImage dst;
  dst.Assign(&src);
  EXPECT_NE(dst.GetDibHandle(), src.GetDibHandle());
  EXPECT_EQ(testing_support::pixel_digest(dst), testing_support::pixel_digest(src));
  EXPECT_EQ(dst.ImageInfo()->Artist(), "someone");
  EXPECT_EQ(dst.XResolution(), 3780);
  for (int bpp : {1, 4, 16, 24, 32}) {
    TvexImage s, d;
    testing_support::make_random_image(s, 9, 5, bpp, static_cast<std::uint32_t>(bpp));
    d.Assign(&s);
    EXPECT_EQ(testing_support::pixel_digest(d), testing_support::pixel_digest(s)) << bpp;
  }
}

TEST(ImageDraw, UnscaledDrawPutsTheTopRowAtTheOrigin) {
  TvexImage img;
  make(img, 2, 2, 24);
  img.ScanLine(0)[2] = 255; // top-left red
  img.ScanLine(1)[3] = 255; // bottom-right blue
  pf::RasterSurface dc(6, 6, 0x808080);
  img.SetOrigin(1, 2);
  img.Draw(dc, 1.0);
  EXPECT_EQ(dc.Pixel(1, 2), pf::rgb(255, 0, 0));
  EXPECT_EQ(dc.Pixel(2, 3), pf::rgb(0, 0, 255));
  EXPECT_EQ(dc.Pixel(0, 0), 0x808080u);
  EXPECT_EQ(img.Height(), 2) << "the header is restored after the bands";
}

TEST(ImageDraw, LargeImagesGoInBandsOfAtMost65520Bytes) {
  TvexImage img;
  make(img, 1000, 100, 24); // 3000 bytes a row: 21 rows a band
  for (int y = 0; y < 100; ++y) img.ScanLine(y)[0] = static_cast<std::uint8_t>(y);
  pf::RasterSurface dc(1000, 100);
  img.Draw(dc, 1.0);
  EXPECT_EQ(dc.transfer_count(), 5);
  for (int y = 0; y < 100; ++y) ASSERT_EQ(dc.Pixel(0, y), pf::rgb(0, 0, std::uint8_t(y))) << y;

  pf::RasterSurface half(500, 50);
  img.Draw(half, 0.5);
  EXPECT_EQ(half.Pixel(0, 4), pf::rgb(0, 0, 7)); // first band: 21 rows onto 11
}

TEST(ImageDraw, TransparentColourIsLeftUndrawn) {
  TvexImage img;
  make(img, 2, 1, 24);
  img.FillColor(0xFFFFFF);
  img.ScanLine(0)[0] = 0; // first pixel: cyan (blue 0 of white)
  img.SetTransparent(true);
  pf::RasterSurface dc(2, 1, 0x123456);
  img.Draw(dc, 1.0);
  EXPECT_EQ(dc.Pixel(0, 0), pf::rgb(255, 255, 0));
  EXPECT_EQ(dc.Pixel(1, 0), 0x123456u);
}

TEST(ImageInfo, SeededFromTheHeaderResolution) {
  TvexImage img;
  img.SetXResolution(11811);
  img.SetYResolution(100);
  EXPECT_EQ(img.ImageInfo()->ResolutionUnit(), RU_METER);
  EXPECT_DOUBLE_EQ(img.ImageInfo()->XResolution(), 11811);
  EXPECT_DOUBLE_EQ(img.ImageInfo()->YResolution(), 100);
}
