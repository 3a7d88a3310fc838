// LZW data of TIFF strips (compression 5): codes of 9 to 12 bits, clear
// code 256, end code 257, first free code 258. Current data packs codes most
// significant bit first and widens them one code early; the older packing
// (least significant bit first, widened on time) is recognised by its first
// bytes and read too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vex::codec {

// Decodes one strip, pulled in pieces of any size. The input must stay valid
// until the strip is done.
class LzwDecoder {
public:
  void Start(const std::uint8_t* data, std::size_t size);
  // Up to `count` next bytes into `out`; fewer only when the data ended (end
  // code, input used up, or a code the table does not hold yet: Damaged()).
  std::size_t Read(std::uint8_t* out, std::size_t count);
  bool Damaged() const { return damaged_; }

private:
  static constexpr int kCodes = 4096;
  static constexpr int kClear = 256;
  static constexpr int kEnd = 257;
  static constexpr int kFirstFree = 258;

  void Reset();
  // The next code, or -1 when the input has no whole code left.
  int NextCode();
  // Writes the string of `code` backwards ending at `end` (exclusive).
  void Spell(int code, std::uint8_t* end) const;

  const std::uint8_t* in_ = nullptr;
  std::size_t in_left_ = 0;
  std::uint64_t bits_ = 0;
  int bit_count_ = 0;
  bool lsb_first_ = false;
  int early_ = 1; // widen when the next code reaches 2^width - early_
  int width_ = 9;
  int next_ = kFirstFree;
  int old_ = -1;
  bool ended_ = false;
  bool damaged_ = false;
  // A string that did not fit the caller's room.
  std::uint8_t pending_[kCodes];
  int pending_at_ = 0;
  int pending_len_ = 0;
  std::uint16_t prefix_[kCodes];
  std::uint8_t suffix_[kCodes];
  std::uint8_t first_[kCodes];
  std::uint16_t length_[kCodes];
};

} // namespace vex::codec
