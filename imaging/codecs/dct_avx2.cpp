// AVX2 kernels of the 8x8 DCT: one 256-bit vector holds a whole row of eight
// floats, so each butterfly runs on the eight columns at once. The adds,
// subtracts and multiplies are those of the portable kernels in the same
// order, each rounded to single precision (this file is built with -mavx2
// only: no fused multiply-add). Conversions to integers use the default
// rounding mode, nearest with ties to even, as the portable kernels do.
//
// Only intrinsics and functions of this file's anonymous namespace are used
// here, so no inline function compiled with AVX2 can stand in for the plain
// copy of another file.
#include "vexDCT.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__AVX2__)
#include <immintrin.h>

namespace {

struct Consts {
  __m256 c4, k1, k2;
};

inline void ForwardButterfly(const Consts& k, const __m256 d[8], __m256 y[8], bool shifted) {
  __m256 tmp0 = _mm256_add_ps(d[0], d[7]);
  __m256 tmp1 = _mm256_add_ps(d[1], d[6]);
  __m256 tmp2 = _mm256_add_ps(d[2], d[5]);
  __m256 tmp3 = _mm256_add_ps(d[3], d[4]);
  if (shifted) {
    const __m256 shift = _mm256_set1_ps(256.0f);
    tmp0 = _mm256_sub_ps(tmp0, shift);
    tmp1 = _mm256_sub_ps(tmp1, shift);
    tmp2 = _mm256_sub_ps(tmp2, shift);
    tmp3 = _mm256_sub_ps(tmp3, shift);
  }
  const __m256 tmp4 = _mm256_sub_ps(d[3], d[4]);
  const __m256 tmp5 = _mm256_sub_ps(d[2], d[5]);
  const __m256 tmp6 = _mm256_sub_ps(d[1], d[6]);
  const __m256 tmp7 = _mm256_sub_ps(d[0], d[7]);

  const __m256 t10 = _mm256_add_ps(tmp0, tmp3);
  const __m256 t11 = _mm256_add_ps(tmp1, tmp2);
  const __m256 t12 = _mm256_sub_ps(tmp1, tmp2);
  const __m256 t13 = _mm256_sub_ps(tmp0, tmp3);
  y[0] = _mm256_add_ps(t10, t11);
  y[4] = _mm256_sub_ps(t10, t11);
  const __m256 z1 = _mm256_mul_ps(k.c4, _mm256_add_ps(t12, t13));
  y[2] = _mm256_add_ps(t13, z1);
  y[6] = _mm256_sub_ps(t13, z1);

  const __m256 o10 = _mm256_add_ps(tmp4, tmp5);
  const __m256 o11 = _mm256_add_ps(tmp5, tmp6);
  const __m256 o12 = _mm256_add_ps(tmp6, tmp7);
  const __m256 w = _mm256_mul_ps(k.c4, _mm256_add_ps(o10, o12));
  const __m256 z3 = _mm256_mul_ps(k.c4, o11);
  const __m256 z11 = _mm256_add_ps(tmp7, z3);
  const __m256 z13 = _mm256_sub_ps(tmp7, z3);
  const __m256 z4 = _mm256_mul_ps(k.k1, _mm256_add_ps(w, o12));
  const __m256 z2 = _mm256_mul_ps(k.k2, _mm256_sub_ps(w, o12));
  y[1] = _mm256_add_ps(z11, z4);
  y[7] = _mm256_sub_ps(z11, z4);
  y[5] = _mm256_add_ps(z13, z2);
  y[3] = _mm256_sub_ps(z13, z2);
}

inline void InverseButterfly(const Consts& k, const __m256 x[8], __m256 y[8]) {
  const __m256 s1 = _mm256_sub_ps(x[2], x[6]);
  const __m256 s2 = _mm256_add_ps(x[2], x[6]);
  const __m256 s3 = _mm256_sub_ps(x[1], x[7]);
  const __m256 s4 = _mm256_add_ps(x[5], x[3]);
  const __m256 s5 = _mm256_sub_ps(x[5], x[3]);
  const __m256 s6 = _mm256_add_ps(x[1], x[7]);
  const __m256 p1 = _mm256_mul_ps(k.k1, s3);
  const __m256 p2 = _mm256_sub_ps(s6, s4);
  const __m256 p3 = _mm256_mul_ps(k.k2, s5);
  const __m256 p4 = _mm256_add_ps(s4, s6);
  const __m256 p5 = _mm256_add_ps(p1, p3);
  const __m256 p6 = _mm256_sub_ps(p1, p3);
  const __m256 e0 = _mm256_add_ps(x[0], x[4]);
  const __m256 e1 = _mm256_sub_ps(x[0], x[4]);
  const __m256 q1 = _mm256_mul_ps(k.c4, s1);
  const __m256 q2 = _mm256_mul_ps(k.c4, p5);
  const __m256 q3 = _mm256_mul_ps(k.c4, p2);
  const __m256 r1 = _mm256_add_ps(q2, p6);
  const __m256 r2 = _mm256_add_ps(q1, s2);
  const __m256 r3 = _mm256_add_ps(q2, q3);
  const __m256 r4 = _mm256_add_ps(q3, r1);
  const __m256 r5 = _mm256_add_ps(r1, p4);
  const __m256 f0 = _mm256_add_ps(e0, r2);
  const __m256 f1 = _mm256_add_ps(e1, q1);
  const __m256 f2 = _mm256_sub_ps(e1, q1);
  const __m256 f3 = _mm256_sub_ps(e0, r2);
  y[0] = _mm256_add_ps(f0, r5);
  y[1] = _mm256_add_ps(f1, r4);
  y[2] = _mm256_add_ps(f2, r3);
  y[3] = _mm256_add_ps(f3, q2);
  y[4] = _mm256_sub_ps(f3, q2);
  y[5] = _mm256_sub_ps(f2, r3);
  y[6] = _mm256_sub_ps(f1, r4);
  y[7] = _mm256_sub_ps(f0, r5);
}

// InverseButterfly for inputs whose x[4..7] are all zero. Dropping an added
// or subtracted zero changes at most the sign of a zero, and a zero's sign
// never reaches a non-zero result or a sample, so the outputs match.
inline void InverseButterflyLow(const Consts& k, const __m256 x[4], __m256 y[8]) {
  const __m256 s1 = x[2];
  const __m256 s3 = x[1];
  const __m256 s4 = x[3];
  const __m256 s5 = _mm256_sub_ps(_mm256_setzero_ps(), x[3]);
  const __m256 p1 = _mm256_mul_ps(k.k1, s3);
  const __m256 p2 = _mm256_sub_ps(s3, s4);
  const __m256 p3 = _mm256_mul_ps(k.k2, s5);
  const __m256 p4 = _mm256_add_ps(s4, s3);
  const __m256 p5 = _mm256_add_ps(p1, p3);
  const __m256 p6 = _mm256_sub_ps(p1, p3);
  const __m256 q1 = _mm256_mul_ps(k.c4, s1);
  const __m256 q2 = _mm256_mul_ps(k.c4, p5);
  const __m256 q3 = _mm256_mul_ps(k.c4, p2);
  const __m256 r1 = _mm256_add_ps(q2, p6);
  const __m256 r2 = _mm256_add_ps(q1, s1);
  const __m256 r3 = _mm256_add_ps(q2, q3);
  const __m256 r4 = _mm256_add_ps(q3, r1);
  const __m256 r5 = _mm256_add_ps(r1, p4);
  const __m256 f0 = _mm256_add_ps(x[0], r2);
  const __m256 f1 = _mm256_add_ps(x[0], q1);
  const __m256 f2 = _mm256_sub_ps(x[0], q1);
  const __m256 f3 = _mm256_sub_ps(x[0], r2);
  y[0] = _mm256_add_ps(f0, r5);
  y[1] = _mm256_add_ps(f1, r4);
  y[2] = _mm256_add_ps(f2, r3);
  y[3] = _mm256_add_ps(f3, q2);
  y[4] = _mm256_sub_ps(f3, q2);
  y[5] = _mm256_sub_ps(f2, r3);
  y[6] = _mm256_sub_ps(f1, r4);
  y[7] = _mm256_sub_ps(f0, r5);
}

// Transposes the 8x8 matrix m (one row per vector) in place.
inline void Transpose(__m256 m[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(m[0], m[1]);
  const __m256 t1 = _mm256_unpackhi_ps(m[0], m[1]);
  const __m256 t2 = _mm256_unpacklo_ps(m[2], m[3]);
  const __m256 t3 = _mm256_unpackhi_ps(m[2], m[3]);
  const __m256 t4 = _mm256_unpacklo_ps(m[4], m[5]);
  const __m256 t5 = _mm256_unpackhi_ps(m[4], m[5]);
  const __m256 t6 = _mm256_unpacklo_ps(m[6], m[7]);
  const __m256 t7 = _mm256_unpackhi_ps(m[6], m[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  m[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  m[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  m[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  m[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  m[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  m[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  m[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  m[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

inline void Store8(std::uint8_t* p, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

} // namespace

namespace vex::jpeg::detail {

bool ForwardDCTAvx2(const TvexDCT& dct, const std::uint8_t* samples, std::ptrdiff_t stride,
                    std::int16_t* coefficients) {
  const Consts k{_mm256_set1_ps(dct.C4), _mm256_set1_ps(dct.K1), _mm256_set1_ps(dct.K2)};
  __m256 m[8];
  for (int r = 0; r < 8; ++r) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + r * stride));
    m[r] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  }
  // Column pass (each lane a column), then the row pass on the transpose.
  __m256 w[8];
  ForwardButterfly(k, m, w, true);
  Transpose(w);
  ForwardButterfly(k, w, m, false);
  Transpose(m);
  const __m256 lowest = _mm256_set1_ps(-32768.0f);
  const __m256 highest = _mm256_set1_ps(32767.0f);
  for (int r = 0; r < 8; r += 2) {
    __m256 a = _mm256_mul_ps(m[r], _mm256_loadu_ps(dct.Multipliers + 8 * r));
    __m256 b = _mm256_mul_ps(m[r + 1], _mm256_loadu_ps(dct.Multipliers + 8 * r + 8));
    a = _mm256_min_ps(_mm256_max_ps(a, lowest), highest);
    b = _mm256_min_ps(_mm256_max_ps(b, lowest), highest);
    // The pack works per 128-bit half: (a0..3 b0..3 | a4..7 b4..7).
    const __m256i packed = _mm256_packs_epi32(_mm256_cvtps_epi32(a), _mm256_cvtps_epi32(b));
    const __m256i rows = _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(coefficients + 8 * r), rows);
  }
  return true;
}

bool InverseDCTAvx2(const TvexDCT& dct, const std::int16_t* coefficients, std::uint8_t* samples,
                    std::ptrdiff_t stride) {
  const Consts k{_mm256_set1_ps(dct.C4), _mm256_set1_ps(dct.K1), _mm256_set1_ps(dct.K2)};
  const __m256i upper =
      _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + 32)),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + 48)));
  // Most blocks of a photograph have no coefficient in rows 4..7: the column
  // pass then has zero upper inputs.
  const bool low = _mm256_testz_si256(upper, upper) != 0;
  __m256 m[8];
  for (int v = 0; v < 8; ++v) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * v));
    m[v] = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(c)),
                         _mm256_loadu_ps(dct.Multipliers + 8 * v));
  }
  // Row pass: transpose so that each lane is one coefficient row.
  Transpose(m);
  __m256 w[8];
  InverseButterfly(k, m, w);
  Transpose(w);
  if (low)
    InverseButterflyLow(k, w, m);
  else
    InverseButterfly(k, w, m);
  const __m256 bias = _mm256_set1_ps(dct.Bias);
  // Clamping to -1..256 before the conversion gives the same byte as
  // rounding first and clamping to 0..255 after, and keeps every value
  // inside the integer range of the conversion.
  const __m256 lowest = _mm256_set1_ps(-1.0f);
  const __m256 highest = _mm256_set1_ps(256.0f);
  __m256i v[8];
  for (int r = 0; r < 8; ++r)
    v[r] = _mm256_cvtps_epi32(
        _mm256_min_ps(_mm256_max_ps(_mm256_add_ps(m[r], bias), lowest), highest));
  // Packs work per 128-bit half; the dword permute puts each row's two halves
  // together: four rows of 8 bytes per vector.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int r = 0; r < 8; r += 4) {
    const __m256i words01 = _mm256_packs_epi32(v[r], v[r + 1]);
    const __m256i words23 = _mm256_packs_epi32(v[r + 2], v[r + 3]);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words01, words23), order);
    const __m128i lo = _mm256_castsi256_si128(bytes);
    const __m128i hi = _mm256_extracti128_si256(bytes, 1);
    Store8(samples + r * stride, lo);
    Store8(samples + (r + 1) * stride, _mm_unpackhi_epi64(lo, lo));
    Store8(samples + (r + 2) * stride, hi);
    Store8(samples + (r + 3) * stride, _mm_unpackhi_epi64(hi, hi));
  }
  return true;
}

} // namespace vex::jpeg::detail

#else

namespace vex::jpeg::detail {
bool ForwardDCTAvx2(const TvexDCT&, const std::uint8_t*, std::ptrdiff_t, std::int16_t*) {
  return false;
}
bool InverseDCTAvx2(const TvexDCT&, const std::int16_t*, std::uint8_t*, std::ptrdiff_t) {
  return false;
}
} // namespace vex::jpeg::detail

#endif
