// seeds: png
// The PNG reader on arbitrary bytes from memory; what it reads is written
// again and read back, which must give the same pixels.
#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Keeps a replay fast: pictures over 256 kilopixels are skipped (the reader's
// refusal of huge bitmaps is tested elsewhere).
bool too_big(const std::uint8_t* data, std::size_t size) {
  if (size < 24) return false;
  auto be = [&](std::size_t at) {
    return (std::uint64_t{data[at]} << 24) | (data[at + 1] << 16) | (data[at + 2] << 8) |
           data[at + 3];
  };
  return be(16) * be(20) > 256 * 1024;
}

DibHandle read(const void* data, std::size_t size, TvexErrorCode& error) {
  vex::platform::MemoryStream stream(data, size);
  TvexPNGImage reader;
  TvexImageInfo info;
  reader.SetImageInfo(&info);
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
  if (image.BitCount() == 32) return 0; // alpha 0 on reading: written back fully transparent

  vex::platform::MemoryStream out;
  TvexPNGImage writer;
  // Every level on small pictures; the fastest on big ones (the deep chain
  // search would take the fuzzer's time).
  const bool small = std::int64_t{image.Width()} * std::abs(image.Height()) <= 64 * 1024;
  writer.SetQuality(static_cast<std::uint16_t>(small ? size % 101 : 1));
  writer.SaveToStream(out, dib);
  if (writer.GetError() != EC_OK) std::abort();
  TvexImage back;
  TvexErrorCode back_error;
  back.SetDibHandle(read(out.Memory(), static_cast<std::size_t>(out.Size()), back_error));
  if (back_error != EC_OK || !back.Bits() || back.LineWidth() != image.LineWidth()) std::abort();
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
  return 0;
}
