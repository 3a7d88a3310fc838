// Private to the JPEG reader (formats/jpeg_reader.cpp, formats/jpeg_progressive_decode.cpp,
// codecs/ycc_rgb.cpp) and to their tests. Nothing else includes it.
//
// Hazards of hostile files this layer is built against: entropy-coded data that
// ends without a marker (truncation), markers inside the data (DNL, stray RSTn),
// Huffman tables whose code counts over-subscribe the code space, DC categories
// above 15, predictors that run out of 16 bits, sampling factors that make huge
// MCUs, and frames whose sizes overflow 32 bits.
#pragma once

#include "vexDCT.h"

#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace vex::jpeg {

// Limits, each with its reason.
// A progressive file may hold any number of scans and each scan walks every
// block of a component: cap them so that a small hostile file cannot keep the
// reader busy for minutes. Real encoders write 10 to 20.
inline constexpr int kMaxScans = 256;
// One buffer the reader allocates for itself (coefficients, sample rows) is
// refused beyond this, as the platform refuses bitmap sections beyond 1 GiB.
inline constexpr std::int64_t kMaxAllocation = std::int64_t{1} << 30;
// Bytes the entropy decoder pulls from the buffered stream at a time.
inline constexpr std::int32_t kBitChunk = 16384;

// The messages the entropy decoder raises (the reader turns them into codes).
inline constexpr const char* kMsgValueOutOfRange = "JPEG Fatal error, Value out of range";
inline constexpr const char* kMsgUnexpectedDNL = "JPEG, Unexpected DNL marker.";
inline constexpr const char* kMsgProgressiveScan = "JPEG Error in progressive scan.";
inline constexpr const char* kMsgInvalidValue = "JPEG Invalid value in input stream.";

// Bit reader of entropy-coded data: a 64-bit reservoir filled from byte chunks
// pulled out of the buffered stream, removing stuffed zero bytes and stopping at
// markers. Once a marker (or the end of the data) is reached it delivers zero
// bits and leaves the marker where the marker loop will find it.
class BitReader {
public:
  // Pulls up to `n` bytes into `dst`; returns how many arrived (0 at the end).
  using Pull = std::int32_t (*)(void* ctx, std::uint8_t* dst, std::int32_t n);

  void Begin(Pull pull, void* ctx) {
    pull_ = pull;
    ctx_ = ctx;
    bits_ = 0;
    count_ = 0;
    pad_ = 0;
    ptr_ = end_ = buf_;
    marker_ = 0;
    eof_ = false;
  }

  // Guarantees at least 57 bits in the reservoir (zero bits past a marker or the end).
  void Fill();

  int Available() const { return count_; }
  // The next n bits (1..32), most significant first, without consuming them.
  std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(bits_ >> (64 - n)); }
  void Skip(int n) {
    bits_ <<= n;
    count_ -= n;
  }
  // The next n bits (0..16), consumed.
  std::uint32_t Get(int n) {
    if (n == 0) return 0;
    if (count_ < n) Fill();
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  std::uint32_t GetBit() {
    if (count_ < 1) Fill();
    const std::uint32_t v = static_cast<std::uint32_t>(bits_ >> 63);
    Skip(1);
    return v;
  }

  // True once more bits were consumed than the data held before the end of the
  // file (not before a marker): the data was cut short.
  bool Truncated() const { return eof_ && pad_ > count_; }
  // True once a marker stopped the data.
  bool AtMarker() const { return marker_ != 0; }

  // At a restart point: drops the reservoir, skips the 0xFF run and consumes the
  // marker after it. Returns its number 0..7 for an RSTn, -1 for anything else.
  int TakeRestart();

  // Ends the entropy-coded segment: drops the reservoir and moves on to the
  // next marker that is not an RSTn (bytes before it belong to the segment).
  // Returns the number of bytes pulled from the stream beyond that marker,
  // which the caller gives back so that the marker loop reads the marker next.
  std::int32_t Finish();

private:
  bool Refill();

  std::uint64_t bits_ = 0;
  int count_ = 0;
  std::int64_t pad_ = 0;
  const std::uint8_t* ptr_ = buf_;
  const std::uint8_t* end_ = buf_;
  int marker_ = 0;
  bool eof_ = false;
  Pull pull_ = nullptr;
  void* ctx_ = nullptr;
  std::uint8_t buf_[kBitChunk + 2];
};

// The sample value of every position of a block whose only non-zero
// coefficient is the DC term: both passes of the inverse transform carry the
// lone term through unchanged (every other input is zero), so the block is
// flat and equal to what InverseDCT gives.
inline std::uint8_t DCOnlySample(const TvexDCT& dct, std::int16_t dc) {
  const float x0 = static_cast<float>(dc) * dct.Multipliers[0];
  const float r = vex::round_half_even(x0 + dct.Bias);
  return r < 0.0f ? 0 : r > 255.0f ? 255 : static_cast<std::uint8_t>(r);
}

// YCbCr to RGB tables (built once per colour frame): x = i - 127.5 in single
// precision, each product rounded half to even.
struct YccTables {
  std::int32_t cb_to_b[256];
  std::int32_t cb_to_g[256];
  std::int32_t cr_to_r[256];
  std::int32_t cr_to_g[256];
  std::uint8_t clamp_store[767]; // -255 .. 511
  const std::uint8_t* clamp() const { return clamp_store + 255; }
  void Build();
};

// One image row: Y, Cb, Cr at full resolution to blue, green, red bytes.
void ycc_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                    const std::uint8_t* cr, std::uint8_t* bgr, int width);
void ycc_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                             const std::uint8_t* cr, std::uint8_t* bgr, int width);
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
void ycc_to_bgr_row_sse2(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                         const std::uint8_t* cr, std::uint8_t* bgr, int width);
#endif

// Horizontal replication: out_width samples, each source sample repeated
// `factor` times.
void upsample_row(const std::uint8_t* src, std::uint8_t* dst, int factor, int out_width);

} // namespace vex::jpeg
