// The factory of format objects: one line per format class. Kept as a plain
// table so that a format joins by being named here (a static library drops
// objects nobody references, so self-registration would not work).
#include "vexImageFile.h"

std::unique_ptr<TvexImageFile> vexMakeFormat(TvexFileFormat format,
                                             [[maybe_unused]] const TvexImageFileMgr& mgr) {
  switch (format) {
  case FF_BMP:
  case FF_DIB:
    return std::make_unique<TvexBmpImage>();
  case FF_JPEG:
    return std::make_unique<TvexJPEGImage>(mgr.GetJPEGSampling());
  default:
    return nullptr;
  }
}
