#include "codecs/rle_sgi.h"

#include "run_cursor.h"

#include <algorithm>
#include <cstring>

namespace {

// The DIB byte each file channel fills: the file has red, green, blue,
// alpha; a DIB pixel holds blue, green, red, alpha.
constexpr std::int32_t kChannelByte[4] = {2, 1, 0, 3};

constexpr std::int32_t kMaxPiece = 127;

} // namespace

TvexImageSGIRLE::TvexImageSGIRLE() {
  MinRun = 3;
  MinSplit = 3;
  MinLiteral = 1;
}

void TvexImageSGIRLE::SetImage(DibHandle dib) {
  TopDown = 0; // SGI rows run from the bottom up, as DIB memory does
  TvexImageRLE::SetImage(dib);
  SetScanFunctions(8); // items are single bytes of one channel
  PixelStride = BitCount == 8 ? 1 : BitCount == 24 ? 3 : BitCount == 32 ? 4 : 0;
  Channels = PixelStride; // one byte per channel
  Channel = 0;
  ChannelOffset = PixelStride > 1 ? kChannelByte[0] : 0;
  if (PixelStride > 1)
    Scratch.assign(static_cast<std::size_t>(LineWidth), 0);
  else
    Scratch.clear();
}

void TvexImageSGIRLE::Clear() {
  TvexImageRLE::Clear();
  Scratch.clear();
  Scratch.shrink_to_fit();
  Channel = 0;
}

bool TvexImageSGIRLE::NextLine() {
  if (Line >= Height) {
    Line = 0;
    ++Channel;
    if (Channel < 4) ChannelOffset = PixelStride > 1 ? kChannelByte[Channel] : 0;
  }
  return DIBBits && Width > 0 && Height > 0 && Channel < Channels;
}

TvexErrorCode TvexImageSGIRLE::Decompress(const std::uint8_t* data, std::int32_t& length,
                                          std::int32_t& produced) {
  Error = EC_OK;
  produced = 0;
  Source = data;
  // A call past the last channel, or without input, has nothing to fill; the
  // row is still counted so that the next call keeps its place.
  if (!NextLine()) return Error;
  std::uint8_t* row = DIBBits + std::int64_t{Line} * LineWidth;
  std::uint8_t* target = PixelStride == 1 ? row : Scratch.data();
  vex::codec::RunCursor cursor;
  cursor.Bind(target, 0, Width, 1, false);
  const std::int64_t n = data ? length : 0;
  std::int64_t pos = 0;
  while (pos < n && !cursor.Done()) {
    const std::uint8_t b = data[pos];
    const std::int64_t count = b & 0x7F;
    if (count == 0) break; // the line's terminator
    if (b & 0x80) {
      cursor.Copy(data + pos + 1, std::min(count, n - pos - 1));
      pos += count + 1;
    } else {
      if (pos + 1 >= n) break;
      cursor.Fill(data[pos + 1], count);
      pos += 2;
    }
  }
  const std::int64_t written = cursor.Done() ? Width : cursor.Column();
  produced = static_cast<std::int32_t>(written);
  if (PixelStride > 1) {
    std::uint8_t* p = row + ChannelOffset;
    for (std::int64_t x = 0; x < written; ++x, p += PixelStride)
      *p = Scratch[static_cast<std::size_t>(x)];
  }
  ++Line;
  return Error;
}

TvexErrorCode TvexImageSGIRLE::Compress(const std::uint8_t*& data, std::int32_t& count,
                                        std::int32_t& raw_count) {
  data = nullptr;
  count = 0;
  Error = EC_OK;
  try {
    if (!NextLine()) {
      Error = EC_COMPRESSION;
      raw_count = 0;
      return Error;
    }
    const std::uint8_t* row = DIBBits + std::int64_t{Line} * LineWidth;
    const std::uint8_t* line = row;
    if (PixelStride > 1) {
      const std::uint8_t* p = row + ChannelOffset;
      for (std::int32_t x = 0; x < Width; ++x, p += PixelStride)
        Scratch[static_cast<std::size_t>(x)] = *p;
      line = Scratch.data();
    }
    // Every piece covers at least one pixel with at most one byte more.
    const std::int64_t worst = 2 * std::int64_t{Width} + 1;
    while (BufferSize < worst) GrowBuffer(static_cast<std::int32_t>(worst));
    std::uint8_t* out = Buffer.data();
    std::int64_t at = 0;
    PlanLine(line, 0, Width);
    for (const Segment& s : Segments) {
      std::int32_t start = s.start, left = s.length;
      while (left > 0) {
        // Long segments: halves when one full piece would leave a short rest.
        const std::int32_t piece = left <= kMaxPiece       ? left
                                   : left / kMaxPiece == 1 ? left / 2
                                                           : kMaxPiece;
        if (s.run) {
          out[at++] = static_cast<std::uint8_t>(piece);
          out[at++] = line[start];
        } else {
          out[at++] = static_cast<std::uint8_t>(0x80 | piece);
          std::memcpy(out + at, line + start, static_cast<std::size_t>(piece));
          at += piece;
        }
        start += piece;
        left -= piece;
      }
    }
    out[at++] = 0;
    count = static_cast<std::int32_t>(at);
    data = Buffer.data();
    raw_count = Width;
    ++Line;
  } catch (...) {
    Error = EC_COMPRESSION;
    raw_count = 0;
    count = 0;
  }
  return Error;
}
