#include "codecs/lzw_gif.h"
#include "format_kit.h"
#include "vexImageFile.h"

#include <algorithm>
#include <cstring>

namespace pf = vex::platform;

namespace {

// Where interlaced rows start and how far apart they lie, pass by pass.
constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kGraphicControl = 0xF9;

// A colour table of 2 << (packed & 7) entries, red, green, blue each.
void ReadTable(vex::kit::FieldReader& in, std::uint8_t packed, std::uint8_t (&table)[256][3],
               int& size) {
  size = 2 << (packed & 7);
  in.Bytes(table, size * 3);
}

} // namespace

TvexGIFImage::TvexGIFImage() = default;
TvexGIFImage::~TvexGIFImage() = default;

TvexErrorCode TvexGIFImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  char magic[6] = {};
  SeekFromStart(0);
  if (BufferStream.Read(magic, 6) != 6) return Error;
  if (std::memcmp(magic, "GIF87a", 6) != 0 && std::memcmp(magic, "GIF89a", 6) != 0) return Error;
  Error = EC_OK;
  return Error;
}

void TvexGIFImage::DecodeImage() {
  SeekFromStart(6);
  vex::kit::FieldReader in(BufferStream);
  ScreenWidth = in.U16();
  ScreenHeight = in.U16();
  const std::uint8_t screen_packed = in.U8();
  const std::uint8_t background = in.U8();
  in.U8(); // pixel aspect
  std::uint8_t global[256][3] = {};
  int global_size = 0;
  if (screen_packed & 0x80) ReadTable(in, screen_packed, global, global_size);

  // Blocks up to the first image; a file of nothing but extensions ends at
  // its last byte (the reader never goes back).
  int transparent = -1;
  for (;;) {
    const std::uint8_t block = in.U8();
    if (block == kImage) break;
    if (block == kTrailer) {
      Error = EC_ENDOFFILE;
      return;
    }
    if (block != kExtension) {
      Error = EC_BADFORMAT;
      return;
    }
    const std::uint8_t label = in.U8();
    bool first = true;
    for (std::uint8_t n = in.U8(); n != 0; n = in.U8()) {
      std::uint8_t data[255];
      in.Bytes(data, n);
      if (first && label == kGraphicControl && n >= 4) transparent = (data[0] & 1) ? data[3] : -1;
      first = false;
    }
  }

  const std::int64_t left = in.U16(), top = in.U16();
  const std::int64_t width = in.U16(), height = in.U16();
  const std::uint8_t packed = in.U8();
  std::uint8_t local[256][3] = {};
  int local_size = 0;
  if (packed & 0x80) ReadTable(in, packed, local, local_size);
  const bool interlaced = (packed & 0x40) != 0;
  const int min_code_size = in.U8();

  // The screen gives the picture's size; a screen of no size takes the
  // image's (some writers leave it 0).
  std::int64_t screen_w = ScreenWidth, screen_h = ScreenHeight;
  if (screen_w == 0 || screen_h == 0) {
    screen_w = left + width;
    screen_h = top + height;
  }
  if (!vex::kit::PlausibleSides(screen_w, screen_h)) {
    Error = EC_DIMENSIONS;
    return;
  }
  Compression = CP_NOCOMP;
  Interlaced = interlaced;

  // The colours of the indices, in the bitmap's byte order; the
  // transparent index shows the background.
  std::uint8_t colours[256][3];
  const std::uint8_t(*table)[3] = local_size ? local : global;
  const int table_size = local_size ? local_size : global_size;
  for (int i = 0; i < 256; ++i) {
    const bool grey = table_size == 0;
    const bool present = grey || i < table_size;
    colours[i][0] = grey ? static_cast<std::uint8_t>(i) : present ? table[i][2] : 0;
    colours[i][1] = grey ? static_cast<std::uint8_t>(i) : present ? table[i][1] : 0;
    colours[i][2] = grey ? static_cast<std::uint8_t>(i) : present ? table[i][0] : 0;
  }
  if (transparent >= 0) {
    colours[transparent][0] = BackBlue;
    colours[transparent][1] = BackGreen;
    colours[transparent][2] = BackRed;
  }

  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = static_cast<std::int32_t>(screen_w);
  h.biHeight = static_cast<std::int32_t>(screen_h);
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biClrUsed = 0;
  if (!CreateDIB()) return;
  // The screen the image leaves uncovered shows the file's background
  // colour, or the transparent index (the road's background) when the image
  // has one.
  const std::uint8_t* fill = colours[transparent >= 0 ? transparent : background];
  const vex::kit::RowPlacer placer(DIBBits, LineWidth, h.biHeight, true);
  for (std::int64_t y = 0; y < screen_h; ++y) {
    std::uint8_t* row = placer.Row(y);
    for (std::int64_t x = 0; x < screen_w; ++x) std::memcpy(row + 3 * x, fill, 3);
  }
  if (min_code_size < 1 || min_code_size > 8) {
    Error = EC_BADDECOMPRESS;
    return;
  }

  // An image wholly off the screen, or of no size, shows nothing.
  if (width == 0 || height == 0 || left >= screen_w || top >= screen_h) return;

  // Pixels arrive in file order; `row` follows the interlace passes.
  std::int64_t x = 0, row = 0;
  int pass = interlaced ? 0 : -1;
  bool full = false;
  auto put = [&](std::uint8_t index) {
    const std::int64_t sx = left + x, sy = top + row;
    if (sx < screen_w && sy < screen_h) std::memcpy(placer.Row(sy) + 3 * sx, colours[index], 3);
    if (++x < width) return true;
    x = 0;
    if (pass < 0) {
      ++row;
    } else {
      row += kPassStep[pass];
      while (row >= height && pass < 3) row = kPassStart[++pass];
    }
    if (row >= height || (pass < 0 && top + row >= screen_h)) {
      full = true;
      return false;
    }
    return true;
  };

  vex::codec::GifLzwDecoder lzw(min_code_size);
  std::uint8_t block[255];
  for (;;) {
    const std::uint8_t n = in.U8();
    if (n == 0) break;
    const std::int32_t got = BufferStream.Read(block, n);
    const auto status = lzw.Feed(block, static_cast<std::size_t>(got), put);
    if (status == vex::codec::GifLzwDecoder::Status::Bad) {
      Error = EC_BADDECOMPRESS;
      return;
    }
    if (got < n) {
      if (!full) Error = EC_ENDOFFILE;
      return;
    }
    if (status == vex::codec::GifLzwDecoder::Status::End) break;
  }
}

void TvexGIFImage::EncodeImage() {
  Error = EC_UNKNOWNFORMAT;
}
