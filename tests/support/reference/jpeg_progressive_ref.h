// Plain progressive AC encoders written straight from the documented
// algorithms (one coefficient at a time, EOB runs with their correction
// bits re-derived at the flush). They log what they emit; the library's
// encoders must emit the same symbols and bits.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

struct ProgEvent {
  int symbol; // -1: raw bits only
  std::uint32_t bits;
  int count;
  bool operator==(const ProgEvent&) const = default;
};

struct ProgScan {
  int rows, columns; // blocks, visited row by row
  int ss, se, al;
  const std::int16_t* coefficients; // 64 per block, natural order
};

// One whole AC scan (first or refinement), the open run flushed at the end.
std::vector<ProgEvent> encode_ac_first(const ProgScan& scan);
std::vector<ProgEvent> encode_ac_refine(const ProgScan& scan);

} // namespace reference
