// Plain deflate coders written step by step from the documented procedure:
// an inflater that reads one bit and gives one byte at a time, decoding
// symbols bit by bit, and a deflater with a 512-entry lookahead ring and
// doubly linked hash chains over the window. The library's coders must give
// the same bytes and error codes.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

struct InflateResult {
  std::vector<std::uint8_t> out; // bytes given before any failure
  int error = 0;
};

// Inflates `want` bytes from the pieces (taken in order), then checks the
// end of the stream and its Adler-32.
InflateResult inflate(const std::vector<std::vector<std::uint8_t>>& pieces, std::size_t want);

// The zlib stream of `data` at `quality`, as one buffer.
std::vector<std::uint8_t> deflate(const std::vector<std::uint8_t>& data, int quality);

} // namespace reference
