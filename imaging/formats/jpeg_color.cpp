// YCbCr to RGB conversion and replication upsampling of the JPEG reader.
// The AVX2 kernels are in jpeg_color_avx2.cpp. The SSE2 kernel computes the table values on the fly
// (the same single precision products, rounded half to even by the conversion instruction) and
// clamps with saturating packs, so it gives the bytes of the table path.
#include "jpeg_color_avx2.h"
#include "jpeg_reader_internal.h"

#include "platform/cpu_features.h"
#include "platform/rounding.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vex::jpeg {

namespace {
using avx2::kCbToB;
using avx2::kCbToG;
using avx2::kCrToG;
using avx2::kCrToR;
using vex::platform::SimdLevel;

// The SIMD level in use, asked once.
SimdLevel Level() {
  static const SimdLevel level = vex::platform::simd_level();
  return level;
}

std::int32_t scaled(float k, int i) {
  const float x = static_cast<float>(i) - 127.5f;
  const float p = k * x;
  return static_cast<std::int32_t>(vex::round_half_even(p));
}
} // namespace

void YccTables::Build() {
  for (int i = 0; i < 256; ++i) {
    cb_to_b[i] = scaled(kCbToB, i);
    cb_to_g[i] = scaled(kCbToG, i);
    cr_to_r[i] = scaled(kCrToR, i);
    cr_to_g[i] = scaled(kCrToG, i);
  }
  for (int v = -255; v <= 511; ++v)
    clamp_store[v + 255] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

void ycc_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                             const std::uint8_t* cr, std::uint8_t* bgr, int width) {
  const std::uint8_t* clamp = t.clamp();
  for (int x = 0; x < width; ++x) {
    const int yy = y[x], b = cb[x], r = cr[x];
    bgr[0] = clamp[yy + t.cb_to_b[b]];
    bgr[1] = clamp[yy - t.cb_to_g[b] - t.cr_to_g[r]];
    bgr[2] = clamp[yy + t.cr_to_r[r]];
    bgr += 3;
  }
}

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
namespace {
// Four chroma values (int32 lanes) times k, rounded half to even.
inline __m128i scale4(__m128i c, __m128 k) {
  const __m128 x = _mm_sub_ps(_mm_cvtepi32_ps(c), _mm_set1_ps(127.5f));
  return _mm_cvtps_epi32(_mm_mul_ps(x, k));
}
// Eight chroma bytes (int16 lanes) times k as int16 lanes.
inline __m128i scale8(__m128i c16, __m128 k) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = scale4(_mm_unpacklo_epi16(c16, zero), k);
  const __m128i hi = scale4(_mm_unpackhi_epi16(c16, zero), k);
  return _mm_packs_epi32(lo, hi);
}
} // namespace

void ycc_to_bgr_row_sse2(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                         const std::uint8_t* cr, std::uint8_t* bgr, int width) {
  const __m128 kb = _mm_set1_ps(kCbToB), kgb = _mm_set1_ps(kCbToG);
  const __m128 kr = _mm_set1_ps(kCrToR), kgr = _mm_set1_ps(kCrToG);
  const __m128i zero = _mm_setzero_si128();
  alignas(16) std::uint8_t pix[64];
  int x = 0;
  // Each pixel is stored as 4 bytes at 3-byte steps; the last group of a row
  // stays on the scalar path so that nothing is written past the row.
  for (; x + 17 <= width; x += 16) {
    const __m128i yv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    const __m128i bv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
    const __m128i rv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
    __m128i out_b[2], out_g[2], out_r[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i y16 = h ? _mm_unpackhi_epi8(yv, zero) : _mm_unpacklo_epi8(yv, zero);
      const __m128i b16 = h ? _mm_unpackhi_epi8(bv, zero) : _mm_unpacklo_epi8(bv, zero);
      const __m128i r16 = h ? _mm_unpackhi_epi8(rv, zero) : _mm_unpacklo_epi8(rv, zero);
      out_b[h] = _mm_add_epi16(y16, scale8(b16, kb));
      out_g[h] = _mm_sub_epi16(_mm_sub_epi16(y16, scale8(b16, kgb)), scale8(r16, kgr));
      out_r[h] = _mm_add_epi16(y16, scale8(r16, kr));
    }
    const __m128i b8 = _mm_packus_epi16(out_b[0], out_b[1]);
    const __m128i g8 = _mm_packus_epi16(out_g[0], out_g[1]);
    const __m128i r8 = _mm_packus_epi16(out_r[0], out_r[1]);
    const __m128i bg_lo = _mm_unpacklo_epi8(b8, g8), bg_hi = _mm_unpackhi_epi8(b8, g8);
    const __m128i rz_lo = _mm_unpacklo_epi8(r8, zero), rz_hi = _mm_unpackhi_epi8(r8, zero);
    _mm_store_si128(reinterpret_cast<__m128i*>(pix), _mm_unpacklo_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 16), _mm_unpackhi_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 32), _mm_unpacklo_epi16(bg_hi, rz_hi));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 48), _mm_unpackhi_epi16(bg_hi, rz_hi));
    std::uint8_t* d = bgr + 3 * x;
    for (int i = 0; i < 16; ++i) std::memcpy(d + 3 * i, pix + 4 * i, 4);
  }
  ycc_to_bgr_row_portable(t, y + x, cb + x, cr + x, bgr + 3 * x, width - x);
}
#endif

