// Internal to the fax codecs (modified_huffman.cpp, ccitt.cpp): the code
// tables, the bit reader and writer, and the bit-row helpers. Not for other
// files.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vex::fax {

// A code word the encoders emit.
struct FaxWord {
  std::uint16_t code;
  std::uint8_t bits;
};

// One decoder table entry: a code, a skip or a link (see the generator).
struct FaxCode {
  std::uint16_t value;
  std::uint8_t bits;
  std::uint8_t kind;
};
enum FaxKind : std::uint8_t {
  kLink = 0,
  kTerminating = 1,
  kMakeup = 2,
  kEndOfLine = 3,
  kSkip = 4,
  kModeCode = 5,
  kEndOfInput = 6 // not in the tables: the input ended inside a code
};

#include "fax_tables.inc"

inline constexpr int kRootBits = 9;
inline constexpr int kEndOfLineValue = 0xFFFF;

struct FaxTable {
  const FaxCode* root;
  const FaxCode* sub;
  int sub_bits;
};
inline constexpr FaxTable kWhiteTable{kWhiteRoot, kWhiteSub, kWhiteSubBits};
inline constexpr FaxTable kBlackTable{kBlackRoot, kBlackSub, kBlackSubBits};
inline constexpr FaxTable kModeTable{kModeRoot, kModeSub, kModeSubBits};

enum ModeValue { kPass, kHorizontal, kV0, kVR1, kVR2, kVR3, kVL1, kVL2, kVL3, kExt2D, kExt1D };

inline constexpr std::uint8_t reverse_byte(std::uint8_t b) {
  b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// Reads bits most significant first (or least significant first with
// `reverse`) through a 64-bit window; bits past the end read as 0 and the
// callers compare code lengths with bits_left() before taking a code.
class BitReader {
public:
  void start(const std::uint8_t* data, std::int64_t size, bool reverse) {
    begin_ = p_ = data;
    end_ = data + size;
    acc_ = 0;
    count_ = 0;
    reverse_ = reverse;
  }
  void fill() {
    while (count_ <= 56 && p_ < end_) {
      const std::uint8_t b = reverse_ ? reverse_byte(*p_) : *p_;
      ++p_;
      acc_ |= std::uint64_t{b} << (56 - count_);
      count_ += 8;
    }
  }
  std::int64_t bits_left() const { return count_ + 8 * (end_ - p_); }
  // The next n (1..32) bits; fill() first.
  std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(acc_ >> (64 - n)); }
  // Drops n bits, n no more than the window holds (fill() first).
  void consume(int n) {
    acc_ = n >= 64 ? 0 : acc_ << n;
    count_ -= n;
  }
  void consume_all() {
    acc_ = 0;
    count_ = 0;
    p_ = end_;
  }
  // Drops the unread bits of the byte being read.
  void align() { consume(count_ & 7); }
  // Leading zero bits in the window (at most the bits it holds).
  int leading_zeros() const {
    const int z = acc_ == 0 ? 64 : std::countl_zero(acc_);
    return z < count_ ? z : count_;
  }
  // Input bytes read so far, a partly read byte included.
  std::int64_t bytes_used() const { return (p_ - begin_) - count_ / 8; }

  // Next code of `t`: a skip, a code, or kEndOfInput when the input ends
  // inside it (the rest of the input is then consumed).
  FaxCode read(const FaxTable& t) {
    fill();
    FaxCode e = t.root[peek(kRootBits)];
    if (e.kind == kLink)
      e = t.sub[e.value + (peek(kRootBits + t.sub_bits) & ((1u << t.sub_bits) - 1))];
    if (e.bits > bits_left()) {
      consume_all();
      return {0, 0, kEndOfInput};
    }
    consume(e.bits);
    return e;
  }

private:
  const std::uint8_t* begin_ = nullptr;
  const std::uint8_t* p_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::uint64_t acc_ = 0;
  int count_ = 0;
  bool reverse_ = false;
};

// Collects bits most significant first into a growing byte buffer.
class BitWriter {
public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void put(std::uint32_t code, int bits) {
    acc_ = (acc_ << bits) | (code & ((1u << bits) - 1));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<std::uint8_t>(acc_ >> count_));
    }
  }
  void put(const FaxWord& w) { put(w.code, w.bits); }
  // Appends a partly filled byte, its remaining bits 0.
  void pad() {
    if (count_ > 0) put(0, 8 - count_);
  }
  std::size_t size() const { return out_.size(); }

private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t acc_ = 0;
  int count_ = 0;
};

// Writes the codes of one run in the colour's tables: extended make-up
// codes, make-up codes, then a terminating code.
inline void put_run(BitWriter& w, std::int64_t run, bool black) {
  while (run >= 1792) {
    const std::int64_t v = std::min<std::int64_t>(2560, 1792 + 64 * ((run - 1792) / 64));
    w.put(kExtendedMakeup[(v - 1792) / 64]);
    run -= v;
  }
  const FaxWord* makeup = black ? kBlackMakeup : kWhiteMakeup;
  while (run >= 64) {
    const std::int64_t v = std::min<std::int64_t>(1728, 64 + 64 * ((run - 64) / 64));
    w.put(makeup[v / 64 - 1]);
    run -= v;
  }
  w.put((black ? kBlackTerminating : kWhiteTerminating)[run]);
}

