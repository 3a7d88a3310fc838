#include "orientation.h"

#include "vexImage.h"

#include "platform/dib_section.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace pf = vex::platform;

bool SwapsSides(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

void UprightSource(int orientation, std::int32_t w, std::int32_t h, std::int32_t x, std::int32_t y,
                   std::int32_t& sx, std::int32_t& sy) {
  switch (orientation) {
  case 2: // mirrored left to right
    sx = w - 1 - x, sy = y;
    break;
  case 3: // turned half round
    sx = w - 1 - x, sy = h - 1 - y;
    break;
  case 4: // mirrored top to bottom
    sx = x, sy = h - 1 - y;
    break;
  case 5: // mirrored along the main diagonal
    sx = y, sy = x;
    break;
  case 6: // stored a quarter turn anticlockwise
    sx = y, sy = h - 1 - x;
    break;
  case 7: // mirrored along the other diagonal
    sx = w - 1 - y, sy = h - 1 - x;
    break;
  case 8: // stored a quarter turn clockwise
    sx = w - 1 - y, sy = x;
    break;
  default:
    sx = x, sy = y;
    break;
  }
}

bool TurnUpright(TvexImage& image, int orientation) {
  const std::int32_t bits = image.BitCount();
  if (orientation < 2 || orientation > 8 || !image.Bits() ||
      (bits != 8 && bits != 24 && bits != 32))
    return true;
  const std::int32_t w = image.Width(), h = std::abs(image.Height());
  const bool swap = SwapsSides(orientation);
  const std::int32_t uw = swap ? h : w, uh = swap ? w : h;

  auto info = std::make_unique<pf::BitmapInfo>(*image.Header());
  pf::BitmapInfoHeader& hd = info->bmiHeader;
  hd.biSize = 40;
  hd.biWidth = uw;
  hd.biHeight = uh;
  hd.biCompression = pf::BI_RGB;
  hd.biSizeImage = 0;
  if (swap) std::swap(hd.biXPelsPerMeter, hd.biYPelsPerMeter);
  if (bits == 8) pf::GetDIBColorTable(image.GetDibHandle(), 0, 256, info->bmiColors);
  void* out_bits = nullptr;
  const DibHandle turned = pf::CreateDIBSection(info.get(), &out_bits);
  if (pf::is_null(turned)) return false;

  const std::size_t px = static_cast<std::size_t>(bits / 8);
  const std::int64_t line = pf::dib_line_width(uw, bits);
  auto* dst_bits = static_cast<std::uint8_t*>(out_bits);
  for (std::int32_t y = 0; y < uh; ++y) {
    std::uint8_t* dst = dst_bits + static_cast<std::int64_t>(uh - 1 - y) * line;
    if (!swap) {
      // Whole rows: the source row is fixed, only the column order may turn.
      std::int32_t sx = 0, sy = 0;
      UprightSource(orientation, w, h, 0, y, sx, sy);
      const std::uint8_t* src = image.ScanLine(sy);
      if (sx == 0) {
        std::memcpy(dst, src, static_cast<std::size_t>(w) * px);
        continue;
      }
      for (std::int32_t x = 0; x < uw; ++x)
        std::memcpy(dst + x * px, src + static_cast<std::size_t>(w - 1 - x) * px, px);
      continue;
    }
    for (std::int32_t x = 0; x < uw; ++x) {
      std::int32_t sx = 0, sy = 0;
      UprightSource(orientation, w, h, x, y, sx, sy);
      std::memcpy(dst + x * px, image.ScanLine(sy) + static_cast<std::size_t>(sx) * px, px);
    }
  }
  image.SetDibHandle(turned);
  return true;
}
