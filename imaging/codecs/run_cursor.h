// The resumable write cursor of the run-length decoders (BMP, Targa, PCX,
// SGI, PackBits): runs and literal stretches land at the cursor, which keeps
// its place between calls, so data may arrive in pieces, and never writes
// outside the rows it was bound to. Included by the codec sources only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vex::codec {

class RunCursor {
public:
  RunCursor() = default;

  // `rows` rows of `row_bytes` bytes each, `stride` bytes apart in memory
  // from `base` (stride may be negative: data rows running from the last
  // memory row upwards). With `wrap`, a run that passes the end of a row
  // goes on at the start of the next; without, it is cut at the row's end.
  void Bind(std::uint8_t* base, std::int64_t stride, std::int64_t row_bytes, std::int64_t rows,
            bool wrap) {
    base_ = base;
    stride_ = stride;
    row_bytes_ = row_bytes > 0 ? row_bytes : 0;
    rows_ = base && row_bytes_ > 0 && rows > 0 ? rows : 0;
    wrap_ = wrap;
    row_ = column_ = 0;
  }
  // The usual binding to a DIB: rows of `line_width` bytes, the data's first
  // row being the bottom memory row, or the top one when `top_down`.
  void BindBitmap(std::uint8_t* bits, std::int64_t line_width, std::int64_t row_bytes,
                  std::int64_t rows, bool top_down, bool wrap) {
    if (top_down && bits && rows > 0)
      Bind(bits + (rows - 1) * line_width, -line_width, row_bytes, rows, wrap);
    else
      Bind(bits, line_width, row_bytes, rows, wrap);
  }

  // Back to a place kept from an earlier call (a codec fed in pieces).
  void MoveTo(std::int64_t row, std::int64_t column) {
    row_ = std::clamp<std::int64_t>(row, 0, rows_);
    column_ = row_ < rows_ ? std::clamp<std::int64_t>(column, 0, row_bytes_ - 1) : 0;
  }
  // Memory of data row `row`; null outside the bound rows.
  std::uint8_t* RowAt(std::int64_t row) const {
    return row >= 0 && row < rows_ ? base_ + row * stride_ : nullptr;
  }

  bool Done() const { return row_ >= rows_; }
  std::int64_t Row() const { return row_; }
  std::int64_t Column() const { return column_; }
  std::int64_t RowBytes() const { return row_bytes_; }
  // Bytes left in the current row.
  std::int64_t RowLeft() const { return Done() ? 0 : row_bytes_ - column_; }

  // `count` copies of `value`; returns the bytes written.
  std::int64_t Fill(std::uint8_t value, std::int64_t count) {
    return Emit(count, [value](std::uint8_t* dst, std::int64_t, std::int64_t n) {
      std::memset(dst, value, static_cast<std::size_t>(n));
    });
  }
  // `count` bytes from `src`; returns the bytes written.
  std::int64_t Copy(const std::uint8_t* src, std::int64_t count) {
    return Emit(count, [src](std::uint8_t* dst, std::int64_t done, std::int64_t n) {
      std::memcpy(dst, src + done, static_cast<std::size_t>(n));
    });
  }
  // `count` repetitions of an item of `size` bytes (a pixel of a run);
  // returns the bytes written. Items may straddle rows when wrapping.
  std::int64_t FillItem(const std::uint8_t* item, int size, std::int64_t count) {
    if (size == 1) return Fill(item[0], count);
    return Emit(count * size, [item, size](std::uint8_t* dst, std::int64_t done, std::int64_t n) {
      for (std::int64_t i = 0; i < n; ++i) dst[i] = item[(done + i) % size];
    });
  }
  // Moves on without writing (a skipped stretch keeps what the rows held).
  std::int64_t Skip(std::int64_t count) {
    return Emit(count, [](std::uint8_t*, std::int64_t, std::int64_t) {});
  }
  // To the start of the next row.
  void EndRow() {
    if (Done()) return;
    ++row_;
    column_ = 0;
  }

private:
  template <class Put> std::int64_t Emit(std::int64_t count, Put put) {
    std::int64_t done = 0;
    while (count > done && !Done()) {
      const std::int64_t n = std::min(count - done, row_bytes_ - column_);
      put(base_ + row_ * stride_ + column_, done, n);
      done += n;
      column_ += n;
      if (column_ == row_bytes_) {
        ++row_;
        column_ = 0;
        if (!wrap_) break;
      }
    }
    return done;
  }

  std::uint8_t* base_ = nullptr;
  std::int64_t stride_ = 0;
  std::int64_t row_bytes_ = 0;
  std::int64_t rows_ = 0;
  bool wrap_ = true;
  std::int64_t row_ = 0;
  std::int64_t column_ = 0;
};

} // namespace vex::codec
