#include "vexImageCompress.h"

#include "run_cursor.h"

#include <algorithm>
#include <cstring>

namespace {

// Items of 1, 2, 3 or 4 bytes; nibble items for 4-bit rows.
template <int N> bool same(const std::uint8_t* d, std::int32_t i, std::int32_t j) {
  return std::memcmp(d + std::int64_t{i} * N, d + std::int64_t{j} * N, N) == 0;
}

inline std::uint8_t nibble(const std::uint8_t* d, std::int32_t i) {
  return (i & 1) ? (d[i >> 1] & 0x0F) : (d[i >> 1] >> 4);
}

template <int N> std::int32_t run_length(const std::uint8_t* d, std::int32_t s, std::int32_t e) {
  std::int32_t i = s + 1;
  while (i < e && same<N>(d, i, s)) ++i;
  return std::max(i - s, 1);
}

std::int32_t run_length_nibble(const std::uint8_t* d, std::int32_t s, std::int32_t e) {
  std::int32_t i = s + 1;
  while (i < e && nibble(d, i) == nibble(d, s)) ++i;
  return std::max(i - s, 1);
}

// Items from `s` up to (not including) the item before the first repeat; all
// the rest of the row when nothing repeats.
template <class Repeats>
std::int32_t literal_length(std::int32_t s, std::int32_t e, Repeats repeats) {
  if (s >= e) return 0;
  for (std::int32_t i = s + 1; i < e; ++i)
    if (repeats(i)) return i - s - 1;
  return e - s;
}

template <int N>
std::int32_t literal_length_n(const std::uint8_t* d, std::int32_t s, std::int32_t e) {
  return literal_length(s, e, [d](std::int32_t i) { return same<N>(d, i, i - 1); });
}

// 3-byte items: one equal byte already ends the stretch.
std::int32_t literal_length_3(const std::uint8_t* d, std::int32_t s, std::int32_t e) {
  return literal_length(s, e, [d](std::int32_t i) {
    const std::uint8_t* a = d + std::int64_t{i} * 3;
    const std::uint8_t* b = a - 3;
    return a[0] == b[0] || a[1] == b[1] || a[2] == b[2];
  });
}

std::int32_t literal_length_nibble(const std::uint8_t* d, std::int32_t s, std::int32_t e) {
  return literal_length(s, e, [d](std::int32_t i) { return nibble(d, i) == nibble(d, i - 1); });
}

} // namespace

// ---------------------------------------------------------------------------
// Line planner

TvexImageRLE::TvexImageRLE() {
  SetScanFunctions(8);
}

void TvexImageRLE::SetScanFunctions(int item_bits) {
  switch (item_bits) {
  case 4:
    RunLength = run_length_nibble;
    LiteralLength = literal_length_nibble;
    break;
  case 15:
  case 16:
    RunLength = run_length<2>;
    LiteralLength = literal_length_n<2>;
    break;
  case 24:
    RunLength = run_length<3>;
    LiteralLength = literal_length_3;
    break;
  case 32:
    RunLength = run_length<4>;
    LiteralLength = literal_length_n<4>;
    break;
  default:
    RunLength = run_length<1>;
    LiteralLength = literal_length_n<1>;
    break;
  }
}

void TvexImageRLE::SetImage(DibHandle dib) {
  TvexImageCompress::SetImage(dib);
  SetScanFunctions(BitCount);
  Segments.assign(static_cast<std::size_t>(2) * static_cast<std::size_t>(LineWidth) + 2, {});
}

void TvexImageRLE::Clear() {
  TvexImageCompress::Clear();
  Segments.clear();
  DataRanOut = false;
  Segments.shrink_to_fit();
}

