// PNG reader and writer on the library's own deflate coders. The reader turns
// the inflated scan lines into a bottom-up bitmap as they arrive (one row
// pair in memory); the writer hands the deflater one filtered row at a time.
#include "vexPNGImage.h"

#include "format_kit.h"
#include "png_unfilter.h"

#include "codecs/crc32.h"
#include "codecs/deflate.h"
#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace pf = vex::platform;
using vex::kit::Be16;
using vex::kit::Be32;
using vex::kit::PutBe16;
using vex::kit::PutBe32;

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// Adam7 passes: row step, column step, first row, first column.
struct Pass {
  int row_step, col_step, row0, col0;
};
constexpr Pass kPasses[7] = {{8, 8, 0, 0}, {8, 8, 0, 4}, {8, 4, 4, 0}, {4, 4, 0, 2},
                             {4, 2, 2, 0}, {2, 2, 0, 1}, {2, 1, 1, 0}};

inline std::uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<std::uint8_t>(a);
  if (pb <= pc) return static_cast<std::uint8_t>(b);
  return static_cast<std::uint8_t>(c);
}

// Days since 30 December 1899 of a valid calendar date (proleptic Gregorian).
bool EncodeDateTime(int year, int month, int day, int hour, int minute, int second, double& out) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  // Days from 1 March of year 0, then shifted to the 1899 epoch.
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = y / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t unix_days = era * 146097 + doe - 719468;
  const long double seconds = hour * 3600.0L + minute * 60.0L + second;
  out = static_cast<double>(static_cast<long double>(unix_days + 25569) + seconds / 86400.0L);
  return true;
}

} // namespace

TvexPNGImage::TvexPNGImage() {
  BufferStream.SetBigEndian(true);
}

TvexPNGImage::~TvexPNGImage() = default;

// ---------------------------------------------------------------------------
// Reader

TvexErrorCode TvexPNGImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  try {
    SeekFromStart(0);
    std::uint8_t sig[8] = {};
    if (BufferStream.Read(sig, 8) == 8 && std::memcmp(sig, kSignature, 8) == 0) Error = EC_OK;
  } catch (...) {
    Error = EC_READFROMFILE;
  }
  return Error;
}

bool TvexPNGImage::ChunkIs(const char* type) const {
  return Chunk.size() >= 4 && std::memcmp(Chunk.data(), type, 4) == 0;
}

// Length, type and data, CRC. A chunk whose length runs past the end of the
// data (8 before the header is read, 10 after) comes back empty, except image data, which keeps
// the bytes the file still holds (ChunkCut) so that the rows they carry are
// not lost; a bad CRC is recorded (22) but the data is kept.
bool TvexPNGImage::ReadChunk() {
  Chunk.clear();
  ChunkCut = false;
  const TvexErrorCode cut = HeaderRead ? EC_ENDOFFILE : EC_BADFORMAT;
  try {
    vex::kit::FieldReader f(BufferStream);
    const std::int64_t left = f.Remaining();
    if (left < 8) {
      Fail(cut);
      return false;
    }
    const std::uint32_t length = f.U32();
    Chunk.resize(4);
    f.Bytes(Chunk.data(), 4);
    if (Chunk[0] == 0) {
      Chunk.clear();
      Fail(EC_BADFORMAT);
      return false;
    }
    const std::int64_t room = left - 12; // data bytes before a CRC at the end
    if (std::int64_t{length} > room || std::int64_t{length} + 4 > vex::kit::kMaxAllocation) {
      Fail(cut);
      if (!ChunkIs("IDAT")) {
        Chunk.clear();
        return false;
      }
      ChunkCut = true;
      const std::int64_t held =
          std::min<std::int64_t>({length, left - 8, vex::kit::kMaxAllocation - 4});
      Chunk.resize(static_cast<std::size_t>(held) + 4);
      f.Bytes(Chunk.data() + 4, static_cast<std::int32_t>(held));
      return true;
    }
    Chunk.resize(std::size_t{length} + 4);
    f.Bytes(Chunk.data() + 4, static_cast<std::int32_t>(length));
    const std::uint32_t crc = f.U32();
    if ((Chunk[2] & 0x20) == 0 && vex::Crc32(0, Chunk.data(), Chunk.size()) != crc) Fail(EC_CRC);
    return true;
  } catch (...) {
    Chunk.clear();
    Fail(EC_EXCEPTION);
    return false;
  }
}

