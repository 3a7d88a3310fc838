// Huffman tables: the base shared by the JPEG and deflate coders, and the
// JPEG table (optimal lengths limited to 16 bits, canonical codes, decoder
// limits from a DHT segment, symbol decoding).
#pragma once

#include "vexImageTypeDef.h"

#include <cstdint>
#include <functional>
#include <vector>

// Table of one Huffman code. Failures are kept in Status (error codes of the
// library), never thrown out of BuildCodes.
class TvexHuffmanBase {
public:
  // Gives the next `count` bits, most significant first.
  using ReadBitsProc = std::function<std::uint32_t(std::uint16_t count)>;

  TvexHuffmanBase(int SymbolCount, int MaxCodeLength);
  virtual ~TvexHuffmanBase() = default;
  TvexHuffmanBase(const TvexHuffmanBase&) = delete;
  TvexHuffmanBase& operator=(const TvexHuffmanBase&) = delete;

  // Empties the tables (frequencies, values, lengths, codes, decoder limits).
  virtual void Clear();
  // Prepares the decoder limits for a table of Count values.
  virtual TvexErrorCode BeginTable(int Count);
  // Builds lengths and codes from Frequency; the base only returns Status.
  virtual TvexErrorCode BuildCodes(int MaxLength);

  // Decodes one symbol reading one bit at a time through OnReadBits; -1 when
  // no code matches within MaxCodeLength bits.
  std::int32_t DecodeSymbol();

  void GetCodeAndLength(int Symbol, std::uint32_t& Code, int& Length) const {
    Code = code_[Symbol];
    Length = static_cast<int>(code_length_[Symbol]);
  }

  // Element access; indexes are the caller's responsibility.
  std::uint32_t Frequency(int i) const { return frequency_[i]; }
  void SetFrequency(int i, std::uint32_t v) { frequency_[i] = v; }
  std::int32_t Values(int i) const { return values_[i]; }
  void SetValues(int i, std::int32_t v) { values_[i] = v; }
  std::uint32_t CodeLength(int i) const { return code_length_[i]; }
  void SetCodeLength(int i, std::uint32_t v) { code_length_[i] = v; }
  std::uint32_t Code(int i) const { return code_[i]; }

  // Raw arrays for the hot loops of the coders.
  std::uint32_t* FrequencyData() { return frequency_.data(); }
  const std::uint32_t* CodeData() const { return code_.data(); }
  const std::uint32_t* CodeLengthData() const { return code_length_.data(); }

  int SymbolCount() const { return symbol_count_; }
  int MaxCodeLength() const { return max_code_length_; }
  std::int32_t MinCode(int i) const { return min_code_[i]; }
  std::int32_t MaxCode(int i) const { return max_code_[i]; }
  std::int32_t ValuePtr(int i) const { return value_ptr_[i]; }

  TvexErrorCode Status = EC_OK;
  bool Ready = false;
  std::int32_t ValueCount = 0;
  ReadBitsProc OnReadBits;

protected:
  int symbol_count_;
  int max_code_length_;
  std::vector<std::uint32_t> frequency_;   // SymbolCount + 1
  std::vector<std::int32_t> values_;       // SymbolCount + 1
  std::vector<std::uint32_t> code_length_; // SymbolCount + 1
  std::vector<std::uint32_t> code_;        // SymbolCount + 1
  std::vector<std::int32_t> min_code_;     // MaxCodeLength
  std::vector<std::int32_t> max_code_;     // MaxCodeLength
  std::vector<std::int32_t> value_ptr_;    // MaxCodeLength
};

// The JPEG table: 256 symbols, codes of at most 16 bits. Symbol 256 is
// reserved: it takes part in BuildCodes so that no real symbol gets the
// all-ones code, and is dropped afterwards.
class TvexHuffmanJPEG : public TvexHuffmanBase {
public:
  // Bits looked up at once by DecodeFast.
  static constexpr int kLookaheadBits = 9;

  TvexHuffmanJPEG(int SymbolCount = 256, int MaxCodeLength = 16);

  void Clear() override;
  // Optimal code lengths from Frequency (the argument is ignored; the limit
  // is always 16), canonical codes and Values. Status 14 or 55 on failure.
  TvexErrorCode BuildCodes(int MaxLength = 16) override;

  // Decoder set-up from a DHT segment: Values[0 .. Count-1] must be set
  // before. Bits[i] is the number of codes of length i + 1. Count lists
  // summing to more than SymbolCount give Status 24 and no table.
  TvexErrorCode DefineTable(int Count, const std::uint8_t Bits[16]);

  // Codes of length n + 1 (n = 0..15), 0 for any other n.
  std::int32_t CodeCount(int n) const {
    return (n >= 0 && n < 16) ? static_cast<std::int32_t>(LengthCounts[n]) : 0;
  }

  // DecodeSymbol without a callback: `next` holds the next 32 bits of the
  // stream, most significant first (zero bits past the data). Returns what
  // DecodeSymbol would return and sets `used` to the number of bits it would
  // have read (17 for -1). A 2^kLookaheadBits table answers every code of up
  // to that many bits in one step.
  std::int32_t DecodeFast(std::uint32_t next, int& used) const {
    const std::uint32_t entry = lookahead_[next >> (32 - kLookaheadBits)];
    if (entry != 0) {
      used = static_cast<int>(entry >> 16);
      return values_[entry & 0xFFFF];
    }
    return DecodeSlow(next, used);
  }

  // Counts of codes per length after BuildCodes: entry n - 1 for length n.
  std::uint32_t LengthCounts[33] = {};

private:
  std::int32_t DecodeSlow(std::uint32_t next, int& used) const;
  void BuildLookahead();

  // Per 9-bit prefix: (code length << 16) | index into Values, 0 when the
  // code is longer than the prefix (or matches nothing).
  std::vector<std::uint32_t> lookahead_;
};

namespace vex::jpeg {

// Magnitude category of a coefficient value: bits of |v|.
inline int Category(int v) {
  unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
  int n = 0;
  while (a != 0) {
    ++n;
    a >>= 1;
  }
  return n;
}

// The value of `s` magnitude bits x as read from a stream.
inline int Extend(int x, int s) {
  if (s == 0) return 0;
  return x < (1 << (s - 1)) ? x - (1 << s) + 1 : x;
}

} // namespace vex::jpeg
