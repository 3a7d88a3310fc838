#include "reference/huffman_ref.h"

#include <cstring>

namespace reference {

HuffDecodeTable define_table(const std::uint8_t counts[16],
                             const std::vector<std::int32_t>& values) {
  HuffDecodeTable t{};
  t.values = values;
  t.values.resize(257, 0);
  // HUFFSIZE and HUFFCODE (T.81 C.1, C.2).
  std::vector<int> huffsize;
  for (int l = 1; l <= 16; ++l)
    for (int i = 0; i < counts[l - 1]; ++i) huffsize.push_back(l);
  std::vector<std::uint32_t> huffcode(huffsize.size());
  std::uint32_t code = 0;
  std::size_t k = 0;
  int si = huffsize.empty() ? 0 : huffsize[0];
  while (k < huffsize.size()) {
    while (k < huffsize.size() && huffsize[k] == si) {
      huffcode[k] = code;
      ++code;
      ++k;
    }
    code <<= 1;
    ++si;
  }
  // MAXCODE, MINCODE, VALPTR (F.2.2.3).
  int j = 0;
  for (int i = 0; i < 16; ++i) {
    if (counts[i] == 0) {
      t.maxcode[i] = -1;
      t.mincode[i] = 257;
      t.valptr[i] = 0;
    } else {
      t.valptr[i] = j;
      t.mincode[i] = static_cast<std::int32_t>(huffcode[j]);
      j += counts[i];
      t.maxcode[i] = static_cast<std::int32_t>(huffcode[j - 1]);
    }
  }
  return t;
}

std::int32_t decode_bit_by_bit(const HuffDecodeTable& t, const std::function<int()>& next_bit) {
  std::int32_t code = next_bit();
  int i = 0;
  while (i < 16 && t.maxcode[i] < code) {
    code = code * 2 + next_bit();
    ++i;
  }
  if (i == 16) return -1;
  return t.values[t.valptr[i] + code - t.mincode[i]];
}

HuffLengths optimal_lengths(const std::uint32_t freq_in[257]) {
  std::uint32_t freq[257];
  std::memcpy(freq, freq_in, sizeof freq);
  int codesize[257] = {};
  int others[257];
  for (int& o : others) o = -1;
  for (;;) {
    int c1 = -1;
    std::uint32_t v = 0xFFFFFFFFu;
    for (int i = 0; i <= 256; ++i)
      if (freq[i] != 0 && freq[i] <= v) {
        v = freq[i];
        c1 = i;
      }
    int c2 = -1;
    v = 0xFFFFFFFFu;
    for (int i = 0; i <= 256; ++i)
      if (freq[i] != 0 && freq[i] <= v && i != c1) {
        v = freq[i];
        c2 = i;
      }
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    ++codesize[c1];
    while (others[c1] >= 0) {
      c1 = others[c1];
      ++codesize[c1];
    }
    others[c1] = c2;
    ++codesize[c2];
    while (others[c2] >= 0) {
      c2 = others[c2];
      ++codesize[c2];
    }
  }
  int bits[33] = {};
  for (int i = 0; i <= 256; ++i)
    if (codesize[i]) ++bits[codesize[i]];
  for (int i = 32; i > 16; --i)
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1] += 1;
      bits[j + 1] += 2;
      bits[j] -= 1;
    }
  int i = 16;
  while (i > 0 && bits[i] == 0) --i;
  if (i > 0) bits[i] -= 1;
  HuffLengths out{};
  for (int l = 1; l <= 16; ++l) out.counts[l - 1] = static_cast<std::uint8_t>(bits[l]);
  for (int l = 1; l <= 32; ++l)
    for (int s = 0; s < 256; ++s)
      if (codesize[s] == l) out.values.push_back(static_cast<std::uint8_t>(s));
  return out;
}

} // namespace reference
