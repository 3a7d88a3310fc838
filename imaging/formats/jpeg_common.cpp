// Parts of the JPEG format class shared by the writer and the reader: the
// object, its components and their buffers, the frame geometry, and the
// entropy coder's emitters and bit output.
#include "format_kit.h"
#include "jpeg_internal.h"

#include "platform/cpu_features.h"
#include "platform/dib_section.h"

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Bit output

void JPEGBitWriter::Drain() {
  pending_ -= 32;
  const auto word = static_cast<std::uint32_t>(acc_ >> pending_);
  acc_ &= (std::uint64_t{1} << pending_) - 1;
  // Four bytes at once unless one of them is 0xFF (a zero byte of ~word)
  // and needs its stuffed zero.
  if ((((~word) - 0x01010101u) & word & 0x80808080u) == 0) {
    out_[n_] = static_cast<std::uint8_t>(word >> 24);
    out_[n_ + 1] = static_cast<std::uint8_t>(word >> 16);
    out_[n_ + 2] = static_cast<std::uint8_t>(word >> 8);
    out_[n_ + 3] = static_cast<std::uint8_t>(word);
    n_ += 4;
  } else {
    Emit(static_cast<std::uint8_t>(word >> 24));
    Emit(static_cast<std::uint8_t>(word >> 16));
    Emit(static_cast<std::uint8_t>(word >> 8));
    Emit(static_cast<std::uint8_t>(word));
  }
  if (n_ >= kChunk) Hand();
}

void JPEGBitWriter::Hand() {
  if (n_ > 0) {
    stream_.Write(out_.get(), static_cast<std::int32_t>(n_));
    written_ += n_;
    n_ = 0;
  }
}

void JPEGBitWriter::Flush() {
  while (pending_ >= 8) {
    pending_ -= 8;
    Emit(static_cast<std::uint8_t>(acc_ >> pending_));
  }
  if (pending_ > 0) Emit(static_cast<std::uint8_t>(acc_ << (8 - pending_)));
  pending_ = 0;
  acc_ = 0;
  Hand();
}

// ---------------------------------------------------------------------------
// Coefficient masks

namespace vex::jpeg {

BlockMasks MagnitudeMasksPortable(const std::int16_t* block, int al) {
  BlockMasks m{0, 0};
  for (int k = 0; k < 64; ++k) {
    const int c = block[ZigZag[k]];
    const int a = (c < 0 ? -c : c) >> al;
    m.nonzero |= static_cast<std::uint64_t>(a != 0) << k;
    m.above_one |= static_cast<std::uint64_t>(a > 1) << k;
  }
  return m;
}

#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
namespace {

// For each group of 8 natural positions (one row of the block) and each
// byte of flags for it: the same flags moved to their zig-zag positions.
struct ZigZagBits {
  std::uint64_t table[8][256];
  ZigZagBits() {
    for (int row = 0; row < 8; ++row)
      for (int byte = 0; byte < 256; ++byte) {
        std::uint64_t m = 0;
        for (int i = 0; i < 8; ++i)
          if (byte & (1 << i)) m |= std::uint64_t{1} << NaturalToZigZag[8 * row + i];
        table[row][byte] = m;
      }
  }
};

const ZigZagBits& ZigZagTable() {
  static const ZigZagBits bits;
  return bits;
}

} // namespace
#endif

BlockMasks MagnitudeMasks(const std::int16_t* block, int al) {
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (vex::platform::simd_enabled()) {
    const ZigZagBits& zz = ZigZagTable();
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16(1);
    const __m128i shift = _mm_cvtsi32_si128(al);
    BlockMasks m{0, 0};
    for (int r = 0; r < 8; r += 2) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r + 8));
      // |c| as an unsigned 16-bit value (-32768 gives 32768), then >> al.
      a = _mm_srl_epi16(_mm_max_epi16(a, _mm_sub_epi16(zero, a)), shift);
      b = _mm_srl_epi16(_mm_max_epi16(b, _mm_sub_epi16(zero, b)), shift);
      const int is_zero =
          _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero)));
      // Saturating a - 1 is non-zero exactly when a > 1.
      const int at_most_one =
          _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(a, one), zero),
                                            _mm_cmpeq_epi16(_mm_subs_epu16(b, one), zero)));
      const unsigned nz = ~static_cast<unsigned>(is_zero) & 0xFFFFu;
      const unsigned big = ~static_cast<unsigned>(at_most_one) & 0xFFFFu;
      m.nonzero |= zz.table[r][nz & 0xFF] | zz.table[r + 1][nz >> 8];
      m.above_one |= zz.table[r][big & 0xFF] | zz.table[r + 1][big >> 8];
    }
    return m;
  }
