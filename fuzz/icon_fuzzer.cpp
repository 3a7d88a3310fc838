// seeds: ico
// The icon reader on arbitrary bytes from memory: a bitmap it returns has a
// bitmap depth and a positive size, whatever code comes with it.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SmallBitmaps();
  TvexICONImage reader;
  TvexImage image;
  fuzz::Read(reader, data, size, image);
  if (!image.Bits()) return 0;
  const int bits = image.BitCount();
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) std::abort();
  if (image.Width() <= 0 || image.Height() == 0) std::abort();
  return 0;
}
