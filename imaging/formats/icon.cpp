#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>

namespace pf = vex::platform;

namespace {

using vex::kit::Le16;
using vex::kit::Le32;

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::int64_t kDirHeaderSize = 6;
constexpr std::int64_t kDirEntrySize = 16;
constexpr std::uint32_t kInfoHeaderSize = 40;

} // namespace

TvexICONImage::TvexICONImage() = default;
TvexICONImage::~TvexICONImage() = default;

TvexErrorCode TvexICONImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  std::uint8_t raw[kDirHeaderSize] = {};
  SeekFromStart(0);
  if (BufferStream.Read(raw, kDirHeaderSize) != kDirHeaderSize) return Error;
  Reserved = Le16(raw);
  Type = Le16(raw + 2);
  Count = Le16(raw + 4);
  if (Reserved == 0 && Type == 1 && Count != 0) Error = EC_OK;
  return Error;
}

void TvexICONImage::DecodeImage() {
  // Whatever cannot be read of the icon is a read error.
  Failures.read = Failures.end = Failures.other = EC_READFROMFILE;
  vex::kit::FieldReader in(BufferStream);
  SeekFromStart(kDirHeaderSize);
  std::uint8_t raw[kDirEntrySize];
  in.Bytes(raw, kDirEntrySize);
  DirEntry e;
  e.width = raw[0];
  e.height = raw[1];
  e.color_count = raw[2];
  e.reserved = raw[3];
  e.planes = Le16(raw + 4);
  e.bit_count = Le16(raw + 6);
  e.bytes = Le32(raw + 8);
  e.offset = Le32(raw + 12);
  Entries.assign(1, e);

  // The image's own header: a PNG signature or a bitmap information header.
  const std::int64_t size = BufferStream.GetSize() - StreamStart;
  if (e.offset >= size) {
    Error = EC_READFROMFILE;
    return;
  }
  std::uint8_t head[kInfoHeaderSize];
  SeekFromStart(e.offset);
  const std::int32_t got = BufferStream.Read(head, kInfoHeaderSize);
  if (got >= 8 && std::memcmp(head, kPngSignature, 8) == 0) {
    DecodePNG(e.offset);
    return;
  }
  if (got != static_cast<std::int32_t>(kInfoHeaderSize)) {
    Error = EC_READFROMFILE;
    return;
  }
  const std::uint32_t header_size = Le32(head);
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = static_cast<std::int32_t>(Le32(head + 4));
  // The stored height covers the picture and its transparency mask.
  h.biHeight = static_cast<std::int32_t>(Le32(head + 8)) / 2;
  h.biPlanes = 1;
  h.biBitCount = Le16(head + 14);
  const std::uint32_t compression = Le32(head + 16);
  h.biXPelsPerMeter = static_cast<std::int32_t>(Le32(head + 24));
  h.biYPelsPerMeter = static_cast<std::int32_t>(Le32(head + 28));
  const std::uint32_t colours_used = Le32(head + 32);
  if (header_size < kInfoHeaderSize) {
    Error = EC_UNKNOWNFORMAT;
    return;
  }
  switch (h.biBitCount) {
  case 1:
  case 4:
  case 8:
  case 16:
  case 24:
  case 32:
    break;
  default:
    Error = EC_BITDEPTH;
    return;
  }
  if (compression != pf::BI_RGB && compression != pf::BI_BITFIELDS) {
    Error = EC_BADCOMPRESS;
    return;
  }
  if (!vex::kit::PlausibleSides(h.biWidth, h.biHeight)) {
    Error = EC_READFROMFILE;
    return;
  }

  // The colour table follows the header, whatever its size (later headers
  // are longer than 40 bytes). Up to 8 bits a shorter table than 2^bits is
  // stored when the header says so; the rest of the palette stays black.
  std::int64_t at = std::int64_t{e.offset} + header_size;
  h.biClrUsed = 0;
  const std::int32_t palette = GetNumColors(h);
  std::int64_t stored = 0;
  if (compression == pf::BI_BITFIELDS) {
    if (header_size == kInfoHeaderSize) at += 12; // the three masks
  } else if (h.biBitCount <= 8) {
    stored = colours_used > 0 && colours_used < static_cast<std::uint32_t>(palette) ? colours_used
                                                                                    : palette;
  } else {
    at += std::int64_t{std::min<std::uint32_t>(colours_used, 256)} * 4;
  }
  std::fill_n(BitmapInfo->bmiColors, 256, pf::RgbQuad{});
  SeekFromStart(at);
  in.Bytes(BitmapInfo->bmiColors, static_cast<std::int32_t>(stored * 4));
  for (std::int64_t i = 0; i < stored; ++i) BitmapInfo->bmiColors[i].rgbReserved = 0;
  if (!CreateDIB()) return;
  const auto image_size = static_cast<std::int32_t>(h.biSizeImage);
  if (BufferStream.Read(DIBBits, image_size) != image_size) Error = EC_READFROMFILE;
}

void TvexICONImage::DecodePNG(std::int64_t offset) {
  // Icons of 256 pixels and more keep a whole PNG file as their image; the
  // library's PNG format class reads it where it starts.
  const TvexFormatClass* png = nullptr;
  for (const TvexFormatClass& c : vexFormatClasses())
    if (c.format == FF_PNG) png = &c;
  if (!png) {
    Error = EC_UNKNOWNFORMAT;
    return;
  }
  TvexImageFileMgr settings;
  const std::unique_ptr<TvexImageFile> reader = png->make(settings);
  reader->SetImageInfo(ImageInfo);
  Stream* source = BufferStream.GetSource();
  BufferStream.SetSource(nullptr);
  source->SetPosition(StreamStart + offset);
  reader->ReadImage(source);
  BufferStream.SetSource(source);
  DIBHandle = reader->GetDIBHandle();
  Compression = reader->GetCompression();
  Interlaced = reader->GetInterlaced() ? 1 : 0;
  // A PNG image the PNG reader does not know is a damaged icon, not a file
  // of another format.
  const TvexErrorCode code = reader->GetError();
  Error = code == EC_BADFORMAT ? TvexErrorCode{EC_READFROMFILE} : code;
}

void TvexICONImage::EncodeImage() {
  Error = EC_UNKNOWNFORMAT;
}