void ycc_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                         const std::uint8_t* cr, std::uint8_t* bgr, int width) {
  const int x = avx2::ycc_to_bgr(y, cb, cr, bgr, width);
  ycc_to_bgr_row_portable(t, y + x, cb + x, cr + x, bgr + 3 * x, width - x);
}

void ycc_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                    const std::uint8_t* cr, std::uint8_t* bgr, int width) {
  if (Level() == SimdLevel::avx2) {
    ycc_to_bgr_row_avx2(t, y, cb, cr, bgr, width);
    return;
  }
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (Level() == SimdLevel::sse2) {
    ycc_to_bgr_row_sse2(t, y, cb, cr, bgr, width);
    return;
  }
#endif
  ycc_to_bgr_row_portable(t, y, cb, cr, bgr, width);
}

void chroma_terms(const YccTables& t, bool cr, const std::uint8_t* c, int factor, int out_width,
                  std::int16_t* a, std::int16_t* b) {
  const std::int32_t* table_a = cr ? t.cr_to_r : t.cb_to_b;
  const std::int32_t* table_b = cr ? t.cr_to_g : t.cb_to_g;
  const int n = (out_width + factor - 1) / factor;
  int s = 0;
  if (Level() == SimdLevel::avx2)
    s = avx2::chroma_terms(cr ? kCrToR : kCbToB, cr ? kCrToG : kCbToG, c, factor, n, a, b);
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (Level() == SimdLevel::sse2 && (factor == 1 || factor == 2)) {
    // The table values worked out eight at a time (the same single
    // precision products, rounded half to even by the conversion).
    const __m128 ka = _mm_set1_ps(cr ? kCrToR : kCbToB);
    const __m128 kb = _mm_set1_ps(cr ? kCrToG : kCbToG);
    const __m128i zero = _mm_setzero_si128();
    for (; s + 8 <= n; s += 8) {
      const __m128i c16 =
          _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + s)), zero);
      const __m128i va = scale8(c16, ka), vb = scale8(c16, kb);
      if (factor == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + s), va);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + s), vb);
      } else {
        // Eight chroma samples give sixteen entries (the arrays have 16 spare).
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 2 * s), _mm_unpacklo_epi16(va, va));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 2 * s + 8), _mm_unpackhi_epi16(va, va));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * s), _mm_unpacklo_epi16(vb, vb));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 2 * s + 8), _mm_unpackhi_epi16(vb, vb));
      }
    }
  }
#endif
  for (int x = s * factor; s < n; ++s) {
    const auto ta = static_cast<std::int16_t>(table_a[c[s]]);
    const auto tb = static_cast<std::int16_t>(table_b[c[s]]);
    for (int k = 0; k < factor && x < out_width; ++k, ++x) {
      a[x] = ta;
      b[x] = tb;
    }
  }
}

