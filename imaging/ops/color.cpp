#include "vexImageColor.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

namespace {

std::int64_t pixel_bytes(const TvexImage& image) {
  return static_cast<std::int64_t>(image.LineWidth()) * std::abs(std::int64_t{image.Height()});
}

} // namespace

void TvexImageColor::Invert() {
  TvexImage* source = SourceImage(0);
  if (!source) return;
  TvexImage* result = ResultImage();
  std::unique_ptr<TvexImage> created;
  if (!result) {
    created = std::make_unique<TvexImage>();
    result = created.get();
    result->SetWidth(source->Width());
    result->SetHeight(source->Height());
    result->SetImageFormat(source->ImageFormat());
    result->SetXResolution(source->XResolution());
    result->SetYResolution(source->YResolution());
    AdoptResult(std::move(created));
  }
  if (!source->Bits() || !result->Bits()) return;

  const std::int64_t n = pixel_bytes(*source);
  switch (result->ImageFormat()) {
  case IF_BW:
  case IF_GREY4:
  case IF_GREY8:
  case IF_RGB24:
  case IF_RGB32: {
    // Writing n bytes into a result of another size would run past its memory.
    if (pixel_bytes(*result) != n) {
      error_ = EC_DIMENSIONS;
      return;
    }
    const std::uint8_t* src = source->Bits();
    std::uint8_t* dst = result->Bits();
    for (std::int64_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(~src[i]);
    break;
  }
  case IF_PAL4:
  case IF_PAL8: {
    auto entries = std::make_unique<TvexImage::LogPalette>();
    entries->palNumEntries = 0;
    source->GetPaletteEntries(entries.get());
    const int count = result->ImageFormat() == IF_PAL4 ? 16 : 256;
    for (int i = 0; i < count; ++i) {
      auto& e = entries->palPalEntry[i];
      e.peRed = static_cast<std::uint8_t>(~e.peRed);
      e.peGreen = static_cast<std::uint8_t>(~e.peGreen);
      e.peBlue = static_cast<std::uint8_t>(~e.peBlue);
    }
    result->SetPaletteEntries(entries.get());
    break;
  }
  default:
    error_ = EC_IMAGEFORMAT;
    break;
  }
}

std::int32_t Min(std::int32_t a, std::int32_t b) {
  return a < b ? a : b;
}

double Log10(double x) {
  if (!(x > 0)) return 0;
  return static_cast<double>(std::log(static_cast<long double>(x)) / std::log(10.0L));
}
