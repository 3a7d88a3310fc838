// SSE2 kernels of the 8x8 DCT: the butterflies run on eight columns at once
// (two vectors of four floats per row), with the same single-precision adds,
// subtracts and multiplies in the same order as the portable kernels, and no
// fused multiply-add, so every intermediate rounds identically. The
// conversions to integers use the default rounding mode (nearest, ties to
// even), as the portable kernels do.
#include "vexDCT.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>

namespace {

struct Rows {
  __m128 lo[8]; // columns 0..3 of rows 0..7
  __m128 hi[8]; // columns 4..7
};

struct Consts {
  __m128 c4, k1, k2;
};

inline void ForwardButterfly(const Consts& k, const __m128 d[8], __m128 shift, __m128 y[8],
                             bool shifted) {
  __m128 tmp0 = _mm_add_ps(d[0], d[7]);
  __m128 tmp1 = _mm_add_ps(d[1], d[6]);
  __m128 tmp2 = _mm_add_ps(d[2], d[5]);
  __m128 tmp3 = _mm_add_ps(d[3], d[4]);
  if (shifted) {
    tmp0 = _mm_sub_ps(tmp0, shift);
    tmp1 = _mm_sub_ps(tmp1, shift);
    tmp2 = _mm_sub_ps(tmp2, shift);
    tmp3 = _mm_sub_ps(tmp3, shift);
  }
  const __m128 tmp4 = _mm_sub_ps(d[3], d[4]);
  const __m128 tmp5 = _mm_sub_ps(d[2], d[5]);
  const __m128 tmp6 = _mm_sub_ps(d[1], d[6]);
  const __m128 tmp7 = _mm_sub_ps(d[0], d[7]);

  const __m128 t10 = _mm_add_ps(tmp0, tmp3);
  const __m128 t11 = _mm_add_ps(tmp1, tmp2);
  const __m128 t12 = _mm_sub_ps(tmp1, tmp2);
  const __m128 t13 = _mm_sub_ps(tmp0, tmp3);
  y[0] = _mm_add_ps(t10, t11);
  y[4] = _mm_sub_ps(t10, t11);
  const __m128 z1 = _mm_mul_ps(k.c4, _mm_add_ps(t12, t13));
  y[2] = _mm_add_ps(t13, z1);
  y[6] = _mm_sub_ps(t13, z1);

  const __m128 o10 = _mm_add_ps(tmp4, tmp5);
  const __m128 o11 = _mm_add_ps(tmp5, tmp6);
  const __m128 o12 = _mm_add_ps(tmp6, tmp7);
  const __m128 w = _mm_mul_ps(k.c4, _mm_add_ps(o10, o12));
  const __m128 z3 = _mm_mul_ps(k.c4, o11);
  const __m128 z11 = _mm_add_ps(tmp7, z3);
  const __m128 z13 = _mm_sub_ps(tmp7, z3);
  const __m128 z4 = _mm_mul_ps(k.k1, _mm_add_ps(w, o12));
  const __m128 z2 = _mm_mul_ps(k.k2, _mm_sub_ps(w, o12));
  y[1] = _mm_add_ps(z11, z4);
  y[7] = _mm_sub_ps(z11, z4);
  y[5] = _mm_add_ps(z13, z2);
  y[3] = _mm_sub_ps(z13, z2);
}

inline void InverseButterfly(const Consts& k, const __m128 x[8], __m128 y[8]) {
  const __m128 s1 = _mm_sub_ps(x[2], x[6]);
  const __m128 s2 = _mm_add_ps(x[2], x[6]);
  const __m128 s3 = _mm_sub_ps(x[1], x[7]);
  const __m128 s4 = _mm_add_ps(x[5], x[3]);
  const __m128 s5 = _mm_sub_ps(x[5], x[3]);
  const __m128 s6 = _mm_add_ps(x[1], x[7]);
  const __m128 p1 = _mm_mul_ps(k.k1, s3);
  const __m128 p2 = _mm_sub_ps(s6, s4);
  const __m128 p3 = _mm_mul_ps(k.k2, s5);
  const __m128 p4 = _mm_add_ps(s4, s6);
  const __m128 p5 = _mm_add_ps(p1, p3);
  const __m128 p6 = _mm_sub_ps(p1, p3);
  const __m128 e0 = _mm_add_ps(x[0], x[4]);
  const __m128 e1 = _mm_sub_ps(x[0], x[4]);
  const __m128 q1 = _mm_mul_ps(k.c4, s1);
  const __m128 q2 = _mm_mul_ps(k.c4, p5);
  const __m128 q3 = _mm_mul_ps(k.c4, p2);
  const __m128 r1 = _mm_add_ps(q2, p6);
  const __m128 r2 = _mm_add_ps(q1, s2);
  const __m128 r3 = _mm_add_ps(q2, q3);
  const __m128 r4 = _mm_add_ps(q3, r1);
  const __m128 r5 = _mm_add_ps(r1, p4);
  const __m128 f0 = _mm_add_ps(e0, r2);
  const __m128 f1 = _mm_add_ps(e1, q1);
  const __m128 f2 = _mm_sub_ps(e1, q1);
  const __m128 f3 = _mm_sub_ps(e0, r2);
  y[0] = _mm_add_ps(f0, r5);
  y[1] = _mm_add_ps(f1, r4);
  y[2] = _mm_add_ps(f2, r3);
  y[3] = _mm_add_ps(f3, q2);
  y[4] = _mm_sub_ps(f3, q2);
  y[5] = _mm_sub_ps(f2, r3);
  y[6] = _mm_sub_ps(f1, r4);
  y[7] = _mm_sub_ps(f0, r5);
}

// InverseButterfly for inputs whose x[4..7] are all zero. Dropping an
// added or subtracted zero changes at most the sign of a zero, and a zero's
// sign never reaches a non-zero result or a sample, so the outputs match.
inline void InverseButterflyLow(const Consts& k, const __m128 x[4], __m128 y[8]) {
  const __m128 s1 = x[2];
  const __m128 s3 = x[1];
  const __m128 s4 = x[3];
  const __m128 s5 = _mm_sub_ps(_mm_setzero_ps(), x[3]);
  const __m128 p1 = _mm_mul_ps(k.k1, s3);
  const __m128 p2 = _mm_sub_ps(s3, s4);
  const __m128 p3 = _mm_mul_ps(k.k2, s5);
  const __m128 p4 = _mm_add_ps(s4, s3);
  const __m128 p5 = _mm_add_ps(p1, p3);
  const __m128 p6 = _mm_sub_ps(p1, p3);
  const __m128 q1 = _mm_mul_ps(k.c4, s1);
  const __m128 q2 = _mm_mul_ps(k.c4, p5);
  const __m128 q3 = _mm_mul_ps(k.c4, p2);
  const __m128 r1 = _mm_add_ps(q2, p6);
  const __m128 r2 = _mm_add_ps(q1, s1);
  const __m128 r3 = _mm_add_ps(q2, q3);
  const __m128 r4 = _mm_add_ps(q3, r1);
  const __m128 r5 = _mm_add_ps(r1, p4);
  const __m128 f0 = _mm_add_ps(x[0], r2);
  const __m128 f1 = _mm_add_ps(x[0], q1);
  const __m128 f2 = _mm_sub_ps(x[0], q1);
  const __m128 f3 = _mm_sub_ps(x[0], r2);
  y[0] = _mm_add_ps(f0, r5);
  y[1] = _mm_add_ps(f1, r4);
  y[2] = _mm_add_ps(f2, r3);
  y[3] = _mm_add_ps(f3, q2);
  y[4] = _mm_sub_ps(f3, q2);
  y[5] = _mm_sub_ps(f2, r3);
  y[6] = _mm_sub_ps(f1, r4);
  y[7] = _mm_sub_ps(f0, r5);
}

// Transposes the 8x8 matrix held as rows (lo/hi halves) in place.
inline void Transpose(Rows& m) {
  __m128 a0 = m.lo[0], a1 = m.lo[1], a2 = m.lo[2], a3 = m.lo[3];
  __m128 b0 = m.hi[0], b1 = m.hi[1], b2 = m.hi[2], b3 = m.hi[3];
  __m128 c0 = m.lo[4], c1 = m.lo[5], c2 = m.lo[6], c3 = m.lo[7];
  __m128 d0 = m.hi[4], d1 = m.hi[5], d2 = m.hi[6], d3 = m.hi[7];
  _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
  _MM_TRANSPOSE4_PS(b0, b1, b2, b3);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  _MM_TRANSPOSE4_PS(d0, d1, d2, d3);
  // New row r (r < 4): columns 0..3 from the old top-left block, 4..7 from
  // the old bottom-left; rows 4..7 from the right-hand blocks.
  m.lo[0] = a0, m.lo[1] = a1, m.lo[2] = a2, m.lo[3] = a3;
  m.hi[0] = c0, m.hi[1] = c1, m.hi[2] = c2, m.hi[3] = c3;
  m.lo[4] = b0, m.lo[5] = b1, m.lo[6] = b2, m.lo[7] = b3;
  m.hi[4] = d0, m.hi[5] = d1, m.hi[6] = d2, m.hi[7] = d3;
}

} // namespace

