#include "format_kit.h"
#include "vexImageCompress.h"
#include "vexImageFile.h"

#include "platform/rounding.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace pf = vex::platform;
using vex::kit::civil_from_days;
using vex::kit::days_from_civil;
using vex::kit::Le16;
using vex::kit::PutLe16;
using vex::kit::PutLe32;

namespace {

// Header fields.
constexpr int kIdLength = 0, kMapType = 1, kImageType = 2, kMapFirst = 3, kMapLength = 5,
              kMapEntryBits = 7, kXOrigin = 8, kYOrigin = 10, kWidth = 12, kHeight = 14,
              kDepth = 16, kDescriptor = 17;
constexpr std::uint8_t kTopDown = 0x20, kRightToLeft = 0x10;
constexpr char kSignature[] = "TRUEVISION-XFILE.";

// Extension area fields.
constexpr int kExtAuthor = 2, kExtComments = 43, kExtStamp = 367, kExtSoftware = 426,
              kExtVersion = 467, kExtAspect = 474;

bool depth_fits(int type, int depth) {
  switch (type & 7) {
  case 0:
    return depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  case 1:
    return depth == 1 || depth == 4 || depth == 8;
  case 2:
    return depth == 16 || depth == 24 || depth == 32;
  default: // grey
    return depth == 1 || depth == 4 || depth == 8 || depth == 16;
  }
}

bool leap(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

std::string text(const std::uint8_t* p, std::size_t size) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, size));
  return std::string(reinterpret_cast<const char*>(p),
                     end ? static_cast<std::size_t>(end - p) : size);
}

void put_text(std::uint8_t* p, const std::string& s, std::size_t keep) {
  std::memcpy(p, s.data(), std::min(s.size(), keep));
}

// Mirrors every row of the bitmap (rows stored right to left).
void mirror_rows(std::uint8_t* bits, std::int32_t line, std::int32_t height, std::int32_t width,
                 int bit_count) {
  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* row = bits + std::int64_t{y} * line;
    if (bit_count >= 8) {
      const int p = bit_count / 8;
      for (std::int64_t a = 0, b = width - 1; a < b; ++a, --b)
        std::swap_ranges(row + a * p, row + a * p + p, row + b * p);
      continue;
    }
    // Packed pixels: most significant first.
    const int per = 8 / bit_count;
    const int mask = (1 << bit_count) - 1;
    auto get = [&](std::int64_t x) {
      return (row[x / per] >> ((per - 1 - x % per) * bit_count)) & mask;
    };
    auto set = [&](std::int64_t x, int v) {
      const int shift = static_cast<int>((per - 1 - x % per) * bit_count);
      row[x / per] = static_cast<std::uint8_t>((row[x / per] & ~(mask << shift)) | (v << shift));
    };
    for (std::int64_t a = 0, b = width - 1; a < b; ++a, --b) {
      const int va = get(a), vb = get(b);
      set(a, vb);
      set(b, va);
    }
  }
}

} // namespace

TvexTargaImage::TvexTargaImage() = default;
TvexTargaImage::~TvexTargaImage() = default;

std::string TvexTargaImage::GetImageID() const {
  return text(ImageID.data(), Header[kIdLength]);
}

TvexErrorCode TvexTargaImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  try {
    if (BufferStream.Read(Header.data(), kHeaderSize) != kHeaderSize) return Error;
  } catch (...) {
    Error = EC_READFROMFILE;
    return Error;
  }
  // No signature: only a header whose every field is plausible is taken.
  const int map_type = Header[kMapType], type = Header[kImageType], depth = Header[kDepth];
  const int entry_bits = Header[kMapEntryBits];
  if (map_type > 1) return Error;
  if (type > 11 || (type > 3 && type < 9) || type == 8) return Error;
  if (!depth_fits(type, depth)) return Error;
  if ((type & 7) == 1 && map_type != 1) return Error;
  if (map_type == 1 && entry_bits != 15 && entry_bits != 16 && entry_bits != 24 && entry_bits != 32)
    return Error;
  if (Le16(&Header[kWidth]) == 0 || Le16(&Header[kHeight]) == 0) return Error;
  Error = EC_OK;
  return Error;
}

