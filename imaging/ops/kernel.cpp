#include "vexImageKernel.h"

#include "platform/cpu_features.h"

#include <utility>

TvexImageKernel::TvexImageKernel(void* /*owner*/) : use_mmx_(vex::platform::cpu_features().mmx) {}

void TvexImageKernel::SetSourceImage(int index, TvexImage* image) {
  if (index < 0 || index >= kSourceCount) return;
  source_[index] = image;
  if (index == 0 && image) {
    source_height_ = image->Height();
    source_width_ = image->Width();
  }
}

TvexImage* TvexImageKernel::SourceImage(int index) const {
  if (index < 0 || index >= kSourceCount) return nullptr;
  return source_[index];
}

bool TvexImageKernel::CheckSource(int index, std::uint32_t format_mask) {
  TvexImage* image = SourceImage(index);
  if (!image || vex::platform::is_null(image->GetDibHandle()) || !image->Bits()) {
    error_ = EC_NOSOURCE;
  } else if (format_mask != kAnyImageFormat) {
    const TvexImageFormat format = image->ImageFormat();
    if (format > 31 || (format_mask & (std::uint32_t{1} << format)) == 0) error_ = EC_IMAGEFORMAT;
  }
  return error_ == EC_OK;
}

void TvexImageKernel::SetResultImage(TvexImage* image) {
  if (created_result_ && image != created_result_.get()) created_result_.reset();
  result_ = image;
}

void TvexImageKernel::AdoptResult(std::unique_ptr<TvexImage> image) {
  created_result_ = std::move(image);
  result_ = created_result_.get();
}

void TvexImageKernel::DropCreatedResult() {
  if (created_result_ && result_ == created_result_.get()) {
    created_result_.reset();
    result_ = nullptr;
  }
}
