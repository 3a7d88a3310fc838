#include "codecs/rle_sgi.h"
#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pf = vex::platform;

namespace {

using vex::kit::Be16;
using vex::kit::Be32;
using vex::kit::PutBe16;
using vex::kit::PutBe32;

// The DIB byte each file channel fills (the file has red, green, blue,
// alpha; a DIB pixel blue, green, red, alpha).
constexpr int kChannelByte[4] = {2, 1, 0, 3};

// A bottom-up bitmap the writer may make when the caller's cannot be
// written as it is; deleted with the holder.
struct OwnedSection {
  DibHandle handle = DibHandle::Null;
  ~OwnedSection() {
    if (!pf::is_null(handle)) pf::DeleteDIBSection(handle);
  }
};

} // namespace

TvexSGIImage::TvexSGIImage() {
  BufferStream.SetBigEndian(true);
}
TvexSGIImage::~TvexSGIImage() = default;

TvexErrorCode TvexSGIImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  std::uint8_t magic[2] = {};
  SeekFromStart(0);
  if (BufferStream.Read(magic, 2) != 2 || Be16(magic) != kMagic) return Error;
  Error = EC_OK;
  return Error;
}

void TvexSGIImage::DecodeImage() {
  SeekFromStart(0);
  if (BufferStream.Read(Header, kHeaderSize) != kHeaderSize) {
    Error = EC_READFROMFILE;
    return;
  }
  const bool rle = Header[2] != 0;
  const int bytes_per_channel = Header[3];
  const int dimension = Be16(Header + 4);
  const std::int64_t width = Be16(Header + 6);
  const std::int64_t height = Be16(Header + 8);
  const int channels = Be16(Header + 10);
  if (bytes_per_channel != 1) {
    Error = EC_BITDEPTH;
    return;
  }
  if (dimension < 2 || Header[104] != 0 || Header[105] != 0 ||
      (channels != 1 && channels != 3 && channels != 4)) {
    Error = EC_UNKNOWNFORMAT;
    return;
  }
  if (!vex::kit::PlausibleSides(width, height)) {
    Error = EC_READFROMFILE;
    return;
  }
  Compression = rle ? CP_SGI_RLE : CP_NOCOMP;

  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = static_cast<std::int32_t>(width);
  h.biHeight = static_cast<std::int32_t>(height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(channels * 8);
  h.biClrUsed = 0;
  CreateGreyPalette(1);
  if (!CreateDIB()) return;

  // The file's rows run from the bottom up, like the bitmap's memory.
  const vex::kit::RowPlacer placer(DIBBits, LineWidth, h.biHeight, false);
  std::vector<std::uint8_t> line(static_cast<std::size_t>(rle ? 2 * width + 2 : width));
  if (!rle) {
    for (int c = 0; c < channels; ++c) {
      for (std::int64_t y = 0; y < height; ++y) {
        std::uint8_t* row = placer.Row(y);
        std::uint8_t* dest = channels == 1 ? row : line.data();
        if (BufferStream.Read(dest, static_cast<std::int32_t>(width)) != width) {
          Error = EC_ENDOFFILE;
          return;
        }
        if (channels > 1) {
          std::uint8_t* p = row + kChannelByte[c];
          for (std::int64_t x = 0; x < width; ++x, p += channels)
            *p = line[static_cast<std::size_t>(x)];
        }
      }
    }
    return;
  }

  // Two tables of one 32-bit value per coded line, channel by channel, rows
  // from the bottom up: where each line starts and how long it is.
  const std::int64_t lines = height * channels;
  std::vector<std::uint8_t> tables(static_cast<std::size_t>(lines * 8));
  if (BufferStream.Read(tables.data(), static_cast<std::int32_t>(tables.size())) !=
      static_cast<std::int32_t>(tables.size())) {
    Error = EC_ENDOFFILE;
    return;
  }
  TvexImageSGIRLE codec;
  codec.SetImage(DIBHandle);
  Failures.other = EC_EXCEPTION;
  for (std::int64_t i = 0; i < lines && Error == EC_OK; ++i) {
    const std::uint32_t offset = Be32(tables.data() + 4 * i);
    const std::uint32_t length = Be32(tables.data() + 4 * (lines + i));
    // No line needs more than two bytes a pixel: however long the table says
    // a line is, no more is read (hostile tables cannot make the reader go
    // over the file again and again).
    const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(length, 2 * width + 2));
    SeekFromStart(offset);
    const std::int32_t got = BufferStream.Read(line.data(), want);
    std::int32_t left = got, produced = 0;
    codec.Decompress(line.data(), left, produced);
    if (codec.GetError() != EC_OK) Error = codec.GetError();
    // A line the file cuts short; a table that only overstates the length
    // of a complete line is no fault.
    if (got < want && produced < width) Fail(EC_ENDOFFILE);
  }
}

