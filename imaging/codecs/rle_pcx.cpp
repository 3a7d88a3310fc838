#include "vexImageCompress.h"

#include "run_cursor.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

inline std::uint8_t nibble(const std::uint8_t* row, std::int64_t k) {
  return (k & 1) ? (row[k >> 1] & 0x0F) : (row[k >> 1] >> 4);
}

inline void put_nibble(std::uint8_t* row, std::int64_t k, std::uint8_t v) {
  if (k & 1)
    row[k >> 1] = static_cast<std::uint8_t>((row[k >> 1] & 0xF0) | v);
  else
    row[k >> 1] = static_cast<std::uint8_t>((row[k >> 1] & 0x0F) | (v << 4));
}

} // namespace

TvexImagePCXRLE::TvexImagePCXRLE() : Cursor(std::make_unique<vex::codec::RunCursor>()) {}
TvexImagePCXRLE::~TvexImagePCXRLE() = default;

void TvexImagePCXRLE::SetImage(DibHandle dib) {
  TvexImageCompress::SetImage(dib);
  switch (BitCount) {
  case 1:
    SetLayout(1, 1);
    break;
  case 4:
    SetLayout(1, 4);
    break;
  case 24:
    SetLayout(8, 3);
    break;
  case 32:
    SetLayout(8, 4);
    break;
  default:
    SetLayout(8, 1);
    break;
  }
}

void TvexImagePCXRLE::SetTopDown(bool value) {
  TvexImageCompress::SetTopDown(value);
  if (Cursor) StartLine();
}

void TvexImagePCXRLE::Clear() {
  TvexImageCompress::Clear();
  Scan.clear();
  Cursor->Bind(nullptr, 0, 0, 0, false);
}

void TvexImagePCXRLE::SetBytesPerLine(std::int32_t n) {
  BytesPerLine = std::max(n, 0);
  StartLine();
}

bool TvexImagePCXRLE::SetLayout(int bits_per_plane, int planes) {
  bool fits = false;
  switch (BitCount) {
  case 1:
    fits = bits_per_plane == 1 && planes == 1;
    break;
  case 4:
    fits = (bits_per_plane == 1 && planes >= 1 && planes <= 4) ||
           ((bits_per_plane == 2 || bits_per_plane == 4) && planes == 1);
    break;
  case 8:
    fits = bits_per_plane == 8 && planes == 1;
    break;
  case 24:
    fits = bits_per_plane == 8 && planes == 3;
    break;
  case 32:
    fits = bits_per_plane == 8 && planes == 4;
    break;
  default:
    break;
  }
  // A 1-bit bitmap may also be written as four planes (any two colours).
  if (BitCount == 1 && bits_per_plane == 1 && planes == 4) fits = true;
  if (fits) {
    BitsPerPlane = bits_per_plane;
    Planes = planes;
  } else {
    Planes = 0;
  }
  StartLine();
  return fits;
}

bool TvexImagePCXRLE::Done() const {
  return !DIBBits || Planes == 0 || Line < 0 || Line >= Height;
}

void TvexImagePCXRLE::StartLine() {
  const std::int64_t bytes = std::int64_t{Planes} * BytesPerLine;
  Scan.assign(static_cast<std::size_t>(bytes), 0);
  Cursor->Bind(Scan.data(), 0, bytes, Done() ? 0 : 1, false);
}

void TvexImagePCXRLE::Flush() {
  if (!Done() && Cursor->Column() > 0) PlaceLine();
}

// The scan line in Scan into the bitmap row at Line.
void TvexImagePCXRLE::PlaceLine() {
  std::uint8_t* dst = DIBBits + std::int64_t{Line} * LineWidth;
  const std::uint8_t* s = Scan.data();
  const std::int64_t bpl = BytesPerLine;
  const std::int64_t w = Width;
  if (Planes == 1 && BitsPerPlane != 2) {
    // The line is the bitmap row itself.
    const std::int64_t bytes = (w * BitCount + 7) / 8;
    std::memcpy(dst, s, static_cast<std::size_t>(std::min(bytes, bpl)));
    return;
  }
  if (BitsPerPlane == 8) {
    // Planes red, green, blue (alpha) into blue, green, red (alpha).
    const int size = Planes;
    const std::int64_t n = std::min(w, bpl);
    for (std::int64_t k = 0; k < n; ++k) {
      std::uint8_t* px = dst + k * size;
      px[0] = s[2 * bpl + k];
      px[1] = s[bpl + k];
      px[2] = s[k];
      if (size == 4) px[3] = s[3 * bpl + k];
    }
    return;
  }
  if (BitsPerPlane == 2) {
    const std::int64_t n = std::min(w, bpl * 4);
    for (std::int64_t k = 0; k < n; ++k)
      put_nibble(dst, k, static_cast<std::uint8_t>((s[k >> 2] >> (6 - 2 * (k & 3))) & 3));
    return;
  }
  // 1 bit x 2..4 planes: plane p gives bit p of each 4-bit pixel.
  const std::int64_t n = std::min(w, bpl * 8);
  for (std::int64_t k = 0; k < n; ++k) {
    std::uint8_t v = 0;
    for (int p = 0; p < Planes; ++p)
      v |= static_cast<std::uint8_t>(((s[p * bpl + (k >> 3)] >> (7 - (k & 7))) & 1) << p);
    put_nibble(dst, k, v);
  }
}

