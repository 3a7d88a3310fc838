// Drawing surface: the device context that TvexImage::Draw and the view
// control paint on. The raster implementation here is what tests draw on;
// the window adds one that paints through Qt.
#pragma once

#include "platform/bitmap_types.h"
#include "platform/palette.h"

#include <cstdint>
#include <vector>

namespace vex::platform {

// Colour as the library passes it: red in the low byte, then green, then blue.
using Colour = std::uint32_t;
inline constexpr Colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return Colour{r} | (Colour{g} << 8) | (Colour{b} << 16);
}

// Stretch modes.
inline constexpr std::uint32_t COLORONCOLOR = 3;
inline constexpr std::uint32_t HALFTONE = 4;

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

// A source bitmap for a transfer: its header (height > 0 means rows bottom-up
// in memory, < 0 top-down), its colour table and its pixel rows.
struct DibSource {
  const BitmapInfo* info = nullptr;
  const void* bits = nullptr;
};

class DrawSurface {
public:
  virtual ~DrawSurface() = default;

  virtual int Width() const = 0;
  virtual int Height() const = 0;

  // Returns the previous mode.
  virtual std::uint32_t SetStretchMode(std::uint32_t mode) = 0;
  virtual void SetBrushOrigin(int x, int y) = 0;
  // Returns the palette that was selected before.
  virtual PaletteHandle SelectPalette(PaletteHandle palette, bool background) = 0;
  virtual unsigned RealizePalette() = 0;

  // Draws the whole source, scaled to the destination rectangle.
  virtual void StretchDIBits(const Rect& dest, const DibSource& source) = 0;
  // Draws the whole source unscaled with its top-left corner at (x, y).
  virtual void SetDIBitsToDevice(int x, int y, const DibSource& source) = 0;
  // Draws the source scaled to `dest`, leaving the destination untouched where
  // the 1-bit mask (same size as the source, rows bottom-up) holds 1.
  virtual void MaskedStretch(const Rect& dest, const DibSource& source,
                             const std::uint8_t* mask_rows) = 0;

  virtual void SetPen(Colour colour, int width) = 0;
  virtual void MoveTo(int x, int y) = 0;
  // Draws from the current point to (x, y), excluding the end point.
  virtual void LineTo(int x, int y) = 0;
  virtual void FillRect(const Rect& rect, Colour colour) = 0;
};

// Colour of the source pixel at column x and picture row y (0 = top), with
// the colour table for indexed depths and 5-5-5 for 16 bits.
Colour dib_pixel(const DibSource& source, int x, int y);

// In-memory raster surface, 0x00BBGGRR per pixel.
class RasterSurface final : public DrawSurface {
public:
  RasterSurface(int width, int height, Colour background = 0);

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  std::uint32_t SetStretchMode(std::uint32_t mode) override;
  void SetBrushOrigin(int x, int y) override;
  PaletteHandle SelectPalette(PaletteHandle palette, bool background) override;
  unsigned RealizePalette() override;
  void StretchDIBits(const Rect& dest, const DibSource& source) override;
  void SetDIBitsToDevice(int x, int y, const DibSource& source) override;
  void MaskedStretch(const Rect& dest, const DibSource& source,
                     const std::uint8_t* mask_rows) override;
  void SetPen(Colour colour, int width) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  void FillRect(const Rect& rect, Colour colour) override;

  Colour Pixel(int x, int y) const;
  std::uint32_t stretch_mode() const { return stretch_mode_; }
  PaletteHandle selected_palette() const { return palette_; }
  int transfer_count() const { return transfers_; }

private:
  void Plot(int x, int y, Colour c);
  void Transfer(const Rect& dest, const DibSource& source, const std::uint8_t* mask);

  int width_, height_;
  std::vector<Colour> pixels_;
  std::uint32_t stretch_mode_ = COLORONCOLOR;
  PaletteHandle palette_ = PaletteHandle::Null;
  Colour pen_ = 0;
  int pen_width_ = 1;
  int cur_x_ = 0, cur_y_ = 0;
  int transfers_ = 0;
};

} // namespace vex::platform
