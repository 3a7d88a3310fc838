// Silicon Graphics image files (format number 16).
#pragma once

#include "vexImageFile.h"

#include <cstdint>

// Reads and writes one byte per channel, verbatim or run-length coded
// (Compression 5): one channel as an 8-bit grey ramp, three as 24 bits, four
// as 32 bits with alpha in the fourth byte. Writes 8-bit grey palettes,
// 24- and 32-bit DIBs.
class TvexSGIImage : public TvexImageFile {
public:
  static constexpr std::uint16_t kMagic = 474;
  static constexpr std::int32_t kHeaderSize = 512;

  TvexSGIImage();
  ~TvexSGIImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  // The 512-byte header as read or written.
  const std::uint8_t* GetHeader() const { return Header; }

protected:
  void DecodeImage() override;
  void EncodeImage() override;
  bool FileBigEndian() const override { return true; }

  std::uint8_t Header[kHeaderSize] = {};
};
