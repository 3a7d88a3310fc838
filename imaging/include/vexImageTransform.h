// Resampling: maps the result image back onto SourceImage(0) through a 2 x 3
// affine matrix (scale, shear, rotation, offset) and samples the source with
// one of five interpolations, in integer arithmetic with a 10-bit
// fixed-point coordinate step. Resize is the plain scale the batch uses.
#pragma once

#include "vexImageKernel.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The inverse matrix in 1/1024 units, as the coordinate step uses it.
struct TvexFixedMatrix {
  std::int32_t a = 0, b = 0, c = 0, d = 0;
  std::int64_t tx = 0, ty = 0;
};

class TvexImageTransform : public TvexImageKernel {
public:
  explicit TvexImageTransform(void* owner = nullptr);
  ~TvexImageTransform() override = default;

  // Scales SourceImage(0) into the size ResultImage already has. The result,
  // or null with Error set.
  TvexImage* Resize(TvexInterpolation interpolation);
  // The general transform with the current settings. A result is created
  // (and owned by the transform) when there is none.
  TvexImage* Execute();

  TvexInterpolation Interpolation() const { return interpolation_; }
  void SetInterpolation(TvexInterpolation v) { interpolation_ = v; }
  double Angle() const { return angle_; }
  void SetAngle(double v) { angle_ = v; }
  bool InvertAngle() const { return invert_angle_; }
  void SetInvertAngle(bool v) { invert_angle_ = v; }
  double OffsetX() const { return offset_x_; }
  double OffsetY() const { return offset_y_; }
  void SetOffsetX(double v) { offset_x_ = v; }
  void SetOffsetY(double v) { offset_y_ = v; }
  double ScaleX() const { return scale_x_; }
  double ScaleY() const { return scale_y_; }
  void SetScaleX(double v) { scale_x_ = v; }
  void SetScaleY(double v) { scale_y_ = v; }
  double ShearX() const { return shear_x_; }
  double ShearY() const { return shear_y_; }
  void SetShearX(double v) { shear_x_ = v; }
  void SetShearY(double v) { shear_y_ = v; }
  bool KeepSize() const { return keep_size_; }
  void SetKeepSize(bool v) { keep_size_ = v; }
  TColor BkColor() const { return bk_color_; }
  void SetBkColor(TColor v) { bk_color_ = v; }

  // The fixed-point inverse matrix of the last run that got that far.
  const TvexFixedMatrix& FixedMatrix() const { return fixed_; }
  // Whether the last run took the SSE2 bicubic kernels (for benchmarks and tests).
  bool UsedSimd() const { return used_simd_; }

private:
  bool Run(TvexImage& source, TvexImage& result);

  TvexInterpolation interpolation_ = IP_NEAREST;
  double angle_ = 0;
  bool invert_angle_ = true;
  double offset_x_ = 0, offset_y_ = 0;
  double scale_x_ = 1.0, scale_y_ = 1.0;
  double shear_x_ = 0, shear_y_ = 0;
  bool keep_size_ = false;
  TColor bk_color_ = 0;

  // Forward matrix (result = (A B; C D) * source + (Cx, Cy)) and its inverse.
  float fa_ = 1, fb_ = 0, fcx_ = 0, fc_ = 0, fd_ = 1, fcy_ = 0;
  float i11_ = 1, i12_ = 0, i13_ = 0, i21_ = 0, i22_ = 1, i23_ = 0;
  TvexFixedMatrix fixed_;
  bool used_simd_ = false;
  // Set while Resize runs: the result is the scaled source, edge to edge.
  bool resizing_ = false;
};

namespace vex::resize {
class BicubicScaler;
}

// The bicubic Resize of TvexImageTransform fed with source rows one at a time
// as a reader decodes them: it keeps only the four rows a result row reads and
// writes each result row as soon as they are in, so the source picture is
// never held whole. The result bytes are those of Resize(IP_BICUBIC) of the
// whole source into a result of the same size.
class TvexStreamResize {
public:
  TvexStreamResize();
  ~TvexStreamResize();
  TvexStreamResize(const TvexStreamResize&) = delete;
  TvexStreamResize& operator=(const TvexStreamResize&) = delete;

  // Prepares the scale of a sw x sh source of `bytes_per_pixel` bytes (1, 3 or
  // 4) to rw x rh; result row y goes to result_top + y * result_stride. Rows
  // come from the top (or from the bottom with `bottom_up`). Returns the error
  // Resize gives for these sizes (EC_DIMENSIONS past its limits, EC_BADFORMAT
  // for empty sides), EC_OK when ready.
  TvexErrorCode Begin(std::int32_t sw, std::int32_t sh, std::int32_t bytes_per_pixel,
                      std::int32_t rw, std::int32_t rh, std::uint8_t* result_top,
                      std::ptrdiff_t result_stride, bool bottom_up = false);
  // Whether some result row reads source row y.
  bool Wants(std::int32_t y) const {
    return y >= 0 && y < static_cast<std::int32_t>(wanted_.size()) && wanted_[y] != 0;
  }
  // Source row y (rows that are not wanted are passed over). Rows must come
  // in order (skipping is allowed).
  void Push(std::int32_t y, const std::uint8_t* pixels);
  // Where wanted row y may be made before it is pushed, so that the push
  // copies nothing; null when the resize has no rows.
  std::uint8_t* RowBuffer(std::int32_t y);
  // Whether every result row has been written.
  bool Done() const { return next_ == end_; }

private:
  std::int32_t sw_ = 0, sh_ = 0, bpp_ = 0;
  std::uint8_t* top_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  std::vector<std::int32_t> iy_;
  std::vector<std::uint8_t> fy_;
  std::vector<std::uint8_t> wanted_;
  // The last rows in, in slots y & 3, with the row each slot holds.
  std::vector<std::uint8_t> ring_;
  std::int32_t held_[4] = {-1, -1, -1, -1};
  std::int32_t next_ = 0, end_ = 0, step_ = 1;
  std::unique_ptr<vex::resize::BicubicScaler> scaler_;
};