bool TvexPNGImage::ReadIHDR() {
  Compression = CP_DEFLATE;
  HeaderRead = false;
  try {
    if (!ReadChunk() || !ChunkIs("IHDR") || Chunk.size() < 4 + 13) {
      Fail(EC_BADFORMAT);
      return false;
    }
    const std::uint8_t* d = Chunk.data() + 4;
    Width = Be32(d);
    Height = Be32(d + 4);
    BitDepth = d[8];
    ColorType = d[9];
    IHDRCompression = d[10];
    FilterMethod = d[11];
    InterlaceMethod = d[12];
    Interlaced = InterlaceMethod != 0 ? 1 : 0;
    if (!vex::kit::PlausibleSides(Width, Height)) {
      Fail(EC_BADFORMAT);
      return false;
    }
    pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
    h = {};
    h.biWidth = static_cast<std::int32_t>(Width);
    h.biHeight = static_cast<std::int32_t>(Height);
    h.biPlanes = 1;
    if (BitDepth != 1 && BitDepth != 2 && BitDepth != 4 && BitDepth != 8) {
      Fail(EC_BITDEPTH);
      return false;
    }
    const std::int64_t w = Width;
    switch (ColorType) {
    case 0:
    case 3:
      h.biBitCount = BitDepth;
      BytesPerPixel = 1;
      RowBytes = (w * BitDepth + 7) / 8;
      break;
    case 2:
      h.biBitCount = 24;
      BytesPerPixel = 3;
      RowBytes = 3 * w;
      break;
    case 4:
      h.biBitCount = 8;
      BytesPerPixel = 2;
      RowBytes = 2 * w;
      break;
    case 6:
      h.biBitCount = 32;
      BytesPerPixel = 4;
      RowBytes = 4 * w;
      break;
    default:
      Fail(EC_UNKNOWNFORMAT);
      return false;
    }
    // Samples of several per pixel come in 8 (or 16) bits only: a smaller
    // depth would read every byte as a sample.
    if (ColorType != 0 && ColorType != 3 && BitDepth != 8) {
      Fail(EC_BITDEPTH);
      return false;
    }
    if (ColorType == 0 || ColorType == 4) CreateGreyPalette(1);
    if (h.biBitCount == 2) h.biBitCount = 4;
    HeaderRead = true;
    return true;
  } catch (...) {
    Fail(EC_READFROMFILE);
    return false;
  }
}

void TvexPNGImage::ReadPalette() {
  const std::size_t count = std::min<std::size_t>((Chunk.size() - 4) / 3, 256);
  const std::uint8_t* d = Chunk.data() + 4;
  for (std::size_t i = 0; i < count; ++i) {
    pf::RgbQuad& q = BitmapInfo->bmiColors[i];
    q.rgbRed = d[3 * i];
    q.rgbGreen = d[3 * i + 1];
    q.rgbBlue = d[3 * i + 2];
    q.rgbReserved = 0;
  }
  NumColors = GetNumColors(BitmapInfo->bmiHeader);
}

void TvexPNGImage::ReadBackground() {
  const std::size_t size = Chunk.size() - 4;
  const std::uint8_t* d = Chunk.data() + 4;
  if (size == 0) return;
  if ((ColorType == 0 || ColorType == 4) && size >= 2) {
    BackGrey = Be16(d);
  } else if ((ColorType == 2 || ColorType == 6) && size >= 6) {
    BackRed = Be16(d);
    BackGreen = Be16(d + 2);
    BackBlue = Be16(d + 4);
  } else if (ColorType == 3) {
    const pf::RgbQuad& q = BitmapInfo->bmiColors[d[0]];
    BackRed = q.rgbRed;
    BackGreen = q.rgbGreen;
    BackBlue = q.rgbBlue;
  }
}