void TvexSGIImage::EncodeImage() {
  const std::int64_t start = BufferStream.GetPosition();
  const std::uint8_t kind = GetColorKind();
  int channels;
  if ((kind == CK_GREY_WHITE_MIN || kind == CK_GREY_BLACK_MIN) && BitCount == 8)
    channels = 1;
  else if (kind == CK_RGB24 && BitCount == 24)
    channels = 3;
  else if (kind == CK_RGB32)
    channels = 4;
  else {
    Error = EC_IMAGEFORMAT;
    return;
  }
  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::int64_t width = h.biWidth;
  const std::int64_t height = h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight;
  if (width > 0xFFFF || height > 0xFFFF) {
    // The header holds 16-bit sides.
    Error = EC_DIMENSIONS;
    return;
  }

  // Grey pixels are stored as the greys their indices stand for, and rows
  // from the bottom up: a bitmap that differs in either is copied first.
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  bool ramp = true;
  for (int i = 0; channels == 1 && i < 256; ++i) ramp = ramp && pal[i].rgbRed == i;
  DibHandle source = DIBHandle;
  const std::uint8_t* bits = DIBBits;
  OwnedSection copy;
  if (!ramp || h.biHeight < 0) {
    pf::BitmapInfo info = *BitmapInfo;
    info.bmiHeader.biHeight = static_cast<std::int32_t>(height);
    void* copy_bits = nullptr;
    copy.handle = pf::CreateDIBSection(&info, &copy_bits);
    if (pf::is_null(copy.handle)) {
      Error = EC_NOMEMORY;
      return;
    }
    auto* dest = static_cast<std::uint8_t*>(copy_bits);
    for (std::int64_t y = 0; y < height; ++y) {
      const std::uint8_t* from = DIBBits + (h.biHeight < 0 ? height - 1 - y : y) * LineWidth;
      std::uint8_t* to = dest + y * LineWidth;
      if (channels == 1)
        for (std::int64_t x = 0; x < width; ++x) to[x] = pal[from[x]].rgbRed;
      else
        std::memcpy(to, from, static_cast<std::size_t>(LineWidth));
    }
    source = copy.handle;
    bits = dest;
  }

  const bool rle = Compression == CP_SGI_RLE;
  std::memset(Header, 0, sizeof Header);
  PutBe16(Header, kMagic);
  Header[2] = rle ? 1 : 0;
  Header[3] = 1;
  // One channel is a two-dimensional image; more need the third dimension.
  PutBe16(Header + 4, channels == 1 ? 2 : 3);
  PutBe16(Header + 6, static_cast<std::uint16_t>(width));
  PutBe16(Header + 8, static_cast<std::uint16_t>(height));
  PutBe16(Header + 10, static_cast<std::uint16_t>(channels));
  PutBe32(Header + 12, 0);
  PutBe32(Header + 16, 255);
  WriteData(nullptr, Header, kHeaderSize);

  std::vector<std::uint8_t> line(static_cast<std::size_t>(width));
  if (!rle) {
    for (int c = 0; c < channels; ++c) {
      for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = bits + y * LineWidth;
        if (channels == 1) {
          WriteData(nullptr, row, width);
          continue;
        }
        const std::uint8_t* p = row + kChannelByte[c];
        for (std::int64_t x = 0; x < width; ++x, p += channels)
          line[static_cast<std::size_t>(x)] = *p;
        WriteData(nullptr, line.data(), width);
      }
    }
    return;
  }

  const std::int64_t lines = height * channels;
  std::vector<std::uint8_t> tables(static_cast<std::size_t>(lines * 8), 0);
  WriteData(nullptr, tables.data(), static_cast<std::int64_t>(tables.size()));
  TvexImageSGIRLE codec;
  codec.SetImage(source);
  for (std::int64_t i = 0; i < lines; ++i) {
    const std::uint8_t* data = nullptr;
    std::int32_t count = 0, raw = static_cast<std::int32_t>(width);
    if (codec.Compress(data, count, raw) != EC_OK) {
      Error = codec.GetError();
      return;
    }
    const std::int64_t at = BufferStream.GetPosition() - start;
    if (at > 0xFFFFFFFFll) throw vex::WriteError();
    PutBe32(tables.data() + 4 * i, static_cast<std::uint32_t>(at));
    PutBe32(tables.data() + 4 * (lines + i), static_cast<std::uint32_t>(count));
    WriteData(nullptr, data, count);
  }
  // The tables again with what they hold now; what is pending goes out
  // first, so that no written byte is left behind the rewind.
  const std::int64_t end = BufferStream.GetPosition();
  BufferStream.Flush();
  BufferStream.Seek(start + kHeaderSize);
  WriteData(nullptr, tables.data(), static_cast<std::int64_t>(tables.size()));
  BufferStream.Flush();
  BufferStream.Seek(end);
}