void ycc_terms_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y,
                                   const std::int16_t* tb, const std::int16_t* tgb,
                                   const std::int16_t* tgr, const std::int16_t* tr,
                                   std::uint8_t* bgr, int width) {
  const std::uint8_t* clamp = t.clamp();
  for (int x = 0; x < width; ++x) {
    const int yy = y[x];
    bgr[0] = clamp[yy + tb[x]];
    bgr[1] = clamp[yy - tgb[x] - tgr[x]];
    bgr[2] = clamp[yy + tr[x]];
    bgr += 3;
  }
}

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
void ycc_terms_to_bgr_row_sse2(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                               const std::int16_t* tgb, const std::int16_t* tgr,
                               const std::int16_t* tr, std::uint8_t* bgr, int width) {
  const __m128i zero = _mm_setzero_si128();
  alignas(16) std::uint8_t pix[64];
  int x = 0;
  for (; x + 17 <= width; x += 16) {
    const __m128i yv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    __m128i out_b[2], out_g[2], out_r[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i y16 = h ? _mm_unpackhi_epi8(yv, zero) : _mm_unpacklo_epi8(yv, zero);
      const int o = x + 8 * h;
      const auto load = [o](const std::int16_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + o));
      };
      out_b[h] = _mm_add_epi16(y16, load(tb));
      out_g[h] = _mm_sub_epi16(_mm_sub_epi16(y16, load(tgb)), load(tgr));
      out_r[h] = _mm_add_epi16(y16, load(tr));
    }
    const __m128i b8 = _mm_packus_epi16(out_b[0], out_b[1]);
    const __m128i g8 = _mm_packus_epi16(out_g[0], out_g[1]);
    const __m128i r8 = _mm_packus_epi16(out_r[0], out_r[1]);
    const __m128i bg_lo = _mm_unpacklo_epi8(b8, g8), bg_hi = _mm_unpackhi_epi8(b8, g8);
    const __m128i rz_lo = _mm_unpacklo_epi8(r8, zero), rz_hi = _mm_unpackhi_epi8(r8, zero);
    _mm_store_si128(reinterpret_cast<__m128i*>(pix), _mm_unpacklo_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 16), _mm_unpackhi_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 32), _mm_unpacklo_epi16(bg_hi, rz_hi));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 48), _mm_unpackhi_epi16(bg_hi, rz_hi));
    std::uint8_t* d = bgr + 3 * x;
    for (int i = 0; i < 16; ++i) std::memcpy(d + 3 * i, pix + 4 * i, 4);
  }
  ycc_terms_to_bgr_row_portable(t, y + x, tb + x, tgb + x, tgr + x, tr + x, bgr + 3 * x, width - x);
}
#endif

void ycc_half_terms_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y,
                                        const std::int16_t* tb, const std::int16_t* tgb,
                                        const std::int16_t* tgr, const std::int16_t* tr,
                                        std::uint8_t* bgr, int width) {
  const std::uint8_t* clamp = t.clamp();
  for (int x = 0; x < width; ++x) {
    const int yy = y[x], h = x >> 1;
    bgr[0] = clamp[yy + tb[h]];
    bgr[1] = clamp[yy - tgb[h] - tgr[h]];
    bgr[2] = clamp[yy + tr[h]];
    bgr += 3;
  }
}

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
void ycc_half_terms_to_bgr_row_sse2(const YccTables& t, const std::uint8_t* y,
                                    const std::int16_t* tb, const std::int16_t* tgb,
                                    const std::int16_t* tgr, const std::int16_t* tr,
                                    std::uint8_t* bgr, int width) {
  const __m128i zero = _mm_setzero_si128();
  alignas(16) std::uint8_t pix[64];
  int x = 0;
  for (; x + 17 <= width; x += 16) {
    const __m128i yv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    const int h = x >> 1;
    const auto load = [h](const std::int16_t* p) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + h));
    };
    const __m128i vb = load(tb), vgb = load(tgb), vgr = load(tgr), vr = load(tr);
    __m128i out_b[2], out_g[2], out_r[2];
    for (int k = 0; k < 2; ++k) {
      const __m128i y16 = k ? _mm_unpackhi_epi8(yv, zero) : _mm_unpacklo_epi8(yv, zero);
      const auto dup = [k](__m128i v) {
        return k ? _mm_unpackhi_epi16(v, v) : _mm_unpacklo_epi16(v, v);
      };
      out_b[k] = _mm_add_epi16(y16, dup(vb));
      out_g[k] = _mm_sub_epi16(_mm_sub_epi16(y16, dup(vgb)), dup(vgr));
      out_r[k] = _mm_add_epi16(y16, dup(vr));
    }
    const __m128i b8 = _mm_packus_epi16(out_b[0], out_b[1]);
    const __m128i g8 = _mm_packus_epi16(out_g[0], out_g[1]);
    const __m128i r8 = _mm_packus_epi16(out_r[0], out_r[1]);
    const __m128i bg_lo = _mm_unpacklo_epi8(b8, g8), bg_hi = _mm_unpackhi_epi8(b8, g8);
    const __m128i rz_lo = _mm_unpacklo_epi8(r8, zero), rz_hi = _mm_unpackhi_epi8(r8, zero);
    _mm_store_si128(reinterpret_cast<__m128i*>(pix), _mm_unpacklo_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 16), _mm_unpackhi_epi16(bg_lo, rz_lo));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 32), _mm_unpacklo_epi16(bg_hi, rz_hi));
    _mm_store_si128(reinterpret_cast<__m128i*>(pix + 48), _mm_unpackhi_epi16(bg_hi, rz_hi));
    std::uint8_t* d = bgr + 3 * x;
    for (int i = 0; i < 16; ++i) std::memcpy(d + 3 * i, pix + 4 * i, 4);
  }
  // x is even here, so the half-resolution terms continue at x / 2.
  ycc_half_terms_to_bgr_row_portable(t, y + x, tb + x / 2, tgb + x / 2, tgr + x / 2, tr + x / 2,
                                     bgr + 3 * x, width - x);
}
#endif

