// seeds: tiff
// The TIFF strip decoders on arbitrary bytes. The first byte picks the
// codec (Modified Huffman, Group 3 1D/2D, Group 4, PackBits at 1, 8 or 24
// bits) and the bit order, the next three the picture's size. Fax data is
// also decoded by the plain reference, which must agree in everything; what
// a decoder made is coded again and must decode to the same picture.
#include "vexImageCompress.h"

#include "reference/fax_ref.cpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Picture {
  DibHandle dib = DibHandle::Null;
  std::uint8_t* bits = nullptr;
  int line_width = 0;
  Picture(int w, int h, int bpp) {
    vex::platform::BitmapInfo info{};
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<std::uint16_t>(bpp);
    void* p = nullptr;
    dib = vex::platform::CreateDIBSection(&info, &p);
    bits = static_cast<std::uint8_t*>(p);
    line_width = static_cast<int>(vex::platform::dib_line_width(w, bpp));
  }
  ~Picture() { vex::platform::DeleteDIBSection(dib); }
  std::uint8_t* top_row(int y, int h) const {
    return bits + static_cast<std::size_t>(h - 1 - y) * line_width;
  }
};

std::unique_ptr<TvexImageCompress> make(int kind, bool reverse) {
  if (kind >= 4) return std::make_unique<TvexImagePackBits>();
  if (kind == 0) {
    auto c = std::make_unique<TvexImageModifiedHuffman>();
    c->SetReverseBits(reverse);
    return c;
  }
  auto c = std::make_unique<TvexImageCCITT>();
  c->SetMode(static_cast<std::uint8_t>(kind - 1));
  c->SetReverseBits(reverse);
  return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int kind = data[0] % 7;
  const bool reverse = (data[0] & 0x80) != 0;
  const int w = 1 + ((data[1] | data[2] << 8) % 3000);
  const int h = 1 + data[3] % 48;
  const int bpp = kind == 5 ? 8 : kind == 6 ? 24 : 1;
  const std::uint8_t* in = data + 4;
  const std::int32_t n = static_cast<std::int32_t>(size - 4);

  Picture pic(w, h, bpp);
  if (!pic.bits) return 0;
  auto codec = make(kind, reverse);
  codec->SetImage(pic.dib);
  std::int32_t length = n, produced = 0;
  const TvexErrorCode error = codec->Decompress(in, length, produced);
  if (length < 0 || length > n || produced < 0) std::abort();

  if (kind <= 3) {
    reference::BitImage ref(w, h);
    const auto r = reference::fax_decode(kind - 1, reverse, in, static_cast<std::size_t>(n), ref);
    if (r.error != error || n - r.bytes_used != length) std::abort();
    for (int y = 0; y < h; ++y) {
      std::uint8_t* row = pic.top_row(y, h);
      if (w % 8) row[(w - 1) / 8] &= static_cast<std::uint8_t>(0xFF00 >> (w % 8));
      if (std::memcmp(row, ref.row(y), static_cast<std::size_t>(ref.stride())) != 0) std::abort();
    }
  }

  // Whatever was decoded codes and decodes back to itself.
  auto writer = make(kind, false);
  writer->SetImage(pic.dib);
  const std::uint8_t* coded;
  std::int32_t count, raw = h * pic.line_width;
  if (writer->Compress(coded, count, raw) != EC_OK || raw != h * pic.line_width) std::abort();
  Picture back(w, h, bpp);
  auto reader = make(kind, false);
  reader->SetImage(back.dib);
  std::int32_t left = count;
  if (reader->Decompress(coded, left, produced) != EC_OK || left != 0) std::abort();
  const std::size_t row_bytes = static_cast<std::size_t>((std::int64_t{w} * bpp + 7) / 8);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* a = pic.top_row(y, h);
    const std::uint8_t* b = back.top_row(y, h);
    if (std::memcmp(a, b, row_bytes - (bpp == 1 && w % 8 ? 1 : 0)) != 0) std::abort();
    if (bpp == 1 && w % 8) {
      const auto mask = static_cast<std::uint8_t>(0xFF00 >> (w % 8));
      if ((a[row_bytes - 1] & mask) != (b[row_bytes - 1] & mask)) std::abort();
    }
  }
  return 0;
}
