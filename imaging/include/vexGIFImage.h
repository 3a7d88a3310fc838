// Graphics Interchange files (format number 0).
#pragma once

#include "vexImageFile.h"

#include <cstdint>

// Reads the first image of a GIF87a or GIF89a file as a 24-bit picture of
// the logical screen: the image's pixels (local colour table, else the
// global one, else a grey ramp) placed at its position, interlaced rows put
// in order. Pixels of the transparent index show the background colour
// (white unless set); the screen the image leaves uncovered shows the
// file's background index, or the background colour when the image has a
// transparent index. Codes past the LZW table keep what was decoded with
// Error 13, data cut short with 10. GIF is not written: a save is refused
// with Error 9 and creates no file.
class TvexGIFImage : public TvexImageFile {
public:
  TvexGIFImage();
  ~TvexGIFImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  bool CanWrite() const override { return false; }

  void SetBackground(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    BackRed = red;
    BackGreen = green;
    BackBlue = blue;
  }
  std::uint16_t GetScreenWidth() const { return ScreenWidth; }
  std::uint16_t GetScreenHeight() const { return ScreenHeight; }

protected:
  void DecodeImage() override;
  void EncodeImage() override;

  std::uint8_t BackRed = 255, BackGreen = 255, BackBlue = 255;
  std::uint16_t ScreenWidth = 0, ScreenHeight = 0;
};
