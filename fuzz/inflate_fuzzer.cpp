// seeds: png
// The inflater on arbitrary bytes: a PNG file's IDAT data, or the bytes
// themselves as a zlib stream. Inflated whole from one buffer and again in
// pieces of a size set by the last byte with requests of varying sizes: both
// must give the same bytes and the same error code.
#include "vexImageCompress.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kLimit = 4u << 20;

std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The data of the IDAT chunks of a PNG file, or the input unchanged.
std::vector<std::uint8_t> stream_of(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (size < 8 || std::memcmp(data, sig, 8) != 0) return {data, data + size};
  std::vector<std::uint8_t> out;
  for (std::size_t at = 8; at + 8 <= size;) {
    const std::uint64_t len = be32(data + at);
    if (len > size - at - 8) break;
    if (std::memcmp(data + at + 4, "IDAT", 4) == 0)
      out.insert(out.end(), data + at + 8, data + at + 8 + len);
    at += 12 + static_cast<std::size_t>(len);
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> z = stream_of(data, size);
  std::vector<std::uint8_t> whole;
  const TvexErrorCode e1 = TvexInflater::InflateBuffer(z.data(), z.size(), whole, kLimit);

  const std::size_t piece = size > 0 ? 1 + data[size - 1] * 37u : 1;
  std::size_t at = std::min(piece, z.size());
  TvexInflater inflater;
  inflater.SetInput(z.data(), at, [&](const std::uint8_t*& d, std::size_t& n) {
    if (at >= z.size()) return false;
    d = z.data() + at;
    n = std::min(piece, z.size() - at);
    at += n;
    return true;
  });
  std::vector<std::uint8_t> parts;
  std::size_t request = 1;
  try {
    inflater.StartInflate();
    while (parts.size() < kLimit) {
      const std::size_t n = std::min(request, kLimit - parts.size());
      const std::size_t old = parts.size();
      parts.resize(old + n);
      const std::size_t got = inflater.InflateUpTo(parts.data() + old, n);
      parts.resize(old + got);
      if (got < n) break;
      request = request * 3 % 1000 + 1;
    }
    inflater.FinishInflate();
  } catch (const vex::EPNGException&) {
    parts.resize(static_cast<std::size_t>(inflater.TotalOut));
  }
  if (inflater.Error != e1 || parts != whole) std::abort();
  return 0;
}