namespace vex::jpeg::detail {

bool ForwardDCTSse2(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients) {
  const Consts k{_mm_set1_ps(dct.C4), _mm_set1_ps(dct.K1), _mm_set1_ps(dct.K2)};
  const __m128i zero = _mm_setzero_si128();
  Rows m;
  for (int r = 0; r < 8; ++r) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + r * stride));
    const __m128i words = _mm_unpacklo_epi8(bytes, zero);
    m.lo[r] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero));
    m.hi[r] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, zero));
  }
  // Column pass: rows are the inputs, each lane a column.
  const __m128 shift = _mm_set1_ps(256.0f);
  Rows w;
  ForwardButterfly(k, m.lo, shift, w.lo, true);
  ForwardButterfly(k, m.hi, shift, w.hi, true);
  // Row pass on the transposed work matrix, then back to natural order.
  Transpose(w);
  ForwardButterfly(k, w.lo, shift, m.lo, false);
  ForwardButterfly(k, w.hi, shift, m.hi, false);
  Transpose(m);
  const __m128 lowest = _mm_set1_ps(-32768.0f);
  const __m128 highest = _mm_set1_ps(32767.0f);
  for (int r = 0; r < 8; ++r) {
    __m128 a = _mm_mul_ps(m.lo[r], _mm_load_ps(dct.Multipliers + 8 * r));
    __m128 b = _mm_mul_ps(m.hi[r], _mm_load_ps(dct.Multipliers + 8 * r + 4));
    a = _mm_min_ps(_mm_max_ps(a, lowest), highest);
    b = _mm_min_ps(_mm_max_ps(b, lowest), highest);
    const __m128i packed = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + 8 * r), packed);
  }
  return true;
}

