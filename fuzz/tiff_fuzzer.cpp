// seeds: tiff
// The TIFF reader on arbitrary bytes from memory: the first image and the
// second. A bitmap it returns must have the directory's size and one of the
// depths the reader makes, whatever code comes with it; counting the images
// must end (directory chains may loop).
#include "formats/format_kit.h"
#include "vexImageFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Hostile sizes must not make every input a huge allocation.
  vex::kit::SetBitmapByteCap(std::int64_t{16} << 20);
  for (std::int32_t index = 0; index < 2; ++index) {
    vex::platform::MemoryStream stream(data, size);
    TvexTIFFImage reader;
    TvexImageInfo info;
    reader.SetImageInfo(&info);
    reader.SetImageIndex(index);
    const DibHandle dib = reader.LoadFromStream(stream);
    const std::int32_t images = reader.GetNumImages();
    if (images == 0 || images < -1) std::abort();
    if (dib == DibHandle::Null) continue;
    vex::platform::DibSection section;
    if (!vex::platform::GetDIBSection(dib, &section)) std::abort();
    const int bits = section.dsBmih.biBitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) std::abort();
    if (section.dsBmih.biWidth <= 0 || section.dsBmih.biHeight <= 0) std::abort();
    vex::platform::DeleteDIBSection(dib);
  }
  return 0;
}
