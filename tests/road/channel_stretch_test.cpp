// Channel stretch: rounding of the linear map, untouched padding and depths.
#include "channel_stretch.h"

#include "test_support.h"
#include "vexImage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A 24-bit image of one row whose blue channel holds `blue`; green and red
// span 0..255 so they stay as they are.
void one_row(TvexImage& img, const std::vector<int>& blue) {
  img.SetWidth(static_cast<int>(blue.size()));
  img.SetHeight(1);
  img.SetBitCount(24);
  std::uint8_t* p = img.ScanLine(0);
  for (std::size_t i = 0; i < blue.size(); ++i) {
    p[3 * i] = static_cast<std::uint8_t>(blue[i]);
    p[3 * i + 1] = i == 0 ? 0 : 255;
    p[3 * i + 2] = i == 0 ? 255 : 0;
  }
}

std::vector<int> blue_of(TvexImage& img) {
  std::vector<int> out;
  for (int x = 0; x < img.Width(); ++x) out.push_back(img.ScanLine(0)[3 * x]);
  return out;
}

} // namespace

TEST(StretchChannels, RoundsHalfToEven) {
  TvexImage img;
  one_row(img, {20, 15, 11, 13, 10}); // factor 25.5; the first pixel holds the maximum
  StretchChannels(img);
  EXPECT_EQ(blue_of(img), (std::vector<int>{255, 128, 26, 76, 0}));

  one_row(img, {0, 1, 2}); // factor 127.5
  StretchChannels(img);
  EXPECT_EQ(blue_of(img), (std::vector<int>{0, 128, 255}));
}

TEST(StretchChannels, FullRangeImageIsUnchanged) {
  TvexImage img;
  testing_support::make_random_image(img, 64, 64, 24, 7);
  img.ScanLine(3)[0] = 0;
  img.ScanLine(3)[1] = 0;
  img.ScanLine(3)[2] = 0;
  img.ScanLine(5)[6] = 255;
  img.ScanLine(5)[7] = 255;
  img.ScanLine(5)[8] = 255;
  const auto before = testing_support::pixel_digest(img);
  StretchChannels(img);
  EXPECT_EQ(testing_support::pixel_digest(img), before);
}

TEST(StretchChannels, ChannelsAreIndependentAndPaddingIsUntouched) {
  TvexImage img;
  img.SetWidth(5); // 15 bytes of pixels and 1 of padding per row
  img.SetHeight(2);
  img.SetBitCount(24);
  for (int y = 0; y < 2; ++y) {
    std::uint8_t* p = img.ScanLine(y);
    for (int x = 0; x < 5; ++x) {
      p[3 * x] = static_cast<std::uint8_t>(100 + x);    // blue 100..104
      p[3 * x + 1] = static_cast<std::uint8_t>(50 * y); // green 0 or 50
      p[3 * x + 2] = 77;                                // red constant
    }
    p[15] = 0xEE; // padding: larger than any pixel, must be neither read nor written
  }
  StretchChannels(img);
  const std::uint8_t* top = img.ScanLine(0);
  const std::uint8_t* bottom = img.ScanLine(1);
  EXPECT_EQ(top[0], 0);
  EXPECT_EQ(top[3], 64);  // 1 * 63.75 = 63.75
  EXPECT_EQ(top[6], 128); // 127.5 -> 128
  EXPECT_EQ(top[12], 255);
  EXPECT_EQ(top[1], 0);
  EXPECT_EQ(bottom[1], 255);
  EXPECT_EQ(top[2], 77) << "a single-valued channel is left as it is";
  EXPECT_EQ(top[15], 0xEE);
  EXPECT_EQ(bottom[15], 0xEE);
}

TEST(StretchChannels, OnePixelImageDoesNotFail) {
  TvexImage img;
  one_row(img, {42});
  StretchChannels(img);
  EXPECT_EQ(blue_of(img), std::vector<int>{42});
}

TEST(StretchChannels, OtherDepthsAndEmptyImagesAreLeftAlone) {
  for (int bpp : {1, 8, 16, 32}) {
    TvexImage img;
    testing_support::make_random_image(img, 9, 4, bpp, 3);
    const auto before = testing_support::pixel_digest(img);
    StretchChannels(img);
    EXPECT_EQ(testing_support::pixel_digest(img), before) << bpp;
  }
  TvexImage empty;
  StretchChannels(empty);
  TvexImage no_height;
  no_height.SetWidth(5);
  no_height.SetBitCount(24);
  StretchChannels(no_height);
  EXPECT_EQ(no_height.Bits(), nullptr);
}
