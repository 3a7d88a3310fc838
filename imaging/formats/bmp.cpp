#include "format_kit.h"
#include "vexImageCompress.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace pf = vex::platform;

namespace {

constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kCoreHeaderSize = 12;
// The 64-byte OS/2 2.x header: its first 40 bytes are laid out as the Windows one.
constexpr std::uint32_t kOs2v2HeaderSize = 64;
constexpr std::uint32_t kLargestHeaderSize = 124;
constexpr std::uint32_t kAlphaBitFields = 6;

bool KnownHeaderSize(std::uint32_t size) {
  switch (size) {
  case kCoreHeaderSize:
  case kInfoHeaderSize:
  case 52: // with the three colour masks
  case 56: // and the alpha mask
  case kOs2v2HeaderSize:
  case 108: // colour space added
  case kLargestHeaderSize:
    return true;
  default:
    return false;
  }
}

// A mask whose set bits form one run (or no bits at all: the channel is 0).
bool Contiguous(std::uint32_t mask) {
  if (mask == 0) return true;
  const std::uint32_t low = mask >> __builtin_ctz(mask);
  return (low & (low + 1)) == 0;
}

using vex::kit::Le16;
using vex::kit::Le32;
using vex::kit::PutLe16;
using vex::kit::PutLe32;

} // namespace

TvexBmpImage::TvexBmpImage() = default;
TvexBmpImage::~TvexBmpImage() = default;

TvexErrorCode TvexBmpImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  try {
    std::uint8_t raw[14] = {};
    if (BufferStream.Read(raw, 14) != 14) return Error;
    BmpHeader.bfType = Le16(raw);
    BmpHeader.bfSize = Le32(raw + 2);
    BmpHeader.bfReserved1 = Le16(raw + 6);
    BmpHeader.bfReserved2 = Le16(raw + 8);
    BmpHeader.bfOffBits = Le32(raw + 10);
    if (BmpHeader.bfType != kSignature) return Error;
    SeekFromStart(14);
    std::uint8_t size[4] = {};
    if (BufferStream.Read(size, 4) != 4) return Error;
    const std::uint32_t header_size = Le32(size);
    if (KnownHeaderSize(header_size)) Error = EC_OK;
  } catch (const vex::ReadError&) {
    Error = EC_READFROMFILE;
  } catch (...) {
    Error = EC_EXCEPTION;
  }
  return Error;
}

