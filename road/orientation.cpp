#include "orientation.h"

#include "vexImage.h"

#include "platform/dib_section.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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

namespace {

// Writes the upright picture, `px` bytes a pixel, into the rows of `dst`
// (bottom-up, `line` bytes each).
template <std::size_t px>
void Turn(const TvexImage& image, int orientation, std::int32_t w, std::int32_t h,
          std::uint8_t* dst, std::int64_t line) {
  const bool swap = SwapsSides(orientation);
  const std::int32_t uw = swap ? h : w, uh = swap ? w : h;
  if (!swap) {
    // Whole rows: the source row is fixed, only the column order may turn.
    for (std::int32_t y = 0; y < uh; ++y) {
      std::int32_t sx = 0, sy = 0;
      UprightSource(orientation, w, h, 0, y, sx, sy);
      const std::uint8_t* src = image.ScanLine(sy);
      std::uint8_t* out = dst + static_cast<std::int64_t>(uh - 1 - y) * line;
      if (sx == 0) {
        std::memcpy(out, src, static_cast<std::size_t>(w) * px);
        continue;
      }
      for (std::int32_t x = 0; x < uw; ++x)
        std::memcpy(out + x * px, src + static_cast<std::size_t>(w - 1 - x) * px, px);
    }
    return;
  }
  // Rows become columns: an upright row y is the stored column sx (fixed per
  // row) read across the stored rows, in tiles so that both sides stay in cache.
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(h));
  for (std::int32_t sy = 0; sy < h; ++sy) rows[static_cast<std::size_t>(sy)] = image.ScanLine(sy);
  constexpr std::int32_t kTile = 64;
  for (std::int32_t ty = 0; ty < uh; ty += kTile)
    for (std::int32_t tx = 0; tx < uw; tx += kTile)
      for (std::int32_t y = ty; y < std::min(ty + kTile, uh); ++y) {
        std::int32_t sx = 0, sy0 = 0, sy1 = 0;
        UprightSource(orientation, w, h, tx, y, sx, sy0);
        UprightSource(orientation, w, h, tx + 1, y, sx, sy1);
        const std::int32_t step = sy1 - sy0; // +1 or -1 as x goes right
        std::uint8_t* out = dst + static_cast<std::int64_t>(uh - 1 - y) * line;
        const std::size_t col = static_cast<std::size_t>(sx) * px;
        std::int32_t sy = sy0;
        for (std::int32_t x = tx; x < std::min(tx + kTile, uw); ++x, sy += step)
          std::memcpy(out + static_cast<std::size_t>(x) * px,
                      rows[static_cast<std::size_t>(sy)] + col, px);
      }
}

} // namespace

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

  const std::int64_t line = pf::dib_line_width(uw, bits);
  auto* dst_bits = static_cast<std::uint8_t*>(out_bits);
  switch (bits) {
  case 8:
    Turn<1>(image, orientation, w, h, dst_bits, line);
    break;
  case 24:
    Turn<3>(image, orientation, w, h, dst_bits, line);
    break;
  default:
    Turn<4>(image, orientation, w, h, dst_bits, line);
    break;
  }
  image.SetDibHandle(turned);
  return true;
}