void TvexImageRLE::PlanLine(const std::uint8_t* data, std::int32_t start, std::int32_t end) {
  Segments.clear();
  Segments.push_back({start, 0, true}); // sentinel
  // 1. Scan into runs and literals; a literal after a literal joins it.
  std::int32_t a = start;
  while (a < end) {
    const std::int32_t r = RunLength(data, a, end);
    Segment s;
    s.start = a;
    if (r >= MinRun) {
      s.length = r;
      s.run = true;
    } else {
      s.length = r + LiteralLength(data, a + r, end);
      s.run = false;
    }
    s.length = std::min(s.length, end - a);
    if (!s.run && Segments.size() > 1 && !Segments.back().run)
      Segments.back().length += s.length;
    else
      Segments.push_back(s);
    a += s.length;
  }
  const std::size_t last = Segments.size() - 1; // index of the last real segment
  Segments.push_back({end, 0, true});           // terminator

  auto prev_of = [&](std::size_t j) -> std::size_t {
    for (std::size_t k = j - 1; k >= 1; --k)
      if (Segments[k].length > 0) return k;
    return 0;
  };
  auto next_of = [&](std::size_t j) -> std::size_t {
    for (std::size_t k = j + 1; k <= last; ++k)
      if (Segments[k].length > 0) return k;
    return 0;
  };

  // 2. Short literals borrow from a neighbouring run or are absorbed by it.
  for (std::size_t j = 1; j <= last; ++j) {
    Segment& lit = Segments[j];
    if (lit.run || lit.length <= 0 || lit.length >= MinLiteral) continue;
    const std::size_t p = prev_of(j);
    const std::size_t n = next_of(j);
    if (p == 0 && n == 0) continue; // the whole row: written as runs of one
    std::size_t e;
    if (p == 0)
      e = n;
    else if (n == 0)
      e = p;
    else
      e = Segments[n].length < Segments[p].length ? n : p;
    Segment& nb = Segments[e];
    const std::int32_t d = MinLiteral - lit.length;
    if (!nb.run || nb.length - d < MinSplit) {
      if (e > j) nb.start = lit.start;
      nb.length += lit.length;
      nb.run = false;
      lit.length = 0;
    } else if (e < j) {
      nb.length -= d;
      lit.start -= d;
      lit.length += d;
    } else {
      nb.start += d;
      nb.length -= d;
      lit.length += d;
    }
  }

  // 3. A literal right after a literal joins it.
  for (std::size_t j = 2; j <= last; ++j) {
    Segment& s = Segments[j];
    if (s.run || s.length <= 0) continue;
    const std::size_t p = prev_of(j);
    if (p != 0 && !Segments[p].run) {
      Segments[p].length += s.length;
      s.length = 0;
    }
  }
}

// ---------------------------------------------------------------------------
// Coding helpers shared by both codecs

namespace {

class Output {
public:
  explicit Output(TvexImageCompress& codec, std::vector<std::uint8_t>& buffer, std::int32_t& size)
      : codec_(codec), buffer_(buffer), size_(size) {}
  void ensure(std::int64_t room) {
    while (size_ - pos_ < room) codec_.GrowBuffer(0);
  }
  void put(std::uint8_t b) {
    ensure(1);
    buffer_[static_cast<std::size_t>(pos_++)] = b;
  }
  void put(const std::uint8_t* p, std::int32_t n) {
    ensure(n);
    std::memcpy(buffer_.data() + pos_, p, static_cast<std::size_t>(n));
    pos_ += n;
  }
  std::int32_t pos() const { return static_cast<std::int32_t>(pos_); }

private:
  TvexImageCompress& codec_;
  std::vector<std::uint8_t>& buffer_;
  std::int32_t& size_;
  std::int64_t pos_ = 0;
};

// Piece lengths of a long segment: halves when one full piece would leave a
// short rest, full pieces otherwise.
template <class Emit>
void split(std::int32_t length, std::int32_t limit, Emit emit, std::int32_t start) {
  while (length >= limit + 1) {
    const std::int32_t piece = length / limit == 1 ? length / 2 : limit;
    emit(start, piece);
    start += piece;
    length -= piece;
  }
  if (length > 0) emit(start, length);
}

} // namespace

// ---------------------------------------------------------------------------
// RLE8

TvexErrorCode TvexImageRLE8::Compress(const std::uint8_t*& data, std::int32_t& count,
                                      std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!DIBBits || Width <= 0 || Height <= 0) {
      Error = EC_COMPRESSION;
      return Error;
    }
    if (BufferSize == 0) GrowBuffer(ImageSize / 2);
    Output out(*this, Buffer, BufferSize);
    const std::int32_t step = TopDown ? -1 : 1;
    for (; Line >= 0 && Line < Height; Line += step) {
      if (BufferSize - out.pos() < BufferIncrement) GrowBuffer(0);
      const std::uint8_t* row = DIBBits + std::int64_t{Line} * LineWidth;
      PlanLine(row, 0, Width);
      bool any_literal_short = false;
      for (std::size_t k = 1; k + 1 < Segments.size(); ++k) {
        const Segment& s = Segments[k];
        if (s.length <= 0) continue;
        if (s.run) {
          split(
              s.length, 255,
              [&](std::int32_t, std::int32_t n) {
                out.put(static_cast<std::uint8_t>(n));
                out.put(row[s.start]);
              },
              s.start);
        } else {
          split(
              s.length, 255,
              [&](std::int32_t at, std::int32_t n) {
                if (n < 3) {
                  // Too short for absolute mode (0,1 and 0,2 are escapes).
                  for (std::int32_t i = 0; i < n; ++i) {
                    out.put(1);
                    out.put(row[at + i]);
                  }
                  any_literal_short = true;
                  return;
                }
                out.put(0);
                out.put(static_cast<std::uint8_t>(n));
                out.put(row + at, n);
                if (n & 1) out.put(0);
              },
              s.start);
        }
      }
      (void)any_literal_short;
      const bool last_row = TopDown ? Line == 0 : Line == Height - 1;
      out.put(0);
      out.put(last_row ? 1 : 0);
    }
    LineOffset = ImageSize;
    raw_count = ImageSize;
    count = out.pos();
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    count = 0;
  }
  return Error;
}

