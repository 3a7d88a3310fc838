#include "vexImageCompress.h"

#include "run_cursor.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Row bytes of `width` pixels of `bits` bits (1- and 4-bit rows packed).
std::int64_t row_bytes(std::int64_t width, int bits) {
  return bits < 8 ? (width * bits + 7) / 8 : width * ((bits + 1) / 8);
}

} // namespace

TvexImageTargaRLE::TvexImageTargaRLE() : Cursor(std::make_unique<vex::codec::RunCursor>()) {}
TvexImageTargaRLE::~TvexImageTargaRLE() = default;

void TvexImageTargaRLE::SetPixelBits(int bits) {
  // Packed 1- and 4-bit rows are coded byte by byte.
  PixelBytes = std::clamp((bits + 1) / 8, 1, 4);
  SetScanFunctions(PixelBytes == 1 ? 8 : bits == 15 ? 16 : bits);
  if (PixelBytes == 1) {
    MinRun = 4;
    MinSplit = 5;
    MinLiteral = 3;
  } else {
    MinRun = MinSplit = MinLiteral = 2;
  }
}

void TvexImageTargaRLE::SetImage(DibHandle dib) {
  Target = nullptr;
  TvexImageRLE::SetImage(dib);
  SetPixelBits(BitCount);
  RawLeft = 0;
  Bind();
}

void TvexImageTargaRLE::SetTopDown(bool value) {
  TvexImageRLE::SetTopDown(value);
  RawLeft = 0;
  if (Cursor) Bind();
}

void TvexImageTargaRLE::Clear() {
  TvexImageRLE::Clear();
  RawLeft = 0;
  Target = nullptr;
  Cursor->Bind(nullptr, 0, 0, 0, true);
}

void TvexImageTargaRLE::SetTarget(std::uint8_t* first, std::int64_t stride, std::int32_t width,
                                  std::int32_t rows, int pixel_bits) {
  SetPixelBits(pixel_bits);
  Target = first;
  TargetStride = stride;
  TargetRowBytes = width > 0 ? row_bytes(width, pixel_bits) : 0;
  TargetRows = rows;
  RawLeft = 0;
  Bind();
}

void TvexImageTargaRLE::Bind() {
  // Packets may run on past the end of a row: they go on in the next one.
  if (Target)
    Cursor->Bind(Target, TargetStride, TargetRowBytes, TargetRows, true);
  else
    Cursor->BindBitmap(DIBBits, LineWidth, Width > 0 ? row_bytes(Width, BitCount) : 0, Height,
                       TopDown != 0, true);
}

bool TvexImageTargaRLE::Done() const {
  return Cursor->Done();
}

TvexErrorCode TvexImageTargaRLE::Decompress(const std::uint8_t* data, std::int32_t& length,
                                            std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (length < 0 || (!data && length > 0)) throw std::invalid_argument("targa rle input");
    vex::codec::RunCursor& c = *Cursor;
    const std::int64_t n = length;
    const int p = PixelBytes;
    std::int64_t pos = 0, out = 0;
    while (pos < n && !c.Done()) {
      if (RawLeft > 0) {
        const std::int64_t k = std::min(RawLeft, n - pos);
        out += c.Copy(data + pos, k);
        pos += k;
        RawLeft -= k;
        continue;
      }
      const std::uint8_t h = data[pos];
      const std::int64_t count = (h & 0x7F) + 1;
      if (h & 0x80) {
        if (pos + 1 + p > n) break; // the pixel comes with the next piece
        out += c.FillItem(data + pos + 1, p, count);
        pos += 1 + p;
      } else {
        ++pos;
        RawLeft = count * p;
      }
    }
    // Once the picture is full the rest of a raw packet has nowhere to go.
    if (c.Done()) RawLeft = 0;
    produced = static_cast<std::int32_t>(out);
    length = static_cast<std::int32_t>(n - pos);
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}

std::int32_t TvexImageTargaRLE::EncodeRow(const std::uint8_t* row, std::int32_t pixels,
                                          std::int64_t at) {
  const int p = PixelBytes;
  // Worst case: every pixel a packet of its own.
  const std::int64_t need = at + std::int64_t{pixels} * (p + 1) + 2;
  while (BufferSize < need)
    GrowBuffer(static_cast<std::int32_t>(
        std::min<std::int64_t>(need - BufferSize, std::numeric_limits<std::int32_t>::max())));
  std::uint8_t* o = Buffer.data() + at;
  auto put_run = [&](std::int32_t start, std::int32_t k) {
    *o++ = static_cast<std::uint8_t>(0x80 | (k - 1));
    std::memcpy(o, row + std::int64_t{start} * p, static_cast<std::size_t>(p));
    o += p;
  };
  auto put_raw = [&](std::int32_t start, std::int32_t k) {
    *o++ = static_cast<std::uint8_t>(k - 1);
    std::memcpy(o, row + std::int64_t{start} * p, static_cast<std::size_t>(k) * p);
    o += std::int64_t{k} * p;
  };
  PlanLine(row, 0, pixels);
  const auto segments = std::count_if(Segments.begin(), Segments.end(),
                                      [](const Segment& s) { return s.length > 0; });
  for (std::size_t k = 1; k + 1 < Segments.size(); ++k) {
    const Segment& s = Segments[k];
    if (s.length <= 0) continue;
    // Pieces of at most 128 pixels; a piece that would leave a short rest
    // is halved instead.
    std::int32_t start = s.start, left = s.length;
    while (left > 0) {
      const std::int32_t piece = left <= 128 ? left : left / 128 == 1 ? left / 2 : 128;
      if (s.run) {
        put_run(start, piece);
      } else if (s.length < MinLiteral && segments == 1) {
        // A short row alone: runs of one pixel each.
        for (std::int32_t i = 0; i < piece; ++i) put_run(start + i, 1);
      } else {
        put_raw(start, piece);
      }
      start += piece;
      left -= piece;
    }
  }
  return static_cast<std::int32_t>(o - (Buffer.data() + at));
}

TvexErrorCode TvexImageTargaRLE::CompressRow(const std::uint8_t* row, std::int32_t pixels,
                                             const std::uint8_t*& data, std::int32_t& count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!row || pixels <= 0) throw std::invalid_argument("targa rle row");
    count = EncodeRow(row, pixels, 0);
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    count = 0;
  }
  return Error;
}

TvexErrorCode TvexImageTargaRLE::Compress(const std::uint8_t*& data, std::int32_t& count,
                                          std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!DIBBits || Width <= 0 || Height <= 0 || LineWidth <= 0)
      throw std::invalid_argument("targa rle image");
    if (BufferSize == 0) GrowBuffer(ImageSize / 2);
    const std::int32_t rows = raw_count / LineWidth;
    const std::int32_t items = static_cast<std::int32_t>(row_bytes(Width, BitCount) / PixelBytes);
    const std::int32_t step = TopDown ? -1 : 1;
    std::int64_t at = 0;
    std::int32_t done = 0;
    for (; done < rows && Line >= 0 && Line < Height; ++done, Line += step)
      at += EncodeRow(DIBBits + std::int64_t{Line} * LineWidth, items, at);
    LineOffset = Line * LineWidth;
    raw_count = done * LineWidth;
    count = static_cast<std::int32_t>(at);
    data = Buffer.data();
  } catch (...) {
    Error = EC_COMPRESSION;
    raw_count = 0;
    count = 0;
  }
  return Error;
}
