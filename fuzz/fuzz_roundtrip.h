// Shared body of the reader fuzz targets whose writer stores every depth the
// reader makes: read, write with each compression, read back, compare.
#pragma once

#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace fuzz_detail {

// The colour of pixel x of a row (index through the palette up to 8 bits).
inline std::uint32_t colour(TvexImage& image, const std::uint8_t* row, int x) {
  const int bits = image.BitCount();
  if (bits > 8) {
    const int p = bits / 8;
    std::uint32_t v = 0;
    for (int i = 0; i < std::min(p, 3); ++i) v |= std::uint32_t{row[x * p + i]} << (8 * i);
    return bits == 16 ? v & 0x7FFF : v;
  }
  const int per = 8 / bits;
  const int index = (row[x / per] >> ((per - 1 - x % per) * bits)) & ((1 << bits) - 1);
  const auto& q = image.Header()->bmiColors[index];
  return std::uint32_t{q.rgbBlue} | (std::uint32_t{q.rgbGreen} << 8) |
         (std::uint32_t{q.rgbRed} << 16);
}

} // namespace fuzz_detail

// Reads `data` with reader class R; each compression's written file must
// read back with code 0 to the same colours (depths may change: writers
// widen small indices).
template <class R>
int fuzz_roundtrip(const std::uint8_t* data, std::size_t size,
                   std::initializer_list<TvexCompression> compressions) {
  TvexImage image;
  {
    vex::platform::MemoryStream stream(data, size);
    R reader;
    const DibHandle dib = reader.LoadFromStream(stream);
    if (vex::platform::is_null(dib)) return 0;
    image.SetDibHandle(dib);
  }
  for (const TvexCompression c : compressions) {
    vex::platform::MemoryStream out;
    R writer;
    writer.SetCompression(c);
    writer.SaveToStream(out, image.GetDibHandle());
    // Depths the writer does not store are refused with a code.
    if (writer.GetError() == EC_COLORFORMAT) return 0;
    if (writer.GetError() != EC_OK) std::abort();
    vex::platform::MemoryStream in(out.Memory(), static_cast<std::size_t>(out.Size()));
    R reader;
    TvexImage back;
    back.SetDibHandle(reader.LoadFromStream(in));
    if (reader.GetError() != EC_OK || !back.Bits() || back.Width() != image.Width() ||
        std::abs(back.Height()) != std::abs(image.Height()))
      std::abort();
    for (int y = 0; y < std::abs(image.Height()); ++y)
      for (int x = 0; x < image.Width(); ++x)
        if (fuzz_detail::colour(image, image.ScanLine(y), x) !=
            fuzz_detail::colour(back, back.ScanLine(y), x))
          std::abort();
  }
  return 0;
}
