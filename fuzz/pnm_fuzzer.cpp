// seeds: pnm
// The PBM/PGM/PPM reader on arbitrary bytes from memory; what it reads is
// written again as text and as binary and must read back the same.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SmallBitmaps();
  TvexPxMImage reader;
  TvexImage image;
  fuzz::Read(reader, data, size, image);
  if (!image.Bits()) return 0;
  const int bits = image.BitCount();
  if (bits != 1 && bits != 8 && bits != 24) std::abort();
  const TvexFileFormat format = bits == 1 ? FF_PBM : bits == 8 ? FF_PGM : FF_PPM;
  const TvexCompression text = bits == 1 ? CP_PBM_ASCII : bits == 8 ? CP_PGM_ASCII : CP_PPM_ASCII;
  for (const TvexCompression c : {TvexCompression{CP_NOCOMP}, text}) {
    TvexPxMImage writer(format), back;
    writer.SetCompression(c);
    fuzz::RoundTrip(writer, back, image);
  }
  return 0;
}
