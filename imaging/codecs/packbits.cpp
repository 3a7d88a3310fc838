// PackBits (TIFF compression 32773). Hazards: packets that run past the row
// or the input; bytes past the row's padding are dropped and a packet cut
// short by the end of the input gives what it has.
#include "codecs/packbits.h"

#include "run_cursor.h"

#include <algorithm>
#include <cstring>

namespace {

// Exchanges bytes 0 and 2 of each 3- or 4-byte pixel.
void swap_red_blue(std::uint8_t* row, std::int32_t width, int pixel_bytes) {
  for (std::int64_t x = 0; x < width; ++x)
    std::swap(row[x * pixel_bytes], row[x * pixel_bytes + 2]);
}

} // namespace

TvexImagePackBits::TvexImagePackBits() {
  MinRun = 3;
  MinSplit = 3;
  MinLiteral = 1;
  SetTopDown(true);
}

void TvexImagePackBits::SetImage(DibHandle dib) {
  TvexImageRLE::SetImage(dib);
  SetScanFunctions(8); // items are single bytes at every depth
  const std::int64_t w = Width;
  std::int64_t bytes;
  switch (BitCount) {
  case 1:
    bytes = (w + 7) / 8;
    break;
  case 4:
    bytes = (w + 1) / 2;
    break;
  case 8:
    bytes = w;
    break;
  case 15:
  case 16:
    bytes = 2 * w;
    break;
  case 24:
    bytes = 3 * w;
    break;
  case 32:
    bytes = 4 * w;
    break;
  default:
    bytes = (w * BitCount + 7) / 8;
    break;
  }
  BytesPerRow = static_cast<std::int32_t>(std::min<std::int64_t>(bytes, LineWidth));
  SwapRedBlue = BitCount == 24 || BitCount == 32;
  Scratch.assign(SwapRedBlue ? static_cast<std::size_t>(LineWidth) : 0, 0);
}

void TvexImagePackBits::Clear() {
  TvexImageRLE::Clear();
  Scratch.clear();
  Scratch.shrink_to_fit();
}

TvexErrorCode TvexImagePackBits::Compress(const std::uint8_t*& data, std::int32_t& count,
                                          std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!DIBBits || Width <= 0 || Height <= 0 || LineWidth <= 0) {
      Error = EC_COMPRESSION;
      raw_count = 0;
      return Error;
    }
    if (BufferSize == 0) GrowBuffer(ImageSize / 8); // a quarter of the image
    std::int64_t out = 0;
    auto put = [&](const std::uint8_t* p, std::int32_t n) {
      std::memcpy(Buffer.data() + out, p, static_cast<std::size_t>(n));
      out += n;
    };
    const std::int32_t rows = std::max(raw_count, 0) / LineWidth;
    std::int32_t done = 0;
    const int pixel_bytes = BitCount / 8;
    for (std::int32_t i = 0; i < rows && Line >= 0 && Line < Height; ++i) {
      // A row takes at most BytesPerRow + BytesPerRow / 128 + 1 bytes.
      while (BufferSize - out < std::int64_t{BytesPerRow} + BytesPerRow / 128 + 2) GrowBuffer(0);
      const std::uint8_t* row = DIBBits + std::int64_t{Line} * LineWidth;
      if (SwapRedBlue) {
        std::memcpy(Scratch.data(), row, static_cast<std::size_t>(LineWidth));
        swap_red_blue(Scratch.data(), Width, pixel_bytes);
        row = Scratch.data();
      }
      PlanLine(row, 0, BytesPerRow);
      for (std::size_t k = 1; k < Segments.size(); ++k) {
        const Segment& s = Segments[k];
        std::int32_t at = s.start, d = s.length;
        while (d > 0) {
          const std::int32_t piece = d <= 128 ? d : d < 256 ? d / 2 : 128;
          if (s.run) {
            const std::uint8_t packet[2] = {static_cast<std::uint8_t>(257 - piece), row[at]};
            put(packet, 2);
          } else {
            const std::uint8_t header = static_cast<std::uint8_t>(piece - 1);
            put(&header, 1);
            put(row + at, piece);
          }
          at += piece;
          d -= piece;
        }
      }
      done += LineWidth;
      Line += TopDown ? -1 : 1;
      LineOffset = Line * LineWidth;
    }
    raw_count = done;
    count = static_cast<std::int32_t>(out);
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    raw_count = 0;
    count = 0;
  }
  return Error;
}

TvexErrorCode TvexImagePackBits::Decompress(const std::uint8_t* data, std::int32_t& length,
                                            std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (!DIBBits || length < 0 || (!data && length > 0)) {
      Error = EC_DECOMPRESSION;
      return Error;
    }
    const std::int64_t start_line = Line, start_column = Column;
    const std::int64_t n = length;
    const int pixel_bytes = BitCount / 8;
    // Rows of BytesPerRow bytes; a packet that passes a row's end loses the rest.
    vex::codec::RunCursor cursor;
    cursor.BindBitmap(DIBBits, LineWidth, BytesPerRow, Height, TopDown != 0, false);
    if (Line < 0 || Line >= Height)
      cursor.MoveTo(Height, 0);
    else
      cursor.MoveTo(TopDown ? Height - 1 - Line : Line, Column);
    std::int64_t i = 0;
    while (!cursor.Done() && i < n) {
      const std::uint8_t h = data[i];
      const std::int64_t row = cursor.Row();
      if (h > 128) {
        if (i + 1 >= n) { // a run without its value
          i = n;
          break;
        }
        cursor.Fill(data[i + 1], 257 - h);
        i += 2;
      } else if (h < 128) {
        const std::int64_t k = std::min<std::int64_t>(h + 1, n - i - 1);
        cursor.Copy(data + i + 1, k);
        i += 1 + k;
      } else {
        ++i;
        continue;
      }
      if (SwapRedBlue && cursor.Row() != row) swap_red_blue(cursor.RowAt(row), Width, pixel_bytes);
    }
    const std::int64_t r = cursor.Column();
    Line = static_cast<std::int32_t>(TopDown ? Height - 1 - cursor.Row() : cursor.Row());
    Column = static_cast<std::int32_t>(std::min<std::int64_t>(r, LineWidth));
    LineOffset = static_cast<std::int32_t>(std::int64_t{Line} * LineWidth + Column);
    const std::int64_t covered =
        std::abs(std::int64_t{Line} - start_line) * LineWidth + Column - start_column;
    produced = static_cast<std::int32_t>(std::clamp<std::int64_t>(covered, 0, ImageSize));
    length = static_cast<std::int32_t>(n - i);
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}

namespace vex::codec {

std::size_t PackBitsReader::Read(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    if (run_ > 0) {
      const std::size_t n = std::min(run_, count - done);
      std::memset(out + done, value_, n);
      run_ -= n;
      done += n;
    } else if (literal_ > 0) {
      const std::size_t n = std::min({literal_, count - done, left_});
      if (n == 0) break; // a literal cut by the end of the data
      std::memcpy(out + done, in_, n);
      in_ += n;
      left_ -= n;
      literal_ -= n;
      done += n;
    } else {
      if (left_ == 0) break;
      const std::uint8_t n = *in_++;
      --left_;
      if (n < 128) {
        literal_ = std::size_t{n} + 1;
      } else if (n > 128) {
        if (left_ == 0) break;
        value_ = *in_++;
        --left_;
        run_ = 257 - std::size_t{n};
      }
    }
  }
  return done;
}

} // namespace vex::codec
