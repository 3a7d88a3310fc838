#include "platform/palette.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vex::platform {

namespace {
struct Registry {
  std::mutex mutex;
  std::uint64_t next = 1;
  std::unordered_map<std::uint64_t, std::vector<PaletteEntry>> palettes;
};
Registry& registry() {
  static Registry r;
  return r;
}
} // namespace

PaletteHandle CreatePalette(const LogPalette* palette) {
  if (!palette || palette->palNumEntries == 0 || palette->palNumEntries > 256)
    return PaletteHandle::Null;
  std::vector<PaletteEntry> entries(palette->palPalEntry,
                                    palette->palPalEntry + palette->palNumEntries);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const std::uint64_t id = r.next++;
  r.palettes.emplace(id, std::move(entries));
  return static_cast<PaletteHandle>(id);
}

unsigned GetPaletteEntries(PaletteHandle handle, unsigned start, unsigned count,
                           PaletteEntry* entries) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.palettes.find(static_cast<std::uint64_t>(handle));
  if (it == r.palettes.end()) return 0;
  const auto& p = it->second;
  if (!entries) return static_cast<unsigned>(p.size());
  if (start >= p.size()) return 0;
  const unsigned n = std::min<unsigned>(count, static_cast<unsigned>(p.size()) - start);
  std::copy_n(p.begin() + start, n, entries);
  return n;
}

bool DeletePalette(PaletteHandle handle) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.palettes.erase(static_cast<std::uint64_t>(handle)) == 1;
}

std::size_t live_palette_count() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.palettes.size();
}

} // namespace vex::platform