void TvexTargaImage::ReadColorMap() {
  pf::RgbQuad* pal = BitmapInfo->bmiColors;
  std::fill_n(pal, 256, pf::RgbQuad{});
  const int entry_bits = Header[kMapEntryBits];
  const int entry = entry_bits <= 16 ? 2 : entry_bits / 8;
  const std::int64_t first = Le16(&Header[kMapFirst]);
  const std::int64_t length = Le16(&Header[kMapLength]);
  std::vector<std::uint8_t> map(static_cast<std::size_t>(length * entry));
  vex::kit::FieldReader(BufferStream).Bytes(map.data(), static_cast<std::int32_t>(map.size()));
  // Map entry k is colour first + k; colours past 255 have no place.
  for (std::int64_t k = 0; k < length && first + k < 256; ++k) {
    const std::uint8_t* e = map.data() + k * entry;
    pf::RgbQuad& q = pal[first + k];
    if (entry == 2) {
      const unsigned c = Le16(e);
      q.rgbRed = static_cast<std::uint8_t>((c & 0x7C00) >> 7);
      q.rgbGreen = static_cast<std::uint8_t>((c & 0x03E0) >> 2);
      q.rgbBlue = static_cast<std::uint8_t>((c << 3) & 0xFF);
    } else {
      q.rgbBlue = e[0];
      q.rgbGreen = e[1];
      q.rgbRed = e[2];
    }
    q.rgbReserved = 0;
  }
}

void TvexTargaImage::DecodeImage() {
  // Header, ID and colour map: whatever stops them is a read error.
  Failures.end = Failures.other = EC_READFROMFILE;
  vex::kit::FieldReader fields(BufferStream);
  ImageID.fill(0);
  fields.Bytes(ImageID.data(), Header[kIdLength]);

  const int type = Header[kImageType], depth = Header[kDepth];
  const bool grey = (type & 7) == 3;
  // Grey pixels of 16 bits are grey and alpha: the grey byte is kept.
  const int bits = grey && depth == 16 ? 8 : depth;
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = Le16(&Header[kWidth]);
  h.biHeight = Le16(&Header[kHeight]);
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(bits);
  h.biCompression = pf::BI_RGB;
  h.biXPelsPerMeter = h.biYPelsPerMeter = 0;
  h.biClrUsed = h.biClrImportant = 0;
  Compression = type >= 9 ? CP_TARGA_RLE : CP_NOCOMP;
  std::fill_n(BitmapInfo->bmiColors, 256, pf::RgbQuad{});
  if (Header[kMapType] == 1) ReadColorMap();
  // Grey pictures are grey whatever map they carry.
  if (grey) CreateGreyPalette(1);
  if (!CreateDIB()) return;

  Failures = {EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE, EC_ENDOFFILE};
  if (type != 0) ReadPixels();
  if (Header[kDescriptor] & kRightToLeft)
    mirror_rows(DIBBits, LineWidth, h.biHeight, h.biWidth, bits);
  if (Error == EC_OK) ReadFooter();
}

void TvexTargaImage::ReadPixels() {
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const int depth = Header[kDepth];
  const bool top_down = (Header[kDescriptor] & kTopDown) != 0;
  const bool grey_alpha = (Header[kImageType] & 7) == 3 && depth == 16;
  const std::int32_t width = h.biWidth, height = h.biHeight;
  RowBytes = *vex::kit::RowBytes(width, depth);
  const vex::kit::RowPlacer rows(DIBBits, LineWidth, height, top_down);
  // Grey and alpha pairs: the grey byte of each.
  auto place_grey = [&](std::int64_t y, const std::uint8_t* pairs) {
    std::uint8_t* row = rows.Row(y);
    for (std::int32_t x = 0; x < width; ++x) row[x] = pairs[2 * x];
  };

  if (Compression == CP_NOCOMP) {
    std::vector<std::uint8_t> pairs(grey_alpha ? static_cast<std::size_t>(RowBytes) : 0);
    for (std::int64_t y = 0; y < height; ++y) {
      std::uint8_t* dst = grey_alpha ? pairs.data() : rows.Row(y);
      const std::int32_t got = BufferStream.Read(dst, static_cast<std::int32_t>(RowBytes));
      if (grey_alpha) place_grey(y, pairs.data());
      if (got < RowBytes) {
        Error = EC_ENDOFFILE; // a cut file keeps the rows that arrived
        return;
      }
    }
    return;
  }

  TvexImageTargaRLE codec;
  std::vector<std::uint8_t> pairs;
  if (grey_alpha) {
    // Decoded whole first: packets may run on from one row into the next.
    const auto bytes = vex::kit::Mul(RowBytes, height);
    if (!bytes) {
      Error = EC_NOMEMORY;
      return;
    }
    pairs.resize(static_cast<std::size_t>(*bytes));
    codec.SetTarget(pairs.data(), RowBytes, width, height, 16);
  } else {
    codec.SetImage(DIBHandle);
    codec.SetTopDown(top_down);
  }
  const std::int32_t piece = std::max<std::int32_t>(8 * LineWidth, 4096);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(piece));
  while (!codec.Done()) {
    const std::int32_t got = BufferStream.Read(data.data(), piece);
    if (got <= 0) break;
    std::int32_t left = got, produced = 0;
    if (codec.Decompress(data.data(), left, produced) != EC_OK) {
      Error = codec.GetError();
      break;
    }
    BufferStream.Seek(BufferStream.GetPosition() - left);
    if (left == got) break; // a packet cut off by the end of the file
  }
  if (grey_alpha)
    for (std::int64_t y = 0; y < height; ++y) place_grey(y, pairs.data() + y * RowBytes);
  if (Error == EC_OK && !codec.Done()) Error = EC_ENDOFFILE;
}

