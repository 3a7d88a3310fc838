// The JPEG writer: colour conversion, downsampling and the forward transform
// of every block (per MCU row in each pass of a sequential file, possibly on
// a helper thread; of the whole image for a progressive one), then each scan
// coded twice (counting pass, optimal Huffman tables, writing pass), with the
// JFIF, comment, frame, table and scan headers.
#include "format_kit.h"
#include "jpeg_internal.h"

#include "platform/cpu_features.h"
#include "platform/rounding.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace vex::jpeg {

std::uint8_t LumaExact(int r, int g, int b) {
  const long double y = 0.2989L * r + 0.5867L * g + 0.1144L * b;
  return static_cast<std::uint8_t>(vex::round_to_int32(y));
}

std::uint8_t CbExact(int r, int g, int b) {
  const long double v = -0.1687L * r - 0.3312L * g + 0.5L * b + 127.5L;
  return static_cast<std::uint8_t>(vex::round_to_int32(v));
}

std::uint8_t CrExact(int r, int g, int b) {
  const long double v = 0.5L * r - 0.4183L * g - 0.0816L * b + 127.5L;
  return static_cast<std::uint8_t>(vex::round_to_int32(v));
}

std::uint8_t ExactTie(int which, int r, int g, int b) {
  // The same colours tie again and again (black, and in stretched photographs
  // clipped channels: r = g = 0 with an even b for Cb, say), so each thread
  // keeps the last answers. Key 0 is no colour (which is never -1).
  struct Entry {
    std::uint32_t key;
    std::uint8_t value;
  };
  thread_local Entry cache[64] = {};
  const std::uint32_t key = (static_cast<std::uint32_t>(which + 1) << 24) |
                            (static_cast<std::uint32_t>(r) << 16) |
                            (static_cast<std::uint32_t>(g) << 8) | static_cast<std::uint32_t>(b);
  Entry& e = cache[(key * 0x9E3779B1u) >> 26];
  if (e.key != key)
    e = {key, which == 0 ? LumaExact(r, g, b) : which == 1 ? CbExact(r, g, b) : CrExact(r, g, b)};
  return e.value;
}

void ConvertRowRGBPortable(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                           std::uint8_t* cb, std::uint8_t* cr) {
  for (std::int64_t x = 0; x < width; ++x, src += step) {
    const int b = src[0], g = src[1], r = src[2];
    y[x] = Luma(r, g, b);
    cb[x] = Cb(r, g, b);
    cr[x] = Cr(r, g, b);
  }
}

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
namespace {

// round(n / 10000) for 0 <= n <= 2550000 with exact ties flagged, as the
// AVX2 kernel does it (see there why the truncated product is exact).
inline __m128i RoundQuotient(__m128i n, __m128i& tie) {
  const __m128i t = _mm_add_epi32(n, _mm_set1_epi32(5000));
  const __m128i q = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(t), _mm_set1_ps(1.0f / 10000.0f)));
  // q < 2^15: q * 10000 through the 16-bit multiply-add.
  tie = _mm_cmpeq_epi32(_mm_madd_epi16(q, _mm_set1_epi32(10000)), t);
  return q;
}

inline int Mask(__m128i m) {
  return _mm_movemask_ps(_mm_castsi128_ps(m));
}

} // namespace
#endif

void ConvertRowRGB(const std::uint8_t* src, int step, std::int64_t width, std::uint8_t* y,
                   std::uint8_t* cb, std::uint8_t* cr) {
  static const vex::platform::SimdLevel level = vex::platform::simd_level();
  if (level == vex::platform::SimdLevel::avx2) {
    ConvertRowRGBAvx2(src, step, width, y, cb, cr);
    return;
  }
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (level == vex::platform::SimdLevel::sse2) {
    std::int64_t x = 0;
    const __m128i low24 = _mm_set1_epi32(0x00FFFFFF);
    const __m128i byte0 = _mm_set1_epi32(0xFF);
    const __m128i byte2 = _mm_set1_epi32(0x00FF0000);
    const __m128i offset = _mm_set1_epi32(1275000);
    // A 16-byte load covers 4 pixels of 32 bits, or 4 of 24 bits and more:
    // 24-bit rows keep the last 2 pixels for the scalar tail.
    const std::int64_t end = step == 4 ? width - 3 : width - 5;
    for (; x < end; x += 4, src += 4 * step) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
      __m128i px = v; // lanes: b | g << 8 | r << 16
      if (step == 3) {
        const __m128i t01 = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
        const __m128i t23 = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
        px = _mm_unpacklo_epi64(t01, t23);
      }
      px = _mm_and_si128(px, low24);
      // (r, g) and (b, 0) as 16-bit pairs of each 32-bit lane.
      const __m128i rg =
          _mm_or_si128(_mm_srli_epi32(px, 16), _mm_and_si128(_mm_slli_epi32(px, 8), byte2));
      const __m128i b0 = _mm_and_si128(px, byte0);
      const __m128i ny = _mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32((5867 << 16) | 2989)),
                                       _mm_madd_epi16(b0, _mm_set1_epi32(1144)));
      const __m128i nb = _mm_add_epi32(
          _mm_add_epi32(
              _mm_madd_epi16(
                  rg, _mm_set1_epi32(static_cast<int>((0x10000u - 3312) << 16) | (0x10000 - 1687))),
              _mm_madd_epi16(b0, _mm_set1_epi32(5000))),
          offset);
      const __m128i nr = _mm_add_epi32(
          _mm_add_epi32(
              _mm_madd_epi16(rg, _mm_set1_epi32(static_cast<int>((0x10000u - 4183) << 16) | 5000)),
              _mm_madd_epi16(b0, _mm_set1_epi32(0x10000 - 816))),
          offset);
      __m128i ty, tb, tr;
      const __m128i qy = RoundQuotient(ny, ty);
      const __m128i qb = RoundQuotient(nb, tb);
      const __m128i qr = RoundQuotient(nr, tr);
      // Bytes: Y0..Y3, Cb0..Cb3, Cr0..Cr3.
      const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(qy, qb), _mm_packs_epi32(qr, qr));
      const auto y4 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
      const auto b4 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 4)));
      const auto r4 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
      std::memcpy(y + x, &y4, 4);
      std::memcpy(cb + x, &b4, 4);
      std::memcpy(cr + x, &r4, 4);
      if (Mask(_mm_or_si128(ty, _mm_or_si128(tb, tr))) != 0) {
        // Exact ties: the extended-precision value decides.
        const int my = Mask(ty), mb = Mask(tb), mr = Mask(tr);
        for (int i = 0; i < 4; ++i) {
          const std::uint8_t* p = src + i * step;
          if ((my >> i) & 1) y[x + i] = ExactTie(0, p[2], p[1], p[0]);
          if ((mb >> i) & 1) cb[x + i] = ExactTie(1, p[2], p[1], p[0]);
          if ((mr >> i) & 1) cr[x + i] = ExactTie(2, p[2], p[1], p[0]);
        }
      }
    }
    ConvertRowRGBPortable(src, step, width - x, y + x, cb + x, cr + x);
    return;
  }
#endif
  ConvertRowRGBPortable(src, step, width, y, cb, cr);
}

