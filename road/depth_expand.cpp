#include "depth_expand.h"

#include "vexImage.h"

#include "platform/dib_section.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool GreyRamp(const vex::platform::RgbQuad* table, unsigned count) {
  if (count != 256) return false;
  bool up = true, down = true;
  for (unsigned i = 0; i < 256; ++i) {
    const vex::platform::RgbQuad& q = table[i];
    if (q.rgbRed != q.rgbGreen || q.rgbGreen != q.rgbBlue) return false;
    up = up && q.rgbRed == i;
    down = down && q.rgbRed == 255 - i;
  }
  return up || down;
}

// A 5- or 6-bit sample over 0..255, rounded (no ties: the divisor is odd).
std::uint8_t Widen(unsigned v, unsigned largest) {
  return static_cast<std::uint8_t>((v * 510 + largest) / (2 * largest));
}

} // namespace

bool ExpandForMail(TvexImage& image, bool colour_resize) {
  const std::int32_t bits = image.BitCount();
  const DibHandle handle = image.GetDibHandle();
  if (vex::platform::is_null(handle) || !image.Bits()) return true;
  vex::platform::RgbQuad table[256] = {};
  unsigned count = 0;
  if (bits <= 8) count = vex::platform::GetDIBColorTable(handle, 0, 256, table);
  if (bits == 8 && (!colour_resize || GreyRamp(table, count))) return true;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16) return true;
  const bool green6 = bits == 16 &&
                      image.Section().dsBmih.biCompression == vex::platform::BI_BITFIELDS &&
                      image.Section().dsBitfields[1] == 0x07E0;

  const std::int32_t width = image.Width(), height = std::abs(image.Height());
  TvexImage wide;
  wide.SetWidth(width);
  wide.SetHeight(height);
  wide.SetBitCount(24);
  const DibHandle made = wide.CreateDib();
  if (vex::platform::is_null(made) || !wide.Bits()) return false;
  for (std::int32_t y = 0; y < height; ++y) {
    const std::uint8_t* src = image.ScanLine(y);
    std::uint8_t* dst = wide.ScanLine(y);
    for (std::int32_t x = 0; x < width; ++x, dst += 3) {
      if (bits == 16) {
        const unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
        const unsigned g = green6 ? (v >> 5) & 63 : (v >> 5) & 31;
        dst[0] = Widen(v & 31, 31);
        dst[1] = Widen(g, green6 ? 63 : 31);
        dst[2] = Widen(green6 ? v >> 11 : (v >> 10) & 31, 31);
        continue;
      }
      const unsigned index = bits == 8   ? src[x]
                             : bits == 4 ? (src[x >> 1] >> ((x & 1) ? 0 : 4)) & 15u
                                         : (src[x >> 3] >> (7 - (x & 7))) & 1u;
      // An index past the table shows black.
      const vex::platform::RgbQuad q = index < count ? table[index] : vex::platform::RgbQuad{};
      dst[0] = q.rgbBlue;
      dst[1] = q.rgbGreen;
      dst[2] = q.rgbRed;
    }
  }
  wide.SetXResolution(image.XResolution());
  wide.SetYResolution(image.YResolution());
  image.SetDibHandle(wide.ReleaseHandle());
  return true;
}