TvexErrorCode TvexImagePCXRLE::Decompress(const std::uint8_t* data, std::int32_t& length,
                                          std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  try {
    if (length < 0 || (!data && length > 0)) throw std::invalid_argument("pcx rle input");
    if (BytesPerLine <= 0) throw std::invalid_argument("pcx bytes per line");
    vex::codec::RunCursor& c = *Cursor;
    const std::int64_t n = length;
    const std::int32_t step = TopDown ? -1 : 1;
    std::int64_t pos = 0, out = 0;
    while (pos < n && !Done()) {
      std::uint8_t value = data[pos];
      std::int64_t count = 1;
      if (value >= 0xC0) {
        if (pos + 1 >= n) break; // the data byte comes with the next piece
        count = value & 0x3F;
        value = data[pos + 1];
        pos += 2;
      } else {
        ++pos;
      }
      while (count > 0 && !Done()) {
        count -= c.Fill(value, count);
        if (c.Done()) {
          PlaceLine();
          out += LineWidth;
          Line += step;
          StartLine();
        }
      }
    }
    LineOffset = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(std::int64_t{Line} * LineWidth, -1, ImageSize));
    produced = static_cast<std::int32_t>(out);
    length = static_cast<std::int32_t>(n - pos);
  } catch (...) {
    Error = EC_DECOMPRESSION;
  }
  return Error;
}

// Row of the bitmap at `row` into the plane lines of Scan.
void TvexImagePCXRLE::BuildLine(const std::uint8_t* row) {
  std::fill(Scan.begin(), Scan.end(), 0);
  std::uint8_t* s = Scan.data();
  const std::int64_t bpl = BytesPerLine;
  const std::int64_t w = Width;
  if (Planes == 1) {
    const std::int64_t bytes = std::min((w * BitCount + 7) / 8, bpl);
    std::memcpy(s, row, static_cast<std::size_t>(bytes));
    if (BitCount == 1) {
      if (Invert)
        for (std::int64_t i = 0; i < bytes; ++i) s[i] = static_cast<std::uint8_t>(~s[i]);
      // Bits past the last pixel are padding: written as 0.
      if (w % 8 && bytes == (w + 7) / 8)
        s[bytes - 1] &= static_cast<std::uint8_t>(0xFF00 >> (w % 8));
    }
    return;
  }
  if (BitsPerPlane == 8) {
    const int size = Planes;
    const std::int64_t n = std::min(w, bpl);
    for (std::int64_t k = 0; k < n; ++k) {
      const std::uint8_t* px = row + k * size;
      s[k] = px[2];
      s[bpl + k] = px[1];
      s[2 * bpl + k] = px[0];
      if (size == 4) s[3 * bpl + k] = px[3];
    }
    return;
  }
  const std::int64_t n = std::min(w, bpl * 8);
  for (std::int64_t k = 0; k < n; ++k) {
    const std::uint8_t v = BitCount == 1
                               ? static_cast<std::uint8_t>((row[k >> 3] >> (7 - (k & 7))) & 1)
                               : nibble(row, k);
    for (int p = 0; p < Planes; ++p)
      if ((v >> p) & 1) s[p * bpl + (k >> 3)] |= static_cast<std::uint8_t>(0x80 >> (k & 7));
  }
}

TvexErrorCode TvexImagePCXRLE::Compress(const std::uint8_t*& data, std::int32_t& count,
                                        std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!DIBBits || Width <= 0 || Height <= 0 || LineWidth <= 0 || Planes == 0 || BytesPerLine <= 0)
      throw std::invalid_argument("pcx rle image");
    if (BufferSize == 0) GrowBuffer(ImageSize / 2);
    const std::int32_t rows = raw_count / LineWidth;
    const std::int32_t step = TopDown ? -1 : 1;
    const std::int64_t scan = std::int64_t{Planes} * BytesPerLine;
    std::int64_t at = 0;
    std::int32_t done = 0;
    for (; done < rows && !Done(); ++done, Line += step) {
      // Worst case: every byte of 192 or more doubled.
      while (BufferSize - at < 2 * scan)
        GrowBuffer(static_cast<std::int32_t>(
            std::min<std::int64_t>(2 * scan, std::numeric_limits<std::int32_t>::max())));
      BuildLine(DIBBits + std::int64_t{Line} * LineWidth);
      std::uint8_t* o = Buffer.data() + at;
      for (int p = 0; p < Planes; ++p) {
        // Runs never cross plane lines.
        const std::uint8_t* line = Scan.data() + std::int64_t{p} * BytesPerLine;
        for (std::int64_t i = 0; i < BytesPerLine;) {
          const std::uint8_t b = line[i];
          std::int64_t run = 1;
          while (i + run < BytesPerLine && line[i + run] == b) ++run;
          i += run;
          if (run == 1) {
            if (b >= 0xC0) *o++ = 0xC1;
            *o++ = b;
            continue;
          }
          while (run > 0) {
            const std::int64_t piece = run < 64 ? run : run / 63 == 1 ? run / 2 : 63;
            *o++ = static_cast<std::uint8_t>(0xC0 | piece);
            *o++ = b;
            run -= piece;
          }
        }
      }
      at = o - Buffer.data();
    }
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
