// seeds:
// Differential fuzzer of the resampling kernels: a small picture from the
// input, resized by the transform (SSE2 bicubic scaler where available) and
// by the per-pixel row functions and the portable scaler over the same
// coordinates; any difference aborts. Also runs a rotated, sheared transform
// for memory safety.
#include "vexImageTransform.h"

#include "ops/resize_rows.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rs = vex::resize;

namespace {

void fill(TvexImage& image, int w, int h, int bits, const std::uint8_t* data, std::size_t size) {
  image.SetWidth(w);
  image.SetHeight(h);
  image.SetBitCount(static_cast<std::uint16_t>(bits));
  std::size_t at = 0;
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    for (int i = 0; i < image.LineWidth(); ++i) row[i] = size ? data[at++ % size] : 0;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const int sw = 1 + data[0] % 64, sh = 1 + data[1] % 64;
  int rw = 1 + data[2] % 96, rh = 1 + data[3] % 96;
  // Now and then a result 32768 pixels or more on one side (ratios of
  // several hundred), where 16-bit coordinates or 10-bit fractions would wrap,
  // or one of 2049..32767, where a rounded step strays a pixel or more by the
  // far edge; the other side stays small so that a run keeps fast.
  const int extreme = data[6] >= 0xFE ? 1 + (data[7] & 1) : 0; // 1 columns, 2 rows
  if (extreme) {
    const int pick = data[1 + extreme];
    (extreme == 1 ? rw : rh) =
        data[6] == 0xFF ? 32760 + pick * 37 : 2049 + (pick * 251 + data[7]) % 30719;
    (extreme == 1 ? rh : rw) = 1 + data[4 - extreme] % 3;
  }
  static const int kBits[] = {8, 24, 32};
  const int bits = kBits[data[4] % 3];
  const auto interpolation = static_cast<TvexInterpolation>(data[5] % 5);
  const double angle = data[6] * 360.0 / 256.0;
  const double shear = (static_cast<int>(data[7]) - 128) / 128.0;
  data += 8;
  size -= 8;

  TvexImage src;
  fill(src, sw, sh, bits, data, size);
  if (!src.Bits()) return 0;

  TvexImage fast;
  fast.SetWidth(rw);
  fast.SetHeight(rh);
  TvexImageTransform t;
  t.SetSourceImage(0, &src);
  t.SetResultImage(&fast);
  if (!t.Resize(interpolation)) {
    // Only a step past the 16-bit words may be refused.
    const TvexFixedMatrix& m = t.FixedMatrix();
    if (m.a <= 32767 && m.d <= 32767 && rw <= 32768 && rh <= 32768) std::abort();
    return 0;
  }

  // The same samples through the per-pixel row function, and for the cubic
  // also through the portable scaler.
  const TvexFixedMatrix m = t.FixedMatrix();
  rs::SourceView view;
  view.top = src.ScanLine(0);
  view.stride = sh > 1 ? src.ScanLine(1) - src.ScanLine(0) : 0;
  view.width = sw;
  view.height = sh;
  view.bytes_per_pixel = bits / 8;
  std::vector<std::int32_t> ix(static_cast<std::size_t>(rw)), iy(ix.size());
  std::vector<std::uint8_t> fx(ix.size()), fy(ix.size());
  for (int x = 0; x < rw; ++x) {
    const std::int64_t X = static_cast<std::int64_t>(m.a) * x;
    ix[x] = static_cast<std::int32_t>(X >> 10);
    fx[x] = static_cast<std::uint8_t>((X >> 2) & 255);
    if (ix[x] > sw - 1) {
      ix[x] = sw - 1;
      fx[x] = 0;
    }
  }
  rs::BicubicScaler portable(view, ix.data(), fx.data(), rw, false);
  const std::size_t row_bytes = static_cast<std::size_t>(rw) * view.bytes_per_pixel;
  std::vector<std::uint8_t> a(row_bytes), b(row_bytes);
  for (int y = 0; y < rh; ++y) {
    const std::int64_t Y = static_cast<std::int64_t>(m.d) * y;
    std::int32_t row = static_cast<std::int32_t>(Y >> 10);
    std::uint8_t fraction = static_cast<std::uint8_t>((Y >> 2) & 255);
    if (row > sh - 1) {
      row = sh - 1;
      fraction = 0;
    }
    std::fill(iy.begin(), iy.end(), row);
    std::fill(fy.begin(), fy.end(), fraction);
    std::memset(a.data(), 0, row_bytes);
    rs::row_function(interpolation)(view, {ix.data(), iy.data(), fx.data(), fy.data(), rw},
                                    a.data());
    if (std::memcmp(a.data(), fast.ScanLine(y), row_bytes) != 0) std::abort();
    if (interpolation == IP_BICUBIC) {
      portable.Row(row, fraction, b.data());
      if (b != a) std::abort();
    }
  }

  // The general transform: rotation, shear, background; must stay in bounds.
  if (extreme) return 0;
  TvexImageTransform g;
  g.SetSourceImage(0, &src);
  g.SetInterpolation(interpolation);
  g.SetAngle(angle);
  g.SetShearX(shear);
  g.SetScaleX(rw / 32.0);
  g.SetScaleY(rh / 32.0);
  g.SetBkColor(0x204080);
  g.Execute();
  return 0;
}
