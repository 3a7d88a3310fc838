// CCITT Group 3 and Group 4 coding (TIFF compressions 3 and 4).
// Hazards: rows that never end, runs and vertical codes past the width or
// behind a0, extension codes, missing or damaged end-of-lines and input that
// stops inside a code; each ends the call with an error code, or with the
// rows decoded so far. Time is linear in the input and the rows painted.
#include "codecs/fax.h"
#include "fax_internal.h"

#include <algorithm>

using namespace vex::fax;

namespace {

// The two-dimensional coding of one row against a reference row (null for
// the imaginary white line), as T.4 describes it.
void code_2d(BitWriter& w, const std::uint8_t* cur, const std::uint8_t* ref, std::int32_t width) {
  std::int32_t a0 = -1;
  int colour = 0;
  while (a0 < width) {
    const std::int32_t from = a0 < 0 ? 0 : a0 + 1;
    const std::int32_t a1 = find_other(cur, from, width, colour);
    std::int32_t b1 = width, b2 = width;
    if (ref) {
      // The first change at or after `from` goes to the other colour; when
      // the reference is already of the other colour there, skip its run.
      const int before = from == 0 ? 0 : (ref[(from - 1) >> 3] >> (7 - ((from - 1) & 7))) & 1;
      const std::int32_t start = before == colour ? from : find_other(ref, from, width, 1 - colour);
      b1 = find_other(ref, start, width, colour);
      b2 = find_other(ref, b1 >= width ? width : b1 + 1, width, 1 - colour);
      if (b1 >= width) b2 = width;
    }
    if (b2 < a1) {
      w.put(kModeWords[kPass]);
      a0 = b2;
    } else if (a1 - b1 <= 3 && b1 - a1 <= 3) {
      w.put(kModeWords[a1 >= b1 ? kV0 + (a1 - b1) : kVL1 + (b1 - a1) - 1]);
      a0 = a1;
      colour = 1 - colour;
    } else {
      const std::int32_t a2 = find_other(cur, a1 >= width ? width : a1 + 1, width, 1 - colour);
      w.put(kModeWords[kHorizontal]);
      put_run(w, a1 - (a0 < 0 ? 0 : a0), colour != 0);
      put_run(w, a2 - a1, colour == 0);
      a0 = a2;
    }
  }
}

// Two-dimensional codes of one row against the reference changes `ref`
// (closed with sentinels). `pos` is max(a0, 0).
RowEnd decode_2d(BitReader& r, std::uint8_t* row, std::int32_t width, std::int32_t& pos,
                 std::uint8_t& colour, Changes& changes, const std::int32_t* ref) {
  std::int32_t a0 = -1;
  std::size_t i = 0; // first reference change right of a0
  for (;;) {
    if (a0 >= width) return RowEnd::Full;
    while (ref[i] <= a0) ++i;
    const std::size_t j = i + (static_cast<unsigned>(i & 1) != colour ? 1 : 0);
    const std::int32_t b1 = ref[j], b2 = ref[j + 1];
    const FaxCode c = r.read(kModeTable);
    if (c.kind == kSkip) continue;
    if (c.kind == kEndOfInput) return RowEnd::EndOfInput;
    if (c.kind == kEndOfLine) return RowEnd::EndOfLine;
    switch (c.value) {
    case kPass:
      if (colour) fill_black(row, pos, b2);
      a0 = pos = b2;
      break;
    case kHorizontal:
      for (int run = 0; run < 2; ++run) {
        for (;;) {
          const FaxCode k = r.read(colour ? kBlackTable : kWhiteTable);
          if (k.kind == kSkip) continue;
          if (k.kind == kEndOfInput) return RowEnd::EndOfInput;
          if (k.kind == kEndOfLine) {
            if (colour) finish_end_of_line(r);
            return RowEnd::EndOfLine;
          }
          if (k.value > width - pos) return RowEnd::Overflow;
          if (colour) fill_black(row, pos, pos + k.value);
          pos += k.value;
          if (k.kind == kTerminating) break;
        }
        changes.push(pos);
        colour ^= 1;
      }
      a0 = pos;
      break;
    case kExt2D:
    case kExt1D:
      return RowEnd::Extension;
    default: {
      // 64 bits: b1 may be the width, and the width may be near the top of 32 bits.
      const std::int64_t a1 = c.value <= kVR3 ? std::int64_t{b1} + (c.value - kV0)
                                              : std::int64_t{b1} - (c.value - kVL1 + 1);
      if (a1 > width) return RowEnd::Overflow;
      if (a1 < pos) return RowEnd::Backwards;
      if (colour) fill_black(row, pos, a1);
      a0 = pos = static_cast<std::int32_t>(a1);
      changes.push(pos);
      colour ^= 1;
      break;
    }
    }
  }
}

// Eleven zero bits where a row should start: an end-of-line (Group 3) or the
// end-of-facsimile block (Group 4); no row code begins so.
bool at_end_of_line(BitReader& r) {
  r.fill();
  return r.bits_left() >= 11 && r.peek(11) == 0;
}

// Reads bits until eleven zeros in a row have passed (a 1 starts the count
// again), then fill bits up to the end-of-line's final 1. False when the
// input ends first.
bool search_end_of_line(BitReader& r) {
  int zeros = 0;
  while (zeros < 11) {
    r.fill();
    if (r.bits_left() == 0) return false;
    if (r.bits_left() >= 11 - zeros && r.peek(11 - zeros) == 0) {
      r.consume(11 - zeros);
      break;
    }
    zeros = r.peek(1) ? 0 : zeros + 1;
    r.consume(1);
  }
  return finish_end_of_line(r);
}

} // namespace

TvexImageCCITT::TvexImageCCITT() = default;

