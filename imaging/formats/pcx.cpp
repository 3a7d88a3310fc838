#include "format_kit.h"
#include "vexImageCompress.h"
#include "vexImageFile.h"

#include "platform/rounding.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pf = vex::platform;
using vex::kit::Le16;
using vex::kit::PutLe16;

namespace {

// Header fields.
constexpr int kVersion = 1, kEncoding = 2, kBits = 3, kXMin = 4, kYMin = 6, kXMax = 8, kYMax = 10,
              kHDpi = 12, kVDpi = 14, kPalette = 16, kPlanes = 65, kBytesPerLine = 66,
              kPaletteInfo = 68;

// Bits per pixel of the bitmap that holds a file's layout; 0 for layouts
// that have no meaningful picture.
int bitmap_bits(int bits, int planes) {
  if (bits == 1 && planes == 1) return 1;
  if ((bits == 1 && planes <= 4) || ((bits == 2 || bits == 4) && planes == 1)) return 4;
  if (bits == 8 && planes == 1) return 8;
  if (bits == 8 && planes == 3) return 24;
  if (bits == 8 && planes == 4) return 32;
  return 0;
}

bool is_colour(const pf::RgbQuad& q, std::uint8_t v) {
  return q.rgbRed == v && q.rgbGreen == v && q.rgbBlue == v;
}

} // namespace

TvexPCXImage::TvexPCXImage() = default;
TvexPCXImage::~TvexPCXImage() = default;

TvexErrorCode TvexPCXImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  Header.fill(0);
  std::int32_t got = 0;
  try {
    got = BufferStream.Read(Header.data(), kHeaderSize);
  } catch (...) {
    Error = EC_READFROMFILE;
    return Error;
  }
  if (got < 4) return Error;
  const int version = Header[kVersion], bits = Header[kBits];
  if (Header[0] != kManufacturer || version > 5 || version == 1) return Error;
  if (Header[kEncoding] != 1 || (bits != 1 && bits != 2 && bits != 4 && bits != 8)) return Error;
  // The rest of a whole header must describe a picture (a cut one fails
  // later as unreadable).
  if (got == kHeaderSize) {
    if (Le16(&Header[kXMax]) < Le16(&Header[kXMin]) || Le16(&Header[kYMax]) < Le16(&Header[kYMin]))
      return Error;
    if (Header[kPlanes] < 1 || Header[kPlanes] > 4 || Le16(&Header[kBytesPerLine]) == 0)
      return Error;
  }
  Error = EC_OK;
  return Error;
}

void TvexPCXImage::DecodeImage() {
  Failures.end = Failures.other = EC_READFROMFILE;
  SeekFromStart(0);
  vex::kit::FieldReader(BufferStream).Bytes(Header.data(), kHeaderSize);
  const int bits = Header[kBits], planes = Header[kPlanes];
  const int bit_count = bitmap_bits(bits, planes);
  if (bit_count == 0) {
    Error = EC_BITDEPTH;
    return;
  }
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = Le16(&Header[kXMax]) - Le16(&Header[kXMin]) + 1;
  h.biHeight = Le16(&Header[kYMax]) - Le16(&Header[kYMin]) + 1;
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(bit_count);
  h.biCompression = pf::BI_RGB;
  const int hdpi = Le16(&Header[kHDpi]), vdpi = Le16(&Header[kVDpi]);
  h.biXPelsPerMeter = vex::round_to_int32(hdpi * 100.0L / 2.54L);
  h.biYPelsPerMeter = vex::round_to_int32(vdpi * 100.0L / 2.54L);
  h.biClrUsed = h.biClrImportant = 0;

  pf::RgbQuad* pal = BitmapInfo->bmiColors;
  std::fill_n(pal, 256, pf::RgbQuad{});
  const std::uint8_t* hp = &Header[kPalette];
  const bool header_palette =
      Header[kVersion] != 3 && std::any_of(hp, hp + 48, [](std::uint8_t b) { return b != 0; });
  if (bit_count == 1) {
    // Monochrome files are black and white; the header's colours are
    // display hints (often a background colour) rather than a palette.
    pal[1].rgbRed = pal[1].rgbGreen = pal[1].rgbBlue = 255;
  } else if (bit_count == 4 && header_palette) {
    for (int i = 0; i < 16; ++i) {
      pal[i].rgbRed = hp[3 * i];
      pal[i].rgbGreen = hp[3 * i + 1];
      pal[i].rgbBlue = hp[3 * i + 2];
    }
  } else {
    // 8 bits: grey unless the trailing palette says otherwise.
    CreateGreyPalette(1);
  }
  if (ImageInfo) {
    ImageInfo->SetResolutionUnit(RU_INCH);
    ImageInfo->SetXResolution(hdpi);
    ImageInfo->SetYResolution(vdpi);
  }
  Compression = CP_PCX_RLE;
  if (!CreateDIB()) return;

  Failures = {EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE};
  ReadPixels();
  if (bit_count == 8 && Header[kVersion] == 5) {
    Failures = {EC_READFROMFILE, EC_READFROMFILE, EC_NOMEMORY,
                EC_READFROMFILE, EC_READFROMFILE, EC_READFROMFILE};
    ReadTrailingPalette();
  }
}

void TvexPCXImage::ReadPixels() {
  TvexImagePCXRLE codec;
  codec.SetImage(DIBHandle);
  codec.SetTopDown(true);
  codec.SetLayout(Header[kBits], Header[kPlanes]);
  codec.SetBytesPerLine(Le16(&Header[kBytesPerLine]));
  const std::int32_t piece = std::max<std::int32_t>(8 * LineWidth, 4096);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(piece));
  while (!codec.Done()) {
    const std::int32_t got = BufferStream.Read(data.data(), piece);
    if (got <= 0) break;
    std::int32_t left = got, produced = 0;
    if (codec.Decompress(data.data(), left, produced) != EC_OK) {
      Error = codec.GetError();
      return;
    }
    BufferStream.Seek(BufferStream.GetPosition() - left);
    if (left == got) break; // a count byte at the very end
  }
  if (!codec.Done()) {
    codec.Flush();
    Error = EC_ENDOFFILE;
  }
}

