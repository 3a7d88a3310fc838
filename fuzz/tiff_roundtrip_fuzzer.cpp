// seeds: tiff
// The TIFF writer on whatever the reader makes of arbitrary bytes: every
// coding that suits the picture's depth (fax codings for bilevel pictures)
// must write a file that reads back to the same colours.
#include "formats/format_kit.h"
#include "fuzz_roundtrip.h"
#include "vexImageFile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Keeps a run fast: pictures over 256 KiB are not made.
  vex::kit::SetBitmapByteCap(std::int64_t{256} << 10);
  int bits = 0;
  {
    vex::platform::MemoryStream stream(data, size);
    TvexTIFFImage reader;
    TvexImage image;
    image.SetDibHandle(reader.LoadFromStream(stream));
    if (!image.Bits()) return 0;
    bits = image.BitCount();
  }
  if (bits == 1)
    return fuzz_roundtrip<TvexTIFFImage>(
        data, size, {CP_NOCOMP, CP_PACKBITS, CP_MODHUFF, CP_CCITTG3_1D, CP_CCITTG3_2D, CP_CCITTG4});
  return fuzz_roundtrip<TvexTIFFImage>(data, size, {CP_NOCOMP, CP_PACKBITS});
}
