// Bitmap sections: device-independent bitmaps whose pixel memory the program
// reads and writes directly, behind opaque handles. A handle that is not a
// live section fails every call, so a stale handle is an error, not a crash.
#pragma once

#include "platform/bitmap_types.h"

#include <cstddef>
#include <cstdint>

namespace vex::platform {

enum class DibHandle : std::uint64_t { Null = 0 };
inline bool is_null(DibHandle h) {
  return h == DibHandle::Null;
}

// What a query of a section returns (the platform's section record).
struct DibSection {
  // The bitmap part: type, width, height, bytes per line, planes, bits per pixel, pixels.
  std::int32_t bmType = 0;
  std::int32_t bmWidth = 0;
  std::int32_t bmHeight = 0;
  std::int32_t bmWidthBytes = 0;
  std::uint16_t bmPlanes = 0;
  std::uint16_t bmBitsPixel = 0;
  void* bmBits = nullptr;
  BitmapInfoHeader dsBmih;
  std::uint32_t dsBitfields[3] = {0, 0, 0};
  std::uint64_t dshSection = 0;
  std::uint32_t dsOffset = 0;
};

// Sections whose pixel memory would exceed this are refused, as the platform
// refuses an allocation it cannot make.
inline constexpr std::int64_t kMaxSectionBytes = std::int64_t{1} << 30;

// Platform error numbers recorded with a refused call.
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;

// Creates a zero-filled section from the header and colour table of `info`
// (colour-table entries are colours). Accepts bit counts 1, 4, 8, 16, 24 and
// 32, compression BI_RGB (or BI_BITFIELDS for 16 and 32 bits), a width above
// 0 and a height other than 0. On refusal returns Null, sets *bits to null and
// records the reason for last_error().
DibHandle CreateDIBSection(const BitmapInfo* info, void** bits);

// Fills *out for a live section; false for anything else.
bool GetDIBSection(DibHandle handle, DibSection* out);

// Deletes a live section; false for anything else.
bool DeleteDIBSection(DibHandle handle);

// Colour table of a 1-, 4- or 8-bit section: copies up to `count` entries
// from `start`; returns the number copied (0 for other sections).
unsigned GetDIBColorTable(DibHandle handle, unsigned start, unsigned count, RgbQuad* colors);
unsigned SetDIBColorTable(DibHandle handle, unsigned start, unsigned count, const RgbQuad* colors);

// Number of live sections (for leak checks in tests).
std::size_t live_section_count();

// Error number of the last refused call on this thread.
std::uint32_t last_error();
void set_last_error(std::uint32_t code);

} // namespace vex::platform