void AverageAcrossPortable(std::uint8_t* row, std::int64_t stride, int hf) {
  const std::int64_t outputs = stride / hf;
  for (std::int64_t x = 0; x < outputs; ++x) {
    unsigned sum = 0;
    for (int j = 0; j < hf; ++j) sum += row[x * hf + j];
    row[x] = static_cast<std::uint8_t>(sum / static_cast<unsigned>(hf));
  }
}

void AverageDownPortable(const std::uint8_t* const* rows, int vf, std::int64_t width,
                         std::uint8_t* out) {
  for (std::int64_t x = 0; x < width; ++x) {
    unsigned sum = 0;
    for (int j = 0; j < vf; ++j) sum += rows[j][x];
    out[x] = static_cast<std::uint8_t>(sum / static_cast<unsigned>(vf));
  }
}

void AverageAcross(std::uint8_t* row, std::int64_t stride, int hf) {
  std::int64_t x = 0;
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (hf == 2 && vex::platform::simd_enabled()) {
    // 32 samples in, 16 averages out; both loads come before the store, and
    // the store never reaches samples a later step still reads.
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; 2 * x + 32 <= stride; x += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * x + 16));
      const __m128i sa =
          _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(a, low), _mm_srli_epi16(a, 8)), 1);
      const __m128i sb =
          _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(b, low), _mm_srli_epi16(b, 8)), 1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_packus_epi16(sa, sb));
    }
  }
#endif
  const std::int64_t outputs = stride / hf;
  for (; x < outputs; ++x) {
    unsigned sum = 0;
    for (int j = 0; j < hf; ++j) sum += row[x * hf + j];
    row[x] = static_cast<std::uint8_t>(sum / static_cast<unsigned>(hf));
  }
}

void AverageDown(const std::uint8_t* const* rows, int vf, std::int64_t width, std::uint8_t* out) {
  std::int64_t x = 0;
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (vf == 2 && vex::platform::simd_enabled()) {
    // The rounding-up byte average less the dropped half: (a + b) >> 1.
    const __m128i one = _mm_set1_epi8(1);
    for (; x + 16 <= width; x += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[1] + x));
      const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), avg);
    }
  }
#endif
  for (; x < width; ++x) {
    unsigned sum = 0;
    for (int j = 0; j < vf; ++j) sum += rows[j][x];
    out[x] = static_cast<std::uint8_t>(sum / static_cast<unsigned>(vf));
  }
}

} // namespace vex::jpeg

namespace {

using vex::jpeg::ZigZag;

// Sampling factors (H, V) of Y, Cb and Cr for a SubSampling mode.
void SamplingFactors(int sub_sampling, unsigned quality, int factors[3][2]) {
  static const int k420[3][2] = {{2, 2}, {1, 1}, {1, 1}};
  static const int kQ25[3][2] = {{2, 2}, {1, 1}, {2, 1}};
  static const int kQ50[3][2] = {{2, 2}, {2, 1}, {2, 2}};
  static const int k444[3][2] = {{1, 1}, {1, 1}, {1, 1}};
  static const int kMode2[3][2] = {{2, 2}, {2, 1}, {2, 1}};
  const int(*table)[2] = k444;
  if (sub_sampling == 0) {
    table = quality < 25 ? k420 : quality < 50 ? kQ25 : quality < 75 ? kQ50 : k444;
  } else if (sub_sampling == 1) {
    table = k420;
  } else if (sub_sampling == 2) {
    table = kMode2;
  }
  std::memcpy(factors, table, sizeof(int) * 6);
}

inline int MagnitudeCategory(int v) {
  return static_cast<int>(std::bit_width(static_cast<unsigned>(v < 0 ? -v : v)));
}

// Low `category` bits of v (v - 1 for negative values).
inline std::uint32_t MagnitudeBits(int v, int category) {
  const int bits = v < 0 ? v - 1 : v;
  return static_cast<std::uint32_t>(bits) & ((1u << category) - 1u);
}

void WriteMarker(TvexBufferStream& s, std::uint16_t marker) {
  s.WriteWord(marker);
}

} // namespace

// ---------------------------------------------------------------------------
// Sequential block coder

void TvexJPEGComponent::EncodeSequential(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  const bool writing =
      EmitAC == &TvexJPEGComponent::WriteAC && EmitDC == &TvexJPEGComponent::WriteDC;
  const bool counting =
      EmitAC == &TvexJPEGComponent::CountAC && EmitDC == &TvexJPEGComponent::CountDC;

  // The non-zero AC positions in zig-zag order; values are read only there.
  std::uint64_t nonzero = vex::jpeg::NonZeroMask(block) & ~std::uint64_t{1};
  auto zz = [block](int k) -> int { return block[ZigZag[k]]; };
  const int diff = block[0] - LastDC;
  LastDC = block[0];
  const int dc_category = MagnitudeCategory(diff);
  // Each AC symbol of the block in order (runs of sixteen zeros, values with
  // their magnitude bits, the end of block), once.
  const auto each_ac = [&](auto&& symbol) {
    int previous = 0;
    while (nonzero != 0) {
      const int k = std::countr_zero(nonzero);
      nonzero &= nonzero - 1;
      int run = k - previous - 1;
      while (run > 15) {
        symbol(0xF0, 0u, 0);
        run -= 16;
      }
      const int v = zz(k);
      const int category = MagnitudeCategory(v);
      symbol((run << 4) + category, MagnitudeBits(v, category), category);
      previous = k;
    }
    if (previous != 63) symbol(0x00, 0u, 0);
  };

  if (counting) {
    // The symbols' frequencies, and the symbols themselves (with their
    // magnitude bits) while the scan keeps them.
    const auto count = [&]<bool Keep>(std::uint16_t* w) {
      const auto emit = [&](std::uint32_t* freq, int symbol, std::uint32_t bits, int size) {
        freq[symbol] += 1;
        if constexpr (Keep) {
          if (size <= 8) {
            *w++ = static_cast<std::uint16_t>((symbol << 8) | static_cast<int>(bits));
          } else {
            *w++ = static_cast<std::uint16_t>(symbol << 8);
            *w++ = static_cast<std::uint16_t>(bits);
          }
        }
      };
      emit(DCTable->FrequencyData(), dc_category, MagnitudeBits(diff, dc_category), dc_category);
      std::uint32_t* freq = ACTable->FrequencyData();
      each_ac([&](int symbol, std::uint32_t bits, int size) { emit(freq, symbol, bits, size); });
      return w;
    };
    if (Tokens && !Tokens->dropped) {
      JPEGScanTokens& t = *Tokens;
      t.size = static_cast<std::size_t>(count.template operator()<true>(t.data + t.size) - t.data);
      if (t.size > t.budget) t.Drop();
    } else {
      count.template operator()<false>(nullptr);
    }
    return;
  }

  if (writing) {
    const std::uint32_t* dc_code = DCTable->CodeData();
    const std::uint32_t* dc_length = DCTable->CodeLengthData();
    const std::uint32_t* ac_code = ACTable->CodeData();
    const std::uint32_t* ac_length = ACTable->CodeLengthData();
    JPEGBitWriter& out = *Bits;
    if (dc_length[dc_category] == 0) throw vex::ImagingError(vex::jpeg::kMsgMissingCode);
    out.Put(dc_code[dc_category], static_cast<int>(dc_length[dc_category]));
    out.Put(MagnitudeBits(diff, dc_category), dc_category);
    each_ac([&](int symbol, std::uint32_t bits, int size) {
      if (ac_length[symbol] == 0) throw vex::ImagingError(vex::jpeg::kMsgMissingCode);
      out.Put(ac_code[symbol], static_cast<int>(ac_length[symbol]));
      if (size > 0) out.Put(bits, size);
    });
    return;
  }

  // Other emitters: go through the hooks.
  (this->*EmitDC)(dc_category, MagnitudeBits(diff, dc_category));
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const int v = zz(k);
    if (v == 0) {
      ++run;
      continue;
    }
    while (run > 15) {
      (this->*EmitAC)(0xF0, 0, 0);
      run -= 16;
    }
    const int category = MagnitudeCategory(v);
    (this->*EmitAC)((run << 4) + category, MagnitudeBits(v, category), category);
    run = 0;
  }
  if (run > 0) (this->*EmitAC)(0x00, 0, 0);
}

