// Plain JPEG block decoders written from the documented algorithms, one bit
// at a time through a bit source: the sequential block (DC difference, AC
// run/size symbols, ZRL, EOB) and the four progressive decoders (DC first, DC
// refinement, AC first with end-of-band runs, AC refinement with correction
// bits). The reader's fast decoders are checked against these.
#pragma once

#include "reference/huffman_ref.h"

#include <cstdint>
#include <functional>

namespace reference {

// Gives the next n bits (0..16), most significant first.
using BitSource = std::function<std::uint32_t(int n)>;

// Failures of corrupt data are reported, not thrown.
enum class BlockResult { Ok, Corrupt };

struct BlockState {
  std::int32_t last_dc = 0;
  std::int32_t eob_run = 0;
};

// Coefficients in natural order; `blk` is cleared first.
BlockResult decode_sequential(const HuffDecodeTable& dc, const HuffDecodeTable& ac,
                              const BitSource& bits, BlockState& state, std::int16_t blk[64]);

BlockResult decode_dc_first(const HuffDecodeTable& dc, const BitSource& bits, BlockState& state,
                            int al, std::int16_t blk[64]);
void decode_dc_refine(const BitSource& bits, int al, std::int16_t blk[64]);
BlockResult decode_ac_first(const HuffDecodeTable& ac, const BitSource& bits, BlockState& state,
                            int ss, int se, int al, std::int16_t blk[64]);
BlockResult decode_ac_refine(const HuffDecodeTable& ac, const BitSource& bits, BlockState& state,
                             int ss, int se, int al, std::int16_t blk[64]);

} // namespace reference