namespace {

// The row cursor of a decoder, in 64 bits so that hostile deltas cannot wrap.
struct Cursor {
  std::int64_t line;
  std::int64_t column; // pixels for RLE4, bytes for RLE8
};

} // namespace

TvexErrorCode TvexImageRLE8::Decompress(const std::uint8_t* data, std::int32_t& length,
                                        std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (!DIBBits || length < 0 || (!data && length > 0)) {
      Error = EC_DECOMPRESSION;
      return Error;
    }
    const std::int64_t first_line = TopDown ? Height - 1 : 0;
    if (Line == first_line && Column == 0)
      std::memset(DIBBits, 0, static_cast<std::size_t>(ImageSize));
    const std::int64_t step = TopDown ? -1 : 1;
    Cursor c{Line, Column};
    auto offset = [&] { return c.line * LineWidth + c.column; };
    auto inside = [&](std::int64_t o) { return c.line >= 0 && o >= 0 && o < ImageSize; };
    // Runs and literals go on into the next row's bytes (in memory order)
    // and stop at the end of the pixels.
    vex::codec::RunCursor out;
    out.Bind(DIBBits, LineWidth, LineWidth, LineWidth > 0 ? ImageSize / LineWidth : 0, true);
    auto place = [&] {
      const std::int64_t o = offset();
      out.MoveTo(o / LineWidth, o % LineWidth);
    };
    std::int64_t pos = 0;
    const std::int64_t n = length;
    bool ended = false;
    while (pos + 1 < n && inside(offset())) {
      const std::uint8_t first = data[pos], second = data[pos + 1];
      pos += 2;
      if (first > 0) {
        place();
        produced += static_cast<std::int32_t>(out.Fill(second, first));
        c.column += first;
      } else if (second == 0) {
        c.line += step;
        c.column = 0;
      } else if (second == 1) {
        ended = true;
        break;
      } else if (second == 2) {
        if (pos + 1 >= n) {
          pos = n;
          break;
        }
        c.column += data[pos];
        c.line += step * data[pos + 1];
        pos += 2;
      } else {
        place();
        produced += static_cast<std::int32_t>(
            out.Copy(data + pos, std::min<std::int64_t>(second, n - pos)));
        c.column += second;
        pos += second + (second & 1);
      }
    }
    // Data that stops inside the picture, short of its end-of-bitmap code.
    DataRanOut = !ended && (pos > n || (pos + 1 >= n && inside(offset())));
    pos = std::min(pos, n);
    // Clamped so the stored cursor stays meaningful once data ran off the image.
    Line = static_cast<std::int32_t>(std::clamp<std::int64_t>(c.line, -1, Height));
    Column = static_cast<std::int32_t>(std::clamp<std::int64_t>(c.column, 0, ImageSize));
    LineOffset = static_cast<std::int32_t>(std::clamp<std::int64_t>(offset(), -1, ImageSize));
    length = static_cast<std::int32_t>(n - pos);
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}

// ---------------------------------------------------------------------------
// RLE4

TvexImageRLE4::TvexImageRLE4() {
  MinLiteral = 1;
}

void TvexImageRLE4::SetImage(DibHandle dib) {
  TvexImageRLE::SetImage(dib);
  // Rows are planned in whole bytes, two pixels each.
  SetScanFunctions(8);
}

