// seeds: bmp/bmpsuite/g jpeg
// The JPEG writer on pictures made from arbitrary bytes (size, depth,
// palette, quality, sampling mode, baseline or progressive from the first
// bytes, pixels from the rest): the writer must succeed, write the same
// bytes twice, and its file must read back here without error at the same
// size; grey pictures at quality 100 must come back close to the source.
#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Picture {
  int width, height, kind; // kind 0 grey, 1 palette, 2 24-bit, 3 32-bit
  unsigned quality;
  std::uint8_t mode;
  TvexCompression compression;
};

void fill(TvexImage& image, const Picture& p, const std::uint8_t* data, std::size_t size) {
  static const int bits[4] = {8, 8, 24, 32};
  image.SetWidth(p.width);
  image.SetHeight(p.height);
  image.SetBitCount(static_cast<std::uint16_t>(bits[p.kind]));
  std::size_t at = 0;
  auto next = [&]() -> std::uint8_t { return size == 0 ? 0 : data[at++ % size]; };
  if (p.kind <= 1) {
    TvexImage::LogPalette pal;
    pal.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) {
      if (p.kind == 0) {
        const auto v = static_cast<std::uint8_t>(i);
        pal.palPalEntry[i] = {v, v, v, 0};
      } else {
        pal.palPalEntry[i] = {next(), next(), next(), 0};
      }
    }
    image.SetPaletteEntries(&pal);
  }
  for (int y = 0; y < p.height; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    for (int i = 0; i < image.LineWidth(); ++i) row[i] = next();
  }
}

std::vector<std::uint8_t> write(TvexImage& image, const Picture& p) {
  vex::platform::MemoryStream out;
  TvexJPEGImage writer(p.mode);
  writer.SetQuality(static_cast<std::uint16_t>(p.quality));
  writer.SetCompression(p.compression);
  writer.SaveToStream(out, image.GetDibHandle());
  if (writer.GetError() != EC_OK) std::abort();
  return out.TakeBytes();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  // Small pictures keep a replay of the seed folders within seconds.
  Picture p;
  p.width = 1 + data[0] % 96;
  p.height = 1 + data[1] % 64;
  p.kind = data[2] % 4;
  p.quality = data[3] % 102; // 0..101: both ends of the quality rule
  p.mode = static_cast<std::uint8_t>(data[4] % 4);
  p.compression = (data[5] & 1) ? CP_JPEG_PROG : CP_JPEG_STD;
  TvexImage image;
  fill(image, p, data + 6, size - 6);

  const std::vector<std::uint8_t> first = write(image, p);
  if (write(image, p) != first) std::abort();

  vex::platform::MemoryStream in(first.data(), first.size());
  TvexJPEGImage reader;
  TvexImage back;
  back.SetDibHandle(reader.LoadFromStream(in));
  if (reader.GetError() != EC_OK || !back.Bits()) std::abort();
  if (back.Width() != p.width || std::abs(back.Height()) != p.height) std::abort();
  // A palette whose every entry is grey is written as a grey picture.
  bool grey = p.kind == 0;
  if (p.kind == 1) {
    grey = true;
    for (int i = 0; i < 256; ++i) {
      const auto& q = image.Header()->bmiColors[i];
      grey = grey && q.rgbRed == q.rgbGreen && q.rgbGreen == q.rgbBlue;
    }
  }
  if (back.BitCount() != (grey ? 8 : 24)) std::abort();
  if (p.kind == 0 && p.quality >= 100) {
    // Unit quantisation steps: only the transform's rounding is lost.
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x)
        if (std::abs(int(image.ScanLine(y)[x]) - int(back.ScanLine(y)[x])) > 3) std::abort();
  }
  return 0;
}