#endif
  return MagnitudeMasksPortable(block, al);
}

std::uint64_t NonZeroMask(const std::int16_t* block) {
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
  if (vex::platform::simd_enabled()) {
    const ZigZagBits& zz = ZigZagTable();
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t m = 0;
    for (int r = 0; r < 8; r += 2) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r + 8));
      const int is_zero =
          _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero)));
      const unsigned nz = ~static_cast<unsigned>(is_zero) & 0xFFFFu;
      m |= zz.table[r][nz & 0xFF] | zz.table[r + 1][nz >> 8];
    }
    return m;
  }
#endif
  return MagnitudeMasksPortable(block, 0).nonzero;
}

} // namespace vex::jpeg

// ---------------------------------------------------------------------------
// Image object

TvexJPEGImage::TvexJPEGImage(std::uint8_t sub_sampling) : SubSampling(sub_sampling) {
  BufferStream.SetBigEndian(true);
  for (int t = 0; t < 4; ++t) QuantTables[t].PrecisionId = static_cast<std::uint8_t>(t);
}

TvexJPEGImage::~TvexJPEGImage() = default;

TvexJPEGComponent* TvexJPEGImage::GetComponent(int id) {
  for (auto& c : Components)
    if (c && c->Id == id) return c.get();
  for (auto& c : Components) {
    if (!c) {
      c = std::make_unique<TvexJPEGComponent>();
      c->Id = static_cast<std::uint8_t>(id);
      c->Stream = &BufferStream;
      return c.get();
    }
  }
  return nullptr;
}

void TvexJPEGImage::SetupFrame() {
  Hmax = 1;
  Vmax = 1;
  for (auto& c : Components) {
    if (!c) continue;
    if (c->H == 0 || c->V == 0) {
      Error = EC_JFIF_ZEROFREQ;
      continue;
    }
    Hmax = std::max(Hmax, c->H);
    Vmax = std::max(Vmax, c->V);
  }
  MCUWidth = 8 * Hmax;
  MCUHeight = 8 * Vmax;
  MCUsAcross = static_cast<std::int32_t>((std::int64_t{FrameWidth} + MCUWidth - 1) / MCUWidth);
  MCUsDown = static_cast<std::int32_t>((std::int64_t{FrameHeight} + MCUHeight - 1) / MCUHeight);
  for (auto& c : Components) {
    if (!c) continue;
    c->Hmax = Hmax;
    c->Vmax = Vmax;
    c->MCUsAcross = MCUsAcross;
    c->MCUsDown = MCUsDown;
    c->MCUWidth = MCUWidth;
    c->MCUHeight = MCUHeight;
    c->ImageWidth = FrameWidth;
    c->ImageHeight = FrameHeight;
  }
}

void TvexJPEGImage::ResetPredictors() {
  for (auto& c : Components)
    if (c) c->LastDC = 0;
}

// ---------------------------------------------------------------------------
// Components

bool TvexJPEGComponent::AllocateBuffers(bool Encoding, bool WholeImage) {
  if (!Samples.empty()) return true;
  // Zero sampling factors were refused by SetupFrame; keep the ratios sane.
  const std::int32_t h = std::max(H, 1), v = std::max(V, 1);
  Hf = std::max(Hmax / h, 1);
  Vf = std::max(Vmax / v, 1);
  BlocksDown = v * MCUsDown;
  BlocksPerLine = h * MCUsAcross;
  ScanRows = static_cast<std::int32_t>((std::int64_t{ImageHeight} + 8 * Vf - 1) / (8 * Vf));
  ScanColumns = static_cast<std::int32_t>((std::int64_t{ImageWidth} + 8 * Hf - 1) / (8 * Hf));
  RowStride = std::int64_t{MCUsAcross} * Hmax * 8;
  BlockRowStride = 8 * RowStride;
  MCURowStride = std::int64_t{Vmax} * BlockRowStride;

  CoefficientRowBase = 0;
  std::int64_t coefficient_count =
      WholeImage ? std::int64_t{MCUsAcross} * h * (std::int64_t{v} * MCUsDown) * 64 : 64;
  SampleBufferSize = (Encoding || WholeImage) ? (std::int64_t{BlocksDown} + 1) * Vf * BlockRowStride
                                              : MCURowStride;
  // A writer's subsampled component may hold its averaged rows only.
  Presampled = Encoding && SampleOnConversion && (Hf > 1 || Vf > 1);
  if (Presampled) SampleBufferSize = (std::int64_t{BlocksDown} + 1) * BlockRowStride;
  // A banded writer keeps no buffer of the whole component.
  if (Encoding && Banded) return true;
  if (coefficient_count * 2 > vex::kit::kMaxAllocation ||
      SampleBufferSize > vex::kit::kMaxAllocation || SampleBufferSize <= 0)
    return false;
  try {
    if (Encoding) {
      // The writer fills every sample and every coefficient before use.
      Coefficients.resize(static_cast<std::size_t>(coefficient_count));
      Samples.resize(static_cast<std::size_t>(SampleBufferSize));
    } else {
      Coefficients.assign(static_cast<std::size_t>(coefficient_count), 0);
      Samples.assign(static_cast<std::size_t>(SampleBufferSize), 0);
    }
  } catch (const std::bad_alloc&) {
    Coefficients.clear();
    Samples.clear();
    Coefficients.shrink_to_fit();
    Samples.shrink_to_fit();
    return false;
  }
  return true;
}