void TvexPNGImage::ReadPhys() {
  if (!ImageInfo || Chunk.size() < 4 + 9) return;
  const std::uint8_t* d = Chunk.data() + 4;
  const std::uint32_t x = Be32(d), y = Be32(d + 4);
  if (d[8] == 0) {
    ImageInfo->SetAspectNumerator(static_cast<std::int16_t>(x));
    ImageInfo->SetAspectDenominator(static_cast<std::int16_t>(y));
  } else if (d[8] == 1) {
    ImageInfo->SetResolutionUnit(RU_METER);
    BitmapInfo->bmiHeader.biXPelsPerMeter = static_cast<std::int32_t>(x);
    BitmapInfo->bmiHeader.biYPelsPerMeter = static_cast<std::int32_t>(y);
    ImageInfo->SetXResolution(x);
    ImageInfo->SetYResolution(y);
  }
}

void TvexPNGImage::ReadTime() {
  if (!ImageInfo || Chunk.size() < 4 + 7) return;
  const std::uint8_t* d = Chunk.data() + 4;
  double when = 0;
  if (EncodeDateTime(Be16(d), d[2], d[3], d[4], d[5], d[6], when)) ImageInfo->SetDateTime(when);
}

void TvexPNGImage::ReadText() {
  if (!ImageInfo) return;
  try {
    const char* begin = reinterpret_cast<const char*>(Chunk.data() + 4);
    const char* end = reinterpret_cast<const char*>(Chunk.data() + Chunk.size());
    const char* zero = std::find(begin, end, '\0');
    if (zero == end || zero + 1 == end) return;
    const std::string key(begin, zero), text(zero + 1, end);
    const std::string old = ImageInfo->Description();
    if (key == "Author")
      ImageInfo->SetArtist(text);
    else if (key == "Comment")
      ImageInfo->SetDescription(text + "\rCOMMENT\r" + old);
    else if (key == "Copyright")
      ImageInfo->SetRightsNotice(text);
    else if (key == "Description")
      ImageInfo->SetDescription(old + text);
    else if (key == "Disclaimer")
      ImageInfo->SetDescription(text + "\rDISCLAIMER\r" + old);
    else if (key == "Software")
      ImageInfo->SetSoftware(text);
    else if (key == "Source")
      ImageInfo->SetHostComputer(text);
    else if (key == "Title")
      ImageInfo->SetDocumentName(text);
    else if (key == "Warning")
      ImageInfo->SetDescription(text + "\rWARNING\r" + old);
  } catch (...) {
    // A text the metadata cannot take changes nothing.
  }
}

void TvexPNGImage::DecodeImage() {
  // Exceptions of the chunk layer are caught where they arise; what is left
  // is the coders' (memory) and the header's.
  if (!ReadIHDR()) return;
  ImageDone = false;
  ChunkPending = false;
  // A bad CRC is recorded and reading goes on with the data; a cut image
  // data chunk has recorded its error, yet its rows are read.
  bool have = ReadChunk();
  while (have && !ChunkIs("IEND") &&
         (Error == EC_OK || Error == EC_CRC || (ChunkCut && ChunkIs("IDAT") && !ImageDone))) {
    if (ChunkIs("PLTE"))
      ReadPalette();
    else if (ChunkIs("bKGD"))
      ReadBackground();
    else if (ChunkIs("pHYs"))
      ReadPhys();
    else if (ChunkIs("tEXt"))
      ReadText();
    else if (ChunkIs("tIME"))
      ReadTime();
    else if (ChunkIs("IDAT") && !ImageDone) {
      // IDAT chunks the inflater did not need (empty ones after the data)
      // are skipped like unknown chunks.
      ImageDone = true;
      if (!CreateDIB()) return;
      DecodeRows();
    }
    if (ChunkPending) {
      ChunkPending = false;
    } else {
      have = ReadChunk();
    }
  }
  // A file that ends without any image data has nothing to show: say so
  // rather than succeed with no bitmap.
  if (Error == EC_OK && !ImageDone) Error = EC_ENDOFDATA;
}