void TvexTargaImage::ReadFooter() {
  const std::int64_t back = BufferStream.GetPosition();
  Footer.fill(0);
  const std::int64_t at = BufferStream.GetSize() - kFooterSize;
  if (at < StreamStart + kHeaderSize) return;
  BufferStream.Seek(at);
  vex::kit::FieldReader fields(BufferStream);
  fields.Bytes(Footer.data(), kFooterSize);
  if (text(Footer.data() + 8, 18) != kSignature) {
    Footer.fill(0);
  } else if (const std::uint32_t offset = vex::kit::Le32(Footer.data()); offset != 0 && ImageInfo) {
    SeekFromStart(offset);
    fields.Bytes(Extension.data(), kExtensionSize);
    const std::uint8_t* e = Extension.data();
    ImageInfo->SetArtist(text(e + kExtAuthor, 41));
    ImageInfo->SetDescription(text(e + kExtComments, 324));
    const unsigned month = Le16(e + kExtStamp), day = Le16(e + kExtStamp + 2),
                   year = Le16(e + kExtStamp + 4), hour = Le16(e + kExtStamp + 6),
                   minute = Le16(e + kExtStamp + 8), second = Le16(e + kExtStamp + 10);
    if (month == 0 || day == 0 || year == 0) {
      ImageInfo->SetDateTime(0);
    } else {
      static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
      const bool valid = month <= 12 && day <= kDays[month - 1] + (month == 2 && leap(year)) &&
                         hour < 24 && minute < 60 && second < 60;
      if (valid)
        ImageInfo->SetDateTime(static_cast<double>(days_from_civil(year, month, day)) +
                               (hour * 3600.0 + minute * 60.0 + second) / 86400.0);
    }
    ImageInfo->SetSoftware(text(e + kExtSoftware, 41));
    ImageInfo->SetVersion(Le16(e + kExtVersion) / 100.0);
    const std::uint16_t num = Le16(e + kExtAspect), den = Le16(e + kExtAspect + 2);
    ImageInfo->SetAspectNumerator(static_cast<std::int16_t>(num ? num : 1));
    ImageInfo->SetAspectDenominator(static_cast<std::int16_t>(den ? den : 1));
  }
  BufferStream.Seek(back);
}

void TvexTargaImage::EncodeImage() {
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const int kind = GetColorKind();
  const bool rle = Compression == CP_TARGA_RLE;
  const bool mapped = kind == CK_GREY_WHITE_MIN || kind == CK_PALETTE;
  const bool grey = kind == CK_GREY_BLACK_MIN;
  const int type = (mapped ? 1 : grey ? 3 : 2) + (rle ? 8 : 0);
  Header.fill(0);
  Header[kImageType] = static_cast<std::uint8_t>(type);
  PutLe16(&Header[kWidth], static_cast<std::uint16_t>(h.biWidth));
  PutLe16(&Header[kHeight], static_cast<std::uint16_t>(std::abs(h.biHeight)));
  // Indices and grey levels of up to 8 bits are stored as bytes: readers
  // know no smaller Targa pixels.
  Header[kDepth] = static_cast<std::uint8_t>(BitCount <= 8 ? 8 : BitCount);
  if (BitCount <= 8 && mapped) {
    Header[kMapType] = 1;
    PutLe16(&Header[kMapLength], static_cast<std::uint16_t>(1 << BitCount));
    Header[kMapEntryBits] = 24;
  }
  std::string id;
  if (ImageInfo) {
    id = ImageInfo->Software().substr(0, 255);
    auto origin = [](long double v) {
      return static_cast<std::uint16_t>(std::clamp<long double>(vex::round_half_even(v), 0, 65535));
    };
    PutLe16(&Header[kXOrigin], origin(static_cast<long double>(ImageInfo->XResolution()) *
                                      static_cast<long double>(ImageInfo->XPosition())));
    PutLe16(&Header[kYOrigin], origin(static_cast<long double>(ImageInfo->YResolution()) *
                                      static_cast<long double>(ImageInfo->YPosition())));
  }
  Header[kIdLength] = static_cast<std::uint8_t>(id.size());
  ImageID.fill(0);
  std::memcpy(ImageID.data(), id.data(), id.size());
  BufferStream.Write(Header.data(), kHeaderSize);
  if (!id.empty()) BufferStream.Write(id.data(), static_cast<std::int32_t>(id.size()));
  if (Header[kMapType] == 1) {
    std::vector<std::uint8_t> map;
    for (int i = 0; i < (1 << BitCount); ++i) {
      const pf::RgbQuad& q = BitmapInfo->bmiColors[i];
      map.insert(map.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed});
    }
    BufferStream.Write(map.data(), static_cast<std::int32_t>(map.size()));
  }
  if (Compression != CP_NOCOMP && !rle)
    Error = EC_BADCOMPRESS;
  else
    WritePixels(kind);
  WriteFooter();
}

