// Logical palettes behind opaque handles.
#pragma once

#include "platform/bitmap_types.h"

#include <cstddef>
#include <cstdint>

namespace vex::platform {

enum class PaletteHandle : std::uint64_t { Null = 0 };
inline bool is_null(PaletteHandle h) {
  return h == PaletteHandle::Null;
}

// Makes a palette of palNumEntries (1..256) entries; Null otherwise.
PaletteHandle CreatePalette(const LogPalette* palette);
// Copies up to `count` entries from `start`; with null `entries` returns the
// palette's entry count. 0 for a handle that is not a live palette.
unsigned GetPaletteEntries(PaletteHandle handle, unsigned start, unsigned count,
                           PaletteEntry* entries);
bool DeletePalette(PaletteHandle handle);
std::size_t live_palette_count();

} // namespace vex::platform
