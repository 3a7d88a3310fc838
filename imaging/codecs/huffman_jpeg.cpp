// Huffman tables: optimal code lengths from symbol counts (with a reserved
// symbol and a 16-bit limit), canonical codes, decoder limits and symbol
// decoding, bit by bit and through a lookahead table that gives the same
// answers.
#include "vexHuffmanJPEG.h"

#include <algorithm>
#include <cstring>

TvexHuffmanBase::TvexHuffmanBase(int SymbolCount, int MaxCodeLength)
    : symbol_count_(SymbolCount), max_code_length_(MaxCodeLength),
      frequency_(static_cast<std::size_t>(SymbolCount) + 1),
      values_(static_cast<std::size_t>(SymbolCount) + 1),
      code_length_(static_cast<std::size_t>(SymbolCount) + 1),
      code_(static_cast<std::size_t>(SymbolCount) + 1),
      min_code_(static_cast<std::size_t>(MaxCodeLength)),
      max_code_(static_cast<std::size_t>(MaxCodeLength), -1),
      value_ptr_(static_cast<std::size_t>(MaxCodeLength)) {
  TvexHuffmanBase::Clear();
}

void TvexHuffmanBase::Clear() {
  Ready = false;
  std::fill_n(frequency_.begin(), symbol_count_, 0u);
  std::fill_n(values_.begin(), symbol_count_, 0);
  std::fill_n(code_length_.begin(), symbol_count_, 0u);
  std::fill_n(code_.begin(), symbol_count_, 0u);
  std::fill(min_code_.begin(), min_code_.end(), 0);
  std::fill(value_ptr_.begin(), value_ptr_.end(), 0);
  std::fill(max_code_.begin(), max_code_.end(), -1);
}

TvexErrorCode TvexHuffmanBase::BeginTable(int Count) {
  ValueCount = Count;
  std::fill(value_ptr_.begin(), value_ptr_.end(), 0);
  std::fill(min_code_.begin(), min_code_.end(), 0x0FFFFFFF);
  std::fill(max_code_.begin(), max_code_.end(), -1);
  return Status;
}

TvexErrorCode TvexHuffmanBase::BuildCodes(int) {
  return Status;
}

