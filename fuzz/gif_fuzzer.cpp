// seeds: tests/data/gif
// The GIF reader on arbitrary bytes from memory: a bitmap it returns is a
// 24-bit picture of a positive size, whatever code comes with it.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SmallBitmaps();
  TvexGIFImage reader;
  TvexImage image;
  fuzz::Read(reader, data, size, image);
  if (!image.Bits()) return 0;
  if (image.BitCount() != 24 || image.Width() <= 0 || image.Height() == 0) std::abort();
  return 0;
}
