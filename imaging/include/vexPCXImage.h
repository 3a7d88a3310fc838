// PCX files (format number 22).
#pragma once

#include "vexImageFile.h"

#include <array>
#include <cstdint>

// Reads versions 0, 2, 3, 4 and 5, run-length encoded: 1 bit x 1 plane
// (black and white), 1 bit x 2, 3 or 4 planes, 2 or 4 bits x 1 plane (into
// 4-bit pixels with the header's palette), 8 bits x 1 plane (with the
// trailing 256-colour palette of version 5, else grey), 8 bits x 3 or 4
// planes (24 and 32 bits). Writes version 5 files of 1-, 4-, 8- and 24-bit
// pictures.
class TvexPCXImage : public TvexImageFile {
public:
  static constexpr int kHeaderSize = 128;
  static constexpr std::uint8_t kManufacturer = 10;
  static constexpr std::uint8_t kPaletteMarker = 12;

  TvexPCXImage();
  ~TvexPCXImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;

  const std::array<std::uint8_t, kHeaderSize>& GetHeader() const { return Header; }

protected:
  void DecodeImage() override;
  void EncodeImage() override;

private:
  void ReadPixels();
  void ReadTrailingPalette();

  std::array<std::uint8_t, kHeaderSize> Header{};
};
