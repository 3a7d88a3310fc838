// Private to the JPEG writer (formats/jpeg_writer.cpp, jpeg_common.cpp,
// jpeg_progressive_encode.cpp) and its tests.
#pragma once

#include "vexJPEGImage.h"

#include "platform/exceptions.h"

#include <cstdint>
#include <memory>
#include <vector>

// Entropy-coded output of one scan. Produces exactly the bytes that
// TvexBufferStream::WriteBits / FlushBits produce for the same bit sequence
// (most significant bit first, a 0x00 after every 0xFF byte, the last byte
// padded with 0 bits), but gathers whole bytes in a 64-bit reservoir and
// hands them to the stream in large blocks.
class JPEGBitWriter {
public:
  explicit JPEGBitWriter(TvexBufferStream& stream)
      : stream_(stream), out_(new std::uint8_t[kChunk + 16]) {}

  // Appends the low `count` bits of `value` (count 0..32).
  void Put(std::uint32_t value, int count) {
    if (count == 0) return;
    acc_ = (acc_ << count) | (value & ((std::uint64_t{1} << count) - 1));
    pending_ += count;
    if (pending_ >= 32) Drain();
  }
  // Writes every whole byte and the last partial byte (0-padded).
  void Flush();
  // Bits not yet handed to the stream, for tests.
  std::uint64_t BytesWritten() const { return written_; }

private:
  // Small enough that the few pages it needs are soon reused: a fresh page
  // costs far more than handing bytes on more often.
  static constexpr std::size_t kChunk = 1 << 13;
  // Hands on the oldest 32 of the 32..63 bits held.
  void Drain();
  void Emit(std::uint8_t byte) {
    out_[n_++] = byte;
    if (byte == 0xFF) out_[n_++] = 0x00;
  }
  void Hand();

  TvexBufferStream& stream_;
  std::uint64_t acc_ = 0;
  int pending_ = 0;
  std::unique_ptr<std::uint8_t[]> out_;
  std::size_t n_ = 0;
  std::uint64_t written_ = 0;
};

namespace vex::jpeg {

// Colour conversion of one pixel, exactly as the documented extended
// precision formulas give it (rounded half to even). The writer's fast path
// uses integer arithmetic and falls back to these for the exact ties.
std::uint8_t LumaExact(int r, int g, int b);
std::uint8_t CbExact(int r, int g, int b);
std::uint8_t CrExact(int r, int g, int b);

// LumaExact (which 0), CbExact (1) or CrExact (2), remembered per thread for
// the colours that tied last: the fast paths' answer to an exact tie.
std::uint8_t ExactTie(int which, int r, int g, int b);

// Fast conversion: identical results for every (r, g, b).
inline std::uint8_t Luma(int r, int g, int b) {
  const int n = 2989 * r + 5867 * g + 1144 * b;
  const int q = n / 10000, rem = n - q * 10000;
  if (rem != 5000) return static_cast<std::uint8_t>(q + (rem > 5000 ? 1 : 0));
  return LumaExact(r, g, b);
}
inline std::uint8_t Cb(int r, int g, int b) {
  const int n = -1687 * r - 3312 * g + 5000 * b + 1275000; // always >= 255
  const int q = n / 10000, rem = n - q * 10000;
  if (rem != 5000) return static_cast<std::uint8_t>(q + (rem > 5000 ? 1 : 0));
  return CbExact(r, g, b);
}
inline std::uint8_t Cr(int r, int g, int b) {
  const int n = 5000 * r - 4183 * g - 816 * b + 1275000; // always >= 255
  const int q = n / 10000, rem = n - q * 10000;
  if (rem != 5000) return static_cast<std::uint8_t>(q + (rem > 5000 ? 1 : 0));
  return CrExact(r, g, b);
}

// One row of 24-bit (step 3) or 32-bit (step 4) pixels, blue first, into Y,
// Cb and Cr; the SIMD paths (4 or 8 pixels at a time) give the same bytes.
void ConvertRowRGB(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                   std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowRGBPortable(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                           std::uint8_t* cb, std::uint8_t* cr);
// The AVX2 kernel (jpeg_writer_avx2.cpp); only where the processor has AVX2.
void ConvertRowRGBAvx2(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                       std::uint8_t* cb, std::uint8_t* cr);

// Downsampling steps (truncating averages). AverageAcross replaces a row,
// from its start, by the averages of consecutive groups of hf samples
// (stride / hf of them); AverageDown writes out[x] = the average of
// rows[0..vf-1][x] for x < width (out may be rows[0]). The SIMD paths (hf or
// vf of 2) give the same bytes as the portable ones.
void AverageAcross(std::uint8_t* row, std::int64_t stride, int hf);
void AverageDown(const std::uint8_t* const* rows, int vf, std::int64_t width, std::uint8_t* out);
void AverageAcrossPortable(std::uint8_t* row, std::int64_t stride, int hf);
void AverageDownPortable(const std::uint8_t* const* rows, int vf, std::int64_t width,
                         std::uint8_t* out);

// Where a block's coefficients are non-zero, in zig-zag order: bit k of
// `nonzero` is set when |c(k)| >> al is not 0, bit k of `above_one` when it
// exceeds 1 (c(k) is the coefficient at zig-zag position k, natural index
// ZigZag[k]). The SIMD path gives the same masks.
struct BlockMasks {
  std::uint64_t nonzero;
  std::uint64_t above_one;
};
BlockMasks MagnitudeMasks(const std::int16_t* block, int al);
BlockMasks MagnitudeMasksPortable(const std::int16_t* block, int al);
// MagnitudeMasks(block, 0).nonzero alone.
std::uint64_t NonZeroMask(const std::int16_t* block);

// The fixed messages of the entropy coders.
inline constexpr const char* kMsgValueTooLarge =
    "JPEG Fatal error, Value is too large > JPEGMaxHuffmanCodes";
inline constexpr const char* kMsgMissingCode = "JPEG Encoding, Missing Huffman code!";
inline constexpr const char* kMsgValueOutOfRange = "JPEG Fatal error, Value out of range";
inline constexpr const char* kMsgEOBBeyondLastRow =
    "JPEG, Internal error: EOB run extends beyond last row.";
inline constexpr const char* kMsgInvalidZeroRun = "JPEG, Internal error: Invalid zero run.";
inline constexpr const char* kMsgUnexpectedValue = "JPEG, Internal error: Unexpected value.";

// Largest picture side the writer accepts: what the frame header's 16 bits
// hold, less the margin widely used decoders keep (they refuse 65501..65535).
inline constexpr std::int64_t kMaxSide = 65500;

// Largest EOB run the progressive AC coders let grow.
inline constexpr std::int32_t kMaxEOBRun = 0x7FFF;

} // namespace vex::jpeg