void ycc_half_terms_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y,
                                    const std::int16_t* tb, const std::int16_t* tgb,
                                    const std::int16_t* tgr, const std::int16_t* tr,
                                    std::uint8_t* bgr, int width) {
  // The count done is even, so the half-resolution terms continue at x / 2.
  const int x = avx2::ycc_half_terms_to_bgr(y, tb, tgb, tgr, tr, bgr, width);
  ycc_half_terms_to_bgr_row_portable(t, y + x, tb + x / 2, tgb + x / 2, tgr + x / 2, tr + x / 2,
                                     bgr + 3 * x, width - x);
}

void ycc_half_terms_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                               const std::int16_t* tgb, const std::int16_t* tgr,
                               const std::int16_t* tr, std::uint8_t* bgr, int width) {
  if (Level() == SimdLevel::avx2) {
    ycc_half_terms_to_bgr_row_avx2(t, y, tb, tgb, tgr, tr, bgr, width);
    return;
  }
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (Level() == SimdLevel::sse2) {
    ycc_half_terms_to_bgr_row_sse2(t, y, tb, tgb, tgr, tr, bgr, width);
    return;
  }
#endif
  ycc_half_terms_to_bgr_row_portable(t, y, tb, tgb, tgr, tr, bgr, width);
}

void ycc_terms_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                               const std::int16_t* tgb, const std::int16_t* tgr,
                               const std::int16_t* tr, std::uint8_t* bgr, int width) {
  const int x = avx2::ycc_terms_to_bgr(y, tb, tgb, tgr, tr, bgr, width);
  ycc_terms_to_bgr_row_portable(t, y + x, tb + x, tgb + x, tgr + x, tr + x, bgr + 3 * x, width - x);
}

void ycc_terms_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                          const std::int16_t* tgb, const std::int16_t* tgr, const std::int16_t* tr,
                          std::uint8_t* bgr, int width) {
  if (Level() == SimdLevel::avx2) {
    ycc_terms_to_bgr_row_avx2(t, y, tb, tgb, tgr, tr, bgr, width);
    return;
  }
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (Level() == SimdLevel::sse2) {
    ycc_terms_to_bgr_row_sse2(t, y, tb, tgb, tgr, tr, bgr, width);
    return;
  }
#endif
  ycc_terms_to_bgr_row_portable(t, y, tb, tgb, tgr, tr, bgr, width);
}

void rgb_to_bgr_row(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                    std::uint8_t* bgr, int width) {
  for (int x = 0; x < width; ++x) {
    bgr[0] = b[x];
    bgr[1] = g[x];
    bgr[2] = r[x];
    bgr += 3;
  }
}

void upsample_row(const std::uint8_t* src, std::uint8_t* dst, int factor, int out_width) {
  if (factor == 2) {
    int x = 0;
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
    for (; x + 32 <= out_width; x += 32) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x / 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_unpacklo_epi8(v, v));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x + 16), _mm_unpackhi_epi8(v, v));
    }
#endif
    for (; x < out_width; ++x) dst[x] = src[x >> 1];
    return;
  }
  int x = 0;
  for (int s = 0; x < out_width; ++s)
    for (int k = 0; k < factor && x < out_width; ++k) dst[x++] = src[s];
}

} // namespace vex::jpeg

namespace vex::jpeg {

void cmyk_to_bgr_row(const YccTables* ycck, bool inverted, const std::uint8_t* c0,
                     const std::uint8_t* c1, const std::uint8_t* c2, const std::uint8_t* k,
                     std::uint8_t* bgr, int width) {
  const std::uint8_t* clamp = ycck ? ycck->clamp() : nullptr;
  for (int x = 0; x < width; ++x) {
    int c = c0[x], m = c1[x], y = c2[x];
    if (ycck) {
      // Y, Cb, Cr stand for the complements of C, M, Y.
      const int yy = c0[x], cb = c1[x], cr = c2[x];
      c = 255 - clamp[yy + ycck->cr_to_r[cr]];
      m = 255 - clamp[yy - ycck->cb_to_g[cb] - ycck->cr_to_g[cr]];
      y = 255 - clamp[yy + ycck->cb_to_b[cb]];
    }
    int kk = k[x];
    if (!inverted) {
      c = 255 - c, m = 255 - m, y = 255 - y, kk = 255 - kk;
    }
    // Each channel is (1 - ink) (1 - black); the values here are the
    // complements, so a product suffices. x / 255 never ends in one half.
    bgr[0] = static_cast<std::uint8_t>((y * kk + 127) / 255);
    bgr[1] = static_cast<std::uint8_t>((m * kk + 127) / 255);
    bgr[2] = static_cast<std::uint8_t>((c * kk + 127) / 255);
    bgr += 3;
  }
}

} // namespace vex::jpeg
