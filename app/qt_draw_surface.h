// The drawing surface of the imaging library, painted through a QPainter:
// bitmap rows become QImages, pens and fills become painter calls.
#pragma once

#include "platform/draw_surface.h"

#include <QImage>
#include <QPainter>
#include <QRect>

class QtDrawSurface final : public vex::platform::DrawSurface {
public:
  // `width` x `height` is the surface in the caller's coordinates; `clip`
  // (same coordinates; empty = everything) is the part that will be seen,
  // so transfers that miss it are skipped.
  QtDrawSurface(QPainter& painter, int width, int height, const QRect& clip = QRect());

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  std::uint32_t SetStretchMode(std::uint32_t mode) override;
  void SetBrushOrigin(int x, int y) override;
  vex::platform::PaletteHandle SelectPalette(vex::platform::PaletteHandle palette,
                                             bool background) override;
  unsigned RealizePalette() override;
  void StretchDIBits(const vex::platform::Rect& dest,
                     const vex::platform::DibSource& source) override;
  void SetDIBitsToDevice(int x, int y, const vex::platform::DibSource& source) override;
  void MaskedStretch(const vex::platform::Rect& dest, const vex::platform::DibSource& source,
                     const std::uint8_t* mask_rows) override;
  void SetPen(vex::platform::Colour colour, int width) override;
  void MoveTo(int x, int y) override;
  void LineTo(int x, int y) override;
  void FillRect(const vex::platform::Rect& rect, vex::platform::Colour colour) override;

  // Number of transfers actually painted (those that reached the clip).
  int transfer_count() const { return transfers_; }

private:
  void Transfer(const vex::platform::Rect& dest, const vex::platform::DibSource& source,
                const std::uint8_t* mask);
  bool Visible(const QRect& r) const;

  QPainter& painter_;
  int width_, height_;
  QRect clip_;
  std::uint32_t stretch_mode_ = vex::platform::COLORONCOLOR;
  vex::platform::PaletteHandle palette_ = vex::platform::PaletteHandle::Null;
  QColor pen_;
  int pen_width_ = 1;
  int cur_x_ = 0, cur_y_ = 0;
  int transfers_ = 0;
};

// The picture of a bitmap source as a QImage, top row first. With `mask_rows`
// (1 bit per pixel, rows bottom-up, 1 = leave the destination alone) the
// result carries alpha: masked pixels are fully transparent. A source without
// header, pixels or area gives a null QImage.
QImage DibToQImage(const vex::platform::DibSource& source, const std::uint8_t* mask_rows = nullptr);