void TvexPNGImage::DecodeRows() {
  TvexInflater z;
  const auto next = [this](const std::uint8_t*& data, std::size_t& size) -> bool {
    if (!ReadChunk()) return false;
    if (!ChunkIs("IDAT")) {
      ChunkPending = true;
      return false;
    }
    data = Chunk.data() + 4;
    size = Chunk.size() - 4;
    return true;
  };
  // The first IDAT's data stays in Chunk until the inflater asks for more.
  z.SetInput(Chunk.data() + 4, Chunk.size() - 4, next);
  const std::size_t row_bytes = static_cast<std::size_t>(RowBytes);
  std::vector<std::uint8_t> rows[2];
  try {
    rows[0].assign(row_bytes + 1, 0);
    rows[1].assign(row_bytes + 1, 0);
    z.StartInflate();
    // Reads, unfilters and places one row of `bytes` bytes; `current` flips.
    int current = 0;
    const auto row = [&](std::size_t bytes) {
      std::uint8_t* cur = rows[current].data();
      z.Inflate(cur, bytes + 1);
      if (!vex::png::Unfilter(cur[0], cur + 1, rows[current ^ 1].data() + 1, bytes,
                              BytesPerPixel)) {
        Fail(EC_BADDECOMPRESS);
        throw vex::EPNGException("PNG, Bad Filter");
      }
      return cur + 1;
    };
    if (!Interlaced) {
      for (std::int64_t y = 0; y < Height; ++y) {
        PlaceRow(row(row_bytes), y);
        current ^= 1;
      }
    } else {
      const int bits = ColorType == 0 || ColorType == 3 ? BitDepth : 8 * int(BytesPerPixel);
      for (const Pass& p : kPasses) {
        if (p.row0 >= std::int64_t{Height} || p.col0 >= std::int64_t{Width}) continue;
        const std::int64_t count = (std::int64_t{Width} + p.col_step - p.col0 - 1) / p.col_step;
        const std::size_t bytes = static_cast<std::size_t>((count * bits + 7) / 8);
        std::fill(rows[0].begin(), rows[0].end(), 0);
        std::fill(rows[1].begin(), rows[1].end(), 0);
        for (std::int64_t y = p.row0; y < Height; y += p.row_step) {
          PlaceInterlacedRow(row(bytes), y, p.col0, p.col_step, count);
          current ^= 1;
        }
      }
    }
    z.FinishInflate();
  } catch (const vex::EPNGException&) {
    Fail(z.Error);
  }
}

// One file row (unfiltered, without its filter byte) into bitmap row `y`
// counted from the top.
void TvexPNGImage::PlaceRow(const std::uint8_t* src, std::int64_t y) {
  const vex::kit::RowPlacer placer(DIBBits, LineWidth, static_cast<std::int32_t>(Height), true);
  std::uint8_t* dst = placer.Row(y);
  if (!dst) return;
  const std::int64_t w = Width;
  switch (ColorType) {
  case 0:
  case 3:
    if (BitDepth != 2) {
      std::memcpy(dst, src, static_cast<std::size_t>(RowBytes));
    } else {
      for (std::int64_t i = 0; i < w; i += 2) {
        const std::uint8_t b = src[i / 4];
        const int shift = 6 - 2 * int(i % 4);
        const int hi = (b >> shift) & 3;
        const int lo = i + 1 < w ? (b >> (shift - 2)) & 3 : 0;
        dst[i / 2] = static_cast<std::uint8_t>((hi << 4) | lo);
      }
    }
    break;
  case 2:
    vex::kit::RgbToBgr(src, w, dst);
    break;
  case 4:
    for (std::int64_t i = 0; i < w; ++i) {
      const std::uint32_t g = src[2 * i], a = src[2 * i + 1];
      dst[i] = static_cast<std::uint8_t>((g * a + (255 - a) * BackGrey) / 255);
    }
    break;
  case 6:
    for (std::int64_t i = 0; i < w; ++i) {
      const std::uint8_t* s = src + 4 * i;
      const std::uint32_t a = s[3];
      std::uint8_t* d = dst + 4 * i;
      d[0] = static_cast<std::uint8_t>((s[2] * a + (255 - a) * BackBlue) / 255);
      d[1] = static_cast<std::uint8_t>((s[1] * a + (255 - a) * BackGreen) / 255);
      d[2] = static_cast<std::uint8_t>((s[0] * a + (255 - a) * BackRed) / 255);
      d[3] = 0;
    }
    break;
  default:
    break;
  }
}

