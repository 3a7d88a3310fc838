// The format classes, one row per format number that has one. A format joins
// the library by its row here (a static library drops objects nobody
// references, so self-registration would not work).
#include "vexImageFile.h"

#include <array>

namespace {

template <class T> std::unique_ptr<TvexImageFile> Make(const TvexImageFileMgr&) {
  return std::make_unique<T>();
}

std::unique_ptr<TvexImageFile> MakeJPEG(const TvexImageFileMgr& mgr) {
  return std::make_unique<TvexJPEGImage>(mgr.GetJPEGSampling());
}

// One class reads all three; the number it is made for decides what it writes.
template <TvexFileFormat F> std::unique_ptr<TvexImageFile> MakePxM(const TvexImageFileMgr&) {
  return std::make_unique<TvexPxMImage>(F);
}

std::unique_ptr<TvexImageFile> MakeTIFF(const TvexImageFileMgr& mgr) {
  auto tiff = std::make_unique<TvexTIFFImage>();
  tiff->SetWhiteIsZero(mgr.GetTIFFWhiteIsZero());
  return tiff;
}

constexpr auto kStrong = TvexFormatClass::Probe::Strong;
constexpr auto kWeak = TvexFormatClass::Probe::Weak;

// In format number order. Rows naming one class are one reader: the
// manager's search asks it once.
constexpr std::array kClasses{
    TvexFormatClass{FF_CRI, "TvexTIFFImage", MakeTIFF, kStrong},
    TvexFormatClass{FF_JPEG, "TvexJPEGImage", MakeJPEG, kStrong},
    TvexFormatClass{FF_PBM, "TvexPxMImage", MakePxM<FF_PBM>, kWeak},
    TvexFormatClass{FF_PGM, "TvexPxMImage", MakePxM<FF_PGM>, kWeak},
    TvexFormatClass{FF_PPM, "TvexPxMImage", MakePxM<FF_PPM>, kWeak},
    TvexFormatClass{FF_SGI, "TvexSGIImage", Make<TvexSGIImage>, kStrong},
    TvexFormatClass{FF_TIFF, "TvexTIFFImage", MakeTIFF, kStrong},
    TvexFormatClass{FF_TARGA, "TvexTargaImage", Make<TvexTargaImage>, kWeak},
    TvexFormatClass{FF_ICON, "TvexICONImage", Make<TvexICONImage>, kStrong},
    TvexFormatClass{FF_BMP, "TvexBmpImage", Make<TvexBmpImage>, kStrong},
    TvexFormatClass{FF_DIB, "TvexBmpImage", Make<TvexBmpImage>, kStrong},
    TvexFormatClass{FF_PCX, "TvexPCXImage", Make<TvexPCXImage>, kWeak},
};

} // namespace

std::span<const TvexFormatClass> vexFormatClasses() {
  return kClasses;
}