// ---------------------------------------------------------------------------
// Component sample processing

namespace {

using vex::jpeg::AverageAcross;
using vex::jpeg::AverageDown;

} // namespace

void TvexJPEGComponent::Downsample() {
  if (Samples.empty() || RowStride <= 0 || Presampled) return;
  const std::int64_t rows = SampleBufferSize / RowStride;
  if (Hf != 1)
    for (std::int64_t r = 0; r < rows; ++r)
      AverageAcross(Samples.data() + r * RowStride, RowStride, Hf);
  if (Vf != 1) {
    const std::int64_t groups = rows / Vf;
    const std::int64_t width = std::min<std::int64_t>(std::int64_t{8} * BlocksPerLine, RowStride);
    std::vector<const std::uint8_t*> in(static_cast<std::size_t>(Vf));
    for (std::int64_t r = 0; r < groups; ++r) {
      for (int j = 0; j < Vf; ++j)
        in[static_cast<std::size_t>(j)] = Samples.data() + (r * Vf + j) * RowStride;
      AverageDown(in.data(), Vf, width, Samples.data() + r * RowStride);
    }
  }
}

void TvexJPEGComponent::TransformAll() {
  if (Samples.empty() || Coefficients.empty()) return;
  std::int16_t* out = Coefficients.data();
  for (std::int32_t a = 0; a < BlocksDown; ++a) {
    const std::uint8_t* row = Samples.data() + std::int64_t{8} * a * RowStride;
    for (std::int32_t b = 0; b < BlocksPerLine; ++b, out += 64)
      DCT.ForwardDCT(row + 8 * b, static_cast<std::ptrdiff_t>(RowStride), out);
  }
}

// ---------------------------------------------------------------------------
// Image object: colour conversion

namespace {

// Pads a sample row to the stride with its last sample.
inline void PadRow(std::uint8_t* row, std::int64_t width, std::int64_t stride) {
  if (width > 0 && width < stride)
    std::memset(row + width, row[width - 1], static_cast<std::size_t>(stride - width));
}

// Rows below the image repeat the last image row.
void FillBelow(TvexJPEGComponent& c, std::int64_t height) {
  if (height <= 0) return;
  const std::int64_t rows = c.SampleBufferSize / c.RowStride;
  const std::uint8_t* last = c.Samples.data() + (height - 1) * c.RowStride;
  for (std::int64_t r = height; r < rows; ++r)
    std::memcpy(c.Samples.data() + r * c.RowStride, last, static_cast<std::size_t>(c.RowStride));
}

} // namespace

namespace {

// Gathers the full-resolution rows of a subsampled component and writes
// their averages (across, then down) as each group of Vf rows completes:
// the same samples the whole-buffer Downsample computes.
class RowSampler {
public:
  explicit RowSampler(TvexJPEGComponent& c)
      : c_(c), staged_(static_cast<std::size_t>(c.Vf * c.RowStride)),
        rows_(static_cast<std::size_t>(c.Vf)) {
    for (int j = 0; j < c.Vf; ++j)
      rows_[static_cast<std::size_t>(j)] = staged_.data() + j * c.RowStride;
  }
  // Row buffer for full-resolution row y (fill it, padded, then call Push).
  std::uint8_t* Slot(std::int64_t y) { return staged_.data() + (y % c_.Vf) * c_.RowStride; }
  void Push(std::int64_t y) {
    std::uint8_t* row = Slot(y);
    if (c_.Hf != 1) AverageAcross(row, c_.RowStride, c_.Hf);
    if ((y + 1) % c_.Vf != 0) return;
    const std::int64_t out_row = y / c_.Vf;
    std::uint8_t* out = c_.Samples.data() + out_row * c_.RowStride;
    const std::int64_t width = c_.RowStride / c_.Hf;
    if (c_.Vf == 1)
      std::memcpy(out, row, static_cast<std::size_t>(width));
    else
      AverageDown(rows_.data(), c_.Vf, width, out);
  }
  // After the last image row: the rows below repeat it (averaged across
  // already, as the last row is once pushed).
  void Finish(std::int64_t height) {
    const std::int64_t out_rows = c_.SampleBufferSize / c_.RowStride;
    const std::int64_t width = c_.RowStride / c_.Hf;
    const std::vector<std::uint8_t> last(Slot(height - 1), Slot(height - 1) + c_.RowStride);
    std::int64_t y = height;
    // Complete the group the last image row belongs to.
    for (; y % c_.Vf != 0; ++y) {
      std::memcpy(Slot(y), last.data(), static_cast<std::size_t>(c_.RowStride));
      if ((y + 1) % c_.Vf == 0)
        AverageDown(rows_.data(), c_.Vf, width, c_.Samples.data() + (y / c_.Vf) * c_.RowStride);
    }
    // A group of copies averages to the copy itself.
    for (std::int64_t r = y / c_.Vf; r < out_rows; ++r)
      std::memcpy(c_.Samples.data() + r * c_.RowStride, last.data(),
                  static_cast<std::size_t>(width));
  }

private:
  TvexJPEGComponent& c_;
  std::vector<std::uint8_t> staged_;
  std::vector<const std::uint8_t*> rows_;
};

} // namespace

