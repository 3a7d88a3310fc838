// seeds: pcx
// The PCX reader on arbitrary bytes from memory; what it reads is written
// again and read back, which must give the same pixels.
#include "vexImageFile.h"

#include "fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Keeps a replay fast: pictures over 256 kilopixels are skipped.
  if (size >= 12) {
    const int w = (data[8] | (data[9] << 8)) - (data[4] | (data[5] << 8)) + 1;
    const int h = (data[10] | (data[11] << 8)) - (data[6] | (data[7] << 8)) + 1;
    if (std::int64_t{w} * h > 256 * 1024) return 0;
  }
  return fuzz_roundtrip<TvexPCXImage>(data, size, {CP_PCX_RLE});
}
