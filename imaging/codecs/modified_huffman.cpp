// Modified Huffman rows (TIFF compression 2). Hazards: rows that never end,
// runs past the width and codes outside the tables must end in an error
// code; every painted run is clipped to its row first.
#include "codecs/fax.h"
#include "fax_internal.h"

#include <algorithm>

using namespace vex::fax;

TvexImageModifiedHuffman::TvexImageModifiedHuffman() {
  SetTopDown(true);
}

void TvexImageModifiedHuffman::Clear() {
  TvexImageCompress::Clear();
  TablesReady = false;
}

TvexErrorCode TvexImageModifiedHuffman::BuildTables() {
  TablesReady = true;
  return EC_OK;
}

bool TvexImageModifiedHuffman::NextRow() {
  Line += TopDown ? -1 : 1;
  if (RowLimit > 0) --RowLimit;
  Column = 0;
  LineOffset = Line * LineWidth;
  return Line >= 0 && Line < Height;
}

std::int32_t TvexImageModifiedHuffman::Covered(std::int32_t start_line,
                                               std::int32_t start_column) const {
  const std::int64_t rows = std::abs(std::int64_t{Line} - start_line);
  const std::int64_t bytes =
      rows * LineWidth + (std::int64_t{Column} + 7) / 8 - (std::int64_t{start_column} + 7) / 8;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(bytes, 0, ImageSize));
}

bool TvexImageModifiedHuffman::StartCompress() {
  if (!DIBBits || Width <= 0 || Height <= 0 || LineWidth <= 0) return false;
  Buffer.clear();
  Buffer.reserve(static_cast<std::size_t>(std::max(ImageSize / 16, 2 * LineWidth)));
  return true;
}

TvexErrorCode TvexImageModifiedHuffman::Compress(const std::uint8_t*& data, std::int32_t& count,
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
    const std::int32_t rows = std::max(raw_count, 0) / LineWidth;
    std::int32_t done = 0;
    for (std::int32_t i = 0; i < rows && Line >= 0 && Line < Height; ++i) {
      const std::uint8_t* row = RowBits();
      std::int32_t pos = 0;
      Color = 0;
      while (pos < Width) {
        const std::int32_t next = find_other(row, pos, Width, Color);
        put_run(w, next - pos, Color != 0);
        pos = next;
        Color ^= 1;
      }
      w.pad();
      done += LineWidth;
      NextRow();
    }
    raw_count = done;
    BufferSize = static_cast<std::int32_t>(Buffer.size());
    count = BufferSize;
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    raw_count = 0;
    count = 0;
  }
  return Error;
}

TvexErrorCode TvexImageModifiedHuffman::Decompress(const std::uint8_t* data, std::int32_t& length,
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
    std::int32_t pos = std::clamp(Column, 0, Width);
    Color = 0;
    while (RowOpen() && r.bits_left() > 0) {
      const RowEnd end = decode_1d<false>(r, RowBits(), Width, pos, Color, nullptr);
      if (end == RowEnd::Full) {
        // Every row starts on a byte boundary.
        r.align();
        pos = 0;
        Color = 0;
        NextRow();
        continue;
      }
      // End-of-line codes do not belong in these rows.
      if (end != RowEnd::EndOfInput) Error = EC_COMPRESSION;
      break;
    }
    if (Line >= 0 && Line < Height) {
      Column = pos;
      LineOffset = Line * LineWidth + pos / 8;
    }
    produced = Covered(start_line, start_column);
    length = static_cast<std::int32_t>(length - r.bytes_used());
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}
