// The one Exif field the reader keeps: the orientation of IFD0 (tag 0x0112),
// which says how the stored pixels are to be turned upright.
#include "jpeg_reader_internal.h"

namespace vex::jpeg {

int ExifOrientation(const std::uint8_t* tiff, std::size_t size) {
  // The segment comes from the file: every offset is checked against its
  // size, and anything that does not add up means "no orientation".
  if (!tiff || size < 8) return 0;
  const bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
  auto u16 = [&](std::size_t at) -> std::uint32_t {
    return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
  };
  auto u32 = [&](std::size_t at) -> std::uint32_t {
    return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
  };
  if (u16(2) != 42) return 0;
  const std::uint64_t ifd = u32(4);
  if (ifd < 8 || ifd + 2 > size) return 0;
  const std::uint32_t count = u16(static_cast<std::size_t>(ifd));
  // An IFD that claims more entries than the segment holds is not trusted at all.
  if (ifd + 2 + 12 * std::uint64_t{count} > size) return 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto at = static_cast<std::size_t>(ifd + 2 + 12 * std::uint64_t{i});
    if (u16(at) != 0x0112) continue;
    // One SHORT, held in the entry itself.
    if (u16(at + 2) != 3 || u32(at + 4) != 1) return 0;
    const std::uint32_t value = u16(at + 8);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
  }
  return 0;
}

} // namespace vex::jpeg
