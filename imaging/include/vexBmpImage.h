// Windows and OS/2 bitmap files (format numbers 20 and 21).
#pragma once

#include "vexImageFile.h"

#include <cstdint>
#include <memory>

class TvexImageRLE;

// Reads Windows (40-, 52-, 56-, 108- and 124-byte headers) and OS/2 (12- and
// 64-byte headers) bitmaps: plain, RLE4, RLE8 and bit fields with their
// masks, bottom-up or top-down. Writes Windows bitmaps: plain, RLE4 (Compression 1) and RLE8
// (Compression 2).
class TvexBmpImage : public TvexImageFile {
public:
#pragma pack(push, 1)
  struct FileHeader {
    std::uint16_t bfType = 0;
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0;
    std::uint16_t bfReserved2 = 0;
    std::uint32_t bfOffBits = 0;
  };
#pragma pack(pop)
  static_assert(sizeof(FileHeader) == 14);
  static constexpr std::uint16_t kSignature = 0x4D42; // "BM"

  TvexBmpImage();
  ~TvexBmpImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  virtual TvexErrorCode ReadInfoHeader();
  virtual TvexErrorCode WriteHeaders();
  TvexErrorCode ReadPalette();
  TvexErrorCode WritePalette();

  bool GetIsOS2() const {
    return IsOS2 != 0;
  }
  const FileHeader& GetFileHeader() const {
    return BmpHeader;
  }

protected:
  void DecodeImage() override;
  void EncodeImage() override;

  FileHeader BmpHeader;
  std::uint8_t IsOS2 = 0;
  std::unique_ptr<TvexImageRLE> Codec;
  // The header's compression field as read (3 = bit fields).
  std::uint32_t HeaderCompression = 0;
  // The file's rows run from the top of the picture down.
  bool FileTopDown = false;
  // Size of the info header as the file gives it (12, 40, 52, 56, 64, 108 or 124).
  std::uint32_t HeaderSize = 40;
  // Red, green and blue masks of 16- and 32-bit bit-field pixels, and whether
  // they differ from the 5-5-5 / 8-8-8 layout (the picture is then made 24-bit).
  std::uint32_t Masks[3] = {0, 0, 0};
  bool CustomMasks = false;

private:
  void ReadMaskedPixels(std::uint16_t file_bits);
};