// First x in [from, width) whose pixel is not `colour` (0 white, 1 black);
// width when there is none. Rows are packed most significant bit first.
inline std::int32_t find_other(const std::uint8_t* row, std::int32_t from, std::int32_t width,
                               int colour) {
  if (from >= width) return width;
  const std::uint8_t flip = colour ? 0xFF : 0x00;
  std::int64_t byte = from >> 3;
  const std::int64_t last = (std::int64_t{width} - 1) >> 3;
  std::uint8_t b = static_cast<std::uint8_t>((row[byte] ^ flip) & (0xFFu >> (from & 7)));
  while (b == 0) {
    ++byte;
    // Eight bytes at a time through long runs.
    const std::uint64_t pattern = colour ? ~std::uint64_t{0} : 0;
    while (byte + 8 <= last + 1) {
      std::uint64_t word;
      std::memcpy(&word, row + byte, 8);
      if (word != pattern) break;
      byte += 8;
    }
    if (byte > last) return width;
    b = static_cast<std::uint8_t>(row[byte] ^ flip);
  }
  const std::int64_t x = byte * 8 + std::countl_zero(b);
  return x < width ? static_cast<std::int32_t>(x) : width;
}

// Sets the pixels [x0, x1) of a bit row to 1.
inline void fill_black(std::uint8_t* row, std::int64_t x0, std::int64_t x1) {
  if (x0 >= x1) return;
  std::int64_t b0 = x0 >> 3;
  const std::int64_t b1 = (x1 - 1) >> 3;
  const auto head = static_cast<std::uint8_t>(0xFFu >> (x0 & 7));
  const auto tail = static_cast<std::uint8_t>(0xFF00u >> (((x1 - 1) & 7) + 1));
  if (b0 == b1) {
    row[b0] |= static_cast<std::uint8_t>(head & tail);
    return;
  }
  row[b0++] |= head;
  if (b1 > b0) std::memset(row + b0, 0xFF, static_cast<std::size_t>(b1 - b0));
  row[b1] |= tail;
}

} // namespace vex::fax

namespace vex::fax {

// Changing elements of one line as coded: positions where the colour
// flips, the first one to black. Zero-length runs stay in the list (the
// next row's codes count them, as encoders do). Grows with the codes
// actually read, never with the width a file claims.
class Changes {
public:
  void clear() { n_ = 0; }
  void push(std::int32_t x) {
    if (n_ == v_.size()) v_.resize(v_.empty() ? 256 : v_.size() * 2);
    v_[n_++] = x;
  }
  // Closes the line with sentinels at the width, so that b1 and b2 can be
  // read past the last change.
  void close(std::int32_t width) {
    for (int i = 0; i < 3; ++i) {
      if (n_ == v_.size()) v_.resize(v_.empty() ? 256 : v_.size() * 2);
      v_[n_++] = width;
    }
  }
  const std::int32_t* data() const { return v_.data(); }
  void swap(Changes& o) {
    v_.swap(o.v_);
    std::swap(n_, o.n_);
  }
  void release() {
    v_.clear();
    v_.shrink_to_fit();
    n_ = 0;
  }

private:
  std::vector<std::int32_t> v_;
  std::size_t n_ = 0;
};

enum class RowEnd { Full, EndOfLine, EndOfInput, Overflow, Backwards, Extension };

// Completes an end-of-line whose zeros were read: up to 49 bits until a 1.
// False when no 1 came.
inline bool finish_end_of_line(BitReader& r) {
  r.fill();
  const int limit = static_cast<int>(std::min<std::int64_t>(49, r.bits_left()));
  const int z = r.leading_zeros();
  if (z < limit) {
    r.consume(z + 1);
    return true;
  }
  r.consume(limit);
  return false;
}

// One-dimensional codes into `row` from pixel `pos` until a terminating code
// fills the row, an end-of-line comes or the input ends. Make-up codes keep
// the colour, terminating codes switch it; black runs are painted. A code
// that would pass the width is not painted (Overflow).
template <bool kRecord>
RowEnd decode_1d(BitReader& r, std::uint8_t* row, std::int32_t width, std::int32_t& pos,
                 std::uint8_t& colour, Changes* changes) {
  for (;;) {
    const FaxCode c = r.read(colour ? kBlackTable : kWhiteTable);
    if (c.kind == kSkip) continue;
    if (c.kind == kEndOfInput) return RowEnd::EndOfInput;
    if (c.kind == kEndOfLine) {
      if (colour) finish_end_of_line(r);
      return RowEnd::EndOfLine;
    }
    if (c.value > width - pos) return RowEnd::Overflow;
    if (colour) fill_black(row, pos, pos + c.value);
    pos += c.value;
    if (c.kind == kTerminating) {
      colour ^= 1;
      if constexpr (kRecord) changes->push(pos);
      if (pos == width) return RowEnd::Full;
    }
  }
}

} // namespace vex::fax
