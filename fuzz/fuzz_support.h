// Helpers of the fuzz targets that write what they read and read it back.
#pragma once

#include "vexImageFile.h"

#include "formats/format_kit.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fuzz {

// Bitmaps of the targets stay small so that hostile sizes do not make every
// input a large allocation (the refusal of huge bitmaps is tested elsewhere).
inline void SmallBitmaps() {
  static const bool once = [] {
    vex::kit::SetBitmapByteCap(std::int64_t{1} << 20);
    return true;
  }();
  (void)once;
}

// Reads `size` bytes with `reader`; the image adopts the bitmap.
inline TvexErrorCode Read(TvexImageFile& reader, const void* data, std::size_t size,
                          TvexImage& image) {
  vex::platform::MemoryStream stream(data, size);
  const DibHandle dib = reader.LoadFromStream(stream);
  if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
  return reader.GetError();
}

// Writes `image` with `writer`, reads it back with `reader` and aborts unless
// the write and the read succeed and every pixel bit is the same (the
// padding of a row need not be).
inline void RoundTrip(TvexImageFile& writer, TvexImageFile& reader, TvexImage& image) {
  vex::platform::MemoryStream out;
  writer.SaveToStream(out, image.GetDibHandle());
  if (writer.GetError() != EC_OK) std::abort();
  TvexImage back;
  if (Read(reader, out.Memory(), static_cast<std::size_t>(out.Size()), back) != EC_OK) std::abort();
  if (!back.Bits() || back.Width() != image.Width() || back.BitCount() != image.BitCount())
    std::abort();
  const int row_bits = image.Width() * image.BitCount();
  for (int y = 0; y < std::abs(image.Height()); ++y) {
    const std::uint8_t* a = image.ScanLine(y);
    const std::uint8_t* b = back.ScanLine(y);
    if (std::memcmp(a, b, static_cast<std::size_t>(row_bits / 8)) != 0) std::abort();
    if (row_bits % 8) {
      const auto mask = static_cast<std::uint8_t>(0xFF00 >> (row_bits % 8));
      if ((a[row_bits / 8] & mask) != (b[row_bits / 8] & mask)) std::abort();
    }
  }
}

} // namespace fuzz
