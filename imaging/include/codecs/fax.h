// The fax codecs of TIFF files: Modified Huffman rows (TIFF compression 2)
// and CCITT Group 3 one- and two-dimensional and Group 4 coding (TIFF
// compressions 3 and 4). Both take bilevel rows, white 0 and black 1, the
// file's first row being the picture's top row.
#pragma once

#include "codecs/compress_base.h"

#include <cstdint>
#include <vector>

// Modified Huffman: every row one-dimensionally coded and byte aligned, no
// end-of-line codes.
class TvexImageModifiedHuffman : public TvexImageCompress {
public:
  TvexImageModifiedHuffman();

  // Codes `raw_count` bytes of whole rows from the row cursor on; the output
  // of each call starts afresh in Buffer.
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  // Decodes `length` bytes into the DIB from the row cursor on (black pixels
  // are set, white ones left as they are). On return `length` is the number
  // of input bytes not used, `produced` the DIB bytes covered.
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;
  void Clear() override;

  // Readies the decoding tables (they are built into the library).
  virtual TvexErrorCode BuildTables();
  // True: input bytes are read least significant bit first (FillOrder 2).
  void SetReverseBits(bool flag) { ReverseBits = flag ? 1 : 0; }
  bool GetReverseBits() const { return ReverseBits != 0; }
  // Decoding stops after `rows` more rows (a TIFF strip's share of the
  // picture); negative: at the end of the image.
  void SetRowLimit(std::int32_t rows) { RowLimit = rows; }

protected:
  // Moves the cursor to the next row down the picture; false once it left
  // the image.
  bool NextRow();
  // The cursor is on a row decoding may fill.
  bool RowOpen() const { return Line >= 0 && Line < Height && RowLimit != 0; }
  std::uint8_t* RowBits() const { return DIBBits + std::int64_t{Line} * LineWidth; }
  std::int32_t Covered(std::int32_t start_line, std::int32_t start_column) const;
  // Checks the DIB and sizes Buffer before coding.
  bool StartCompress();

  bool TablesReady = false;
  std::uint8_t ReverseBits = 0;
  std::uint8_t Color = 0; // of the run being coded: 0 white, 1 black
  std::int32_t RowLimit = -1;
};

// CCITT Group 3 (Mode 0 one-dimensional, 1 two-dimensional with K = 4) and
// Group 4 (Mode 2). Rows are not byte aligned. Every call is one strip: it
// starts on an imaginary white reference line, Group 3 output starts with an
// end-of-line (and tag bit) and ends padded to a whole byte; Group 4 output
// ends with the end-of-facsimile block after the image's last row.
class TvexImageCCITT : public TvexImageModifiedHuffman {
public:
  TvexImageCCITT();

  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;
  void Clear() override;

  // 0 Group 3 one-dimensional, 1 Group 3 two-dimensional, 2 Group 4.
  void SetMode(std::uint8_t mode) { Mode = mode; }
  std::uint8_t GetMode() const { return Mode; }

protected:
  std::uint8_t Mode = 0;
  std::uint8_t RowCoding = 0; // of the next row: 0 or 1 one-, 2 two-dimensional
  std::int32_t EOLSeen = 0;
  std::int32_t ReferenceRow = -1; // -1: the imaginary white line
};
