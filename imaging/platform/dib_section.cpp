#include "platform/dib_section.h"

#include "platform/large_memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vex::platform {

namespace {

thread_local std::uint32_t t_last_error = 0;

struct Section {
  BitmapInfoHeader header;
  RgbQuad colors[256];
  unsigned color_count = 0;
  std::int32_t line_width = 0;
  std::uint8_t* bits = nullptr;
  std::size_t bytes = 0;
  ~Section() { FreeLarge(bits, bytes); }
};

struct Registry {
  std::mutex mutex;
  std::uint64_t next = 1;
  std::unordered_map<std::uint64_t, std::unique_ptr<Section>> sections;
};

Registry& registry() {
  static Registry r;
  return r;
}

unsigned table_size(const BitmapInfoHeader& h) {
  if (h.biBitCount <= 8) return 1u << h.biBitCount;
  return 0;
}

} // namespace

std::uint32_t last_error() {
  return t_last_error;
}
void set_last_error(std::uint32_t code) {
  t_last_error = code;
}

DibHandle CreateDIBSection(const BitmapInfo* info, void** bits) {
  if (bits) *bits = nullptr;
  if (!info) {
    t_last_error = kErrorInvalidParameter;
    return DibHandle::Null;
  }
  const BitmapInfoHeader& h = info->bmiHeader;
  const std::uint16_t bpp = h.biBitCount;
  const bool depth_ok = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
  const bool comp_ok =
      h.biCompression == BI_RGB || (h.biCompression == BI_BITFIELDS && (bpp == 16 || bpp == 32));
  if (!depth_ok || !comp_ok || h.biWidth <= 0 || h.biHeight == 0 || h.biPlanes != 1) {
    t_last_error = kErrorInvalidParameter;
    return DibHandle::Null;
  }
  // All size arithmetic in 64 bits: width and height fit in 32 bits, so the
  // products below cannot wrap before the cap is checked.
  const std::int64_t rows = h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight;
  const std::int64_t line = dib_line_width(h.biWidth, bpp);
  if (line > kMaxSectionBytes || rows > kMaxSectionBytes / line) {
    t_last_error = kErrorNotEnoughMemory;
    return DibHandle::Null;
  }
  const std::int64_t total = line * rows;
  auto section = std::make_unique<Section>();
  // A new section is filled row by row right away (a decoder writes every
  // pixel once): large-block memory spares most of its page faults.
  section->bits = static_cast<std::uint8_t*>(AllocateLarge(static_cast<std::size_t>(total), true));
  if (!section->bits) {
    t_last_error = kErrorNotEnoughMemory;
    return DibHandle::Null;
  }
  section->bytes = static_cast<std::size_t>(total);
  section->header = h;
  section->header.biSizeImage = static_cast<std::uint32_t>(total);
  section->line_width = static_cast<std::int32_t>(line);
  section->color_count = table_size(h);
  std::memcpy(section->colors, info->bmiColors, sizeof(RgbQuad) * 256);
  if (section->color_count == 0)
    std::fill(std::begin(section->colors), std::end(section->colors), RgbQuad{});

  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const std::uint64_t id = r.next++;
  if (bits) *bits = section->bits;
  r.sections.emplace(id, std::move(section));
  return static_cast<DibHandle>(id);
}

bool GetDIBSection(DibHandle handle, DibSection* out) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.sections.find(static_cast<std::uint64_t>(handle));
  if (it == r.sections.end() || !out) {
    t_last_error = kErrorInvalidHandle;
    return false;
  }
  const Section& s = *it->second;
  *out = DibSection{};
  out->bmType = 0;
  out->bmWidth = s.header.biWidth;
  out->bmHeight = s.header.biHeight < 0 ? -s.header.biHeight : s.header.biHeight;
  out->bmWidthBytes = s.line_width;
  out->bmPlanes = 1;
  out->bmBitsPixel = s.header.biBitCount;
  out->bmBits = s.bits;
  out->dsBmih = s.header;
  out->dsBmih.biClrUsed = s.header.biClrUsed;
  if (s.header.biBitCount == 16) {
    out->dsBitfields[0] = 0x7C00;
    out->dsBitfields[1] = 0x03E0;
    out->dsBitfields[2] = 0x001F;
  } else if (s.header.biBitCount == 24 || s.header.biBitCount == 32) {
    out->dsBitfields[0] = 0xFF0000;
    out->dsBitfields[1] = 0x00FF00;
    out->dsBitfields[2] = 0x0000FF;
  }
  out->dshSection = 0;
  out->dsOffset = 0;
  return true;
}

bool DeleteDIBSection(DibHandle handle) {
  Registry& r = registry();
  std::unique_ptr<Section> doomed;
  {
    std::lock_guard lock(r.mutex);
    auto it = r.sections.find(static_cast<std::uint64_t>(handle));
    if (it == r.sections.end()) {
      t_last_error = kErrorInvalidHandle;
      return false;
    }
    doomed = std::move(it->second);
    r.sections.erase(it);
  }
  return true;
}

unsigned GetDIBColorTable(DibHandle handle, unsigned start, unsigned count, RgbQuad* colors) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.sections.find(static_cast<std::uint64_t>(handle));
  if (it == r.sections.end() || !colors) return 0;
  const Section& s = *it->second;
  if (start >= s.color_count) return 0;
  const unsigned n = std::min(count, s.color_count - start);
  std::memcpy(colors, s.colors + start, n * sizeof(RgbQuad));
  return n;
}

unsigned SetDIBColorTable(DibHandle handle, unsigned start, unsigned count, const RgbQuad* colors) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.sections.find(static_cast<std::uint64_t>(handle));
  if (it == r.sections.end() || !colors) return 0;
  Section& s = *it->second;
  if (start >= s.color_count) return 0;
  const unsigned n = std::min(count, s.color_count - start);
  std::memcpy(s.colors + start, colors, n * sizeof(RgbQuad));
  return n;
}

std::size_t live_section_count() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.sections.size();
}

} // namespace vex::platform
