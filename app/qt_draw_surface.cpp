#include "qt_draw_surface.h"

#include <QColor>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace pf = vex::platform;

namespace {

QColor to_qcolor(pf::Colour c) {
  return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                static_cast<int>((c >> 16) & 0xFF));
}

QRect to_qrect(const pf::Rect& r) {
  return QRect(QPoint(r.left, r.top), QSize(r.width(), r.height()));
}

} // namespace

QImage DibToQImage(const pf::DibSource& source, const std::uint8_t* mask_rows) {
  if (!source.info || !source.bits) return QImage();
  const pf::BitmapInfoHeader& h = source.info->bmiHeader;
  const int w = h.biWidth;
  const int rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  if (w <= 0 || rows <= 0) return QImage();
  const bool bottom_up = h.biHeight > 0;
  const std::int64_t line = pf::dib_line_width(w, h.biBitCount);
  const auto* bits = static_cast<const std::uint8_t*>(source.bits);
  auto source_row = [&](int y) { return bits + line * (bottom_up ? rows - 1 - y : y); };

  QImage img;
  switch (h.biBitCount) {
  case 24:
    img = QImage(w, rows, QImage::Format_BGR888);
    if (img.isNull()) return img;
    for (int y = 0; y < rows; ++y)
      std::memcpy(img.scanLine(y), source_row(y), static_cast<std::size_t>(w) * 3);
    break;
  case 32:
    img = QImage(w, rows, QImage::Format_RGB32);
    if (img.isNull()) return img;
    for (int y = 0; y < rows; ++y) {
      const std::uint8_t* in = source_row(y);
      auto* out = reinterpret_cast<QRgb*>(img.scanLine(y));
      for (int x = 0; x < w; ++x, in += 4) out[x] = qRgb(in[2], in[1], in[0]);
    }
    break;
  case 8: {
    img = QImage(w, rows, QImage::Format_Indexed8);
    if (img.isNull()) return img;
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i) {
      const pf::RgbQuad& q = source.info->bmiColors[i];
      table[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    img.setColorTable(table);
    for (int y = 0; y < rows; ++y)
      std::memcpy(img.scanLine(y), source_row(y), static_cast<std::size_t>(w));
    break;
  }
  case 1:
  case 4:
  case 16:
    img = QImage(w, rows, QImage::Format_RGB32);
    if (img.isNull()) return img;
    for (int y = 0; y < rows; ++y) {
      auto* out = reinterpret_cast<QRgb*>(img.scanLine(y));
      for (int x = 0; x < w; ++x) {
        const pf::Colour c = pf::dib_pixel(source, x, y);
        out[x] = qRgb(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                      static_cast<int>((c >> 16) & 0xFF));
      }
    }
    break;
  default:
    return QImage();
  }

  if (mask_rows) {
    img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return img;
    const std::int64_t mask_line = pf::dib_line_width(w, 1);
    for (int y = 0; y < rows; ++y) {
      // The mask is always bottom-up.
      const std::uint8_t* m = mask_rows + mask_line * (rows - 1 - y);
      auto* out = reinterpret_cast<QRgb*>(img.scanLine(y));
      for (int x = 0; x < w; ++x)
        if ((m[x >> 3] >> (7 - (x & 7))) & 1) out[x] = 0;
    }
  }
  return img;
}

QtDrawSurface::QtDrawSurface(QPainter& painter, int width, int height, const QRect& clip)
    : painter_(painter), width_(width), height_(height), clip_(clip), pen_(Qt::black) {}

std::uint32_t QtDrawSurface::SetStretchMode(std::uint32_t mode) {
  return std::exchange(stretch_mode_, mode);
}

void QtDrawSurface::SetBrushOrigin(int x, int y) {
  painter_.setBrushOrigin(x, y);
}

// Qt paints in true colour: a palette only has to be remembered.
pf::PaletteHandle QtDrawSurface::SelectPalette(pf::PaletteHandle palette, bool) {
  return std::exchange(palette_, palette);
}

unsigned QtDrawSurface::RealizePalette() {
  return 0;
}

bool QtDrawSurface::Visible(const QRect& r) const {
  return clip_.isEmpty() || clip_.intersects(r);
}

void QtDrawSurface::Transfer(const pf::Rect& dest, const pf::DibSource& source,
                             const std::uint8_t* mask) {
  const QRect target = to_qrect(dest).normalized();
  if (target.isEmpty() || !Visible(target)) return;
  QImage img = DibToQImage(source, mask);
  if (img.isNull()) return;
  // A negative width or height mirrors the picture, as on the platform.
  if (dest.width() < 0 || dest.height() < 0)
    img = img.mirrored(dest.width() < 0, dest.height() < 0);
  ++transfers_;
  painter_.save();
  painter_.setRenderHint(QPainter::SmoothPixmapTransform, stretch_mode_ == pf::HALFTONE);
  if (target.size() == img.size())
    painter_.drawImage(target.topLeft(), img);
  else
    painter_.drawImage(target, img);
  painter_.restore();
}

void QtDrawSurface::StretchDIBits(const pf::Rect& dest, const pf::DibSource& source) {
  Transfer(dest, source, nullptr);
}

void QtDrawSurface::SetDIBitsToDevice(int x, int y, const pf::DibSource& source) {
  if (!source.info) return;
  const pf::BitmapInfoHeader& h = source.info->bmiHeader;
  const int rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  Transfer(pf::Rect{x, y, x + h.biWidth, y + rows}, source, nullptr);
}

void QtDrawSurface::MaskedStretch(const pf::Rect& dest, const pf::DibSource& source,
                                  const std::uint8_t* mask_rows) {
  Transfer(dest, source, mask_rows);
}

void QtDrawSurface::SetPen(pf::Colour colour, int width) {
  pen_ = to_qcolor(colour);
  pen_width_ = width < 1 ? 1 : width;
}

void QtDrawSurface::MoveTo(int x, int y) {
  cur_x_ = x;
  cur_y_ = y;
}

// Lines leave out their end point, so that joined lines meet without
// overlapping; straight ones become one rectangle, others go pixel by pixel.
void QtDrawSurface::LineTo(int x, int y) {
  const int x0 = cur_x_, y0 = cur_y_;
  cur_x_ = x;
  cur_y_ = y;
  if (x0 == x && y0 == y) return;
  if (y0 == y) {
    const int left = x0 < x ? x0 : x + 1;
    painter_.fillRect(QRect(left, y0, std::abs(x - x0), pen_width_), pen_);
    return;
  }
  if (x0 == x) {
    const int top = y0 < y ? y0 : y + 1;
    painter_.fillRect(QRect(x0, top, pen_width_, std::abs(y - y0)), pen_);
    return;
  }
  int px = x0, py = y0;
  const int dx = std::abs(x - x0), sx = x0 < x ? 1 : -1;
  const int dy = -std::abs(y - y0), sy = y0 < y ? 1 : -1;
  int err = dx + dy;
  while (!(px == x && py == y)) {
    painter_.fillRect(QRect(px, py, 1, pen_width_), pen_);
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      px += sx;
    }
    if (e2 <= dx) {
      err += dx;
      py += sy;
    }
  }
}

void QtDrawSurface::FillRect(const pf::Rect& rect, pf::Colour colour) {
  const QRect r = to_qrect(rect);
  if (r.isEmpty()) return;
  painter_.fillRect(r, to_qcolor(colour));
}