TvexErrorCode TvexBmpImage::ReadInfoHeader() {
  IsOS2 = 0;
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  SeekFromStart(14);
  std::uint8_t raw[kLargestHeaderSize] = {};
  BufferStream.Read(raw, 4);
  const std::uint32_t header_size = std::min(Le32(raw), kLargestHeaderSize);
  if (header_size > 4) BufferStream.Read(raw + 4, static_cast<std::int32_t>(header_size - 4));
  HeaderSize = header_size;
  h.biSize = Le32(raw);
  if (h.biSize == kCoreHeaderSize) {
    IsOS2 = 1;
    SeekFromStart(14);
    std::memset(raw, 0, sizeof raw);
    BufferStream.Read(raw, 12);
    h.biWidth = Le16(raw + 4);
    h.biHeight = Le16(raw + 6);
    h.biBitCount = Le16(raw + 10);
    h.biCompression = 0;
    h.biSizeImage = 0;
    h.biXPelsPerMeter = h.biYPelsPerMeter = 0;
    h.biClrUsed = h.biClrImportant = 0;
  } else {
    h.biWidth = static_cast<std::int32_t>(Le32(raw + 4));
    h.biHeight = static_cast<std::int32_t>(Le32(raw + 8));
    h.biBitCount = Le16(raw + 14);
    h.biCompression = Le32(raw + 16);
    h.biSizeImage = Le32(raw + 20);
    h.biXPelsPerMeter = static_cast<std::int32_t>(Le32(raw + 24));
    h.biYPelsPerMeter = static_cast<std::int32_t>(Le32(raw + 28));
    h.biClrUsed = Le32(raw + 32);
    h.biClrImportant = Le32(raw + 36);
  }
  h.biPlanes = 1;
  switch (h.biBitCount) {
  case 1:
  case 4:
  case 8:
  case 15:
  case 16:
  case 24:
  case 32:
    break;
  default:
    Error = EC_BITDEPTH;
    return Error;
  }
  HeaderCompression = h.biCompression;
  // What the larger headers add: OS/2 2.x Huffman and RLE24 (3, 4), and
  // embedded JPEG or PNG data (4, 5) after the Windows ones. None is read,
  // and taking such data for plain pixels would give a picture of noise.
  const bool os2v2 = h.biSize == kOs2v2HeaderSize;
  if ((os2v2 && HeaderCompression > pf::BI_RLE4) ||
      (!os2v2 && h.biSize > kInfoHeaderSize &&
       (HeaderCompression == 4 || HeaderCompression == 5))) {
    Error = EC_BADCOMPRESS;
    return Error;
  }
  // Colour masks: inside the larger Windows headers, after the 40-byte one.
  Masks[0] = Masks[1] = Masks[2] = 0;
  CustomMasks = false;
  const bool fields = HeaderCompression == pf::BI_BITFIELDS || HeaderCompression == kAlphaBitFields;
  if (fields && (h.biBitCount == 16 || h.biBitCount == 32)) {
    std::uint8_t m[12] = {};
    if (h.biSize >= 52) {
      std::memcpy(m, raw + 40, 12);
    } else {
      SeekFromStart(14 + std::int64_t{h.biSize});
      BufferStream.Read(m, 12);
    }
    for (int i = 0; i < 3; ++i) Masks[i] = Le32(m + 4 * i);
    const std::uint32_t standard[3] = {h.biBitCount == 16 ? 0x7C00u : 0xFF0000u,
                                       h.biBitCount == 16 ? 0x03E0u : 0x00FF00u,
                                       h.biBitCount == 16 ? 0x001Fu : 0x0000FFu};
    const std::uint32_t within = h.biBitCount == 16 ? 0xFFFFu : 0xFFFFFFFFu;
    bool usable = true, same = true;
    for (int i = 0; i < 3; ++i) {
      usable = usable && Contiguous(Masks[i]) && (Masks[i] & ~within) == 0;
      same = same && Masks[i] == standard[i];
    }
    // Masks that cannot be read as channels leave the standard layout.
    CustomMasks = usable && !same && (Masks[0] | Masks[1] | Masks[2]) != 0;
  }
  if (h.biCompression == pf::BI_RGB)
    Compression = CP_NOCOMP;
  else if (h.biCompression == pf::BI_RLE8)
    Compression = CP_RLE8;
  else if (h.biCompression == pf::BI_RLE4)
    Compression = CP_RLE4;
  if (ImageInfo) {
    ImageInfo->SetResolutionUnit(RU_METER);
    ImageInfo->SetXResolution(h.biXPelsPerMeter);
    ImageInfo->SetYResolution(h.biYPelsPerMeter);
    ImageInfo->SetXPosition(0);
    ImageInfo->SetYPosition(0);
  }
  Error = EC_OK;
  return Error;
}

TvexErrorCode TvexBmpImage::ReadPalette() {
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  NumColors = HeaderCompression == pf::BI_BITFIELDS ? 0 : GetNumColors(h);
  if (NumColors <= 0) return Error;
  try {
    SeekFromStart(std::int64_t{HeaderSize} + 14);
    if (IsOS2) {
      std::uint8_t triples[256 * 3] = {};
      BufferStream.Read(triples, NumColors * 3);
      for (int i = 0; i < NumColors; ++i) {
        pf::RgbQuad& q = BitmapInfo->bmiColors[i];
        q.rgbBlue = triples[3 * i];
        q.rgbGreen = triples[3 * i + 1];
        q.rgbRed = triples[3 * i + 2];
        q.rgbReserved = 0;
      }
    } else {
      BufferStream.Read(BitmapInfo->bmiColors, NumColors * 4);
    }
  } catch (...) {
    Error = EC_READFROMFILE;
  }
  return Error;
}

