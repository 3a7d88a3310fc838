// Plain JPEG Huffman table routines written from the documented algorithms:
// decoder limits from a count list and bit-by-bit decoding, and optimal
// code lengths with the reserved symbol and the 16-bit limit. The library's
// lookahead decoder and its BuildCodes are checked against these.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace reference {

struct HuffDecodeTable {
  std::int32_t maxcode[16];
  std::int32_t mincode[16];
  std::int32_t valptr[16];
  std::vector<std::int32_t> values; // 257 entries
};

// counts[i] = codes of length i + 1 (sum at most 256).
HuffDecodeTable define_table(const std::uint8_t counts[16],
                             const std::vector<std::int32_t>& values);

// One symbol, one bit at a time; -1 when nothing matches within 16 bits
// (17 bits are read then).
std::int32_t decode_bit_by_bit(const HuffDecodeTable& table, const std::function<int()>& next_bit);

struct HuffLengths {
  std::uint8_t counts[16];          // codes of length 1..16
  std::vector<std::uint8_t> values; // symbols in code order
};

// Optimal lengths for symbols 0..255 (freq[256] is the reserved symbol,
// normally 1): the two-pass form of the merge with the later symbol winning
// ties, then the 16-bit limit and the removal of the reserved code.
HuffLengths optimal_lengths(const std::uint32_t freq[257]);

} // namespace reference
