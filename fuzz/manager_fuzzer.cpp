// seeds: bmp png tga pcx pnm sgi ico tiff jpeg
// Every reader of the format manager on arbitrary bytes: the file has no
// extension, so the manager's fallback tries each format in turn.
#include "vexImageFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Keeps a replay fast: large inputs add nothing the seeds do not cover.
  if (size > (1u << 20)) return 0;
  // A BMP header announcing over 4 megapixels is skipped for the same reason.
  if (size >= 26 && data[0] == 'B' && data[1] == 'M' && data[14] == 40) {
    const std::int64_t w = static_cast<std::int32_t>(data[18] | (data[19] << 8) | (data[20] << 16) |
                                                     (std::uint32_t{data[21]} << 24));
    const std::int64_t h = static_cast<std::int32_t>(data[22] | (data[23] << 8) | (data[24] << 16) |
                                                     (std::uint32_t{data[25]} << 24));
    if (std::llabs(w) * std::llabs(h) > 4 * 1024 * 1024) return 0;
  }
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/parvula_manager_fuzz_" +
           std::to_string(static_cast<long>(getpid()));
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  TvexImageFileMgr manager;
  TvexImage image;
  const DibHandle dib = manager.LoadImage(path, FF_DETECT);
  if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
  if (manager.GetCurrent() != nullptr) std::abort(); // the format object is always freed
  std::remove(path.c_str());
  return 0;
}
