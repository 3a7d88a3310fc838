// seeds: jpeg jpeg-progressive
// The JPEG reader (sequential and progressive) on arbitrary bytes from memory.
// A bitmap it returns must have the frame's size and depth, whatever code
// comes with it.
#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Keeps a replay fast: any frame header in the data that declares more than
// 1 megapixel makes the input be skipped (the refusal of huge bitmaps is
// tested elsewhere).
bool too_big(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 9 < size; ++i) {
    if (data[i] != 0xFF || data[i + 1] < 0xC0 || data[i + 1] > 0xC2) continue;
    const std::int64_t h = (data[i + 5] << 8) | data[i + 6];
    const std::int64_t w = (data[i + 7] << 8) | data[i + 8];
    if (w * h > 1024 * 1024) return true;
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (too_big(data, size)) return 0;
  vex::platform::MemoryStream stream(data, size);
  TvexJPEGImage reader;
  TvexImageInfo info;
  reader.SetImageInfo(&info);
  const DibHandle dib = reader.LoadFromStream(stream);
  // Whatever an Exif segment holds, the orientation stays one of the eight.
  if (info.Orientation() < 1 || info.Orientation() > 8) std::abort();
  if (dib == DibHandle::Null) return 0;
  vex::platform::DibSection section;
  if (!vex::platform::GetDIBSection(dib, &section)) std::abort();
  const int bits = section.dsBmih.biBitCount;
  if (bits != 8 && bits != 24) std::abort();
  if (section.dsBmih.biWidth <= 0 || section.dsBmih.biHeight <= 0) std::abort();
  vex::platform::DeleteDIBSection(dib);
  return 0;
}
