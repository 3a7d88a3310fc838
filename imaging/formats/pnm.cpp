#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace pf = vex::platform;

namespace {

// The variants by the digit of the magic number "P1".."P6".
constexpr TvexCompression kVariantOfDigit[7] = {CP_NOCOMP,    CP_PBM_ASCII,  CP_PGM_ASCII,
                                                CP_PPM_ASCII, CP_PBM_BINARY, CP_PGM_BINARY,
                                                CP_PPM_BINARY};

constexpr std::int32_t kMaxSample = 65535;
// Longest comment kept as the picture's description.
constexpr std::size_t kMaxComment = 65536;

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

// The header and text pixels, a byte at a time from blocks read ahead.
class TextReader {
public:
  explicit TextReader(TvexBufferStream& stream) : s_(stream) {}

  // The next byte, or -1 at the end of the data.
  int Get() {
    if (at_ == end_ && !Fill()) return -1;
    return buf_[at_++];
  }
  int Peek() {
    if (at_ == end_ && !Fill()) return -1;
    return buf_[at_];
  }
  // Leaves the buffered stream at the first byte not taken.
  void Release() {
    s_.Seek(s_.GetPosition() - (end_ - at_));
    at_ = end_ = 0;
  }

  // Whitespace and comments ("#" to the end of the line). The text of the
  // last comment (without "#", one space after it and the line end) goes to
  // `comment` when given.
  void SkipSpace(std::string* comment) {
    for (;;) {
      const int c = Peek();
      if (IsSpace(c)) {
        ++at_;
      } else if (c == '#') {
        ++at_;
        std::string text;
        for (int d = Get(); d >= 0 && d != '\n' && d != '\r'; d = Get())
          if (text.size() < kMaxComment) text += static_cast<char>(d);
        if (comment) *comment = text.starts_with(' ') ? text.substr(1) : text;
      } else {
        return;
      }
    }
  }

  // A decimal number after whitespace and comments; nothing when there is
  // none or it exceeds `limit`. Digits past the limit are still consumed.
  std::optional<std::int64_t> Number(std::int64_t limit, std::string* comment = nullptr) {
    SkipSpace(comment);
    if (!IsDigit(Peek())) return std::nullopt;
    std::int64_t v = 0;
    bool over = false;
    while (IsDigit(Peek())) {
      v = v * 10 + (Get() - '0');
      if (v > limit) {
        over = true;
        v = limit;
      }
    }
    if (over) return std::nullopt;
    return v;
  }

private:
  bool Fill() {
    at_ = 0;
    end_ = s_.Read(buf_, sizeof buf_);
    return end_ > 0;
  }

  TvexBufferStream& s_;
  std::uint8_t buf_[4096] = {};
  std::int32_t at_ = 0;
  std::int32_t end_ = 0;
};

// Samples of 0..maxval to 0..255, rounded half to even.
std::uint8_t Scale(std::uint32_t v, std::uint32_t maxval) {
  if (v >= maxval) return 255;
  if (maxval == 255) return static_cast<std::uint8_t>(v);
  const std::uint32_t n = v * 255;
  std::uint32_t q = n / maxval;
  const std::uint32_t r = n % maxval;
  if (2 * r > maxval || (2 * r == maxval && (q & 1))) ++q;
  return static_cast<std::uint8_t>(q);
}

} // namespace

TvexPxMImage::TvexPxMImage(TvexFileFormat format) : FileFormat(format) {}
TvexPxMImage::~TvexPxMImage() = default;

TvexErrorCode TvexPxMImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  std::uint8_t magic[2] = {};
  if (BufferStream.Read(magic, 2) != 2) return Error;
  if (magic[0] != 'P' || magic[1] < '1' || magic[1] > '6') return Error;
  Compression = kVariantOfDigit[magic[1] - '0'];
  Error = EC_OK;
  return Error;
}