TvexErrorCode TvexImageRLE4::Compress(const std::uint8_t*& data, std::int32_t& count,
                                      std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!DIBBits || Width <= 0 || Height <= 0) {
      Error = EC_COMPRESSION;
      return Error;
    }
    if (BufferSize == 0) GrowBuffer(ImageSize / 2);
    Output out(*this, Buffer, BufferSize);
    const std::int32_t step = TopDown ? -1 : 1;
    const std::int32_t row_bytes = static_cast<std::int32_t>((std::int64_t{Width} + 1) / 2);
    const bool odd_width = (Width & 1) != 0;
    for (; Line >= 0 && Line < Height; Line += step) {
      if (BufferSize - out.pos() < BufferIncrement) GrowBuffer(0);
      const std::uint8_t* row = DIBBits + std::int64_t{Line} * LineWidth;
      PlanLine(row, 0, row_bytes);
      for (std::size_t k = 1; k + 1 < Segments.size(); ++k) {
        const Segment& s = Segments[k];
        if (s.length <= 0) continue;
        const bool as_run = s.run;
        split(
            s.length, 127,
            [&](std::int32_t at, std::int32_t n) {
              // With an odd width the last byte holds one pixel only: the
              // counts never reach past the row.
              const bool short_end = odd_width && at + n == row_bytes;
              if (as_run) {
                out.put(static_cast<std::uint8_t>(n * 2 - (short_end ? 1 : 0)));
                out.put(row[s.start]);
                return;
              }
              std::int32_t literal = n;
              if (short_end) --literal; // the last byte goes out as a one-pixel run
              if (literal == 1) {
                // One byte: a run of its two pixels.
                out.put(2);
                out.put(row[at]);
              } else if (literal > 1) {
                out.put(0);
                out.put(static_cast<std::uint8_t>(literal * 2));
                out.put(row + at, literal);
                if (literal & 1) out.put(0);
              }
              if (short_end) {
                out.put(1);
                out.put(row[at + n - 1]);
              }
            },
            s.start);
      }
      const bool last_row = TopDown ? Line == 0 : Line == Height - 1;
      out.put(0);
      out.put(last_row ? 1 : 0);
    }
    LineOffset = ImageSize;
    raw_count = ImageSize;
    count = out.pos();
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    count = 0;
  }
  return Error;
}

TvexErrorCode TvexImageRLE4::Decompress(const std::uint8_t* data, std::int32_t& length,
                                        std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (!DIBBits || length < 0 || (!data && length > 0)) {
      Error = EC_DECOMPRESSION;
      return Error;
    }
    const std::int64_t first_line = TopDown ? Height - 1 : 0;
    if (Line == first_line && Column == 0)
      std::memset(DIBBits, 0, static_cast<std::size_t>(ImageSize));
    const std::int64_t step = TopDown ? -1 : 1;
    Cursor c{Line, Column};
    auto offset = [&] { return c.line * LineWidth + c.column / 2; };
    auto inside = [&] {
      const std::int64_t o = offset();
      return c.line >= 0 && o >= 0 && o < ImageSize;
    };
    auto put = [&](std::uint8_t v) {
      const std::int64_t o = offset();
      if (o < 0 || o >= ImageSize) return false;
      std::uint8_t& b = DIBBits[o];
      if (c.column & 1)
        b = static_cast<std::uint8_t>((b & 0xF0) | (v & 0x0F));
      else
        b = static_cast<std::uint8_t>((b & 0x0F) | (v << 4));
      if (c.column & 1) ++produced;
      ++c.column;
      return true;
    };
    std::int64_t pos = 0;
    const std::int64_t n = length;
    bool ended = false;
    while (pos + 1 < n && inside()) {
      const std::uint8_t first = data[pos], second = data[pos + 1];
      pos += 2;
      if (first > 0) {
        for (int i = 0; i < first; ++i)
          if (!put((i & 1) ? (second & 0x0F) : (second >> 4))) break;
      } else if (second == 0) {
        c.line += step;
        c.column = 0;
      } else if (second == 1) {
        ended = true;
        break;
      } else if (second == 2) {
        if (pos + 1 >= n) {
          pos = n;
          break;
        }
        c.column += data[pos];
        c.line += step * data[pos + 1];
        pos += 2;
      } else {
        const std::int64_t bytes = (second + 1) / 2;
        for (int i = 0; i < second; ++i) {
          const std::int64_t at = pos + i / 2;
          if (at >= n) break;
          if (!put((i & 1) ? (data[at] & 0x0F) : (data[at] >> 4))) break;
        }
        pos += bytes + (bytes & 1);
      }
    }
    DataRanOut = !ended && (pos > n || (pos + 1 >= n && inside()));
    pos = std::min(pos, n);
    Line = static_cast<std::int32_t>(std::clamp<std::int64_t>(c.line, -1, Height));
    Column = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(c.column, 0, std::int64_t{ImageSize} * 2));
    LineOffset = static_cast<std::int32_t>(std::clamp<std::int64_t>(offset(), -1, ImageSize));
    length = static_cast<std::int32_t>(n - pos);
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}
