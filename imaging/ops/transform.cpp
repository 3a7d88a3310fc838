#include "vexImageTransform.h"

#include "platform/cpu_features.h"
#include "platform/rounding.h"
#include "resize_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace rs = vex::resize;

namespace {

// 8-bit grey or palette, 24-bit and 32-bit pixels (formats 3, 4, 7, 8, 9).
constexpr std::uint32_t kTransformFormats =
    (1u << IF_GREY8) | (1u << IF_PAL8) | (1u << IF_RGB24) | (1u << IF_RGBA32) | (1u << IF_RGB32);
static_assert(kTransformFormats == 920);

// Working memory grows with the result's width and the source's row length;
// beyond these (far past any photograph) a run is refused with EC_DIMENSIONS
// rather than allowed to allocate without bound.
constexpr std::int64_t kMaxResultWidth = std::int64_t{1} << 21;
constexpr std::int64_t kMaxSourceRowBytes = std::int64_t{1} << 26;
// Width and height of a result sized by its bounding box.
constexpr long double kMaxBoundingSide = 65535;

int bits_of_format(TvexImageFormat format) {
  switch (format) {
  case IF_GREY8:
  case IF_PAL8:
    return 8;
  case IF_RGB24:
    return 24;
  default:
    return 32;
  }
}

void copy_palette(TvexImage& from, TvexImage& to) {
  const PaletteHandle palette = from.GetPalette();
  if (!vex::platform::is_null(palette)) to.SetPalette(palette);
}

// Round half to even into the fixed-point words. Values past the 32-bit range
// (a result thousands of times smaller than its source, a singular matrix)
// saturate: their samples fall outside the source and are skipped.
std::int32_t fixed_word(long double v) {
  const long double r = vex::round_half_even(v);
  constexpr long double lo = std::numeric_limits<std::int32_t>::min();
  constexpr long double hi = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::clamp(r, lo, hi));
}

std::int64_t fixed_long(long double v) {
  constexpr long double limit = static_cast<long double>(std::int64_t{1} << 52);
  return static_cast<std::int64_t>(std::clamp(vex::round_half_even(v), -limit, limit));
}

std::int32_t saturate32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Integer part and upper 8 of the 10 fraction bits of a fixed-point coordinate.
void split_coordinate(std::int64_t v, std::int32_t& whole, std::uint8_t& fraction) {
  whole = saturate32(v >> 10);
  fraction = static_cast<std::uint8_t>((v >> 2) & 255);
}

// The matrix words fit signed 16 bits and so do the result's column and row
// numbers: ratios under 32, results of at most 32768 pixels a side.
bool in_words(const TvexFixedMatrix& m, std::int32_t rw, std::int32_t rh) {
  const auto word = [](std::int64_t v) { return v >= -32768 && v <= 32767; };
  return word(m.a) && word(m.b) && word(m.c) && word(m.d) && rw <= 32768 && rh <= 32768;
}

