// Portable bitmap, greymap and pixmap files (format numbers 12, 13 and 15).
#pragma once

#include "vexImageFile.h"

#include <cstdint>

// Reads P1 to P6 whatever number it was made for: text and binary, any
// maximum value up to 65535 (samples scaled to 0..255; two bytes per sample
// above 255). P1/P4 give a 1-bit DIB (index 0 black), P2/P5 an 8-bit grey
// ramp, P3/P6 24 bits. Writes the variant named by Compression (6 to 11, or
// 0 for the binary one), which must suit the format number and the image:
// 1-bit grey for PBM, 8-bit grey for PGM, 24 bits for PPM.
class TvexPxMImage : public TvexImageFile {
public:
  explicit TvexPxMImage(TvexFileFormat format = FF_PPM);
  ~TvexPxMImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  TvexFileFormat GetFileFormat() const { return FileFormat; }
  // The maximum sample value of the file read.
  std::int32_t GetMaxValue() const { return MaxValue; }

protected:
  void DecodeImage() override;
  void EncodeImage() override;

  TvexFileFormat FileFormat;
  std::int32_t MaxValue = 255;
};
