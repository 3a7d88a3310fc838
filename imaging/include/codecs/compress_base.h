// Base of the scan-line codecs (TvexImageCompress). Codec headers include
// this one; everyone else includes vexImageCompress.h.
#pragma once

#include "vexImageTypeDef.h"

#include "platform/dib_section.h"

#include <cstdint>
#include <vector>

using vex::platform::DibHandle;

// Base of the scan-line codecs. A codec is bound to one DIB (SetImage), keeps
// a row cursor that persists between calls, compresses rows into its own
// Buffer and decompresses data into the DIB. It never owns the DIB.
class TvexImageCompress {
public:
  TvexImageCompress() = default;
  virtual ~TvexImageCompress() = default;
  TvexImageCompress(const TvexImageCompress&) = delete;
  TvexImageCompress& operator=(const TvexImageCompress&) = delete;

  // True: the data's first row is the picture's top row, which in a bottom-up
  // DIB is the last memory row; the cursor is placed there.
  virtual void SetTopDown(bool value);
  // Binds the codec to a DIB (Null unbinds) and places the row cursor.
  virtual void SetImage(DibHandle dib);
  // Back to the unbound state: Error, cursor and Buffer cleared.
  virtual void Clear();
  // Codes rows from the cursor on into Buffer; `data` points at it, `count`
  // is the number of coded bytes (0 on failure), `raw_count` the DIB bytes used.
  virtual TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                                 std::int32_t& raw_count) = 0;
  // Decodes up to `length` bytes into the DIB from the cursor on. Codecs that
  // are fed in pieces return the unused input in `length` and the DIB bytes
  // written in `produced`.
  virtual TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                                   std::int32_t& produced) = 0;

  // Moves the cursor to the start of data row `row` (0 the first row of the
  // data), as the TIFF reader does for each strip.
  void SeekRow(std::int32_t row);

  // Makes room in Buffer: the first call allocates twice the increment
  // max(ImageSize / 16, 2 x LineWidth, min_increment), later calls add one.
  void GrowBuffer(std::int32_t min_increment);

  TvexErrorCode GetError() const { return Error; }
  bool GetTopDown() const { return TopDown != 0; }
  std::int32_t GetLine() const { return Line; }
  std::int32_t GetColumn() const { return Column; }
  std::int32_t GetLineOffset() const { return LineOffset; }
  std::int32_t GetImageSize() const { return ImageSize; }
  std::int32_t GetLineWidth() const { return LineWidth; }
  std::int32_t GetBufferSize() const { return BufferSize; }
  std::int32_t GetBufferIncrement() const { return BufferIncrement; }
  const std::uint8_t* GetBuffer() const { return Buffer.data(); }

protected:
  DibHandle DIBHandle = DibHandle::Null;
  std::uint8_t* DIBBits = nullptr;
  vex::platform::DibSection DIBSection;
  std::int32_t ImageSize = 0;
  std::int32_t LineWidth = 0;
  const std::uint8_t* Source = nullptr;
  std::vector<std::uint8_t> Buffer;
  std::int32_t BufferSize = 0;
  std::int32_t BufferIncrement = 0;
  std::int32_t Column = 0;
  std::int32_t Line = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t LineOffset = 0;
  TvexErrorCode Error = EC_OK;
  std::uint8_t TopDown = 0;
  std::int32_t BitCount = 0;
};