void TvexImageCCITT::Clear() {
  TvexImageModifiedHuffman::Clear();
  RowCoding = Mode;
  EOLSeen = 0;
  ReferenceRow = -1;
}

TvexErrorCode TvexImageCCITT::Compress(const std::uint8_t*& data, std::int32_t& count,
                                       std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!StartCompress()) {
      Error = EC_COMPRESSION;
      raw_count = 0;
      return Error;
    }
    BitWriter w(Buffer);
    const bool group3 = Mode < 2;
    RowCoding = Mode;
    ReferenceRow = -1;
    // Each call is a strip of its own, opened by an end-of-line; in
    // two-dimensional Group 3 its tag bit announces the one-dimensional row.
    if (group3) {
      w.put(kEndOfLineWord);
      if (Mode == 1) w.put(1, 1);
    }
    const std::int32_t rows = std::max(raw_count, 0) / LineWidth;
    std::int32_t done = 0, two_d = 0;
    for (std::int32_t i = 0; i < rows && Line >= 0 && Line < Height; ++i) {
      const std::uint8_t* row = RowBits();
      if (RowCoding <= 1) {
        std::int32_t pos = 0;
        Color = 0;
        while (pos < Width) {
          const std::int32_t next = find_other(row, pos, Width, Color);
          put_run(w, next - pos, Color != 0);
          pos = next;
          Color ^= 1;
        }
        if (RowCoding == 1) {
          RowCoding = 2;
          two_d = 0;
        }
      } else if (RowCoding == 2) {
        const std::uint8_t* ref =
            ReferenceRow < 0 ? nullptr : DIBBits + std::int64_t{ReferenceRow} * LineWidth;
        code_2d(w, row, ref, Width);
        if (Mode == 1 && ++two_d == 3) RowCoding = 1;
      } else {
        Error = EC_BADDECOMPRESS;
        break;
      }
      if (group3) {
        w.put(kEndOfLineWord);
        if (Mode == 1) w.put(RowCoding == 2 ? 0 : 1, 1);
      }
      ReferenceRow = Line;
      done += LineWidth;
      NextRow();
    }
    if (Mode == 2 && !(Line >= 0 && Line < Height)) {
      w.put(kEndOfLineWord);
      w.put(kEndOfLineWord);
    }
    // No bit may be lost: every strip ends on a whole byte.
    w.pad();
    raw_count = done;
    BufferSize = static_cast<std::int32_t>(Buffer.size());
    if (Error == EC_OK) {
      count = BufferSize;
      data = Buffer.data();
    }
  } catch (...) {
    Error = EC_COMPRESSION;
    raw_count = 0;
    count = 0;
  }
  return Error;
}

TvexErrorCode TvexImageCCITT::Decompress(const std::uint8_t* data, std::int32_t& length,
                                         std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (!TablesReady && (Error = BuildTables()) != EC_OK) return Error;
    if (!DIBBits || Width <= 0 || length < 0 || (!data && length > 0)) {
      Error = EC_DECOMPRESSION;
      return Error;
    }
    const std::int32_t start_line = Line, start_column = Column;
    BitReader r;
    r.start(data, length, ReverseBits != 0);
    Changes ref, cur;
    ref.close(Width);
    RowCoding = Mode;
    EOLSeen = 0;
    ReferenceRow = -1;
    const bool group3 = Mode < 2;

    // End-of-line synchronisation: the end-of-line (unless the row decoder
    // has just read one), then the tag bit.
    auto sync = [&](bool after_end_of_line) {
      if (!after_end_of_line && !search_end_of_line(r)) return;
      if (Mode == 1) {
        r.fill();
        if (r.bits_left() == 0) return;
        RowCoding = r.peek(1) ? 0 : 2;
        r.consume(1);
      }
      EOLSeen = 0;
    };

    // A one-dimensional strip that does not open with an end-of-line has
    // none: its rows follow each other directly.
    const bool no_end_of_lines = Mode == 0 && !at_end_of_line(r);
    if (group3 && !no_end_of_lines) sync(false);
    while (RowOpen() && r.bits_left() > 0) {
      if (at_end_of_line(r)) {
        if (!group3) break; // end of facsimile block
        ++EOLSeen;
        sync(false);
        continue;
      }
      std::int32_t pos = 0;
      Color = 0;
      cur.clear();
      RowEnd end;
      if (RowCoding <= 1) {
        end = decode_1d<true>(r, RowBits(), Width, pos, Color, &cur);
      } else if (RowCoding == 2) {
        end = decode_2d(r, RowBits(), Width, pos, Color, cur, ref.data());
      } else {
        Error = EC_BADDECOMPRESS;
        break;
      }
      if (end == RowEnd::Overflow) {
        Error = EC_BADDECOMPRESS;
        break;
      }
      if (end == RowEnd::Backwards) {
        Error = EC_DECOMPRESSION;
        break;
      }
      if (end == RowEnd::Extension) {
        Error = EC_BADCOMPRESS;
        break;
      }
      if (end == RowEnd::EndOfLine) ++EOLSeen;
      if (group3 && !no_end_of_lines && r.bits_left() > 0) sync(end == RowEnd::EndOfLine);
      if (pos > 0) {
        if (pos != Width) {
          Error = EC_DECOMPRESSION;
          break;
        }
        cur.close(Width);
        ref.swap(cur);
        ReferenceRow = Line;
        NextRow();
      }
    }
    if (Mode == 2 && Error == EC_OK) {
      // The end-of-facsimile block: two end-of-lines.
      if (search_end_of_line(r)) search_end_of_line(r);
    }
    produced = Covered(start_line, start_column);
    length = static_cast<std::int32_t>(length - r.bytes_used());
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}
