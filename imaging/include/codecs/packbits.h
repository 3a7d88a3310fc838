// PackBits rows of TIFF files (compression 32773).
#pragma once

#include "codecs/rle_bmp.h"

#include <cstdint>
#include <vector>

// Runs of 3 or more equal bytes and literal stretches, each row coded on its
// own, the file's first row being the picture's top row. 24- and 32-bit rows
// are red-green-blue in the data and blue-green-red in the DIB.
class TvexImagePackBits : public TvexImageRLE {
public:
  TvexImagePackBits();
  void SetImage(DibHandle dib) override;
  void Clear() override;
  // Codes `raw_count` bytes of whole rows from the row cursor on; the output
  // of each call starts afresh in Buffer.
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  // Decodes `length` bytes into the DIB from the cursor on; on return
  // `length` is the number of input bytes not used, `produced` the DIB bytes
  // covered.
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;

  std::int32_t GetBytesPerRow() const { return BytesPerRow; }
  bool GetSwapRedBlue() const { return SwapRedBlue; }

protected:
  std::int32_t BytesPerRow = 0;
  bool SwapRedBlue = false;
  std::vector<std::uint8_t> Scratch; // one row, red and blue exchanged
};
