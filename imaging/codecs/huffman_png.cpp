// Deflate Huffman tables: the decoder from code lengths (canonical codes,
// bit-by-bit limits and a lookahead table that gives the same answers) and
// the encoder's optimal lengths under a length limit.
#include "codecs/deflate.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

TvexHuffmanPNG::TvexHuffmanPNG(int SymbolCount, int MaxCodeLength)
    : TvexHuffmanBase(SymbolCount, MaxCodeLength), lookahead_(std::size_t{1} << kLookaheadBits) {}

TvexErrorCode TvexHuffmanPNG::BeginTable(int Count) {
  Status = TvexHuffmanBase::BeginTable(Count);
  Count = std::clamp(Count, 0, symbol_count_);
  ValueCount = Count;
  const auto n = static_cast<std::size_t>(Count);
  for (std::size_t i = 0; i < n; ++i) values_[i] = static_cast<std::int32_t>(i);
  // Sort (length, symbol); a stable sort by length gives the same order as
  // the exchange sort since the symbols start ascending.
  std::vector<std::pair<std::uint32_t, std::int32_t>> entries(n);
  for (std::size_t i = 0; i < n; ++i) entries[i] = {code_length_[i], values_[i]};
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::fill_n(code_.begin(), symbol_count_, 0u);
  std::uint32_t len = 0, next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    code_length_[i] = entries[i].first;
    values_[i] = entries[i].second;
    while (len != code_length_[i]) {
      ++len;
      next <<= 1;
    }
    if (len != 0) code_[i] = next++;
  }
  for (std::size_t m = 0; m < n; ++m) {
    const std::uint32_t l = code_length_[m];
    if (l == 0 || l > static_cast<std::uint32_t>(max_code_length_)) continue;
    const std::size_t k = l - 1;
    if (m == 0 || code_length_[m - 1] != l) {
      value_ptr_[k] = static_cast<std::int32_t>(m);
      min_code_[k] = static_cast<std::int32_t>(code_[m]);
    }
    max_code_[k] = static_cast<std::int32_t>(code_[m]);
  }
  BuildLookahead();
  Ready = Status == EC_OK;
  return Status;
}

void TvexHuffmanPNG::BuildLookahead() {
  const std::uint32_t size = 1u << kLookaheadBits;
  for (std::uint32_t p = 0; p < size; ++p) {
    int used = 0;
    const std::int32_t s = DecodeSlow(p, used);
    lookahead_[p] = used <= kLookaheadBits ? (static_cast<std::uint32_t>(used) << 16) |
                                                 (static_cast<std::uint32_t>(s) & 0xFFFF)
                                           : 0;
  }
}

// DecodeSymbol on bits held in a word (bits past the word read as zeros).
std::int32_t TvexHuffmanPNG::DecodeSlow(std::uint64_t bits, int& used) const {
  std::int32_t code = static_cast<std::int32_t>(bits & 1);
  int n = 1, i = 0;
  while (i < max_code_length_ && max_code_[static_cast<std::size_t>(i)] < code) {
    code = code * 2 + static_cast<std::int32_t>((bits >> n) & 1);
    ++n;
    ++i;
  }
  used = n;
  if (i >= max_code_length_) return -1;
  const std::int64_t index = static_cast<std::int64_t>(value_ptr_[static_cast<std::size_t>(i)]) +
                             code - min_code_[static_cast<std::size_t>(i)];
  if (index < 0 || index > symbol_count_) return -1;
  return values_[static_cast<std::size_t>(index)];
}