void TvexBmpImage::DecodeImage() {
  // Headers and palette: whatever goes wrong is a read error.
  Failures.end = Failures.other = EC_READFROMFILE;
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  if (ReadInfoHeader() != EC_OK || ReadPalette() != EC_OK) return;
  SeekFromStart(BmpHeader.bfOffBits);
  // The image keeps its rows bottom-up: a top-down file is turned over while
  // it is read, so that row 0 of the picture is its top row either way.
  FileTopDown = h.biHeight < 0 && h.biHeight != std::numeric_limits<std::int32_t>::min();
  if (FileTopDown) h.biHeight = -h.biHeight;
  const std::uint16_t file_bits = h.biBitCount;
  // Pixels with their own channel masks become 24-bit pictures.
  if (CustomMasks) h.biBitCount = 24;
  if (!CreateDIB()) return;

  // Pixel data: whatever goes wrong is a file that ends early.
  Failures = {EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE};
  struct DropCodec {
    TvexBmpImage& b;
    ~DropCodec() {
      b.Codec.reset();
      b.DataStream.Clear();
    }
  } drop{*this};
  const std::int64_t image_size = std::int64_t{LineWidth} * std::abs(std::int64_t{h.biHeight});
  if (CustomMasks) {
    ReadMaskedPixels(file_bits);
    return;
  }
  if (Compression == CP_NOCOMP) {
    std::int64_t got = 0;
    if (FileTopDown) {
      const std::int64_t rows = image_size / LineWidth;
      for (std::int64_t y = rows - 1; y >= 0; --y)
        got += BufferStream.Read(DIBBits + y * LineWidth, LineWidth);
    } else {
      got = BufferStream.Read(DIBBits, static_cast<std::int32_t>(image_size));
    }
    // A cut-off file keeps what arrived, but says so.
    if (got < image_size) Error = EC_ENDOFFILE;
    return;
  }
  if (Compression == CP_RLE4)
    Codec = std::make_unique<TvexImageRLE4>();
  else
    Codec = std::make_unique<TvexImageRLE8>();
  Codec->SetTopDown(FileTopDown);
  Codec->SetImage(DIBHandle);
  const std::int64_t rest = std::clamp<std::int64_t>(
      BufferStream.GetSize() - BufferStream.GetPosition(), 0, vex::kit::kMaxAllocation);
  DataStream.SetSize(rest);
  const std::int32_t got =
      rest > 0 ? BufferStream.Read(DataStream.MutableMemory(), static_cast<std::int32_t>(rest)) : 0;
  std::int32_t length = got, produced = 0;
  if (got > 0) Codec->Decompress(DataStream.Memory(), length, produced);
  Error = Codec->GetError();
  // A cut run-length file keeps what arrived, but says so, as a cut plain one does.
  if (Error == EC_OK && (got == 0 || Codec->GetDataRanOut())) Error = EC_ENDOFFILE;
}

void TvexBmpImage::ReadMaskedPixels(std::uint16_t file_bits) {
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::int64_t width = h.biWidth, rows = std::abs(std::int64_t{h.biHeight});
  const std::int64_t file_line = pf::dib_line_width(width, file_bits);
  // Each channel: its shift, and the value of its largest sample, which is
  // widened to 255 (each sample to sample * 255 / largest, rounded down).
  int shift[3];
  std::uint64_t top[3];
  for (int c = 0; c < 3; ++c) {
    shift[c] = Masks[c] ? __builtin_ctz(Masks[c]) : 0;
    top[c] = Masks[c] >> shift[c];
  }
  if (file_line > vex::kit::kMaxAllocation) {
    Error = EC_NOMEMORY;
    return;
  }
  const int bytes = file_bits / 8;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(file_line));
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::int32_t got = BufferStream.Read(row.data(), static_cast<std::int32_t>(file_line));
    if (got < file_line) {
      // A cut-off file keeps what arrived, but says so.
      Error = EC_ENDOFFILE;
      return;
    }
    std::uint8_t* out = DIBBits + (FileTopDown ? rows - 1 - y : y) * LineWidth;
    for (std::int64_t x = 0; x < width; ++x, out += 3) {
      const std::uint8_t* p = row.data() + x * bytes;
      const std::uint32_t v = bytes == 2 ? Le16(p) : Le32(p);
      // Red, green, blue masks give bytes 2, 1, 0 of the pixel.
      for (int c = 0; c < 3; ++c) {
        const std::uint64_t sample = (v & Masks[c]) >> shift[c];
        out[2 - c] = top[c] ? static_cast<std::uint8_t>(sample * 255 / top[c]) : 0;
      }
    }
  }
}

