// seeds: jpeg/exif-samples jpeg/exif-orientation-examples
// The Exif orientation parser on arbitrary bytes: the TIFF body after the
// first "Exif\0\0" in the data (the whole data when there is none). The
// answer is 0 or one of the eight orientations, and nothing outside the
// bytes is read (the body is copied to a buffer of its exact size).
#include "formats/jpeg_reader_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t from = 0;
  for (std::size_t i = 0; i + 6 <= size; ++i)
    if (std::memcmp(data + i, "Exif\0\0", 6) == 0) {
      from = i + 6;
      break;
    }
  const std::vector<std::uint8_t> body(data + from, data + size);
  const int o = vex::jpeg::ExifOrientation(body.data(), body.size());
  if (o < 0 || o > 8) std::abort();
  return 0;
}