TvexErrorCode TvexHuffmanPNG::BuildCodes(int MaxLength) {
  const int n = std::min(symbol_count_, 288);
  std::fill_n(code_length_.begin(), symbol_count_, 0u);
  std::fill_n(code_.begin(), symbol_count_, 0u);
  // Sizes of a tree over 288 leaves stay below 288; the counters have room
  // for all of them, and the limit below only folds 2 x MaxLength and less.
  constexpr int kMaxSize = 290;
  std::uint64_t freq[288];
  int others[288], size[288];
  for (int s = 0; s < n; ++s) {
    freq[s] = frequency_[static_cast<std::size_t>(s)];
    others[s] = -1;
    size[s] = 0;
  }
  int used_symbols = 0, last_used = -1;
  for (int s = 0; s < n; ++s)
    if (freq[s] != 0) {
      ++used_symbols;
      last_used = s;
    }
  for (;;) {
    // A: smallest frequency, B: next smallest; higher symbols first on ties.
    int a = -1, b = -1;
    for (int s = 0; s < n; ++s) {
      const std::uint64_t f = freq[s];
      if (f == 0) continue;
      if (a < 0 || f <= freq[a]) {
        b = a;
        a = s;
      } else if (b < 0 || f <= freq[b]) {
        b = s;
      }
    }
    if (b < 0) break;
    freq[a] += freq[b];
    freq[b] = 0;
    int s = a;
    ++size[s];
    while (others[s] >= 0) {
      s = others[s];
      ++size[s];
    }
    others[s] = b;
    s = b;
    ++size[s];
    while (others[s] >= 0) {
      s = others[s];
      ++size[s];
    }
  }
  if (used_symbols == 0) {
    Status = EC_HUFFMANNOTDEF;
    return Status;
  }
  if (used_symbols == 1) size[last_used] = 1;

  std::uint32_t count[kMaxSize + 1] = {};
  for (int s = 0; s < n; ++s)
    if (size[s] > 0) ++count[size[s]];
  bool changed = false;
  for (int i = std::min(2 * MaxLength, kMaxSize); i > MaxLength; --i) {
    while (count[i] > 0) {
      int j = i - 2;
      while (j > 0 && count[j] == 0) --j;
      if (j <= 0) break; // not a complete tree: the checks below fail
      count[i] -= 2;
      count[i - 1] += 1;
      count[j + 1] += 2;
      count[j] -= 1;
      changed = true;
    }
  }
  std::uint32_t total = 0;
  for (int i = 1; i <= kMaxSize; ++i) total += count[i];
  if (total > 287) throw std::range_error("Too many Huffman codes are defined");

  // Symbols in order of their size before limiting, then the sizes and
  // canonical codes of the limited counts, k-th to k-th.
  int k = 0;
  for (int l = 1; l <= 2 * MaxLength - 1 && l <= kMaxSize; ++l)
    for (int s = 0; s < n; ++s)
      if (size[s] == l) values_[static_cast<std::size_t>(k++)] = s;
  std::uint32_t list_size[289], list_code[289];
  int listed = 0;
  for (int l = 1; l <= kMaxSize; ++l)
    for (std::uint32_t c = 0; c < count[l] && listed < 289; ++c)
      list_size[listed++] = static_cast<std::uint32_t>(l);
  {
    std::uint32_t code = 0, sz = listed > 0 ? list_size[0] : 0;
    for (int p = 0; p < listed;) {
      while (p < listed && list_size[p] == sz) list_code[p++] = code++;
      code <<= 1;
      ++sz;
    }
  }
  for (int p = 0; p < k && p < listed; ++p) {
    if (list_size[p] > static_cast<std::uint32_t>(MaxLength))
      throw std::range_error("An invalid Huffman code was generated");
    const auto sym = static_cast<std::size_t>(values_[static_cast<std::size_t>(p)]);
    code_length_[sym] = list_size[p];
    code_[sym] = list_code[p];
  }
  if (changed) {
    // Codes of one length increase with the symbol, as a decoder expects.
    for (int l = 1; l <= MaxLength; ++l) {
      std::vector<std::uint32_t> codes;
      for (int s = 0; s < n; ++s)
        if (code_length_[static_cast<std::size_t>(s)] == static_cast<std::uint32_t>(l))
          codes.push_back(code_[static_cast<std::size_t>(s)]);
      std::sort(codes.begin(), codes.end());
      std::size_t c = 0;
      for (int s = 0; s < n; ++s)
        if (code_length_[static_cast<std::size_t>(s)] == static_cast<std::uint32_t>(l))
          code_[static_cast<std::size_t>(s)] = codes[c++];
    }
  }
  for (int s = 0; s < n; ++s) {
    if (frequency_[static_cast<std::size_t>(s)] == 0) continue;
    if (code_length_[static_cast<std::size_t>(s)] == 0)
      throw std::range_error("Missing Huffman code size");
    int found = 0;
    for (int p = 0; p < k; ++p)
      if (values_[static_cast<std::size_t>(p)] == s) ++found;
    if (found > 1) throw std::range_error("Duplicated Huffman value");
    if (found == 0) throw std::range_error("Missing Huffman value");
  }
  std::vector<std::uint64_t> keys;
  for (int u = 0; u < n; ++u) {
    const std::uint32_t lu = code_length_[static_cast<std::size_t>(u)];
    if (lu == 0) continue;
    if (lu > static_cast<std::uint32_t>(MaxLength)) throw std::range_error("Invalid Huffman range");
    keys.push_back(code_[static_cast<std::size_t>(u)]);
  }
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) != keys.end())
    throw std::range_error("Duplicated Huffman code");
  for (int s = 0; s < n; ++s) {
    const std::uint32_t len = code_length_[static_cast<std::size_t>(s)];
    std::uint32_t c = code_[static_cast<std::size_t>(s)], r = 0;
    for (std::uint32_t b = 0; b < len; ++b) {
      r = (r << 1) | (c & 1);
      c >>= 1;
    }
    code_[static_cast<std::size_t>(s)] = r;
  }
  return Status;
}