void TvexTargaImage::WritePixels(int kind) {
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::int32_t width = h.biWidth, height = std::abs(h.biHeight);
  const bool widen = BitCount < 8 || kind == CK_GREY_BLACK_MIN;
  RowBytes = std::int64_t{width} * (Header[kDepth] / 8);
  std::vector<std::uint8_t> wide(widen ? static_cast<std::size_t>(width) : 0);
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  TvexImageTargaRLE codec;
  if (Compression == CP_TARGA_RLE) {
    codec.SetImage(DIBHandle);
    codec.SetPixelBits(Header[kDepth]);
  }
  for (std::int32_t y = 0; y < height; ++y) {
    // Bottom row first, also for a bitmap held top-down in memory.
    const std::uint8_t* row =
        DIBBits + std::int64_t{h.biHeight > 0 ? y : height - 1 - y} * LineWidth;
    if (widen) {
      for (std::int32_t x = 0; x < width; ++x) {
        // Packed rows hold fewer bytes than pixels: only the right byte is read.
        const int v = BitCount == 1   ? (row[x >> 3] >> (7 - (x & 7))) & 1
                      : BitCount == 4 ? ((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4))
                                      : row[x];
        // Grey pictures hold grey levels, not indices.
        wide[static_cast<std::size_t>(x)] =
            kind == CK_GREY_BLACK_MIN ? pal[v].rgbRed : static_cast<std::uint8_t>(v);
      }
      row = wide.data();
    }
    if (Compression == CP_NOCOMP) {
      BufferStream.Write(row, static_cast<std::int32_t>(RowBytes));
      continue;
    }
    const std::uint8_t* data = nullptr;
    std::int32_t count = 0;
    if (codec.CompressRow(row, width, data, count) != EC_OK) {
      Error = codec.GetError();
      return;
    }
    BufferStream.Write(data, count);
  }
}

void TvexTargaImage::WriteFooter() {
  std::uint32_t extension = 0;
  if (ImageInfo) {
    Extension.fill(0);
    std::uint8_t* e = Extension.data();
    PutLe16(e, kExtensionSize);
    put_text(e + kExtAuthor, ImageInfo->Artist(), 40);
    put_text(e + kExtComments, ImageInfo->Description(), 323);
    const double stamp = ImageInfo->DateTime();
    if (std::isfinite(stamp) && stamp > 0 && stamp < 2958466) { // before the year 10000
      const std::int64_t days = static_cast<std::int64_t>(std::floor(stamp));
      std::int64_t seconds =
          vex::round_to_int64((static_cast<long double>(stamp) - days) * 86400.0L);
      std::int64_t y;
      unsigned m, d;
      civil_from_days(days + seconds / 86400, y, m, d);
      seconds %= 86400;
      const std::uint16_t parts[] = {static_cast<std::uint16_t>(m),
                                     static_cast<std::uint16_t>(d),
                                     static_cast<std::uint16_t>(y),
                                     static_cast<std::uint16_t>(seconds / 3600),
                                     static_cast<std::uint16_t>(seconds / 60 % 60),
                                     static_cast<std::uint16_t>(seconds % 60)};
      for (int i = 0; i < 6; ++i) PutLe16(e + kExtStamp + 2 * i, parts[i]);
    }
    put_text(e + kExtSoftware, ImageInfo->Software(), 40);
    const double version = ImageInfo->Version() * 100;
    PutLe16(e + kExtVersion, static_cast<std::uint16_t>(
                                 std::isfinite(version) ? std::clamp(version, 0.0, 65535.0) : 0));
    PutLe16(e + kExtAspect, static_cast<std::uint16_t>(ImageInfo->AspectNumerator()));
    PutLe16(e + kExtAspect + 2, static_cast<std::uint16_t>(ImageInfo->AspectDenominator()));
    extension = static_cast<std::uint32_t>(BufferStream.GetPosition());
    BufferStream.Write(e, kExtensionSize);
  }
  if (StreamStart != 0) return;
  Footer.fill(0);
  PutLe32(Footer.data(), extension);
  std::memcpy(Footer.data() + 8, kSignature, sizeof kSignature);
  BufferStream.Write(Footer.data(), kFooterSize);
}
