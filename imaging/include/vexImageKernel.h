// Base of the library's image operations: up to five source images, one
// result image and the last error code. The operation never owns its images,
// except a result it created itself during a run.
#pragma once

#include "vexImage.h"
#include "vexImageTypeDef.h"

#include <cstdint>
#include <memory>

// Format mask of CheckSource that accepts every colour format.
inline constexpr std::uint32_t kAnyImageFormat = 0x10000;

class TvexImageKernel {
public:
  static constexpr int kSourceCount = 5;

  // `owner` stands for the owning component of a component framework; the
  // operation keeps no reference to it.
  explicit TvexImageKernel(void* owner = nullptr);
  virtual ~TvexImageKernel() = default;
  TvexImageKernel(const TvexImageKernel&) = delete;
  TvexImageKernel& operator=(const TvexImageKernel&) = delete;

  // Slots 0..4; other indices are ignored. Slot 0 also caches the image's size.
  virtual void SetSourceImage(int index, TvexImage* image);
  TvexImage* SourceImage(int index) const;
  TvexImage* ResultImage() const { return result_; }
  // Setting another result frees a result the operation created itself.
  void SetResultImage(TvexImage* image);

  // Error 46 when the slot is empty or has no bitmap, 51 when bit ImageFormat
  // of `format_mask` is clear (kAnyImageFormat accepts all). Does not clear
  // Error first; true when Error is 0.
  bool CheckSource(int index, std::uint32_t format_mask);

  TvexErrorCode Error() const { return error_; }
  // The processor offers MMX. Reported only: results never depend on it.
  bool UseMMX() const { return use_mmx_; }

protected:
  // Makes `image` the result; the operation owns it until the result changes
  // or the operation is destroyed.
  void AdoptResult(std::unique_ptr<TvexImage> image);
  // Frees the result when the operation created it (a failed run).
  void DropCreatedResult();

  bool use_mmx_ = false;
  TvexErrorCode error_ = EC_OK;
  std::int32_t source_height_ = 0;
  std::int32_t source_width_ = 0;
  TvexImage* source_[kSourceCount] = {};
  TvexImage* result_ = nullptr;

private:
  std::unique_ptr<TvexImage> created_result_;
};
