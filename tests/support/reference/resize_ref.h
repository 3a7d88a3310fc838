// Plain implementation of the resampling arithmetic, written straight from the
// documented formulas (one pixel and one byte at a time, no regrouping, no
// tables beyond square and cube), to prove the library's fast paths exact.
#pragma once

#include "vexImage.h"

#include <cstdint>

namespace reference {

// The inverse matrix in 1/1024 units. Wider than the 16-bit words of the
// documented step, which it equals wherever those do not overflow.
struct FixedMatrix {
  std::int64_t a = 0, b = 0, c = 0, d = 0, tx = 0, ty = 0;
};

int square(int t); // t*t div 256
int cube(int t);   // t*t*t div 65536

// The step of a plain resize of sw x sh into rw x rh: scale in extended
// precision kept as double, single-precision matrix, double determinant,
// single-precision inverse, times 1024 rounded half to even.
FixedMatrix resize_matrix(int sw, int sh, int rw, int rh);

// Fills every row of `dst` (same depth as `src`, already sized) from `src`
// through `m`. With `fit`, a sample past the last source column or row reads
// that column or row with fraction 0 (the plain resize's edge rule);
// otherwise it is skipped as any sample outside the source.
void transform_rows(TvexImage& src, TvexImage& dst, const FixedMatrix& m, int interpolation,
                    bool fit);

// resize_matrix + transform_rows with fit.
void resize(TvexImage& src, TvexImage& dst, int interpolation);

} // namespace reference