void TvexPxMImage::DecodeImage() {
  const bool bitmap = Compression == CP_PBM_ASCII || Compression == CP_PBM_BINARY;
  const bool pixmap = Compression == CP_PPM_ASCII || Compression == CP_PPM_BINARY;
  const bool text =
      Compression == CP_PBM_ASCII || Compression == CP_PGM_ASCII || Compression == CP_PPM_ASCII;
  const int channels = pixmap ? 3 : 1;

  // Header: width, height and (but for bitmaps) the maximum sample value,
  // separated by whitespace and comments, then one whitespace byte.
  SeekFromStart(2);
  TextReader reader(BufferStream);
  std::string comment;
  const auto width = reader.Number(vex::kit::kMaxSide, &comment);
  const auto height = width ? reader.Number(vex::kit::kMaxSide, &comment) : std::nullopt;
  const auto maxval = !height  ? std::nullopt
                      : bitmap ? std::optional<std::int64_t>{1}
                               : reader.Number(kMaxSample, &comment);
  const int separator = maxval ? reader.Get() : -1;
  if (!maxval || !IsSpace(separator) || !vex::kit::PlausibleSides(*width, *height) || *maxval < 1) {
    Error = EC_READFROMFILE;
    return;
  }
  // A header written with CR LF line ends has both before the pixels.
  if (separator == '\r' && reader.Peek() == '\n') reader.Get();
  MaxValue = static_cast<std::int32_t>(*maxval);
  if (ImageInfo && !comment.empty()) ImageInfo->SetDescription(comment);

  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = static_cast<std::int32_t>(*width);
  h.biHeight = static_cast<std::int32_t>(*height);
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(bitmap ? 1 : pixmap ? 24 : 8);
  h.biClrUsed = 0;
  CreateGreyPalette(1);
  if (!CreateDIB()) return;

  // Whatever stops the pixels short is an early end of the file; the
  // picture keeps the rows that arrived.
  Failures.read = Failures.end = Failures.other = EC_ENDOFFILE;
  const vex::kit::RowPlacer placer(DIBBits, LineWidth, h.biHeight, true);
  const std::int64_t w = *width, rows = *height;
  const std::int64_t samples = w * channels;

  if (text) {
    for (std::int64_t y = 0; y < rows; ++y) {
      std::uint8_t* row = placer.Row(y);
      if (bitmap) {
        // "0" is white (bit set), "1" black; anything else is passed over.
        for (std::int64_t x = 0; x < w;) {
          reader.SkipSpace(nullptr);
          const int c = reader.Get();
          if (c < 0) {
            Error = EC_ENDOFFILE;
            return;
          }
          if (c != '0' && c != '1') continue;
          if (c == '0') row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
          ++x;
        }
        continue;
      }
      for (std::int64_t i = 0; i < samples; ++i) {
        const auto v = reader.Number(0xFFFFFFFF);
        if (!v) {
          // A number too long for any sample is as bad as no number.
          Error = EC_ENDOFFILE;
          return;
        }
        row[i] = Scale(static_cast<std::uint32_t>(std::min<std::int64_t>(*v, MaxValue)),
                       static_cast<std::uint32_t>(MaxValue));
      }
      if (pixmap) vex::kit::RgbToBgr(row, w, row);
    }
    return;
  }

  reader.Release();
  if (bitmap) {
    // Rows of whole bytes, 1 for black: the complement of the palette index.
    const std::int64_t bytes = (w + 7) / 8;
    const auto tail = static_cast<std::uint8_t>(w % 8 ? 0xFF00 >> (w % 8) : 0xFF);
    for (std::int64_t y = 0; y < rows; ++y) {
      std::uint8_t* row = placer.Row(y);
      const std::int32_t got = BufferStream.Read(row, static_cast<std::int32_t>(bytes));
      for (std::int64_t i = 0; i < got; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
      if (got == bytes) row[bytes - 1] &= tail;
      if (got < bytes) {
        Error = EC_ENDOFFILE;
        return;
      }
    }
    return;
  }
  const int sample_bytes = MaxValue > 255 ? 2 : 1;
  const std::int64_t bytes = samples * sample_bytes;
  std::vector<std::uint8_t> file_row;
  if (sample_bytes == 2 || MaxValue != 255) file_row.resize(static_cast<std::size_t>(bytes));
  for (std::int64_t y = 0; y < rows; ++y) {
    std::uint8_t* row = placer.Row(y);
    std::uint8_t* dest = file_row.empty() ? row : file_row.data();
    if (BufferStream.Read(dest, static_cast<std::int32_t>(bytes)) != bytes) {
      Error = EC_ENDOFFILE;
      return;
    }
    if (!file_row.empty()) {
      for (std::int64_t i = 0; i < samples; ++i) {
        const std::uint32_t v =
            sample_bytes == 2 ? vex::kit::Be16(dest + 2 * i) : std::uint32_t{dest[i]};
        row[i] = Scale(v, static_cast<std::uint32_t>(MaxValue));
      }
    }
    if (pixmap) vex::kit::RgbToBgr(row, w, row);
  }
}

void TvexPxMImage::EncodeImage() {
  // What the image is decides what can be written of it.
  const std::uint8_t kind = GetColorKind();
  const bool grey = kind == CK_GREY_WHITE_MIN || kind == CK_GREY_BLACK_MIN;
  std::int32_t maxval;
  TvexCompression variant;
  if (grey && BitCount == 1) {
    maxval = 1;
    variant = CP_PBM_BINARY;
  } else if (grey && BitCount == 8) {
    maxval = 255;
    variant = CP_PGM_BINARY;
  } else if (kind == CK_RGB24 && BitCount == 24) {
    maxval = 255;
    variant = CP_PPM_BINARY;
  } else {
    Error = EC_COLORFORMAT;
    return;
  }
  const TvexCompression default_variant = variant;
  if (Compression != CP_NOCOMP) variant = Compression;
  const bool is_pbm = variant == CP_PBM_ASCII || variant == CP_PBM_BINARY;
  const bool is_pgm = variant == CP_PGM_ASCII || variant == CP_PGM_BINARY;
  const bool is_ppm = variant == CP_PPM_ASCII || variant == CP_PPM_BINARY;
  if (!((FileFormat == FF_PBM && is_pbm) || (FileFormat == FF_PGM && is_pgm) ||
        (FileFormat == FF_PPM && is_ppm))) {
    Error = EC_BADCOMPRESS;
    return;
  }
  // A variant of another kind than the image would write its pixels as
  // something they are not.
  if ((is_pbm && default_variant != CP_PBM_BINARY) ||
      (is_pgm && default_variant != CP_PGM_BINARY) ||
      (is_ppm && default_variant != CP_PPM_BINARY)) {
    Error = EC_COLORFORMAT;
    return;
  }

  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::int64_t w = h.biWidth;
  const std::int64_t rows = h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight;
  auto top_row = [&](std::int64_t y) {
    return DIBBits + (h.biHeight > 0 ? rows - 1 - y : y) * LineWidth;
  };
  const char digit = variant == CP_PBM_ASCII    ? '1'
                     : variant == CP_PGM_ASCII  ? '2'
                     : variant == CP_PPM_ASCII  ? '3'
                     : variant == CP_PBM_BINARY ? '4'
                     : variant == CP_PGM_BINARY ? '5'
                                                : '6';
  std::string out = {'P', digit, '\n'};
  if (ImageInfo) {
    // A line break in the text would end the comment early.
    std::string text = ImageInfo->Description();
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    out += "# " + text + "\n";
  }
  out += std::to_string(w) + " " + std::to_string(rows) + "\n";
  if (!is_pbm) out += std::to_string(maxval) + "\n";

  // Palette indices stand for the palette's greys: a palette with white
  // first is written as the picture it shows.
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  const int white_index = pal[1].rgbRed > pal[0].rgbRed ? 1 : 0;
  std::vector<std::uint8_t> line(static_cast<std::size_t>(is_ppm ? w * 3 : w));
  auto flush_text = [&](bool force) {
    if (force || out.size() >= 32768) {
      WriteData(nullptr, out.data(), static_cast<std::int64_t>(out.size()));
      out.clear();
    }
  };
  std::int64_t column = 0;
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::uint8_t* row = top_row(y);
    if (is_pbm) {
      const std::int64_t bytes = (w + 7) / 8;
      for (std::int64_t i = 0; i < bytes; ++i)
        line[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(white_index == 1 ? ~row[i] : row[i]);
      if (w % 8)
        line[static_cast<std::size_t>(bytes - 1)] &= static_cast<std::uint8_t>(0xFF00 >> (w % 8));
      if (variant == CP_PBM_BINARY) {
        flush_text(true);
        WriteData(nullptr, line.data(), bytes);
        continue;
      }
      for (std::int64_t x = 0; x < w; ++x) {
        const bool black = (line[static_cast<std::size_t>(x >> 3)] >> (7 - (x & 7))) & 1;
        out += black ? "1 " : "0 ";
        column += 2;
        if (column == 68) {
          out += '\n';
          column = 0;
        }
      }
    } else {
      if (is_ppm)
        vex::kit::RgbToBgr(row, w, line.data()); // the same swap turns BGR into RGB
      else
        for (std::int64_t x = 0; x < w; ++x) line[static_cast<std::size_t>(x)] = pal[row[x]].rgbRed;
      if (variant == CP_PGM_BINARY || variant == CP_PPM_BINARY) {
        flush_text(true);
        WriteData(nullptr, line.data(), static_cast<std::int64_t>(line.size()));
        continue;
      }
      for (const std::uint8_t v : line) {
        const std::string number = std::to_string(v);
        out += number;
        out += ' ';
        column += static_cast<std::int64_t>(number.size()) + 1;
        if (column > 65) {
          out += '\n';
          column = 0;
        }
      }
    }
    flush_text(false);
  }
  if (variant == CP_PBM_ASCII || variant == CP_PGM_ASCII || variant == CP_PPM_ASCII) out += '\n';
  flush_text(true);
}
