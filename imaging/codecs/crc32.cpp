// CRC-32 four bytes at a time through four tables.
#include "codecs/crc32.h"

namespace {

struct CrcTables {
  std::uint32_t t[4][256];
  CrcTables() {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    for (std::uint32_t n = 0; n < 256; ++n)
      for (int k = 1; k < 4; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  }
};

const CrcTables& Tables() {
  static const CrcTables tables;
  return tables;
}

} // namespace

namespace vex {

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  const auto& t = Tables().t;
  std::uint32_t c = ~crc;
  for (; size >= 4; size -= 4, data += 4) {
    c ^= static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    c = t[3][c & 0xFF] ^ t[2][(c >> 8) & 0xFF] ^ t[1][(c >> 16) & 0xFF] ^ t[0][c >> 24];
  }
  for (; size > 0; --size) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return ~c;
}

} // namespace vex
