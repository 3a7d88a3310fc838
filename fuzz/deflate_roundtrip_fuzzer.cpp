// seeds: bmp/bmpsuite/g pnm
// The deflater on arbitrary bytes (the first byte sets the quality): its
// stream must inflate to the same bytes, in pieces of 8192 bytes but the last.
#include "vexImageCompress.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const int quality = data[0] % 101;
  std::vector<std::uint8_t> z;
  std::size_t at = 1;
  bool short_piece = false;
  TvexDeflater deflater;
  const TvexErrorCode e = deflater.Deflate(
      quality,
      [&](std::uint8_t* dst, std::size_t max) {
        // Small, uneven reads.
        std::size_t n = std::min<std::size_t>({max, size - at, 1 + at % 977});
        for (std::size_t i = 0; i < n; ++i) dst[i] = data[at + i];
        at += n;
        return n;
      },
      [&](const std::uint8_t* p, std::size_t n) {
        if (short_piece || n == 0 || n > 8192) std::abort();
        short_piece = n < 8192;
        z.insert(z.end(), p, p + n);
      });
  if (e != EC_OK) std::abort();
  std::vector<std::uint8_t> back;
  if (TvexInflater::InflateBuffer(z.data(), z.size(), back, size - 1) != EC_OK) std::abort();
  if (back.size() != size - 1 || !std::equal(back.begin(), back.end(), data + 1)) std::abort();
  return 0;
}
