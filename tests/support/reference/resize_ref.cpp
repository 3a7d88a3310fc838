#include "reference/resize_ref.h"

#include "platform/rounding.h"

#include <algorithm>
#include <cstdlib>

namespace reference {

int square(int t) {
  return t * t / 256;
}
int cube(int t) {
  return t * t * t / 65536;
}

FixedMatrix resize_matrix(int sw, int sh, int rw, int rh) {
  const double scale_x = static_cast<double>(static_cast<long double>(rw) / sw);
  const double scale_y = static_cast<double>(static_cast<long double>(rh) / sh);
  const float a = static_cast<float>(scale_x), d = static_cast<float>(scale_y);
  const float b = 0, c = 0;
  const double det = static_cast<double>(a) * d - static_cast<double>(b) * c;
  const double inv = det != 0 ? 1.0 / det : 10000.0;
  const float i11 = static_cast<float>(d * inv);
  const float i22 = static_cast<float>(a * inv);
  FixedMatrix m;
  m.a = vex::round_to_int64(1024.0L * i11);
  m.d = vex::round_to_int64(1024.0L * i22);
  return m;
}

namespace {

struct Sampler {
  TvexImage& src;
  int w, h, bpp;

  int P(int x, int y, int k) const { return src.ScanLine(y)[x * bpp + k]; }
  bool inside(std::int64_t ix, std::int64_t iy) const {
    return ix >= 0 && ix < w && iy >= 0 && iy < h;
  }
  static std::uint8_t clamp(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

  void bicubic(int ix, int iy, int fx, int fy, std::uint8_t* out) const {
    const int x0 = std::max(ix - 1, 0), x1 = ix, x2 = std::min(ix + 1, w - 1),
              x3 = std::min(ix + 2, w - 1);
    for (int k = 0; k < bpp; ++k) {
      int R[4];
      for (int j = 0; j < 4; ++j) {
        const int r = std::clamp(iy - 1 + j, 0, h - 1);
        const int P0 = P(x0, r, k), P1 = P(x1, r, k), P2 = P(x2, r, k), P3 = P(x3, r, k);
        R[j] = 256 * P1 + fx * (P2 - P0) + square(fx) * (2 * P0 - 2 * P1 + P2 - P3) +
               cube(fx) * (P1 - P0 + P3 - P2);
      }
      const int V = 256 * R[1] + fy * (R[2] - R[0]) +
                    square(fy) * (2 * R[0] - 2 * R[1] + R[2] - R[3]) +
                    cube(fy) * (R[1] - R[0] + R[3] - R[2]);
      out[k] = clamp(V >> 16);
    }
  }

  void bilinear(int ix, int iy, int fx, int fy, std::uint8_t* out) const {
    const int xr = std::min(ix + 1, w - 1);
    const bool last_row = iy + 1 >= h;
    const int yb = last_row ? iy : iy + 1;
    for (int k = 0; k < bpp; ++k) {
      const int P00 = P(ix, iy, k), P01 = P(xr, iy, k), P10 = P(ix, yb, k), P11 = P(xr, yb, k);
      if (bpp == 1 && last_row)
        out[k] = static_cast<std::uint8_t>((P00 * (256 - fx) + P01 * fx) >> 8);
      else
        out[k] = static_cast<std::uint8_t>(
            ((P00 * (256 - fx) + P01 * fx) * (256 - fy) + (P10 * (256 - fx) + P11 * fx) * fy) >>
            16);
    }
  }

  static int smooth_w(int f) { return 2 * cube(f) - 3 * square(f) + 256; }

  void smooth(int ix, int iy, int fx, int fy, std::uint8_t* out) const {
    const bool has_right = ix + 1 < w;
    const bool last_row = iy + 1 >= h;
    const int yb = last_row ? iy : iy + 1;
    const int wx = smooth_w(fx), wy = smooth_w(fy);
    for (int k = 0; k < bpp; ++k) {
      auto across = [&](int y) {
        return has_right ? P(ix, y, k) * wx + P(ix + 1, y, k) * (256 - wx) : P(ix, y, k) * 256;
      };
      if (bpp == 1 && last_row)
        out[k] = static_cast<std::uint8_t>(across(iy) >> 8);
      else
        out[k] = static_cast<std::uint8_t>((across(iy) * wy + across(yb) * (256 - wy)) >> 16);
    }
  }

  void quadratic(int ix, int iy, int fx, int fy, std::uint8_t* out) const {
    const int xm = std::max(ix - 1, 0), xp = std::min(ix + 1, w - 1);
    for (int k = 0; k < bpp; ++k) {
      int R[3];
      for (int j = 0; j < 3; ++j) {
        const int r = std::clamp(iy - 1 + j, 0, h - 1);
        const int e = (P(xm, r, k) + P(xp, r, k) - 2 * P(ix, r, k)) * square(fx) +
                      fx * (P(xp, r, k) - P(xm, r, k));
        R[j] = 256 * P(ix, r, k) + e / 2;
      }
      const int e = (R[0] + R[2] - 2 * R[1]) * square(fy) + fy * (R[2] - R[0]);
      out[k] = clamp((256 * R[1] + e / 2) >> 16);
    }
  }
};

} // namespace

void transform_rows(TvexImage& src, TvexImage& dst, const FixedMatrix& m, int interpolation,
                    bool fit) {
  const Sampler s{src, src.Width(), std::abs(src.Height()), src.BitCount() / 8};
  const int rw = dst.Width(), rh = std::abs(dst.Height());
  for (int y = 0; y < rh; ++y) {
    std::uint8_t* row = dst.ScanLine(y);
    bool seen_inside = false;
    for (int x = 0; x < rw; ++x) {
      const std::int64_t X = m.a * x + m.b * y + m.tx;
      const std::int64_t Y = m.c * x + m.d * y + m.ty;
      std::int64_t ix = X >> 10, iy = Y >> 10;
      int fx = static_cast<int>((X >> 2) & 255), fy = static_cast<int>((Y >> 2) & 255);
      if (fit && ix > s.w - 1) {
        ix = s.w - 1;
        fx = 0;
      }
      if (fit && iy > s.h - 1) {
        iy = s.h - 1;
        fy = 0;
      }
      if (!s.inside(ix, iy)) {
        if (interpolation == IP_NEAREST && seen_inside) break;
        continue;
      }
      seen_inside = true;
      std::uint8_t* out = row + x * s.bpp;
      const int cx = static_cast<int>(ix), cy = static_cast<int>(iy);
      switch (interpolation) {
      case IP_NEAREST:
        for (int k = 0; k < s.bpp; ++k) out[k] = static_cast<std::uint8_t>(s.P(cx, cy, k));
        break;
      case IP_BILINEAR:
        s.bilinear(cx, cy, fx, fy, out);
        break;
      case IP_QUADRATIC:
        s.quadratic(cx, cy, fx, fy, out);
        break;
      case IP_BICUBIC:
        s.bicubic(cx, cy, fx, fy, out);
        break;
      default:
        s.smooth(cx, cy, fx, fy, out);
        break;
      }
    }
  }
}

void resize(TvexImage& src, TvexImage& dst, int interpolation) {
  const FixedMatrix m =
      resize_matrix(src.Width(), std::abs(src.Height()), dst.Width(), std::abs(dst.Height()));
  transform_rows(src, dst, m, interpolation, true);
}

} // namespace reference
