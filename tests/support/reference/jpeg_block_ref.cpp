#include "reference/jpeg_block_ref.h"

namespace reference {

namespace {

const int kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                         12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                         35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                         58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

std::int32_t symbol(const HuffDecodeTable& t, const BitSource& bits) {
  return decode_bit_by_bit(t, [&bits] { return static_cast<int>(bits(1)); });
}

std::int32_t extend(std::uint32_t v, int s) {
  if (s == 0) return 0;
  const std::int32_t x = static_cast<std::int32_t>(v);
  return x < (1 << (s - 1)) ? x - (1 << s) + 1 : x;
}

// DC difference: category symbol, then that many magnitude bits.
bool dc_difference(const HuffDecodeTable& dc, const BitSource& bits, std::int32_t& diff) {
  const std::int32_t s = symbol(dc, bits);
  if (s < 0 || s > 16) return false;
  diff = extend(bits(s), s);
  return true;
}

std::int16_t wrap16(std::int64_t v) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(v & 0xFFFF));
}

} // namespace

BlockResult decode_sequential(const HuffDecodeTable& dc, const HuffDecodeTable& ac,
                              const BitSource& bits, BlockState& state, std::int16_t blk[64]) {
  for (int i = 0; i < 64; ++i) blk[i] = 0;
  std::int32_t diff = 0;
  if (!dc_difference(dc, bits, diff)) return BlockResult::Corrupt;
  state.last_dc = static_cast<std::int32_t>(static_cast<std::uint32_t>(state.last_dc) +
                                            static_cast<std::uint32_t>(diff));
  blk[0] = wrap16(state.last_dc);
  int k = 1;
  while (k < 64) {
    const std::int32_t rs = symbol(ac, bits);
    if (rs < 0) return BlockResult::Corrupt;
    const int r = rs / 16, s = rs % 16;
    if (s != 0) {
      k += r;
      if (k > 63) return BlockResult::Corrupt;
      blk[kZigZag[k]] = wrap16(extend(bits(s), s));
      k += 1;
    } else if (r == 15) {
      k += 16;
    } else {
      break;
    }
  }
  return BlockResult::Ok;
}

BlockResult decode_dc_first(const HuffDecodeTable& dc, const BitSource& bits, BlockState& state,
                            int al, std::int16_t blk[64]) {
  std::int32_t diff = 0;
  if (!dc_difference(dc, bits, diff)) return BlockResult::Corrupt;
  state.last_dc = static_cast<std::int32_t>(static_cast<std::uint32_t>(state.last_dc) +
                                            static_cast<std::uint32_t>(diff));
  blk[0] = wrap16(static_cast<std::int64_t>(state.last_dc) * (std::int64_t{1} << al));
  return BlockResult::Ok;
}

void decode_dc_refine(const BitSource& bits, int al, std::int16_t blk[64]) {
  if (bits(1) == 1) blk[0] = static_cast<std::int16_t>(blk[0] | (1 << al));
}

BlockResult decode_ac_first(const HuffDecodeTable& ac, const BitSource& bits, BlockState& state,
                            int ss, int se, int al, std::int16_t blk[64]) {
  if (state.eob_run > 0) {
    state.eob_run -= 1;
    return BlockResult::Ok;
  }
  int k = ss;
  while (k <= se) {
    const std::int32_t rs = symbol(ac, bits);
    if (rs < 0) return BlockResult::Corrupt;
    const int r = rs / 16, s = rs % 16;
    if (s != 0) {
      k += r;
      if (k > 63) return BlockResult::Corrupt;
      blk[kZigZag[k]] = wrap16(static_cast<std::int64_t>(extend(bits(s), s)) * (1 << al));
      k += 1;
    } else if (r == 15) {
      k += 16;
    } else {
      state.eob_run = r > 0 ? (1 << r) + static_cast<std::int32_t>(bits(r)) - 1 : 0;
      break;
    }
  }
  return BlockResult::Ok;
}

BlockResult decode_ac_refine(const HuffDecodeTable& ac, const BitSource& bits, BlockState& state,
                             int ss, int se, int al, std::int16_t blk[64]) {
  const int p1 = 1 << al;
  const auto refine = [&](int pos) {
    std::int16_t& c = blk[kZigZag[pos]];
    if (c != 0 && bits(1) == 1) c = wrap16(c > 0 ? c + p1 : c - p1);
  };
  int k = ss;
  while (k <= se) {
    if (state.eob_run > 0) {
      for (; k <= se; ++k) refine(k);
      state.eob_run -= 1;
      return BlockResult::Ok;
    }
    const std::int32_t rs = symbol(ac, bits);
    if (rs < 0) return BlockResult::Corrupt;
    const int r = rs / 16, s = rs % 16;
    if (s == 1) {
      const std::uint32_t sign = bits(1);
      int zeros = 0;
      // Walk to the first zero coefficient after r zeros.
      while (true) {
        if (k > se) return BlockResult::Corrupt;
        if (blk[kZigZag[k]] != 0) {
          refine(k);
        } else {
          if (zeros == r) break;
          ++zeros;
        }
        ++k;
      }
      blk[kZigZag[k]] = static_cast<std::int16_t>(sign == 1 ? p1 : -p1);
      k += 1;
    } else if (s != 0) {
      return BlockResult::Corrupt;
    } else if (r == 15) {
      int zeros = 0;
      while (k <= se && zeros < 16) {
        if (blk[kZigZag[k]] != 0)
          refine(k);
        else
          ++zeros;
        ++k;
      }
    } else {
      state.eob_run = r > 0 ? (1 << r) + static_cast<std::int32_t>(bits(r)) : 1;
    }
  }
  return BlockResult::Ok;
}

} // namespace reference
