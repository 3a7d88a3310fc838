// Targa files (format number 18).
#pragma once

#include "vexImageFile.h"

#include <array>
#include <cstdint>
#include <string>

// Reads image types 1, 2, 3 (uncompressed) and 9, 10, 11 (run-length) of
// 1, 4, 8, 16, 24 and 32 bits per pixel with colour maps of 15-, 16-, 24- or
// 32-bit entries, either row order and right-to-left rows, the ID field and
// the footer's extension area (into the metadata). 16-bit grey pixels (grey
// and alpha) become 8-bit grey. Writes types 1, 2, 3 (Compression 0) or 9,
// 10, 11 (Compression 3) with a footer and, with metadata, an extension area;
// 1- and 4-bit pictures are stored as 8-bit indices.
class TvexTargaImage : public TvexImageFile {
public:
  static constexpr int kHeaderSize = 18;
  static constexpr int kFooterSize = 26;
  static constexpr int kExtensionSize = 495;

  TvexTargaImage();
  ~TvexTargaImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;

  const std::array<std::uint8_t, kHeaderSize>& GetHeader() const { return Header; }
  // The image ID text as read.
  std::string GetImageID() const;

protected:
  void DecodeImage() override;
  void EncodeImage() override;

private:
  void ReadColorMap();
  void ReadPixels();
  void ReadFooter();
  void WritePixels(int kind);
  void WriteFooter();

  std::array<std::uint8_t, kHeaderSize> Header{};
  std::array<std::uint8_t, 256> ImageID{};
  std::array<std::uint8_t, kExtensionSize> Extension{};
  std::array<std::uint8_t, kFooterSize> Footer{};
  // Bytes of one stored row.
  std::int64_t RowBytes = 0;
};
