// The run-length codec of Targa files: packets of up to 128 pixels, each a
// run (one pixel repeated) or a raw stretch.
#pragma once

#include "vexImageCompress.h"

#include <cstdint>
#include <memory>

namespace vex::codec {
class RunCursor;
}

class TvexImageTargaRLE : public TvexImageRLE {
public:
  TvexImageTargaRLE();
  ~TvexImageTargaRLE() override;

  // Binds to a DIB; the pixel size follows its bit count (1- and 4-bit rows
  // are coded as packed bytes).
  void SetImage(DibHandle dib) override;
  void SetTopDown(bool value) override;
  void Clear() override;
  // Decodes into plain memory instead of a bitmap: `rows` rows of pixels of
  // `pixel_bits` bits, `stride` bytes apart, the data's first row at `first`.
  void SetTarget(std::uint8_t* first, std::int64_t stride, std::int32_t width, std::int32_t rows,
                 int pixel_bits);
  // The pixel size and the planner's parameters for pixels of `bits` bits
  // (the items CompressRow takes).
  void SetPixelBits(int bits);

  // Codes RawCount / LineWidth bitmap rows from the row cursor on.
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  // Codes one row of `pixels` items given by the caller into Buffer.
  TvexErrorCode CompressRow(const std::uint8_t* row, std::int32_t pixels, const std::uint8_t*& data,
                            std::int32_t& count);
  // Takes whole packets (a raw packet may also arrive in pieces); `length`
  // returns the bytes not consumed, `produced` the pixel bytes written.
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;

  // Every row of the target has been filled.
  bool Done() const;
  int GetPixelBytes() const { return PixelBytes; }

private:
  void Bind();
  std::int32_t EncodeRow(const std::uint8_t* row, std::int32_t pixels, std::int64_t at);

  std::unique_ptr<vex::codec::RunCursor> Cursor;
  int PixelBytes = 1;
  // Bytes of a raw packet still to come from the next call.
  std::int64_t RawLeft = 0;
  std::uint8_t* Target = nullptr;
  std::int64_t TargetStride = 0;
  std::int64_t TargetRowBytes = 0;
  std::int32_t TargetRows = 0;
};