void TvexJPEGImage::ConvertToYCbCr() {
  const auto& h = BitmapInfo->bmiHeader;
  const std::int64_t width = h.biWidth;
  const std::int64_t height = std::abs(std::int64_t{h.biHeight});
  const bool top_down = h.biHeight < 0;
  TvexJPEGComponent* comp[3] = {Components[0].get(), Components[1].get(), Components[2].get()};
  const std::int64_t stride = comp[0]->RowStride;
  std::unique_ptr<RowSampler> sampler[3];
  for (int i = 0; i < 3; ++i)
    if (comp[i]->Presampled) sampler[i] = std::make_unique<RowSampler>(*comp[i]);
  // Palette as three lookup tables of Y, Cb and Cr.
  std::uint8_t pal[3][256];
  if (BitCount == 8) {
    for (int i = 0; i < 256; ++i) {
      const auto& q = BitmapInfo->bmiColors[i];
      pal[0][i] = vex::jpeg::Luma(q.rgbRed, q.rgbGreen, q.rgbBlue);
      pal[1][i] = vex::jpeg::Cb(q.rgbRed, q.rgbGreen, q.rgbBlue);
      pal[2][i] = vex::jpeg::Cr(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
  }
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* src = DIBBits + (top_down ? y : height - 1 - y) * LineWidth;
    std::uint8_t* out[3];
    for (int i = 0; i < 3; ++i)
      out[i] = sampler[i] ? sampler[i]->Slot(y) : comp[i]->Samples.data() + y * stride;
    if (BitCount == 8) {
      for (std::int64_t x = 0; x < width; ++x) {
        const std::uint8_t v = src[x];
        out[0][x] = pal[0][v];
        out[1][x] = pal[1][v];
        out[2][x] = pal[2][v];
      }
    } else {
      vex::jpeg::ConvertRowRGB(src, BitCount == 32 ? 4 : 3, width, out[0], out[1], out[2]);
    }
    for (int i = 0; i < 3; ++i) {
      PadRow(out[i], width, stride);
      if (sampler[i]) sampler[i]->Push(y);
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (sampler[i])
      sampler[i]->Finish(height);
    else
      FillBelow(*comp[i], height);
  }
}

void TvexJPEGImage::ConvertGrey() {
  const auto& h = BitmapInfo->bmiHeader;
  const std::int64_t width = h.biWidth;
  const std::int64_t height = std::abs(std::int64_t{h.biHeight});
  const bool top_down = h.biHeight < 0;
  TvexJPEGComponent& c = *Components[0];
  // The grey level of an index is its palette entry: the identity for a
  // black-to-white ramp, 255 - index for a white-to-black one, and right for
  // any other grey palette too.
  std::uint8_t level[256];
  for (int i = 0; i < 256; ++i) level[i] = BitmapInfo->bmiColors[i].rgbRed;
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* src = DIBBits + (top_down ? y : height - 1 - y) * LineWidth;
    std::uint8_t* out = c.Samples.data() + y * c.RowStride;
    for (std::int64_t x = 0; x < width; ++x) out[x] = level[src[x]];
    // Padding repeats the edge samples, as the colour path does.
    PadRow(out, width, c.RowStride);
  }
  FillBelow(c, height);
}

// ---------------------------------------------------------------------------
// Sequential files: coefficients made one MCU row at a time

namespace {

// The picture as the band maker reads it.
struct BandSource {
  const std::uint8_t* bits = nullptr;
  std::int64_t line = 0; // bytes per DIB row
  std::int64_t width = 0, height = 0;
  bool top_down = false;
  int bit_count = 24;
  int count = 3; // components: 1 grey levels, 3 Y, Cb, Cr
  // 8 bits: each index's grey level, or its Y, Cb and Cr.
  std::uint8_t table[3][256] = {};
};

} // namespace

// Makes the coefficients of MCU row i of every component straight from the
// picture: conversion of its rows (rows below the picture repeat the last
// one), padding, averaging of subsampled components, forward transform. The
// counting pass asks for every row in turn (and the writing pass too when
// the counting pass could not keep its symbols), so no buffer of a whole
// component is ever needed: its fresh pages cost more than the rows' making.
// With a helper, a second thread makes rows ahead of the coder into a small
// ring of bands, and the coder makes those the helper has not got to (the
// same bytes; a thread that cannot start leaves the coder to make them all).
class JPEGBandFeed {
public:
  // Throws std::bad_alloc when not even one band can be had.
  JPEGBandFeed(TvexJPEGImage& image, const BandSource& source, int helpers)
      : source_(source), rows_(image.MCUsDown), total_(image.MCUsDown),
        mcu_height_(image.MCUHeight) {
    for (int c = 0; c < source.count; ++c) comps_[c] = image.Components[c].get();
    Allocate(work_[0]);
    bands_.resize(1);
    Allocate(bands_[0]);
    if (helpers > 0 && rows_ > 1) Start();
  }
  ~JPEGBandFeed() { Stop(); }
  JPEGBandFeed(const JPEGBandFeed&) = delete;
  JPEGBandFeed& operator=(const JPEGBandFeed&) = delete;

  // The writing pass needs the rows again (the counting pass could not keep
  // its symbols): the helper goes on making them.
  void SecondPass() {
    total_ = 2 * rows_;
    if (!sync_) return;
    {
      std::lock_guard lock(sync_->mutex);
      sync_->total = total_;
    }
    sync_->changed.notify_all();
  }

  // Points every component's CoefficientBand at the coefficients of MCU row
  // `row`. The counting pass, and the writing pass after SecondPass, ask for
  // rows 0, 1, ... in order.
  void MakeRow(int row) {
    const int s = next_++;
    if (sync_ && s < total_ && s % rows_ == row) {
      Point(Take(s), row);
      return;
    }
    Make(row, work_[0], bands_[0]);
    Point(bands_[0], row);
  }

private:
  // Ring size, and the rows a waiting thread asks for at once (one wake per
  // row costs more in system calls than it overlaps).
  static constexpr int kBands = 4, kBatch = 2;
  // bands_: the coder's own (one, or two with a helper), then the ring.
  static constexpr int kRing = 2;
  // How long (microseconds) the coder waits for a row the helper is making
  // before it makes the row itself: a few times what one row takes.
  static constexpr int kPatience = 300;
  static_assert(kBatch <= kBands, "a waiting thread must be able to get its batch");

  template <class T> using Buffer = std::vector<T, UninitialisedAllocator<T>>;
  struct Work {
    Buffer<std::uint8_t> samples[3]; // one MCU row of each component, averaged
    Buffer<std::uint8_t> stage[3];   // Vf full-resolution rows of a subsampled one
  };
  struct Band {
    Buffer<std::int16_t> coef[3];
  };

  bool Subsampled(int c) const { return comps_[c]->Hf > 1 || comps_[c]->Vf > 1; }

  void Allocate(Work& w) const {
    for (int c = 0; c < source_.count; ++c) {
      const TvexJPEGComponent& k = *comps_[c];
      w.samples[c].resize(static_cast<std::size_t>(std::int64_t{8} * k.V * k.RowStride));
      if (Subsampled(c)) w.stage[c].resize(static_cast<std::size_t>(k.Vf * k.RowStride));
    }
  }
  void Allocate(Band& b) const {
    for (int c = 0; c < source_.count; ++c) {
      const TvexJPEGComponent& k = *comps_[c];
      b.coef[c].resize(static_cast<std::size_t>(std::int64_t{64} * k.V * k.BlocksPerLine));
    }
  }

  void Point(Band& b, int row) const {
    for (int c = 0; c < source_.count; ++c) {
      comps_[c]->CoefficientBand = b.coef[c].data();
      comps_[c]->CoefficientRowBase = row * comps_[c]->V;
    }
  }

  void Make(int row, Work& w, Band& b) const {
    const BandSource& src = source_;
    const std::int64_t y0 = std::int64_t{row} * mcu_height_;
    for (std::int64_t r = 0; r < mcu_height_; ++r) {
      const std::int64_t y = std::min(y0 + r, src.height - 1);
      const std::uint8_t* in = src.bits + (src.top_down ? y : src.height - 1 - y) * src.line;
      std::uint8_t* out[3] = {};
      for (int c = 0; c < src.count; ++c) {
        const std::int64_t stride = comps_[c]->RowStride;
        out[c] = Subsampled(c) ? w.stage[c].data() + (r % comps_[c]->Vf) * stride
                               : w.samples[c].data() + r * stride;
      }
      if (src.count == 1) {
        for (std::int64_t x = 0; x < src.width; ++x) out[0][x] = src.table[0][in[x]];
      } else if (src.bit_count == 8) {
        for (std::int64_t x = 0; x < src.width; ++x) {
          const std::uint8_t v = in[x];
          out[0][x] = src.table[0][v];
          out[1][x] = src.table[1][v];
          out[2][x] = src.table[2][v];
        }
      } else {
        vex::jpeg::ConvertRowRGB(in, src.bit_count == 32 ? 4 : 3, src.width, out[0], out[1],
                                 out[2]);
      }
      for (int c = 0; c < src.count; ++c) {
        const TvexJPEGComponent& k = *comps_[c];
        PadRow(out[c], src.width, k.RowStride);
        if (!Subsampled(c)) continue;
        if (k.Hf != 1) AverageAcross(out[c], k.RowStride, k.Hf);
        if ((r + 1) % k.Vf != 0) continue;
        std::uint8_t* dest = w.samples[c].data() + (r / k.Vf) * k.RowStride;
        const std::int64_t width = k.RowStride / k.Hf;
        if (k.Vf == 1) {
          std::memcpy(dest, out[c], static_cast<std::size_t>(width));
        } else {
          std::array<const std::uint8_t*, 4> rows{};
          for (int j = 0; j < k.Vf && j < 4; ++j) rows[j] = w.stage[c].data() + j * k.RowStride;
          AverageDown(rows.data(), k.Vf, width, dest);
        }
      }
    }
    for (int c = 0; c < src.count; ++c) {
      const TvexJPEGComponent& k = *comps_[c];
      std::int16_t* coef = b.coef[c].data();
      for (std::int32_t v = 0; v < k.V; ++v) {
        const std::uint8_t* samples = w.samples[c].data() + std::int64_t{8} * v * k.RowStride;
        for (std::int32_t x = 0; x < k.BlocksPerLine; ++x, coef += 64)
          k.DCT.ForwardDCT(samples + 8 * x, static_cast<std::ptrdiff_t>(k.RowStride), coef);
      }
    }
  }

  void Start() {
    try {
      Allocate(work_[1]);
      bands_.resize(kRing + kBands);
      for (int i = 1; i < kRing + kBands; ++i) Allocate(bands_[static_cast<std::size_t>(i)]);
      auto sync = std::make_shared<Sync>();
      sync->total = total_;
      std::thread(Help, sync, this).detach();
      sync_ = std::move(sync);
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
  }

  // Once stopped, the helper touches nothing of the feed again: the feed
  // waits only for a row it is making, never for the thread to be scheduled
  // and end (on a busy machine that can take milliseconds), so the thread
  // runs detached and owns the shared state with the feed.
  void Stop() {
    if (!sync_) return;
    Sync& y = *sync_;
    std::unique_lock lock(y.mutex);
    y.stop = true;
    y.changed.notify_all();
    y.changed.wait(lock, [&] { return !y.busy; });
  }

  // Sequence numbers 0 .. 2 * rows - 1 are the rows of both passes. Either
  // thread claims the next row (the coder only the one it needs next, when
  // the helper has not got to it, or the one after while the helper makes
  // it), so that whichever is faster at the moment does more of the making.
  // Band s goes into ring slot s % kBands, which is free once the coder is
  // done with s - kBands.
  struct Sync {
    std::mutex mutex;
    std::condition_variable changed;
    int claim = 0, freed = -1, total = 0, coder_wants = -1;
    int made[kBands] = {-1, -1, -1, -1}; // sequence number of each slot's band
    bool helper_waiting = false, stop = false, broken = false;
    bool busy = false; // the helper is making a row of the feed
    bool HelperMayClaim(int batch) const {
      return stop || (claim < total && claim - kBands + batch - 1 <= freed);
    }
  };
  static_assert(kBands == 4, "Sync::made lists one entry per slot");

  static void Help(std::shared_ptr<Sync> sync, JPEGBandFeed* feed) {
    Sync& y = *sync;
    for (;;) {
      int s;
      {
        std::unique_lock lock(y.mutex);
        if (!y.HelperMayClaim(1)) {
          y.helper_waiting = true;
          y.changed.wait(lock, [&] { return y.HelperMayClaim(kBatch); });
          y.helper_waiting = false;
        }
        if (y.stop) return;
        s = y.claim++;
        y.busy = true;
      }
      bool made = true;
      try {
        feed->Make(s % feed->rows_, feed->work_[1], feed->Slot(s));
      } catch (...) {
        made = false; // nothing here should throw; if it did, the coder makes its rows itself
      }
      bool wake;
      {
        std::lock_guard lock(y.mutex);
        y.busy = false;
        if (made)
          y.made[s % kBands] = s;
        else
          y.broken = true;
        wake = y.coder_wants == s || y.broken || y.stop;
      }
      if (wake) y.changed.notify_all();
      if (!made) return;
    }
  }

  Band& Slot(int s) { return bands_[static_cast<std::size_t>(kRing + s % kBands)]; }
  Band& Own(int s) { return bands_[static_cast<std::size_t>(s & 1)]; }

  // The coder is done with band s - 1 and needs band s. Rows it makes itself
  // go into its own two bands (row s into Own(s)), so that a ring slot is
  // only ever the helper's to write. While the helper is still making row s
  // the coder makes row s + 1 if no one has claimed it, and it waits only so
  // long (on a busy machine the helper may be off its core for a while).
  Band& Take(int s) {
    Sync& y = *sync_;
    std::unique_lock lock(y.mutex);
    y.freed = s - 1;
    if (y.helper_waiting && !y.broken && y.HelperMayClaim(kBatch)) {
      lock.unlock();
      y.changed.notify_all();
      lock.lock();
    }
    if (premade_ == s) return Own(s);
    if (y.claim == s) {
      y.claim = s + 1;
      lock.unlock();
      Make(s % rows_, work_[0], Own(s));
      return Own(s);
    }
    for (;;) {
      if (y.made[s % kBands] == s) return Slot(s);
      if (y.broken) break;
      if (y.claim == s + 1 && s + 1 < y.total) {
        y.claim = s + 2;
        premade_ = s + 1;
        lock.unlock();
        Make((s + 1) % rows_, work_[0], Own(s + 1));
        lock.lock();
        continue;
      }
      y.coder_wants = s;
      const bool made = y.changed.wait_for(lock, std::chrono::microseconds(kPatience),
                                           [&] { return y.made[s % kBands] == s || y.broken; });
      y.coder_wants = -1;
      if (!made) break;
    }
    lock.unlock();
    Make(s % rows_, work_[0], Own(s));
    return Own(s);
  }

  BandSource source_;
  TvexJPEGComponent* comps_[3] = {};
  int rows_, total_;
  std::int64_t mcu_height_;
  int next_ = 0;
  Work work_[2];
  std::vector<Band> bands_;
  int premade_ = -1;           // the row the coder made ahead into Own(row)
  std::shared_ptr<Sync> sync_; // with a helper only
};

// ---------------------------------------------------------------------------
// Headers and tables

void TvexJPEGImage::BuildQuantTables() {
  const double scale = vex::jpeg::QualityScale(Quality);
  QuantTables[0] = vex::jpeg::MakeQuantTable(vex::jpeg::LuminanceBase, scale, 0);
  if (ComponentCount >= 2)
    QuantTables[1] = vex::jpeg::MakeQuantTable(vex::jpeg::ChrominanceBase, scale, 1);
}

void TvexJPEGImage::WriteQuantTables() {
  const int last = std::min(ComponentCount - 1, 1);
  for (int t = 0; t <= last; ++t) {
    std::uint8_t body[65];
    body[0] = QuantTables[t].PrecisionId;
    for (int i = 0; i < 64; ++i) body[1 + i] = static_cast<std::uint8_t>(QuantTables[t].Entries[i]);
    WriteMarker(BufferStream, 0xFFDB);
    BufferStream.WriteWord(67);
    BufferStream.Write(body, 65);
  }
}

void TvexJPEGImage::WriteHuffmanTables(int Id, bool WithDC, bool WithAC) {
  const bool with[2] = {WithDC, WithAC};
  int value_count[2] = {0, 0};
  std::int32_t length = 0;
  for (int cls = 0; cls < 2; ++cls) {
    if (!with[cls] || !HuffmanTables[cls][Id]) continue;
    TvexHuffmanJPEG& t = *HuffmanTables[cls][Id];
    t.BuildCodes(16);
    for (int n = 0; n < 16; ++n) value_count[cls] += t.CodeCount(n);
    length += 17 + value_count[cls];
  }
  if (length == 0) return;
  WriteMarker(BufferStream, 0xFFC4);
  BufferStream.WriteWord(static_cast<std::uint16_t>(length + 2));
  for (int cls = 0; cls < 2; ++cls) {
    if (!with[cls] || !HuffmanTables[cls][Id]) continue;
    const TvexHuffmanJPEG& t = *HuffmanTables[cls][Id];
    std::uint8_t* header = DHTHeaders[cls][Id];
    header[0] = static_cast<std::uint8_t>((Id & 0x0F) | (cls == 1 ? 0x10 : 0x00));
    for (int n = 0; n < 16; ++n) header[1 + n] = static_cast<std::uint8_t>(t.CodeCount(n));
    BufferStream.Write(header, 17);
    std::vector<std::uint8_t> values(static_cast<std::size_t>(value_count[cls]));
    for (int k = 0; k < value_count[cls]; ++k)
      values[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(t.Values(k));
    if (!values.empty())
      BufferStream.Write(values.data(), static_cast<std::int32_t>(values.size()));
  }
}

void TvexJPEGImage::WriteRestartInterval(int Interval) {
  if (Interval == RestartInterval) return;
  WriteMarker(BufferStream, 0xFFDD);
  BufferStream.WriteWord(4);
  BufferStream.WriteWord(static_cast<std::uint16_t>(Interval));
  RestartInterval = static_cast<std::uint16_t>(Interval);
}

void TvexJPEGImage::WriteRestartMarker() {
  Bits->Flush();
  WriteMarker(BufferStream, static_cast<std::uint16_t>(0xFFD0 + RestartCount));
  RestartCount = static_cast<std::uint16_t>((RestartCount + 1) % 8);
}

void TvexJPEGImage::WriteJFIFHeader() {
  std::uint8_t units = 0;
  std::uint32_t xd = 1, yd = 1;
  if (ImageInfo) {
    TvexImageInfo& info = *ImageInfo;
    if (info.XResolution() == 0 || info.YResolution() == 0) info.SetResolutionUnit(RU_NONE);
    const auto unit = info.ResolutionUnit();
    if (unit != RU_INCH && unit != RU_CENTIMETER && unit != RU_NONE)
      info.SetResolutionUnit(RU_INCH);
    // JFIF densities are 16-bit and, for dots per inch or centimetre,
    // at least 1: larger values are capped, zero becomes 1.
    auto density = [](long double v) -> std::uint32_t {
      const std::int64_t d = vex::round_to_int64(v);
      return static_cast<std::uint32_t>(std::clamp<std::int64_t>(d, 1, 65535));
    };
    switch (info.ResolutionUnit()) {
    case RU_INCH:
    case RU_CENTIMETER:
      units = info.ResolutionUnit() == RU_INCH ? 1 : 2;
      xd = density(static_cast<long double>(info.XResolution()));
      yd = density(static_cast<long double>(info.YResolution()));
      break;
    default: // RU_NONE: aspect ratio only; a ratio term that is not positive becomes 1
      units = 0;
      xd = info.AspectNumerator() > 0 ? static_cast<std::uint32_t>(info.AspectNumerator()) : 1;
      yd = info.AspectDenominator() > 0 ? static_cast<std::uint32_t>(info.AspectDenominator()) : 1;
      break;
    }
  }
  const std::uint8_t header[14] = {'J',
                                   'F',
                                   'I',
                                   'F',
                                   0,
                                   1,
                                   1,
                                   units,
                                   static_cast<std::uint8_t>(xd >> 8),
                                   static_cast<std::uint8_t>(xd),
                                   static_cast<std::uint8_t>(yd >> 8),
                                   static_cast<std::uint8_t>(yd),
                                   0,
                                   0};
  std::memcpy(JFIFHeader, header, 14);
  WriteMarker(BufferStream, 0xFFE0);
  BufferStream.WriteWord(16);
  BufferStream.Write(JFIFHeader, 14);
}

void TvexJPEGImage::WriteComment() {
  if (!ImageInfo || ImageInfo->Description().empty()) return;
  const std::string& text = ImageInfo->Description();
  // The segment length is 16-bit: a longer comment is cut so that the
  // segment stays well-formed.
  const std::size_t n = std::min<std::size_t>(text.size(), 65535 - 3);
  WriteMarker(BufferStream, 0xFFFE);
  BufferStream.WriteWord(static_cast<std::uint16_t>(n + 3));
  BufferStream.Write(text.data(), static_cast<std::int32_t>(n));
  const std::uint8_t zero = 0;
  BufferStream.Write(&zero, 1);
}

void TvexJPEGImage::WriteFrameHeader() {
  WriteMarker(BufferStream, Interlaced ? 0xFFC0 : 0xFFC2);
  BufferStream.WriteWord(static_cast<std::uint16_t>(3 * ComponentCount + 8));
  const std::uint8_t precision = FramePrecision;
  BufferStream.Write(&precision, 1);
  BufferStream.WriteWord(FrameHeight);
  BufferStream.WriteWord(FrameWidth);
  BufferStream.Write(&FrameComponentCount, 1);
  for (int i = 0; i < ComponentCount; ++i) BufferStream.Write(FrameComponents[i], 3);
}

void TvexJPEGImage::SelectScan(unsigned mask, int ss, int se, int ah, int al) {
  ScanComponentCount = 0;
  for (int i = 0; i < ComponentCount; ++i) {
    if (!(mask & (1u << i)) || !Components[i]) continue;
    TvexJPEGComponent& c = *Components[i];
    c.Ss = static_cast<std::uint8_t>(ss);
    c.Se = static_cast<std::uint8_t>(se);
    c.Ah = static_cast<std::uint8_t>(ah);
    c.Al = static_cast<std::uint8_t>(al);
    ScanComponents[ScanComponentCount++] = &c;
  }
  ScanSs = static_cast<std::uint8_t>(ss);
  ScanSe = static_cast<std::uint8_t>(se);
  Ah = static_cast<std::uint8_t>(ah);
  Al = static_cast<std::uint8_t>(al);
  ScanAhAl = static_cast<std::uint8_t>(ah * 16 + al);
}

void TvexJPEGImage::WriteScanHeader(int selector_rule) {
  const int n = ScanComponentCount;
  ScanCount = static_cast<std::uint8_t>(n);
  WriteMarker(BufferStream, 0xFFDA);
  BufferStream.WriteWord(static_cast<std::uint16_t>(2 * n + 6));
  std::uint8_t body[4 * 2 + 4];
  int p = 0;
  body[p++] = static_cast<std::uint8_t>(n);
  for (int i = 0; i < n; ++i) {
    const TvexJPEGComponent& c = *ScanComponents[i];
    // Tables of id 0 for the first component, id 1 for the others; a DC
    // refinement scan uses no table.
    std::uint8_t selectors;
    if (selector_rule == kSelectorsNone)
      selectors = 0x00;
    else if (selector_rule == kSelectorsById)
      selectors = c.Id == 1 ? 0x00 : 0x11;
    else
      selectors = c.Id == Components[0]->Id ? 0x00 : 0x11;
    ScanSelectors[i][0] = c.Id;
    ScanSelectors[i][1] = selectors;
    body[p++] = c.Id;
    body[p++] = selectors;
  }
  const TvexJPEGComponent& first = *ScanComponents[0];
  body[p++] = first.Ss;
  body[p++] = first.Se;
  body[p++] = static_cast<std::uint8_t>(first.Ah * 16 + first.Al);
  BufferStream.Write(body, p);
}

void TvexJPEGImage::SetCodingAll(bool emit, int scan_kind) {
  for (int i = 0; i < ScanComponentCount; ++i) ScanComponents[i]->SetCoding(emit, scan_kind);
}

// ---------------------------------------------------------------------------
// Scans

void TvexJPEGImage::EncodeScan(bool Write) {
  ResetPredictors();
  MCUCount = 0;
  RestartCount = 0;
  if (Error != EC_OK || ScanComponentCount == 0) return;
  auto flush_runs = [this] {
    for (int i = 0; i < ScanComponentCount; ++i) {
      TvexJPEGComponent& c = *ScanComponents[i];
      if (c.Ss == 0) continue;
      if (c.Ah == 0)
        c.FlushEOBRun();
      else
        c.FlushEOBRunWithCorrections();
    }
  };
  auto restart = [&] {
    if (RestartInterval != 0 && MCUCount == RestartInterval) {
      flush_runs();
      if (Write) WriteRestartMarker();
      ResetPredictors();
      MCUCount = 0;
    }
  };
  for (int i = 0; i < ScanComponentCount; ++i) ScanComponents[i]->ResetEOBRun();
  if (ScanComponentCount > 1) {
    for (std::int32_t i = 0; i < MCUsDown; ++i) {
      if (Bands) Bands->MakeRow(i);
      for (std::int32_t m = 0; m < MCUsAcross; ++m) {
        restart();
        for (int s = 0; s < ScanComponentCount; ++s) {
          TvexJPEGComponent& c = *ScanComponents[s];
          for (std::int32_t v = 0; v < c.V; ++v)
            for (std::int32_t h = 0; h < c.H; ++h) (c.*c.EncodeBlock)(i * c.V + v, m * c.H + h);
        }
        ++MCUCount;
      }
    }
  } else {
    TvexJPEGComponent& c = *ScanComponents[0];
    for (std::int32_t i = 0; i < c.ScanRows; ++i) {
      if (Bands) Bands->MakeRow(i);
      for (std::int32_t j = 0; j < c.ScanColumns; ++j) {
        restart();
        (c.*c.EncodeBlock)(i, j);
        ++MCUCount;
      }
    }
  }
  // Progressive AC scans end with their open end-of-band run.
  flush_runs();
}

void TvexJPEGImage::WriteSequentialScans() {
  SelectScan((1u << ComponentCount) - 1, 0, 63, 0, 0);
  // 1. Fresh statistics for the tables of the first two scan components.
  for (int i = 0; i < std::min(ScanComponentCount, 2); ++i) {
    ScanComponents[i]->DCTable->Clear();
    ScanComponents[i]->ACTable->Clear();
  }
  // 2. Restart interval (none while RestartRows is 0).
  const int per_row = ScanComponentCount == 1 ? ScanComponents[0]->BlocksPerLine : MCUsAcross;
  WriteRestartInterval(RestartRows * per_row);
  // 3. Counting pass. Made coefficients keep their symbols for the writing
  // pass while they take at most a quarter of the room of all coefficients
  // (a fine-grained picture at a high quality is made twice instead).
  JPEGScanTokens tokens;
  if (Bands && RestartInterval == 0) {
    std::int64_t blocks = 0;
    for (int i = 0; i < ScanComponentCount; ++i)
      blocks += std::int64_t{ScanComponents[i]->BlocksPerLine} * ScanComponents[i]->BlocksDown;
    // Half a megabyte at least, so that the room comes from large-block
    // memory (a small picture then takes no fresh pages for it).
    const std::int64_t budget =
        std::max<std::int64_t>(blocks * 16, vex::platform::kLargeBlock / sizeof(std::uint16_t));
    if (budget * 2 <= vex::kit::kMaxAllocation && tokens.Reserve(static_cast<std::size_t>(budget)))
      for (int i = 0; i < ScanComponentCount; ++i) ScanComponents[i]->Tokens = &tokens;
  }
  SetCodingAll(false, 0);
  EncodeScan(false);
  for (int i = 0; i < ScanComponentCount; ++i) ScanComponents[i]->Tokens = nullptr;
  // 4. Optimal tables: id 0 for Y (or grey), id 1 shared by Cb and Cr.
  for (int k = 0; k < std::min(ScanComponentCount, 2); ++k)
    WriteHuffmanTables(std::min(k, 1), true, true);
  // 5. Writing pass.
  BufferStream.ResetBits();
  ResetPredictors();
  SetCodingAll(true, 0);
  WriteScanHeader(kSelectorsByFrameIndex);
  if (!tokens.dropped) {
    WriteTokens(tokens);
  } else {
    if (Bands) Bands->SecondPass();
    EncodeScan(true);
  }
  Bits->Flush();
}

void TvexJPEGImage::WriteTokens(const JPEGScanTokens& tokens) {
  const std::uint16_t* p = tokens.data;
  const std::uint16_t* const end = p + tokens.size;
  JPEGBitWriter& out = *Bits;
  // The next symbol of `table`, written with its extra bits in one piece (at
  // most 16 + 11 bits); `dc`: the symbol is the number of extra bits.
  auto put = [&](const TvexHuffmanJPEG& table, bool dc) {
    if (p == end) throw vex::ImagingError(vex::jpeg::kMsgUnexpectedValue);
    const int symbol = *p >> 8;
    std::uint32_t bits = *p++ & 0xFFu;
    const int size = dc ? symbol : symbol & 15;
    if (size > 8) {
      if (p == end) throw vex::ImagingError(vex::jpeg::kMsgUnexpectedValue);
      bits = *p++;
    }
    const std::uint32_t length = table.CodeLengthData()[symbol];
    if (length == 0) throw vex::ImagingError(vex::jpeg::kMsgMissingCode);
    out.Put((table.CodeData()[symbol] << size) | bits, static_cast<int>(length) + size);
    return symbol;
  };
  // A block: its DC difference, then AC symbols up to the end of band or
  // the last position.
  auto block = [&](const TvexJPEGComponent& c) {
    put(*c.DCTable, true);
    for (int k = 0; k < 63;) {
      const int symbol = put(*c.ACTable, false);
      if (symbol == 0) break;
      k += (symbol >> 4) + 1;
    }
  };
  if (ScanComponentCount > 1) {
    for (std::int32_t i = 0; i < MCUsDown; ++i)
      for (std::int32_t m = 0; m < MCUsAcross; ++m)
        for (int s = 0; s < ScanComponentCount; ++s) {
          const TvexJPEGComponent& c = *ScanComponents[s];
          for (std::int32_t n = c.V * c.H; n > 0; --n) block(c);
        }
  } else {
    const TvexJPEGComponent& c = *ScanComponents[0];
    for (std::int64_t n = std::int64_t{c.ScanRows} * c.ScanColumns; n > 0; --n) block(c);
  }
  if (p != end) throw vex::ImagingError(vex::jpeg::kMsgUnexpectedValue);
}

void TvexJPEGImage::EncodeImage() {
  Interlaced = Compression == CP_JPEG_PROG ? 0 : 1;

  // Colour kind and depth: 8-bit grey or palette, 24 or 32 bits.
  const std::uint8_t kind = GetColorKind();
  int count = 0;
  if (kind == CK_GREY_WHITE_MIN || kind == CK_GREY_BLACK_MIN)
    count = 1;
  else if (kind == CK_RGB24 || kind == CK_PALETTE || kind == CK_RGB32)
    count = 3;
  if (count == 0 || (BitCount != 8 && BitCount != 24 && BitCount != 32)) {
    Error = EC_BITDEPTH;
    return;
  }
  // A frame holds 16-bit dimensions, a zero height would announce a DNL
  // segment, and common decoders refuse sides above 65500: such pictures
  // are refused rather than written into files others cannot read.
  const auto& bih = BitmapInfo->bmiHeader;
  const std::int64_t width = bih.biWidth;
  const std::int64_t height = std::abs(std::int64_t{bih.biHeight});
  if (width < 1 || height < 1 || width > vex::jpeg::kMaxSide || height > vex::jpeg::kMaxSide) {
    Error = EC_DIMENSIONS;
    return;
  }

  ComponentCount = static_cast<std::uint8_t>(count);
  Interleaved = count == 3;
  RestartRows = 0;
  FramePrecision = 8;
  FrameHeight = static_cast<std::uint16_t>(height);
  FrameWidth = static_cast<std::uint16_t>(width);
  FrameComponentCount = ComponentCount;

  BuildQuantTables();
  for (int cls = 0; cls < 2; ++cls)
    for (int id = 0; id < 2; ++id)
      HuffmanTables[cls][id] = std::make_unique<TvexHuffmanJPEG>(256, 16);

  int factors[3][2];
  SamplingFactors(SubSampling, Quality, factors);
  // Components kept from an earlier save or read of this object keep their
  // ids but not their buffers, which were sized for another picture.
  for (auto& old : Components) {
    if (!old) continue;
    old->Samples = {};
    old->Coefficients = {};
    old->CoefficientBand = nullptr;
    old->EOBRun = 0;
    old->LastDC = 0;
  }
  for (int i = 0; i < count; ++i) {
    TvexJPEGComponent* c = GetComponent(i + 1);
    if (!c) {
      // Every slot holds another id (left by a read): nothing sensible to write.
      Error = EC_JFIF_COMPONENTS;
      return;
    }
    const bool banded = !PlainPipeline && Interlaced;
    c->Banded = banded;
    c->SampleOnConversion = !PlainPipeline && !banded;
    if (count == 3) {
      c->H = factors[i][0];
      c->V = factors[i][1];
    } else {
      c->H = 1;
      c->V = 1;
    }
    const int tq = i == 0 ? 0 : 1;
    FrameComponents[i][0] = c->Id;
    FrameComponents[i][1] = static_cast<std::uint8_t>(c->H * 16 + c->V);
    FrameComponents[i][2] = static_cast<std::uint8_t>(tq);
    c->DCT.SetForwardTable(QuantTables[tq]);
    c->Ss = 0;
    c->Se = 63;
    c->Ah = 0;
    c->Al = 0;
    c->DCTable = HuffmanTables[0][tq].get();
    c->ACTable = HuffmanTables[1][tq].get();
  }
  SetupFrame();

  // The buffers are sized before anything is written, so that a picture too
  // large for memory leaves no half-written file behind.
  for (int i = 0; i < count; ++i) {
    if (!Components[i]->AllocateBuffers(true, true)) {
      Error = EC_NOMEMORY;
      return;
    }
  }
  std::unique_ptr<JPEGBandFeed> feed;
  if (Components[0]->Banded) {
    BandSource source;
    source.bits = DIBBits;
    source.line = LineWidth;
    source.width = width;
    source.height = height;
    source.top_down = bih.biHeight < 0;
    source.bit_count = BitCount;
    source.count = count;
    if (BitCount == 8) {
      for (int i = 0; i < 256; ++i) {
        const auto& q = BitmapInfo->bmiColors[i];
        if (count == 1) {
          // The grey level of an index is its palette entry (see ConvertGrey).
          source.table[0][i] = q.rgbRed;
        } else {
          source.table[0][i] = vex::jpeg::Luma(q.rgbRed, q.rgbGreen, q.rgbBlue);
          source.table[1][i] = vex::jpeg::Cb(q.rgbRed, q.rgbGreen, q.rgbBlue);
          source.table[2][i] = vex::jpeg::Cr(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
      }
    }
    try {
      feed = std::make_unique<JPEGBandFeed>(*this, source, Helpers);
    } catch (const std::bad_alloc&) {
      Error = EC_NOMEMORY;
      return;
    }
  }
  // The components point into the feed's bands only while it lives.
  struct Unhook {
    TvexJPEGImage& image;
    ~Unhook() {
      image.Bands = nullptr;
      for (auto& c : image.Components)
        if (c) c->CoefficientBand = nullptr;
    }
  } unhook{*this};
  Bands = feed.get();
  Bits = std::make_unique<JPEGBitWriter>(BufferStream);
  for (int i = 0; i < count; ++i) Components[i]->Bits = Bits.get();

  WriteMarker(BufferStream, 0xFFD8);
  WriteJFIFHeader();
  WriteComment();
  WriteFrameHeader();
  WriteQuantTables();

  if (!feed) {
    if (count == 1)
      ConvertGrey();
    else
      ConvertToYCbCr();
    for (int i = 0; i < count; ++i) Components[i]->Downsample();
    for (int i = 0; i < count; ++i) Components[i]->TransformAll();
  }

  if (Interlaced)
    WriteSequentialScans();
  else
    WriteProgressiveScans();

  WriteMarker(BufferStream, 0xFFD9);
}
