// What every format reader and writer shares beyond the entry frame of
// TvexImageFile: the size caps, checked arithmetic for sizes taken from
// files, fixed header fields in either byte order, and the placement of
// decoded rows into the bitmap. Included by the format sources only.
#pragma once

#include "vexFileStream.h"
#include "vexImageFile.h"

#include "platform/bitmap_types.h"
#include "platform/dib_section.h"
#include "platform/exceptions.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace vex::kit {

// ---------------------------------------------------------------------------
// Size caps: the one place where a reader's appetite is bounded.

// The pixel memory of one bitmap (the platform refuses larger sections).
inline constexpr std::int64_t kMaxBitmapBytes = platform::kMaxSectionBytes;
// Everything else one load allocates on a file's word (coefficients, strip
// and plane buffers, decoded streams), counted together where a format
// keeps more than one.
inline constexpr std::int64_t kMaxAllocation = std::int64_t{1} << 30;
// A side of any picture a reader accepts or a writer stores (bitmap headers
// hold signed 32-bit sides; no real picture comes near).
inline constexpr std::int64_t kMaxSide = std::int64_t{1} << 24;

// The bitmap byte budget of the loads of this process: kMaxBitmapBytes unless
// a fuzz target lowers it so that hostile headers cannot make every input a
// gigabyte allocation. CreateDIB refuses larger bitmaps like the platform does.
std::int64_t BitmapByteCap();
void SetBitmapByteCap(std::int64_t bytes);

// ---------------------------------------------------------------------------
// Checked arithmetic: sizes from a file are products and sums of untrusted
// numbers. Each gives nothing when the exact result leaves [0, limit].

inline std::optional<std::int64_t> Mul(std::int64_t a, std::int64_t b,
                                       std::int64_t limit = kMaxAllocation) {
  std::int64_t r = 0;
  if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r) || r > limit) return std::nullopt;
  return r;
}

inline std::optional<std::int64_t> Add(std::int64_t a, std::int64_t b,
                                       std::int64_t limit = kMaxAllocation) {
  std::int64_t r = 0;
  if (a < 0 || b < 0 || __builtin_add_overflow(a, b, &r) || r > limit) return std::nullopt;
  return r;
}

// Bytes of one row of `width` pixels of `bits` bits, rounded up to whole
// bytes (no padding), or nothing when it exceeds the caps.
inline std::optional<std::int64_t> RowBytes(std::int64_t width, std::int64_t bits) {
  if (width < 0 || width > kMaxSide || bits < 1 || bits > 64) return std::nullopt;
  return (width * bits + 7) / 8;
}

// Whether a picture of these sides can be a bitmap at all.
inline bool PlausibleSides(std::int64_t width, std::int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide;
}

// ---------------------------------------------------------------------------
// Byte order of fields held in memory (headers read whole).

inline std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline std::uint16_t Be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// ---------------------------------------------------------------------------
// Fields read through the buffered stream, in the byte order it is set to.
// A field the data cuts short raises vex::EndOfFile, which the entry frame
// turns into the format's end-of-file code: readers need not check counts.

class FieldReader {
public:
  explicit FieldReader(TvexBufferStream& stream) : s_(stream) {}

  void Bytes(void* dest, std::int32_t count) {
    if (count > 0 && s_.Read(dest, count) != count) throw vex::EndOfFile();
  }
  std::uint8_t U8() {
    std::uint8_t b = 0;
    Bytes(&b, 1);
    return b;
  }
  std::uint16_t U16() {
    std::uint8_t b[2];
    Bytes(b, 2);
    return s_.GetBigEndian() ? Be16(b) : Le16(b);
  }
  std::uint32_t U32() {
    std::uint8_t b[4];
    Bytes(b, 4);
    return s_.GetBigEndian() ? Be32(b) : Le32(b);
  }
  // Bytes left from the current position to the end of the data.
  std::int64_t Remaining() {
    const std::int64_t r = s_.GetSize() - s_.GetPosition();
    return r > 0 ? r : 0;
  }

private:
  TvexBufferStream& s_;
};

// ---------------------------------------------------------------------------
// Row placement: decoded rows into a bottom-up bitmap.

// Rows of a picture into the bitmap a reader made with CreateDIB (positive
// height: memory row 0 is the bottom row). Rows are numbered in the order
// the file stores them; `file_top_down` says whether that order starts at
// the top of the picture (most formats) or at the bottom (BMP, Targa's
// default, SGI).
class RowPlacer {
public:
  RowPlacer(std::uint8_t* bits, std::int32_t line_width, std::int32_t height, bool file_top_down)
      : bits_(bits), line_(line_width), height_(height), top_down_(file_top_down) {}

  // Memory of file row `y`; null outside the picture.
  std::uint8_t* Row(std::int64_t y) const {
    if (!bits_ || y < 0 || y >= height_) return nullptr;
    const std::int64_t memory_row = top_down_ ? height_ - 1 - y : y;
    return bits_ + memory_row * line_;
  }
  // Copies at most one bitmap row of bytes into file row `y`.
  void Put(std::int64_t y, const std::uint8_t* src, std::int64_t bytes) const {
    std::uint8_t* row = Row(y);
    if (!row || !src || bytes <= 0) return;
    std::memcpy(row, src, static_cast<std::size_t>(bytes < line_ ? bytes : line_));
  }
  std::int32_t LineWidth() const { return line_; }
  std::int32_t Height() const { return height_; }

private:
  std::uint8_t* bits_;
  std::int32_t line_;
  std::int32_t height_;
  bool top_down_;
};

// Pixel conversions a reader applies while placing a row.
// `count` pixels of red, green, blue (and alpha) into the bitmap's blue,
// green, red (and alpha) order.
void RgbToBgr(const std::uint8_t* rgb, std::int64_t count, std::uint8_t* bgr);
void RgbaToBgra(const std::uint8_t* rgba, std::int64_t count, std::uint8_t* bgra);
// `count` palette indices of `bits` bits (1, 2, 4 or 8; most significant
// first) into 24-bit pixels; an index past `palette_size` is black.
void ExpandIndices(const std::uint8_t* indices, int bits, std::int64_t count,
                   const platform::RgbQuad* palette, int palette_size, std::uint8_t* bgr);

// Days between 30 December 1899 and a calendar date (proleptic Gregorian).
inline std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468 + 25569;
}

inline void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468 - 25569;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

} // namespace vex::kit