std::int32_t TvexHuffmanBase::DecodeSymbol() {
  if (!OnReadBits) return -1;
  std::int32_t code = static_cast<std::int32_t>(OnReadBits(1));
  int i = 0;
  // The length bound is tested first so that MaxCode is never read past its
  // last entry.
  while (i < max_code_length_ && max_code_[i] < code) {
    code = code * 2 + static_cast<std::int32_t>(OnReadBits(1));
    ++i;
  }
  if (i >= max_code_length_) return -1;
  const std::int64_t index =
      static_cast<std::int64_t>(value_ptr_[i]) + code - static_cast<std::int64_t>(min_code_[i]);
  if (index < 0 || index > symbol_count_) return -1;
  return values_[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------------------

TvexHuffmanJPEG::TvexHuffmanJPEG(int SymbolCount, int MaxCodeLength)
    : TvexHuffmanBase(SymbolCount, MaxCodeLength), lookahead_(std::size_t{1} << kLookaheadBits) {
  TvexHuffmanJPEG::Clear();
}

void TvexHuffmanJPEG::Clear() {
  TvexHuffmanBase::Clear();
  frequency_[static_cast<std::size_t>(symbol_count_)] = 1;
  std::memset(LengthCounts, 0, sizeof LengthCounts);
  std::fill(lookahead_.begin(), lookahead_.end(), 0u);
}

namespace {

// Canonical codes from the count list (T.81 C.1 and C.2): lengths[k] and
// codes[k] for the k-th code in order; returns the number of codes.
int CanonicalCodes(const std::uint32_t counts[16], std::uint32_t* lengths, std::uint32_t* codes,
                   int capacity) {
  int k = 0;
  for (int len = 1; len <= 16; ++len)
    for (std::uint32_t n = 0; n < counts[len - 1] && k < capacity; ++n)
      lengths[k++] = static_cast<std::uint32_t>(len);
  const int total = k;
  if (total == 0) return 0;
  std::uint32_t code = 0;
  std::uint32_t size = lengths[0];
  k = 0;
  while (k < total) {
    while (k < total && lengths[k] == size) {
      codes[k++] = code;
      ++code;
    }
    code <<= 1;
    ++size;
  }
  return total;
}

} // namespace

TvexErrorCode TvexHuffmanJPEG::BuildCodes(int) {
  constexpr int kSymbols = 257; // 256 symbols and the reserved one
  const int n_symbols = std::min(symbol_count_ + 1, kSymbols);
  std::fill_n(code_length_.begin(), std::min(symbol_count_, 256), 0u);
  std::fill_n(code_.begin(), std::min(symbol_count_, 256), 0u);

  std::uint32_t saved[kSymbols] = {};
  for (int s = 0; s < n_symbols; ++s) saved[s] = frequency_[static_cast<std::size_t>(s)];

  int codesize[kSymbols];
  // Trees deeper than 31 levels (Fibonacci-like counts over a billion
  // symbols) would overrun the length counters; the counts are then halved,
  // keeping every used symbol, until the tree fits. Ordinary images never
  // take this path.
  std::uint32_t counts_in[kSymbols];
  std::memcpy(counts_in, saved, sizeof counts_in);
  for (;;) {
    int others[kSymbols];
    for (int s = 0; s < kSymbols; ++s) {
      others[s] = -1;
      codesize[s] = 0;
    }
    for (int s = 0; s < n_symbols; ++s) frequency_[static_cast<std::size_t>(s)] = counts_in[s];
    std::uint32_t* freq = frequency_.data();
    for (;;) {
      int c1 = -1, c2 = -1;
      for (int s = 0; s < n_symbols; ++s) {
        const std::uint32_t f = freq[s];
        if (f == 0) continue;
        if (c1 < 0 || f <= freq[c1]) {
          c2 = c1;
          c1 = s;
        } else if (c2 < 0 || f <= freq[c2]) {
          c2 = s;
        }
      }
      if (c2 < 0) break;
      freq[c1] += freq[c2];
      freq[c2] = 0;
      ++codesize[c1];
      int s = c1;
      while (others[s] >= 0) {
        s = others[s];
        ++codesize[s];
      }
      others[s] = c2;
      ++codesize[c2];
      s = c2;
      while (others[s] >= 0) {
        s = others[s];
        ++codesize[s];
      }
    }
    int deepest = 0;
    for (int s = 0; s < n_symbols; ++s) deepest = std::max(deepest, codesize[s]);
    if (deepest <= 31) break;
    for (int s = 0; s < n_symbols; ++s)
      if (counts_in[s] != 0) counts_in[s] = counts_in[s] / 2 + 1;
  }

  // count[L] for L = 1..32 lives in LengthCounts[L - 1].
  std::memset(LengthCounts, 0, sizeof LengthCounts);
  for (int s = 0; s < n_symbols; ++s)
    if (codesize[s] > 0) ++LengthCounts[codesize[s] - 1];
  auto count = [this](int len) -> std::uint32_t& { return LengthCounts[len - 1]; };

  // Limit the lengths to 16 bits (T.81 K.3).
  for (int len = 32; len > 16; --len) {
    while (count(len) > 0) {
      int j = len - 2;
      while (j > 0 && count(j) == 0) --j;
      if (j == 0) break; // cannot happen for a complete tree
      count(len) -= 2;
      count(len - 1) += 1;
      count(j + 1) += 2;
      count(j) -= 1;
    }
  }
  // Drop the code of the reserved symbol (one of the longest).
  {
    int len = 16;
    while (len > 0 && count(len) == 0) --len;
    if (len > 0) count(len) -= 1;
  }
  std::uint32_t total = 0;
  for (int len = 1; len <= 16; ++len) total += count(len);
  if (total > 255) {
    // "Too many Huffman codes are defined"
    if (Status == EC_OK) return EC_EXCEPTION;
    return Status;
  }

  // Values: symbols by their length before limiting, then by value (K.4).
  int k = 0;
  for (int len = 1; len <= 31; ++len)
    for (int s = 0; s < std::min(symbol_count_, 256); ++s)
      if (codesize[s] == len) values_[static_cast<std::size_t>(k++)] = s;

  std::uint32_t list_len[kSymbols], list_code[kSymbols];
  const int coded = CanonicalCodes(LengthCounts, list_len, list_code, kSymbols);
  for (int i = 0; i < coded && i < k; ++i) {
    const auto sym = static_cast<std::size_t>(values_[static_cast<std::size_t>(i)]);
    code_[sym] = list_code[i];
    code_length_[sym] = list_len[i];
  }

  // Checks: every used symbol has exactly one code, lengths are within 16
  // bits and no two symbols share a code.
  const int limit = std::min(symbol_count_, 256);
  for (int s = 0; s < limit; ++s) {
    if (saved[s] == 0) continue;
    if (code_length_[static_cast<std::size_t>(s)] == 0) {
      Status = EC_COMPRESSION; // "Missing Huffman code size"
      return Status;
    }
    int found = 0;
    for (int i = 0; i < coded && i < k; ++i)
      if (values_[static_cast<std::size_t>(i)] == s && list_len[i] != 0) ++found;
    if (found != 1) {
      Status = EC_COMPRESSION; // "Duplicated Huffman value" / "Missing Huffman value"
      return Status;
    }
  }
  for (int u = 0; u < limit; ++u) {
    const std::uint32_t lu = code_length_[static_cast<std::size_t>(u)];
    if (lu == 0) continue;
    if (lu > 16) {
      Status = EC_COMPRESSION; // "Invalid Huffman range"
      return Status;
    }
    for (int w = u + 1; w < limit; ++w)
      if (code_length_[static_cast<std::size_t>(w)] != 0 &&
          code_[static_cast<std::size_t>(w)] == code_[static_cast<std::size_t>(u)]) {
        Status = EC_COMPRESSION; // "Duplicated Huffman code"
        return Status;
      }
  }
  return Status;
}

TvexErrorCode TvexHuffmanJPEG::DefineTable(int Count, const std::uint8_t Bits[16]) {
  Status = BeginTable(Count);
  std::fill(lookahead_.begin(), lookahead_.end(), 0u);
  Ready = false;
  int total = 0;
  for (int i = 0; i < 16; ++i) total += Bits[i];
  if (total > symbol_count_) {
    // More codes than symbols: no table (the arrays have no room for them).
    Status = EC_HUFFMANSIZE;
    return Status;
  }
  // Code-length list (kept in CodeLength, ended by 0) and code list (Code).
  int k = 0;
  for (int len = 1; len <= 16; ++len)
    for (int n = 0; n < Bits[len - 1]; ++n) code_length_[static_cast<std::size_t>(k++)] = len;
  code_length_[static_cast<std::size_t>(k)] = 0;
  {
    std::uint32_t code = 0;
    std::uint32_t size = code_length_[0];
    int p = 0;
    while (code_length_[static_cast<std::size_t>(p)] != 0) {
      while (code_length_[static_cast<std::size_t>(p)] == size) {
        code_[static_cast<std::size_t>(p++)] = code;
        ++code;
      }
      code <<= 1;
      ++size;
    }
  }
  // Decoder limits (T.81 F.2.2.3).
  int j = 0;
  const int lengths = std::min(max_code_length_, 16);
  for (int i = 0; i < lengths; ++i) {
    if (Bits[i] != 0) {
      value_ptr_[static_cast<std::size_t>(i)] = j;
      min_code_[static_cast<std::size_t>(i)] =
          static_cast<std::int32_t>(code_[static_cast<std::size_t>(j)]);
      j += Bits[i];
      max_code_[static_cast<std::size_t>(i)] =
          static_cast<std::int32_t>(code_[static_cast<std::size_t>(j - 1)]);
    } else {
      min_code_[static_cast<std::size_t>(i)] = symbol_count_ + 1;
    }
  }
  BuildLookahead();
  Ready = (Status == EC_OK);
  return Status;
}

void TvexHuffmanJPEG::BuildLookahead() {
  const int bits = kLookaheadBits;
  for (std::uint32_t p = 0; p < (1u << bits); ++p) {
    std::int32_t code = static_cast<std::int32_t>(p >> (bits - 1));
    int used = 1;
    int i = 0;
    std::uint32_t entry = 0;
    for (;;) {
      if (i >= max_code_length_) break;
      if (max_code_[static_cast<std::size_t>(i)] >= code) {
        const std::int64_t index =
            static_cast<std::int64_t>(value_ptr_[static_cast<std::size_t>(i)]) + code -
            min_code_[static_cast<std::size_t>(i)];
        if (index >= 0 && index <= symbol_count_)
          entry = (static_cast<std::uint32_t>(used) << 16) | static_cast<std::uint32_t>(index);
        break;
      }
      if (used == bits) break;
      code = code * 2 + static_cast<std::int32_t>((p >> (bits - 1 - used)) & 1u);
      ++used;
      ++i;
    }
    lookahead_[p] = entry;
  }
}

std::int32_t TvexHuffmanJPEG::DecodeSlow(std::uint32_t next, int& used) const {
  // The lookahead table had no entry: either no code of up to kLookaheadBits
  // matched (continue from there) or the match had an impossible index.
  std::int32_t code = static_cast<std::int32_t>(next >> 31);
  int n = 1;
  int i = 0;
  while (i < max_code_length_ && max_code_[static_cast<std::size_t>(i)] < code) {
    code = code * 2 + static_cast<std::int32_t>((next >> (31 - n)) & 1u);
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
