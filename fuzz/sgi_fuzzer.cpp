// seeds: sgi
// The SGI reader on arbitrary bytes from memory; what it reads is written
// again verbatim and run-length coded and must read back the same.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SmallBitmaps();
  TvexSGIImage reader;
  TvexImage image;
  fuzz::Read(reader, data, size, image);
  if (!image.Bits()) return 0;
  const int bits = image.BitCount();
  if (bits != 8 && bits != 24 && bits != 32) std::abort();
  for (const TvexCompression c : {TvexCompression{CP_NOCOMP}, TvexCompression{CP_SGI_RLE}}) {
    TvexSGIImage writer, back;
    writer.SetCompression(c);
    fuzz::RoundTrip(writer, back, image);
  }
  return 0;
}