bool InverseDCTSse2(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride) {
  const Consts k{_mm_set1_ps(dct.C4), _mm_set1_ps(dct.K1), _mm_set1_ps(dct.K2)};
  __m128i c[8];
  for (int v = 0; v < 8; ++v)
    c[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * v));
  // Most blocks of a photograph have no coefficient in rows 4..7: their half
  // of the row pass is all zeros and the column pass has zero upper inputs.
  const __m128i upper = _mm_or_si128(_mm_or_si128(c[4], c[5]), _mm_or_si128(c[6], c[7]));
  const bool low = _mm_movemask_epi8(_mm_cmpeq_epi8(upper, _mm_setzero_si128())) == 0xFFFF;
  const int nrows = low ? 4 : 8;
  Rows m;
  for (int v = 0; v < nrows; ++v) {
    // Sign-extend the 16-bit coefficients to 32 bits.
    const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(c[v], c[v]), 16);
    const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(c[v], c[v]), 16);
    m.lo[v] = _mm_mul_ps(_mm_cvtepi32_ps(lo), _mm_load_ps(dct.Multipliers + 8 * v));
    m.hi[v] = _mm_mul_ps(_mm_cvtepi32_ps(hi), _mm_load_ps(dct.Multipliers + 8 * v + 4));
  }
  for (int v = nrows; v < 8; ++v) m.lo[v] = m.hi[v] = _mm_setzero_ps();
  // Row pass: transpose so that each lane is one coefficient row.
  Transpose(m);
  Rows w;
  InverseButterfly(k, m.lo, w.lo);
  if (low) {
    // Column pass on the work matrix in row order.
    for (int v = 0; v < 8; ++v) w.hi[v] = _mm_setzero_ps();
    Transpose(w);
    InverseButterflyLow(k, w.lo, m.lo);
    InverseButterflyLow(k, w.hi, m.hi);
  } else {
    InverseButterfly(k, m.hi, w.hi);
    Transpose(w);
    InverseButterfly(k, w.lo, m.lo);
    InverseButterfly(k, w.hi, m.hi);
  }
  const __m128 bias = _mm_set1_ps(dct.Bias);
  // Clamping to -1..256 before the conversion gives the same byte as
  // rounding first and clamping to 0..255 after, and keeps every value
  // inside the integer range of the conversion.
  const __m128 lowest = _mm_set1_ps(-1.0f);
  const __m128 highest = _mm_set1_ps(256.0f);
  for (int r = 0; r < 8; ++r) {
    __m128 a = _mm_add_ps(m.lo[r], bias);
    __m128 b = _mm_add_ps(m.hi[r], bias);
    a = _mm_min_ps(_mm_max_ps(a, lowest), highest);
    b = _mm_min_ps(_mm_max_ps(b, lowest), highest);
    const __m128i words = _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b));
    const __m128i bytes = _mm_packus_epi16(words, words);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + r * stride), bytes);
  }
  return true;
}

} // namespace vex::jpeg::detail

#else

namespace vex::jpeg::detail {
bool ForwardDCTSse2(const TvexDCT&, const std::uint8_t*, std::ptrdiff_t, std::int16_t*) {
  return false;
}
bool InverseDCTSse2(const TvexDCT&, const std::int16_t*, std::uint8_t*, std::ptrdiff_t) {
  return false;
}
} // namespace vex::jpeg::detail

#endif