void TvexJPEGComponent::SetCoding(bool Emit, int ScanKind) {
  if (Emit) {
    EmitDC = &TvexJPEGComponent::WriteDC;
    EmitAC = &TvexJPEGComponent::WriteAC;
  } else {
    EmitDC = &TvexJPEGComponent::CountDC;
    EmitAC = &TvexJPEGComponent::CountAC;
  }
  switch (ScanKind) {
  case 1:
    EncodeBlock = &TvexJPEGComponent::EncodeDCFirst;
    break;
  case 2:
    EncodeBlock = &TvexJPEGComponent::EncodeDCRefine;
    break;
  case 3:
    EncodeBlock = &TvexJPEGComponent::EncodeACFirst;
    break;
  case 4:
    EncodeBlock = &TvexJPEGComponent::EncodeACRefine;
    break;
  default:
    EncodeBlock = &TvexJPEGComponent::EncodeSequential;
    break;
  }
}

void TvexJPEGComponent::CountDC(int Category, std::uint32_t) {
  DCTable->FrequencyData()[Category] += 1;
}

void TvexJPEGComponent::CountAC(int Symbol, std::uint32_t, int) {
  if (Symbol >= 0) ACTable->FrequencyData()[Symbol] += 1;
}

void TvexJPEGComponent::WriteDC(int Category, std::uint32_t Value) {
  if (Category >= 256) throw vex::ImagingError(vex::jpeg::kMsgValueTooLarge);
  std::uint32_t code = 0;
  int length = 0;
  DCTable->GetCodeAndLength(Category, code, length);
  if (length == 0) throw vex::ImagingError(vex::jpeg::kMsgMissingCode);
  Bits->Put(code, length);
  if (Category > 0) Bits->Put(Value, Category);
}

void TvexJPEGComponent::WriteAC(int Symbol, std::uint32_t Value, int BitCount) {
  if (Symbol >= 0) {
    if (Symbol >= 256) throw vex::ImagingError(vex::jpeg::kMsgValueTooLarge);
    std::uint32_t code = 0;
    int length = 0;
    ACTable->GetCodeAndLength(Symbol, code, length);
    if (length == 0) throw vex::ImagingError(vex::jpeg::kMsgMissingCode);
    Bits->Put(code, length);
  }
  if (BitCount > 0) Bits->Put(Value, BitCount);
}

void TvexJPEGComponent::DecodeBlock(int, int) {
  if (Coefficients.size() < 64) Coefficients.resize(64);
  std::int16_t* block = Coefficients.data();
  std::fill_n(block, 64, std::int16_t{0});
  auto bits = [this](int n) -> int { return n == 0 ? 0 : static_cast<int>(Stream->ReadBits(n)); };
  const std::int32_t s = DCTable->DecodeSymbol();
  // A missing code or a size no 16-bit value has is corrupt data.
  if (s < 0 || s > 16) throw vex::ImagingError(vex::jpeg::kMsgValueOutOfRange);
  const int diff = vex::jpeg::Extend(bits(s), s);
  // Kept within 16 bits (as the coefficient is), so that hostile data cannot
  // overflow the predictor.
  LastDC = static_cast<std::int16_t>(LastDC + diff);
  block[0] = static_cast<std::int16_t>(LastDC);
  for (int k = 1; k < 64;) {
    const std::int32_t rs = ACTable->DecodeSymbol();
    const int r = (rs >> 4) & 15, size = rs & 15;
    if (rs < 0) throw vex::ImagingError(vex::jpeg::kMsgValueOutOfRange);
    if (size != 0) {
      k += r;
      if (k > 63) throw vex::ImagingError(vex::jpeg::kMsgValueOutOfRange);
      block[vex::jpeg::ZigZag[k]] = static_cast<std::int16_t>(vex::jpeg::Extend(bits(size), size));
      ++k;
    } else if (r == 15) {
      k += 16;
    } else {
      break; // end of block
    }
  }
  DCT.InverseDCT(block);
}
