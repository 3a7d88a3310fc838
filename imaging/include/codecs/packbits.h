// PackBits rows of TIFF files (compression 32773).
#pragma once

#include "codecs/rle_bmp.h"

#include <cstddef>
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

namespace vex::codec {

// PackBits data as one stream of bytes, pulled in pieces of any size (the
// TIFF reader's path for rows it converts before they reach the DIB). The
// input must stay valid until the data is done.
class PackBitsReader {
public:
  void Start(const std::uint8_t* data, std::size_t size) {
    in_ = data;
    left_ = data ? size : 0;
    run_ = literal_ = 0;
  }
  // Up to `count` next bytes into `out`; fewer only when the data ended.
  std::size_t Read(std::uint8_t* out, std::size_t count);

private:
  const std::uint8_t* in_ = nullptr;
  std::size_t left_ = 0;
  std::size_t run_ = 0;     // repeats of value_ still to give
  std::size_t literal_ = 0; // literal bytes still to copy
  std::uint8_t value_ = 0;
};

} // namespace vex::codec