// `count` pixels of one pass row into bitmap row `y` at columns x0 + k * step.
void TvexPNGImage::PlaceInterlacedRow(const std::uint8_t* src, std::int64_t y, std::int64_t x0,
                                      std::int64_t step, std::int64_t count) {
  const vex::kit::RowPlacer placer(DIBBits, LineWidth, static_cast<std::int32_t>(Height), true);
  std::uint8_t* dst = placer.Row(y);
  if (!dst) return;
  for (std::int64_t k = 0; k < count; ++k) {
    const std::int64_t x = x0 + k * step;
    switch (ColorType) {
    case 0:
    case 3:
      if (BitDepth == 8) {
        dst[x] = src[k];
      } else {
        const int depth = BitDepth;
        const int v = (src[k * depth / 8] >> (8 - depth - int(k * depth % 8))) & ((1 << depth) - 1);
        if (depth == 1) {
          const int bit = 7 - int(x % 8);
          dst[x / 8] = static_cast<std::uint8_t>((dst[x / 8] & ~(1 << bit)) | (v << bit));
        } else {
          const int shift = x % 2 == 0 ? 4 : 0;
          dst[x / 2] = static_cast<std::uint8_t>((dst[x / 2] & ~(0xF << shift)) | (v << shift));
        }
      }
      break;
    case 2:
      dst[3 * x] = src[3 * k + 2];
      dst[3 * x + 1] = src[3 * k + 1];
      dst[3 * x + 2] = src[3 * k];
      break;
    case 4: {
      const std::uint32_t g = src[2 * k], a = src[2 * k + 1];
      dst[x] = static_cast<std::uint8_t>((g * a + (255 - a) * BackGrey) / 255);
      break;
    }
    case 6: {
      const std::uint8_t* s = src + 4 * k;
      const std::uint32_t a = s[3];
      std::uint8_t* d = dst + 4 * x;
      d[0] = static_cast<std::uint8_t>((s[2] * a + (255 - a) * BackBlue) / 255);
      d[1] = static_cast<std::uint8_t>((s[1] * a + (255 - a) * BackGreen) / 255);
      d[2] = static_cast<std::uint8_t>((s[0] * a + (255 - a) * BackRed) / 255);
      d[3] = 0;
      break;
    }
    default:
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// Writer

void TvexPNGImage::WriteChunk(const char* type, const std::uint8_t* data, std::size_t size) {
  if (Error != EC_OK) return;
  try {
    std::uint8_t head[8];
    PutBe32(head, static_cast<std::uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    std::uint32_t crc = vex::Crc32(0, head + 4, 4);
    crc = vex::Crc32(crc, data, size);
    BufferStream.Write(head, 8);
    if (size > 0) WriteData(nullptr, data, static_cast<std::int64_t>(size));
    std::uint8_t tail[4];
    PutBe32(tail, crc);
    BufferStream.Write(tail, 4);
  } catch (...) {
    Fail(EC_EXCEPTION);
  }
}

bool TvexPNGImage::WriteIHDR() {
  Error = EC_OK;
  switch (BitCount) {
  case 1:
  case 4:
    BitDepth = static_cast<std::uint8_t>(BitCount);
    break;
  case 8:
  case 24:
  case 32:
    BitDepth = 8;
    break;
  default:
    Fail(EC_BITDEPTH);
    return false;
  }
  switch (GetColorKind()) {
  case CK_GREY_BLACK_MIN: {
    // Grey samples only when the palette is the ramp they stand for; any
    // other grey palette keeps its entries as a palette.
    const int n = 1 << BitCount, step = 255 / (n - 1);
    ColorType = 0;
    for (int i = 0; i < n; ++i)
      if (BitmapInfo->bmiColors[i].rgbRed != i * step) ColorType = 3;
    break;
  }
  case CK_GREY_WHITE_MIN:
  case CK_PALETTE:
    ColorType = 3;
    break;
  case CK_RGB24:
    ColorType = 2;
    break;
  case CK_RGB32:
    ColorType = 6;
    break;
  default:
    Fail(EC_BITDEPTH);
    return false;
  }
  Width = static_cast<std::uint32_t>(BitmapInfo->bmiHeader.biWidth);
  Height = static_cast<std::uint32_t>(std::abs(std::int64_t{BitmapInfo->bmiHeader.biHeight}));
  const std::int64_t w = Width;
  switch (ColorType) {
  case 2:
    BytesPerPixel = 3;
    RowBytes = 3 * w;
    break;
  case 6:
    BytesPerPixel = 4;
    RowBytes = 4 * w;
    break;
  default:
    BytesPerPixel = 1;
    RowBytes = (w * BitDepth + 7) / 8;
    break;
  }
  std::uint8_t d[13] = {};
  PutBe32(d, Width);
  PutBe32(d + 4, Height);
  d[8] = BitDepth;
  d[9] = ColorType;
  WriteChunk("IHDR", d, 13);
  return Error == EC_OK;
}

void TvexPNGImage::WritePalette() {
  try {
    std::vector<std::uint8_t> d(static_cast<std::size_t>(NumColors) * 3);
    for (int i = 0; i < NumColors; ++i) {
      const pf::RgbQuad& q = BitmapInfo->bmiColors[i];
      d[3 * i] = q.rgbRed;
      d[3 * i + 1] = q.rgbGreen;
      d[3 * i + 2] = q.rgbBlue;
    }
    WriteChunk("PLTE", d.data(), d.size());
  } catch (...) {
    Fail(EC_WRITETOFILE);
  }
}

void TvexPNGImage::WritePhys() {
  if (!ImageInfo) return;
  ImageInfo->SetResolutionUnit(RU_METER);
  const auto density = [](double v) {
    const long double r = vex::round_half_even(static_cast<long double>(v));
    return static_cast<std::uint32_t>(std::clamp(r, 0.0L, 2147483647.0L));
  };
  std::uint8_t d[9] = {};
  PutBe32(d, density(ImageInfo->XResolution()));
  PutBe32(d + 4, density(ImageInfo->YResolution()));
  d[8] = 1;
  WriteChunk("pHYs", d, 9);
}

void TvexPNGImage::WriteTime() {
  std::tm t{};
  if (Clock) {
    t = Clock();
  } else {
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &t);
  }
  std::uint8_t d[7];
  PutBe16(d, static_cast<std::uint16_t>(t.tm_year + 1900));
  d[2] = static_cast<std::uint8_t>(t.tm_mon + 1);
  d[3] = static_cast<std::uint8_t>(t.tm_mday);
  d[4] = static_cast<std::uint8_t>(t.tm_hour);
  d[5] = static_cast<std::uint8_t>(t.tm_min);
  d[6] = static_cast<std::uint8_t>(t.tm_sec);
  WriteChunk("tIME", d, 7);
}

void TvexPNGImage::WriteTexts() {
  if (!ImageInfo) return;
  const std::pair<const char*, const std::string*> fields[] = {
      {"Author", &ImageInfo->Artist()},           {"Copyright", &ImageInfo->RightsNotice()},
      {"Description", &ImageInfo->Description()}, {"Software", &ImageInfo->Software()},
      {"Source", &ImageInfo->HostComputer()},     {"Title", &ImageInfo->DocumentName()}};
  for (const auto& [key, text] : fields) {
    if (text->empty()) continue;
    std::vector<std::uint8_t> d(key, key + std::strlen(key) + 1);
    d.insert(d.end(), text->begin(), text->end());
    WriteChunk("tEXt", d.data(), d.size());
  }
}

// Image row r (from the top) in file byte order, filtered with the best
// scoring filter, into FilterBuffers[ChosenFilter].
void TvexPNGImage::NextFilteredRow(std::int64_t r) {
  const std::size_t n = static_cast<std::size_t>(RowBytes);
  std::swap(RawRows[0], RawRows[1]);
  std::uint8_t* raw = RawRows[0].data();
  const std::uint8_t* prior = RawRows[1].data();
  const std::int64_t height = BitmapInfo->bmiHeader.biHeight;
  const std::int64_t memory_row = height > 0 ? height - r - 1 : r;
  const std::uint8_t* src = DIBBits + memory_row * LineWidth;
  const std::int64_t w = Width;
  if (ColorType == 2) {
    vex::kit::RgbToBgr(src, w, raw); // the same swap turns B, G, R into R, G, B
  } else if (ColorType == 6) {
    vex::kit::RgbaToBgra(src, w, raw);
  } else {
    std::memcpy(raw, src, n);
  }
  const std::size_t bpp = BytesPerPixel;
  bool candidate[5] = {true, (FilterMask & 2) != 0, r > 0 && (FilterMask & 4) != 0,
                       r > 0 && (FilterMask & 8) != 0, r > 0 && (FilterMask & 16) != 0};
  std::memcpy(FilterBuffers[0].data(), raw, n);
  for (std::size_t i = 0; i < n; ++i) {
    const int left = i >= bpp ? raw[i - bpp] : 0;
    const int up = prior[i];
    const int upleft = i >= bpp ? prior[i - bpp] : 0;
    if (candidate[1]) FilterBuffers[1][i] = static_cast<std::uint8_t>(raw[i] - left);
    if (candidate[2]) FilterBuffers[2][i] = static_cast<std::uint8_t>(raw[i] - up);
    if (candidate[3]) FilterBuffers[3][i] = static_cast<std::uint8_t>(raw[i] - (left + up) / 2);
    if (candidate[4])
      FilterBuffers[4][i] = static_cast<std::uint8_t>(raw[i] - Paeth(left, up, upleft));
  }
  ChosenFilter = 0;
  if (!candidate[1] && !candidate[2] && !candidate[3] && !candidate[4]) return;
  // Score: positions k >= 4 that end a run of five equal bytes.
  std::int64_t best = -1;
  for (std::uint32_t t = 0; t < 5; ++t) {
    if (!candidate[t]) continue;
    const std::uint8_t* b = FilterBuffers[t].data();
    std::int64_t score = 0, run = 1;
    for (std::size_t k = 1; k < n; ++k) {
      run = b[k] == b[k - 1] ? run + 1 : 1;
      if (run >= 5) ++score;
    }
    if (score > best) {
      best = score;
      ChosenFilter = t;
    }
  }
}

// The deflater's input: per row the filter type, then the filtered bytes.
std::size_t TvexPNGImage::FilteredBytes(std::uint8_t* dst, std::size_t max) {
  std::size_t done = 0;
  while (done < max && !DataEnded) {
    if (RowIndex < 0 || RowPos > RowBytes) {
      if (RowIndex + 1 >= std::int64_t{Height}) {
        DataEnded = true;
        break;
      }
      NextFilteredRow(++RowIndex);
      RowPos = 0;
    }
    if (RowPos == 0) {
      dst[done++] = static_cast<std::uint8_t>(ChosenFilter);
      RowPos = 1;
      continue;
    }
    const std::size_t take =
        std::min<std::size_t>(max - done, static_cast<std::size_t>(RowBytes - (RowPos - 1)));
    std::memcpy(dst + done, FilterBuffers[ChosenFilter].data() + (RowPos - 1), take);
    done += take;
    RowPos += static_cast<std::int64_t>(take);
  }
  return done;
}

void TvexPNGImage::EncodeImage() {
  Compression = CP_DEFLATE;
  BufferStream.Write(kSignature, 8);
  if (!WriteIHDR()) return;
  if (ColorType == 3) WritePalette();
  WritePhys();
  WriteTime();
  WriteTexts();
  if (Error == EC_OK) {
    const std::size_t n = static_cast<std::size_t>(RowBytes);
    for (auto& b : RawRows) b.assign(n, 0);
    for (auto& b : FilterBuffers) b.assign(n, 0);
    RowIndex = -1;
    RowPos = 0;
    DataEnded = false;
    TvexDeflater z;
    const TvexErrorCode e = z.Deflate(
        Quality, [this](std::uint8_t* dst, std::size_t max) { return FilteredBytes(dst, max); },
        [this](const std::uint8_t* data, std::size_t size) { WriteChunk("IDAT", data, size); });
    Fail(e);
    for (auto& b : RawRows) b = {};
    for (auto& b : FilterBuffers) b = {};
  }
  WriteChunk("IEND", nullptr, 0);
}
