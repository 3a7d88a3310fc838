// Windows icon files (format number 19).
#pragma once

#include "vexImageFile.h"

#include <cstdint>
#include <vector>

// Reads the first image of an icon file: a bitmap of 1, 4, 8, 16, 24 or 32
// bits (its transparency mask is not read), or a PNG image, which is read by
// the PNG format class when the library has one (else Error 9). Icons are
// not written: a save is refused with Error 9 and creates no file.
class TvexICONImage : public TvexImageFile {
public:
  struct DirEntry {
    std::uint8_t width = 0;
    std::uint8_t height = 0;
    std::uint8_t color_count = 0;
    std::uint8_t reserved = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    std::uint32_t bytes = 0;
    std::uint32_t offset = 0;
  };

  TvexICONImage();
  ~TvexICONImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  bool CanWrite() const override { return false; }

  std::uint16_t GetImageCount() const { return Count; }
  const std::vector<DirEntry>& GetEntries() const { return Entries; }

protected:
  void DecodeImage() override;
  void EncodeImage() override;
  // The first image stored as PNG.
  void DecodePNG(std::int64_t offset);

  std::uint16_t Reserved = 0;
  std::uint16_t Type = 0;
  std::uint16_t Count = 0;
  std::vector<DirEntry> Entries;
};
