// seeds: tga
// The Targa reader on arbitrary bytes from memory; what it reads is written
// again (plain and run-length) and read back, which must give the same pixels.
#include "vexImageFile.h"

#include "fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Keeps a replay fast: pictures over 256 kilopixels are skipped.
  if (size >= 16 &&
      std::int64_t{data[12] | (data[13] << 8)} * (data[14] | (data[15] << 8)) > 256 * 1024)
    return 0;
  return fuzz_roundtrip<TvexTargaImage>(data, size, {CP_NOCOMP, CP_TARGA_RLE});
}