void TvexPCXImage::ReadTrailingPalette() {
  // Right after the pixel data, or else where a file of the usual layout
  // keeps it: 769 bytes before its end.
  vex::kit::FieldReader fields(BufferStream);
  bool found = fields.Remaining() >= 769 && fields.U8() == kPaletteMarker;
  const std::int64_t end = BufferStream.GetSize() - 769;
  if (!found && end >= StreamStart + kHeaderSize) {
    BufferStream.Seek(end);
    found = fields.U8() == kPaletteMarker;
  }
  if (!found) {
    Fail(EC_UNKNOWNFORMAT); // the grey palette stays
    return;
  }
  std::uint8_t rgb[768];
  fields.Bytes(rgb, 768);
  pf::RgbQuad* pal = BitmapInfo->bmiColors;
  for (int i = 0; i < 256; ++i) {
    pal[i].rgbRed = rgb[3 * i];
    pal[i].rgbGreen = rgb[3 * i + 1];
    pal[i].rgbBlue = rgb[3 * i + 2];
    pal[i].rgbReserved = 0;
  }
  NumColors = 256;
  SetPalette();
}

void TvexPCXImage::EncodeImage() {
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::int64_t width = h.biWidth, height = std::abs(h.biHeight);
  const int kind = GetColorKind();
  const bool grey = kind == CK_GREY_BLACK_MIN;
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  int bits = 8, planes = 1, info = 1;
  std::int64_t bpl = width;
  bool invert = false;
  switch (BitCount) {
  case 1:
    bits = 1;
    bpl = (width + 7) / 8;
    // One plane is black and white to every reader; other colours take
    // four planes and the header's palette.
    invert = is_colour(pal[0], 255) && is_colour(pal[1], 0);
    if (!invert && !(is_colour(pal[0], 0) && is_colour(pal[1], 255))) planes = 4;
    break;
  case 4:
    bits = 1;
    planes = 4;
    bpl = (width + 7) / 8;
    info = grey ? 2 : 1;
    break;
  case 8:
    bpl = width + (grey && (width & 1) ? 1 : 0);
    info = grey ? 2 : 1;
    break;
  case 24:
    planes = 3;
    info = 0;
    break;
  default:
    Error = EC_COLORFORMAT;
    return;
  }
  if (bpl > 0xFFFF || width > 0x10000 || height > 0x10000) {
    Error = EC_BITDEPTH;
    return;
  }
  Header.fill(0);
  Header[0] = kManufacturer;
  Header[kVersion] = 5;
  Header[kEncoding] = 1;
  Header[kBits] = static_cast<std::uint8_t>(bits);
  PutLe16(&Header[kXMax], static_cast<std::uint16_t>(width - 1));
  PutLe16(&Header[kYMax], static_cast<std::uint16_t>(height - 1));
  auto dpi = [](std::int32_t ppm) {
    return static_cast<std::uint16_t>(
        std::clamp<std::int64_t>(vex::round_to_int64(ppm * 2.54L / 100.0L), 0, 65535));
  };
  PutLe16(&Header[kHDpi], dpi(h.biXPelsPerMeter));
  PutLe16(&Header[kVDpi], dpi(h.biYPelsPerMeter));
  if (info != 0) {
    std::uint8_t* hp = &Header[kPalette];
    const int n = std::min(NumColors, 16);
    for (int i = 0; i < n; ++i) {
      const pf::RgbQuad& q = pal[invert ? 1 - i : i];
      hp[3 * i] = q.rgbRed;
      hp[3 * i + 1] = q.rgbGreen;
      hp[3 * i + 2] = q.rgbBlue;
    }
  }
  Header[kPlanes] = static_cast<std::uint8_t>(planes);
  PutLe16(&Header[kBytesPerLine], static_cast<std::uint16_t>(bpl));
  PutLe16(&Header[kPaletteInfo], static_cast<std::uint16_t>(info));
  BufferStream.Write(Header.data(), kHeaderSize);

  TvexImagePCXRLE codec;
  codec.SetImage(DIBHandle);
  // A bitmap held top-down in memory starts at its first memory row.
  codec.SetTopDown(h.biHeight > 0);
  codec.SetLayout(bits, planes);
  codec.SetBytesPerLine(static_cast<std::int32_t>(bpl));
  codec.SetInvert(invert);
  std::int64_t done = 0;
  const std::int64_t image_size = std::int64_t{LineWidth} * height;
  while (Error == EC_OK && done < image_size) {
    const std::uint8_t* data = nullptr;
    std::int32_t count = 0, raw = static_cast<std::int32_t>(image_size - done);
    if (codec.Compress(data, count, raw) != EC_OK || raw <= 0) {
      Error = EC_COMPRESSION;
      return;
    }
    done += raw;
    WriteData(nullptr, data, count);
  }
  if (BitCount == 8) {
    std::uint8_t trailer[769];
    trailer[0] = kPaletteMarker;
    for (int i = 0; i < 256; ++i) {
      trailer[1 + 3 * i] = pal[i].rgbRed;
      trailer[2 + 3 * i] = pal[i].rgbGreen;
      trailer[3 + 3 * i] = pal[i].rgbBlue;
    }
    BufferStream.Write(trailer, 769);
  }
}