bool finite(std::initializer_list<double> values) {
  for (double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

} // namespace

TvexImageTransform::TvexImageTransform(void* owner) : TvexImageKernel(owner) {
  rs::power_tables();
}

TvexImage* TvexImageTransform::Resize(TvexInterpolation interpolation) {
  error_ = EC_OK;
  TvexImage* source = SourceImage(0);
  if (!source) {
    error_ = EC_NOSOURCE;
    return nullptr;
  }
  if (!ResultImage()) {
    error_ = EC_NORESULT;
    return nullptr;
  }
  interpolation_ = interpolation;
  if (source->Width() <= 0 || source->Height() <= 0) {
    error_ = EC_BADFORMAT;
    return nullptr;
  }
  const TvexImage* result = ResultImage();
  scale_x_ = static_cast<double>(static_cast<long double>(result->Width()) / source->Width());
  // A top-down result (negative height) has as many rows as its magnitude.
  scale_y_ =
      static_cast<double>(static_cast<long double>(std::abs(result->Height())) / source->Height());
  angle_ = offset_x_ = offset_y_ = shear_x_ = shear_y_ = 0;
  const bool keep = keep_size_;
  keep_size_ = true;
  resizing_ = true;
  TvexImage* out = Execute();
  resizing_ = false;
  keep_size_ = keep;
  return out;
}

TvexImage* TvexImageTransform::Execute() {
  error_ = EC_OK;
  used_simd_ = false;
  if (!CheckSource(0, kTransformFormats)) return nullptr;
  TvexImage* source = SourceImage(0);
  const TvexImageFormat format = source->ImageFormat();
  // A bit count that disagrees with the cached format would make the rows
  // shorter than the pixels read from them.
  if (source->BitCount() != bits_of_format(format)) {
    error_ = EC_IMAGEFORMAT;
    return nullptr;
  }

  TvexImage* result = ResultImage();
  if (!result) {
    auto created = std::make_unique<TvexImage>();
    created->SetImageFormat(format);
    created->SetXResolution(source->XResolution());
    created->SetYResolution(source->YResolution());
    copy_palette(*source, *created);
    if (keep_size_) {
      created->SetWidth(source->Width());
      created->SetHeight(source->Height());
    }
    AdoptResult(std::move(created));
    result = ResultImage();
  }
  const bool ok = Run(*source, *result);
  if (!ok) {
    DropCreatedResult();
    return nullptr;
  }
  return result;
}

bool TvexImageTransform::Run(TvexImage& source_image, TvexImage& result) {
  const TvexImageFormat format = source_image.ImageFormat();
  if (result.ImageFormat() != format) {
    result.SetImageFormat(format);
    copy_palette(source_image, result);
  }
  const rs::RowFunction row_function = rs::row_function(interpolation_);
  if (!row_function) {
    error_ = EC_INTERPOLATION;
    return false;
  }

  // Forward matrix in single precision, the rotation composed in front of
  // the scale and shear.
  fa_ = static_cast<float>(scale_x_);
  fb_ = static_cast<float>(shear_x_);
  fcx_ = static_cast<float>(offset_x_);
  fc_ = static_cast<float>(shear_y_);
  fd_ = static_cast<float>(scale_y_);
  fcy_ = static_cast<float>(offset_y_);
  const bool rotated = angle_ != 0;
  if (rotated) {
    const long double degrees = invert_angle_ ? 360.0L - angle_ : static_cast<long double>(angle_);
    const long double theta = degrees * 3.14159265358979323846264338327950288L / 180.0L;
    long double sine = std::sin(theta), cosine = std::cos(theta);
    if (std::fabs(sine) < 1e-9L) sine = 0;
    if (std::fabs(cosine) < 1e-9L) cosine = 0;
    const float a = static_cast<float>(cosine * fa_ - sine * fc_);
    const float b = static_cast<float>(cosine * fb_ - sine * fd_);
    const float c = static_cast<float>(sine * fa_ + cosine * fc_);
    const float d = static_cast<float>(sine * fb_ + cosine * fd_);
    fa_ = a;
    fb_ = b;
    fc_ = c;
    fd_ = d;
  }
  const double det = static_cast<double>(fa_) * fd_ - static_cast<double>(fb_) * fc_;
  const double inv = det != 0 ? 1.0 / det : 10000.0;
  i11_ = static_cast<float>(fd_ * inv);
  i12_ = static_cast<float>(-fb_ * inv);
  i21_ = static_cast<float>(-fc_ * inv);
  i22_ = static_cast<float>(fa_ * inv);
  // An infinite or undefined setting has no picture: report it as the
  // floating-point exception it would raise.
  if (!finite({fa_, fb_, fc_, fd_, fcx_, fcy_, det, i11_, i12_, i21_, i22_})) {
    error_ = EC_EXCEPTION;
    return false;
  }

  const std::int32_t sw = source_image.Width();
  const std::int32_t sh = std::abs(source_image.Height());
  if (!keep_size_) {
    long double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
    const long double corners[4][2] = {
        {0, 0},
        {static_cast<long double>(sw), 0},
        {0, static_cast<long double>(sh)},
        {static_cast<long double>(sw), static_cast<long double>(sh)}};
    for (const auto& p : corners) {
      const long double x = fa_ * p[0] + fb_ * p[1], y = fc_ * p[0] + fd_ * p[1];
      min_x = std::min(min_x, x);
      max_x = std::max(max_x, x);
      min_y = std::min(min_y, y);
      max_y = std::max(max_y, y);
    }
    const long double width = std::min(vex::round_half_even(max_x - min_x), kMaxBoundingSide);
    const long double height = std::min(vex::round_half_even(max_y - min_y), kMaxBoundingSide);
    result.SetWidth(static_cast<std::int32_t>(width));
    result.SetHeight(static_cast<std::int32_t>(height));
    if (rotated) {
      // The centre of the source lands on the centre of the result. Pixels
      // sample at their top-left corner, so the centre of an n-pixel side is
      // at (n - 1) / 2: a half turn then maps pixels exactly onto pixels.
      const long double sx = (sw - 1) / 2.0L, sy = (sh - 1) / 2.0L;
      fcx_ = static_cast<float>(fcx_ + (width - 1) / 2 - (fa_ * sx + fb_ * sy));
      fcy_ = static_cast<float>(fcy_ + (height - 1) / 2 - (fc_ * sx + fd_ * sy));
    }
  }
  // The translation of the inverse: -(inverse 2x2) * (Cx, Cy).
  i13_ = static_cast<float>(-(static_cast<double>(i11_) * fcx_ + static_cast<double>(i12_) * fcy_));
  i23_ = static_cast<float>(-(static_cast<double>(i21_) * fcx_ + static_cast<double>(i22_) * fcy_));

  if (!result.Bits()) {
    error_ = EC_NORESULT;
    return false;
  }
  if (result.BitCount() != source_image.BitCount()) {
    error_ = EC_IMAGEFORMAT;
    return false;
  }
  const std::int32_t rw = result.Width();
  const std::int32_t rh = std::abs(result.Height());
  const std::int32_t bpp = source_image.BitCount() / 8;
  if (rw > kMaxResultWidth || static_cast<std::int64_t>(sw) * bpp > kMaxSourceRowBytes) {
    error_ = EC_DIMENSIONS;
    return false;
  }

  if ((angle_ != 0 || shear_x_ != 0 || shear_y_ != 0 || offset_x_ != 0 || offset_y_ != 0) &&
      (bk_color_ & 0xFFFFFF) != 0)
    result.FillColor(bk_color_);

  fixed_.a = fixed_word(1024.0L * i11_);
  fixed_.b = fixed_word(1024.0L * i12_);
  fixed_.c = fixed_word(1024.0L * i21_);
  fixed_.d = fixed_word(1024.0L * i22_);
  fixed_.tx = fixed_long(1024.0L * i13_);
  fixed_.ty = fixed_long(1024.0L * i23_);
  const TvexFixedMatrix m = fixed_;

  // A plain scale whose result is meant to be covered exactly (Resize, or a
  // result sized by its bounding box): a sample past the last source column
  // or row can only come from the rounding of the 10-bit step, and reads the
  // last one instead of leaving the result's edge unwritten.
  const bool plain = m.b == 0 && m.c == 0 && m.tx == 0 && m.ty == 0 && m.a >= 0 && m.d >= 0;
  const bool fit = plain && !rotated && (resizing_ || !keep_size_);
  if (fit && !in_words(m, rw, rh)) {
    // Past the 16-bit words the step is computed in wider integers, and must
    // then place every sample within one source pixel of its true place; a
    // step that coarse is refused rather than drawn misplaced. Within the
    // words the step itself defines the picture, however far its rounding
    // carries the last columns (a result over 2048 times wider than its source
    // samples only the first column).
    const long double far_x = rw - 1, far_y = rh - 1;
    const long double drift_x = std::fabs(m.a * far_x / 1024.0L - far_x / scale_x_);
    const long double drift_y = std::fabs(m.d * far_y / 1024.0L - far_y / scale_y_);
    if (drift_x >= 1 || drift_y >= 1) {
      error_ = EC_DIMENSIONS;
      return false;
    }
  }

  // A result that is its own source is read from a copy.
  std::unique_ptr<TvexImage> copy;
  TvexImage* source = &source_image;
  try {
    if (source == &result) {
      copy = std::make_unique<TvexImage>();
      copy->Assign(source);
      if (!copy->Bits()) throw std::bad_alloc();
      source = copy.get();
    }
    rs::SourceView view;
    view.top = source->ScanLine(0);
    view.stride = sh > 1 ? source->ScanLine(1) - source->ScanLine(0) : 0;
    view.width = sw;
    view.height = sh;
    view.bytes_per_pixel = bpp;

    const auto n = static_cast<std::size_t>(rw);
    std::vector<std::int32_t> ix(n), iy(n);
    std::vector<std::uint8_t> fx(n), fy(n);
    rs::RowCoords at{ix.data(), iy.data(), fx.data(), fy.data(), rw};
    if (plain) {
      // Columns sample the same source column in every row.
      for (std::int32_t x = 0; x < rw; ++x) {
        split_coordinate(static_cast<std::int64_t>(m.a) * x, ix[x], fx[x]);
        if (fit && ix[x] > sw - 1) {
          ix[x] = sw - 1;
          fx[x] = 0;
        }
      }
      // Columns inside the source form a prefix, since the step is not negative.
      std::int32_t inside = 0;
      while (inside < rw && ix[static_cast<std::size_t>(inside)] < sw) ++inside;
      std::unique_ptr<rs::BicubicScaler> scaler;
      if (interpolation_ == IP_BICUBIC && inside > 0) {
        scaler = std::make_unique<rs::BicubicScaler>(view, ix.data(), fx.data(), inside,
                                                     vex::platform::simd_enabled());
        used_simd_ = scaler->UsesSimd();
      }
      for (std::int32_t y = 0; y < rh; ++y) {
        std::int32_t row;
        std::uint8_t fraction;
        split_coordinate(static_cast<std::int64_t>(m.d) * y, row, fraction);
        if (fit && row > sh - 1) {
          row = sh - 1;
          fraction = 0;
        }
        if (row >= sh) continue;
        if (scaler) {
          scaler->Row(row, fraction, result.ScanLine(y));
        } else {
          std::fill(iy.begin(), iy.end(), row);
          std::fill(fy.begin(), fy.end(), fraction);
          row_function(view, at, result.ScanLine(y));
        }
      }
    } else {
      for (std::int32_t y = 0; y < rh; ++y) {
        const std::int64_t row_x = static_cast<std::int64_t>(m.b) * y + m.tx;
        const std::int64_t row_y = static_cast<std::int64_t>(m.d) * y + m.ty;
        for (std::int32_t x = 0; x < rw; ++x) {
          split_coordinate(static_cast<std::int64_t>(m.a) * x + row_x, ix[x], fx[x]);
          split_coordinate(static_cast<std::int64_t>(m.c) * x + row_y, iy[x], fy[x]);
        }
        row_function(view, at, result.ScanLine(y));
      }
    }
  } catch (...) {
    error_ = EC_EXCEPTION;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TvexStreamResize

TvexStreamResize::TvexStreamResize() = default;
TvexStreamResize::~TvexStreamResize() = default;

TvexErrorCode TvexStreamResize::Begin(std::int32_t sw, std::int32_t sh,
                                      std::int32_t bytes_per_pixel, std::int32_t rw,
                                      std::int32_t rh, std::uint8_t* result_top,
                                      std::ptrdiff_t result_stride, bool bottom_up) {
  if (sw <= 0 || sh <= 0 || rw <= 0 || rh <= 0) return EC_BADFORMAT;
  if (bytes_per_pixel != 1 && bytes_per_pixel != 3 && bytes_per_pixel != 4) return EC_IMAGEFORMAT;
  if (rw > kMaxResultWidth || static_cast<std::int64_t>(sw) * bytes_per_pixel > kMaxSourceRowBytes)
    return EC_DIMENSIONS;
  // The steps Resize and Run take for a plain scale, in the same precisions.
  const double scale_x = static_cast<double>(static_cast<long double>(rw) / sw);
  const double scale_y = static_cast<double>(static_cast<long double>(rh) / sh);
  const float fa = static_cast<float>(scale_x), fd = static_cast<float>(scale_y);
  const double det = static_cast<double>(fa) * fd;
  const double inv = det != 0 ? 1.0 / det : 10000.0;
  const float i11 = static_cast<float>(fd * inv), i22 = static_cast<float>(fa * inv);
  if (!finite({fa, fd, det, i11, i22})) return EC_EXCEPTION;
  TvexFixedMatrix m;
  m.a = fixed_word(1024.0L * i11);
  m.d = fixed_word(1024.0L * i22);
  if (m.a < 0 || m.d < 0) return EC_DIMENSIONS;
  if (!in_words(m, rw, rh)) {
    const long double far_x = rw - 1, far_y = rh - 1;
    const long double drift_x = std::fabs(m.a * far_x / 1024.0L - far_x / scale_x);
    const long double drift_y = std::fabs(m.d * far_y / 1024.0L - far_y / scale_y);
    if (drift_x >= 1 || drift_y >= 1) return EC_DIMENSIONS;
  }

  sw_ = sw;
  sh_ = sh;
  bpp_ = bytes_per_pixel;
  top_ = result_top;
  stride_ = result_stride;
  const auto n = static_cast<std::size_t>(rw);
  std::vector<std::int32_t> ix(n);
  std::vector<std::uint8_t> fx(n);
  for (std::int32_t x = 0; x < rw; ++x) {
    split_coordinate(static_cast<std::int64_t>(m.a) * x, ix[x], fx[x]);
    if (ix[x] > sw - 1) {
      ix[x] = sw - 1;
      fx[x] = 0;
    }
  }
  iy_.assign(static_cast<std::size_t>(rh), 0);
  fy_.assign(static_cast<std::size_t>(rh), 0);
  wanted_.assign(static_cast<std::size_t>(sh), 0);
  for (std::int32_t y = 0; y < rh; ++y) {
    split_coordinate(static_cast<std::int64_t>(m.d) * y, iy_[y], fy_[y]);
    if (iy_[y] > sh - 1) {
      iy_[y] = sh - 1;
      fy_[y] = 0;
    }
    for (int j = 0; j < 4; ++j) wanted_[std::clamp(iy_[y] - 1 + j, 0, sh - 1)] = 1;
  }
  ring_.assign(4 * static_cast<std::size_t>(sw) * bytes_per_pixel, 0);
  for (std::int32_t& h : held_) h = -1;
  step_ = bottom_up ? -1 : 1;
  next_ = bottom_up ? rh - 1 : 0;
  end_ = bottom_up ? -1 : rh;
  rs::SourceView view;
  view.width = sw;
  view.height = sh;
  view.bytes_per_pixel = bytes_per_pixel;
  scaler_ = std::make_unique<rs::BicubicScaler>(view, ix.data(), fx.data(), rw,
                                                vex::platform::simd_enabled());
  return EC_OK;
}

std::uint8_t* TvexStreamResize::RowBuffer(std::int32_t y) {
  if (!Wants(y) || !scaler_) return nullptr;
  // The slot's earlier row is no longer read: every result row that reads it
  // reads no row below y - 1, so it was written when that row came.
  held_[y & 3] = -1;
  return ring_.data() + static_cast<std::size_t>(y & 3) * static_cast<std::size_t>(sw_) * bpp_;
}

void TvexStreamResize::Push(std::int32_t y, const std::uint8_t* pixels) {
  if (!Wants(y) || !scaler_) return;
  const std::size_t line = static_cast<std::size_t>(sw_) * bpp_;
  std::uint8_t* slot = ring_.data() + static_cast<std::size_t>(y & 3) * line;
  if (pixels != slot) std::memcpy(slot, pixels, line);
  held_[y & 3] = y;
  // Every result row whose four tap rows are now at hand.
  while (next_ != end_) {
    const std::uint8_t* rows[4];
    bool ready = true;
    for (int j = 0; j < 4 && ready; ++j) {
      const std::int32_t r = std::clamp(iy_[next_] - 1 + j, 0, sh_ - 1);
      ready = held_[r & 3] == r;
      rows[j] = ring_.data() + static_cast<std::size_t>(r & 3) * line;
    }
    if (!ready) break;
    scaler_->Row(rows, fy_[next_], top_ + next_ * stride_);
    next_ += step_;
  }
}
