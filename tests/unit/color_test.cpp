#include "vexImageColor.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using testing_support::make_random_image;

namespace {

std::vector<std::uint8_t> all_bytes(const TvexImage& image) {
  const std::size_t n = static_cast<std::size_t>(image.LineWidth()) * std::abs(image.Height());
  return {image.Bits(), image.Bits() + n};
}

void invert_in_place(TvexImage& image, TvexErrorCode expected = EC_OK) {
  TvexImageColor color;
  color.SetSourceImage(0, &image);
  color.SetResultImage(&image);
  color.Invert();
  EXPECT_EQ(color.Error(), expected);
}

} // namespace

TEST(ColorInvert, ComplementsEveryByteOfDirectFormats) {
  struct Case {
    int w, h, bits;
  } cases[] = {{7, 5, 24}, {5, 3, 32}, {13, 4, 8}, {9, 2, 4}, {1, 1, 1}, {33, 3, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    TvexImage image;
    make_random_image(image, c.w, c.h, c.bits, 11);
    if (c.bits <= 8) {
      // A grey colour table makes the image a grey format (bytes complemented).
      TvexImage::LogPalette pal;
      pal.palNumEntries = static_cast<std::uint16_t>(1 << c.bits);
      for (int i = 0; i < pal.palNumEntries; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / (pal.palNumEntries - 1));
        pal.palPalEntry[i] = {v, v, v, 0};
      }
      image.SetPaletteEntries(&pal);
    }
    const auto before = all_bytes(image);
    invert_in_place(image);
    const auto after = all_bytes(image);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i)
      ASSERT_EQ(after[i], static_cast<std::uint8_t>(~before[i])) << i;
    invert_in_place(image);
    EXPECT_EQ(all_bytes(image), before);
  }
}

TEST(ColorInvert, OneBitRowIsInvertedCompletelyAndNothingElse) {
  for (int w = 1; w <= 32; ++w) {
    TvexImage image;
    image.SetWidth(w);
    image.SetHeight(1);
    image.SetBitCount(1);
    ASSERT_EQ(image.LineWidth(), 4);
    invert_in_place(image);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(image.Bits()[i], 0xFF) << "width " << w;
  }
}

TEST(ColorInvert, PaletteImagesKeepIndicesAndComplementTheTable) {
  for (int bits : {4, 8}) {
    TvexImage image;
    make_random_image(image, 6, 4, bits, 5);
    const TvexImageFormat format = image.ImageFormat();
    ASSERT_EQ(format, bits == 4 ? IF_PAL4 : IF_PAL8);
    const auto pixels = all_bytes(image);
    TvexImage::LogPalette before;
    const int count = image.GetPaletteEntries(&before);
    ASSERT_EQ(count, 1 << bits);
    invert_in_place(image);
    EXPECT_EQ(all_bytes(image), pixels);
    TvexImage::LogPalette after;
    ASSERT_EQ(image.GetPaletteEntries(&after), count);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(after.palPalEntry[i].peRed, 255 - before.palPalEntry[i].peRed);
      EXPECT_EQ(after.palPalEntry[i].peGreen, 255 - before.palPalEntry[i].peGreen);
      EXPECT_EQ(after.palPalEntry[i].peBlue, 255 - before.palPalEntry[i].peBlue);
    }
  }
}

TEST(ColorInvert, RefusesFormatsWithoutANegative) {
  for (TvexImageFormat format : {IF_RGBA32, IF_RGB16, IF_RGB15}) {
    TvexImage image;
    image.SetWidth(3);
    image.SetHeight(2);
    image.SetImageFormat(format);
    ASSERT_NE(image.Bits(), nullptr);
    image.FillBytes(0x12);
    invert_in_place(image, EC_IMAGEFORMAT);
    EXPECT_EQ(image.Bits()[0], 0x12);
  }
}

TEST(ColorInvert, MissingImagesEndSilently) {
  TvexImageColor color;
  color.Invert();
  EXPECT_EQ(color.Error(), EC_OK);
  EXPECT_EQ(color.ResultImage(), nullptr);
  TvexImage empty;
  color.SetSourceImage(0, &empty);
  color.SetResultImage(&empty);
  color.Invert();
  EXPECT_EQ(color.Error(), EC_OK);
}

TEST(ColorInvert, CreatesAResultWhenThereIsNone) {
  TvexImage source;
  make_random_image(source, 5, 4, 24, 3);
  source.SetXResolution(2835);
  const auto before = all_bytes(source);
  TvexImageColor color;
  color.SetSourceImage(0, &source);
  color.Invert();
  ASSERT_EQ(color.Error(), EC_OK);
  TvexImage* result = color.ResultImage();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Width(), 5);
  EXPECT_EQ(result->Height(), 4);
  EXPECT_EQ(result->XResolution(), 2835);
  EXPECT_EQ(all_bytes(source), before);
  const auto inverted = all_bytes(*result);
  for (std::size_t i = 0; i < before.size(); ++i)
    ASSERT_EQ(inverted[i], static_cast<std::uint8_t>(~before[i]));
}

TEST(ColorInvert, ResultOfAnotherSizeIsRefusedNotOverrun) {
  TvexImage source, result;
  make_random_image(source, 40, 30, 24, 1);
  make_random_image(result, 4, 3, 24, 2);
  const auto kept = all_bytes(result);
  TvexImageColor color;
  color.SetSourceImage(0, &source);
  color.SetResultImage(&result);
  color.Invert();
  EXPECT_EQ(color.Error(), EC_DIMENSIONS);
  EXPECT_EQ(all_bytes(result), kept);
}

TEST(ColorNumeric, MinAndLog10) {
  EXPECT_EQ(Min(-3, 2), -3);
  EXPECT_EQ(Min(7, 7), 7);
  EXPECT_EQ(Min(INT32_MIN, INT32_MAX), INT32_MIN);
  EXPECT_EQ(Log10(-5.0), 0.0);
  EXPECT_EQ(Log10(0.0), 0.0);
  EXPECT_EQ(Log10(1.0), 0.0);
  EXPECT_EQ(Log10(1000.0), 3.0);
  EXPECT_EQ(Log10(1e-3), -3.0);
  EXPECT_DOUBLE_EQ(Log10(2.0), 0.30102999566398120);
  EXPECT_EQ(Log10(std::nan("")), 0.0);
}
