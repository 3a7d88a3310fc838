// CRC-32 with the reflected polynomial 0xEDB88320 (initial value all ones,
// final complement), as PNG chunks carry it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vex {

// CRC of `size` more bytes after the bytes whose CRC is `crc` (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

} // namespace vex
