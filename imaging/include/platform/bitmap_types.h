// The records of the device-independent bitmap: the 40-byte info header, the
// colour-table entry and the logical palette entry, laid out as in files.
#pragma once

#include <cstdint>

namespace vex::platform {

#pragma pack(push, 1)
struct BitmapInfoHeader {
  std::uint32_t biSize = 40;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 1;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

// Colour-table entry: blue, green, red, reserved.
struct RgbQuad {
  std::uint8_t rgbBlue = 0;
  std::uint8_t rgbGreen = 0;
  std::uint8_t rgbRed = 0;
  std::uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

// Header followed by a full colour table.
struct BitmapInfo {
  BitmapInfoHeader bmiHeader;
  RgbQuad bmiColors[256];
};
static_assert(sizeof(BitmapInfo) == 1064);

// Logical palette entry: red, green, blue, flags.
struct PaletteEntry {
  std::uint8_t peRed = 0;
  std::uint8_t peGreen = 0;
  std::uint8_t peBlue = 0;
  std::uint8_t peFlags = 0;
};
static_assert(sizeof(PaletteEntry) == 4);

// Logical palette: version 0x300, entry count, up to 256 entries.
struct LogPalette {
  std::uint16_t palVersion = 0x300;
  std::uint16_t palNumEntries = 0;
  PaletteEntry palPalEntry[256];
};
#pragma pack(pop)

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;

// Bytes per DIB row: rows are padded to a multiple of 4 bytes. Computed in
// 64 bits so that no width and bit count can wrap it.
constexpr std::int64_t dib_line_width(std::int64_t width, std::int64_t bit_count) {
  return ((bit_count * width + 31) / 32) * 4;
}

} // namespace vex::platform
