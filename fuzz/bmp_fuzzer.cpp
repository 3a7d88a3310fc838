// seeds: bmp
// The BMP reader on arbitrary bytes from memory; what it reads is written
// again (plain and run-length) and read back, which must give the same pixels.
#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Keeps a replay fast: pictures over 4 megapixels are skipped (the reader's
// own refusal of huge bitmaps is tested elsewhere).
bool too_big(const std::uint8_t* data, std::size_t size) {
  if (size < 26) return false;
  auto le = [&](std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | data[at + static_cast<std::size_t>(i)];
    return v;
  };
  const std::uint32_t header = le(14, 4);
  std::int64_t w, h;
  if (header == 12) {
    w = le(18, 2);
    h = le(20, 2);
  } else {
    w = static_cast<std::int32_t>(le(18, 4));
    h = static_cast<std::int32_t>(le(22, 4));
  }
  return std::llabs(w) * std::llabs(h) > 4 * 1024 * 1024;
}

DibHandle read(const void* data, std::size_t size, TvexErrorCode& error) {
  vex::platform::MemoryStream stream(data, size);
  TvexBmpImage reader;
  const DibHandle dib = reader.LoadFromStream(stream);
  error = reader.GetError();
  return dib;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (too_big(data, size)) return 0;
  TvexErrorCode error;
  TvexImage image;
  const DibHandle dib = read(data, size, error);
  if (vex::platform::is_null(dib)) return 0;
  image.SetDibHandle(dib);

  const int bits = image.BitCount();
  for (TvexCompression c : {TvexCompression{CP_NOCOMP}, TvexCompression(bits == 4   ? CP_RLE4
                                                                        : bits == 8 ? CP_RLE8
                                                                                    : CP_NOCOMP)}) {
    vex::platform::MemoryStream out;
    TvexBmpImage writer;
    writer.SetCompression(c);
    writer.SaveToStream(out, dib);
    if (writer.GetError() != EC_OK) std::abort();
    TvexImage back;
    TvexErrorCode back_error;
    back.SetDibHandle(read(out.Memory(), static_cast<std::size_t>(out.Size()), back_error));
    if (back_error != EC_OK || !back.Bits() || back.LineWidth() != image.LineWidth()) std::abort();
    // Every pixel bit must survive (the padding of each row need not).
    const int row_bits = image.Width() * bits;
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
  return 0;
}