TvexErrorCode TvexBmpImage::WriteHeaders() {
  Error = EC_OK;
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  std::uint32_t header_compression;
  switch (Compression) {
  case CP_NOCOMP:
    header_compression = pf::BI_RGB;
    break;
  case CP_RLE4:
    header_compression = pf::BI_RLE4;
    break;
  case CP_RLE8:
    header_compression = pf::BI_RLE8;
    break;
  default:
    Error = EC_BADCOMPRESS;
    return Error;
  }
  // Run-length coding exists for 4- and 8-bit pixels only.
  if ((Compression == CP_RLE4 && BitCount != 4) || (Compression == CP_RLE8 && BitCount != 8)) {
    Error = EC_COLORFORMAT;
    return Error;
  }
  try {
    const std::uint32_t offset = static_cast<std::uint32_t>(NumColors) * 4 + 54;
    BmpHeader.bfType = kSignature;
    BmpHeader.bfOffBits = offset;
    BmpHeader.bfSize = offset + h.biSizeImage;
    BmpHeader.bfReserved1 = BmpHeader.bfReserved2 = 0;
    std::uint8_t raw[54] = {};
    PutLe16(raw, BmpHeader.bfType);
    PutLe32(raw + 2, BmpHeader.bfSize);
    PutLe32(raw + 10, BmpHeader.bfOffBits);
    PutLe32(raw + 14, kInfoHeaderSize);
    PutLe32(raw + 18, static_cast<std::uint32_t>(h.biWidth));
    // Run-length data always runs bottom-up.
    const std::int32_t height =
        Compression == CP_NOCOMP ? h.biHeight : (h.biHeight < 0 ? -h.biHeight : h.biHeight);
    PutLe32(raw + 22, static_cast<std::uint32_t>(height));
    PutLe16(raw + 26, 1);
    PutLe16(raw + 28, static_cast<std::uint16_t>(h.biBitCount));
    PutLe32(raw + 30, header_compression);
    PutLe32(raw + 34, h.biSizeImage);
    PutLe32(raw + 38, static_cast<std::uint32_t>(h.biXPelsPerMeter));
    PutLe32(raw + 42, static_cast<std::uint32_t>(h.biYPelsPerMeter));
    PutLe32(raw + 46, h.biClrUsed);
    PutLe32(raw + 50, h.biClrImportant);
    BufferStream.Write(raw, 54);
  } catch (...) {
    Error = EC_WRITETOFILE;
  }
  return Error;
}

TvexErrorCode TvexBmpImage::WritePalette() {
  if (NumColors <= 0) return Error;
  try {
    BufferStream.Write(BitmapInfo->bmiColors, NumColors * 4);
  } catch (...) {
    Error = EC_WRITETOFILE;
  }
  return Error;
}

void TvexBmpImage::EncodeImage() {
  if (WriteHeaders() == EC_OK) WritePalette();
  if (Error != EC_OK) return;
  struct DropCodec {
    TvexBmpImage& b;
    ~DropCodec() { b.Codec.reset(); }
  } drop{*this};
  const std::int32_t image_size = static_cast<std::int32_t>(BitmapInfo->bmiHeader.biSizeImage);
  if (Compression == CP_NOCOMP) {
    WriteData(nullptr, DIBBits, image_size);
    return;
  }
  if (Compression == CP_RLE4)
    Codec = std::make_unique<TvexImageRLE4>();
  else
    Codec = std::make_unique<TvexImageRLE8>();
  Codec->SetTopDown(BitmapInfo->bmiHeader.biHeight < 0);
  Codec->SetImage(DIBHandle);
  std::int32_t raw = 0;
  while (Error == EC_OK && raw < image_size) {
    const std::uint8_t* data = nullptr;
    std::int32_t count = 0, used = 0;
    Error = Codec->Compress(data, count, used);
    if (Error != EC_OK || used <= 0) break;
    raw += used;
    WriteData(nullptr, data, count);
  }
}
