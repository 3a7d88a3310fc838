// The writer's progressive script and the four progressive block encoders
// (DC first, DC refinement, AC first with end-of-band runs, AC refinement
// with correction bits).
#include "formats/jpeg_internal.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace {

using vex::jpeg::ZigZag;

inline int MagnitudeCategory(int v) {
  return static_cast<int>(std::bit_width(static_cast<unsigned>(v < 0 ? -v : v)));
}

inline std::uint32_t MagnitudeBits(int v, int category) {
  const int bits = v < 0 ? v - 1 : v;
  return static_cast<std::uint32_t>(bits) & ((1u << category) - 1u);
}

// Coefficient after the point transform of AC values (truncating toward zero).
inline int PointTransform(int c, int al) {
  return c / (1 << al);
}

struct ScriptEntry {
  unsigned mask; // bit 0 = first frame component
  int ss, se, ah, al;
};

const ScriptEntry kGreyScript[] = {
    {1, 0, 0, 0, 0},
    {1, 1, 5, 0, 0},
    {1, 6, 63, 0, 0},
};

const ScriptEntry kColourScript[] = {
    {7, 0, 0, 0, 1}, {1, 1, 63, 0, 1}, {2, 1, 63, 0, 1}, {4, 1, 63, 0, 1},
    {7, 0, 0, 1, 0}, {1, 1, 63, 1, 0}, {2, 1, 63, 1, 0}, {4, 1, 63, 1, 0},
};

} // namespace

// ---------------------------------------------------------------------------
// Block encoders

void TvexJPEGComponent::EncodeDCFirst(int Row, int Column) {
  // Arithmetic shift: the DC point transform rounds toward minus infinity,
  // and the refinement bits then restore the value exactly.
  const int t = BlockAt(Row, Column)[0] >> Al;
  const int diff = t - LastDC;
  LastDC = t;
  const int category = MagnitudeCategory(diff);
  (this->*EmitDC)(category, MagnitudeBits(diff, category));
}

void TvexJPEGComponent::EncodeDCRefine(int Row, int Column) {
  const int c = BlockAt(Row, Column)[0];
  Bits->Put(static_cast<std::uint32_t>((c >> Al) & 1), 1);
}

void TvexJPEGComponent::ResetEOBRun() {
  EOBRun = 0;
  const std::int32_t none = ScanRows * ScanColumns;
  EOBRunStartRow = none;
  EOBRunStartColumn = none;
  EOBRunStartPosition = 64;
}

void TvexJPEGComponent::FlushEOBRun() {
  if (EOBRun <= 0) return;
  const int n = static_cast<int>(std::bit_width(static_cast<unsigned>(EOBRun))) - 1;
  (this->*EmitAC)(n * 16, static_cast<std::uint32_t>(EOBRun), n);
  EOBRun = 0;
}

void TvexJPEGComponent::FlushEOBRunWithCorrections() {
  if (EOBRun <= 0) return;
  const int n = static_cast<int>(std::bit_width(static_cast<unsigned>(EOBRun))) - 1;
  (this->*EmitAC)(n * 16, static_cast<std::uint32_t>(EOBRun), n);
  // The run's blocks follow each other row by row from its first block.
  const bool start_valid = EOBRunStartRow >= 0 && EOBRunStartRow < ScanRows &&
                           EOBRunStartColumn >= 0 && EOBRunStartColumn < ScanColumns;
  const std::int64_t first = std::int64_t{EOBRunStartRow} * ScanColumns + EOBRunStartColumn;
  if (!start_valid || first + EOBRun > std::int64_t{ScanRows} * ScanColumns)
    throw vex::EJPEGException(vex::jpeg::kMsgEOBBeyondLastRow);
  // Correction bits are raw bits: a counting pass has nothing to count.
  if (EmitAC != &TvexJPEGComponent::CountAC) {
    std::int32_t row = EOBRunStartRow, column = EOBRunStartColumn;
    for (std::int32_t b = 0; b < EOBRun; ++b) {
      const std::int16_t* block = BlockAt(row, column);
      for (int k = b == 0 ? EOBRunStartPosition : Ss; k <= Se; ++k) {
        const int c = block[ZigZag[k]];
        const int a = (c < 0 ? -c : c) >> Al;
        if (a > 1) (this->*EmitAC)(-1, static_cast<std::uint32_t>(a & 1), 1);
      }
      if (++column >= ScanColumns) {
        column = 0;
        ++row;
      }
    }
  }
  ResetEOBRun();
}

void TvexJPEGComponent::EncodeACFirst(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  // Point-transformed values and a mask of the non-zero positions.
  int v[64];
  std::uint64_t nonzero = 0;
  for (int k = Ss; k <= Se; ++k) {
    v[k] = PointTransform(block[ZigZag[k]], Al);
    nonzero |= static_cast<std::uint64_t>(v[k] != 0) << k;
  }
  if (nonzero != 0) {
    FlushEOBRun();
    const bool counting = EmitAC == &TvexJPEGComponent::CountAC;
    std::uint32_t* freq = counting ? ACTable->FrequencyData() : nullptr;
    int previous = Ss - 1;
    while (nonzero != 0) {
      const int k = std::countr_zero(nonzero);
      nonzero &= nonzero - 1;
      int run = k - previous - 1;
      for (; run >= 16; run -= 16) {
        if (counting)
          freq[0xF0] += 1;
        else
          (this->*EmitAC)(0xF0, 0, 0);
      }
      const int category = MagnitudeCategory(v[k]);
      if (counting)
        freq[run * 16 + category] += 1;
      else
        (this->*EmitAC)(run * 16 + category, MagnitudeBits(v[k], category), category);
      previous = k;
    }
    if (previous == Se) return; // the band ends on a value: no end-of-band
  }
  if (++EOBRun == vex::jpeg::kMaxEOBRun) FlushEOBRun();
}

void TvexJPEGComponent::EncodeACRefine(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  // Magnitudes after the point transform: 1 = newly non-zero, more = had a
  // value before (only its correction bit, the low bit, is sent).
  int a[64];
  std::uint64_t fresh = 0, earlier = 0;
  std::uint64_t positive = 0;
  for (int k = Ss; k <= Se; ++k) {
    const int c = block[ZigZag[k]];
    a[k] = (c < 0 ? -c : c) >> Al;
    fresh |= static_cast<std::uint64_t>(a[k] == 1) << k;
    earlier |= static_cast<std::uint64_t>(a[k] > 1) << k;
    positive |= static_cast<std::uint64_t>(c > 0) << k;
  }
  auto below = [](int k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; };
  // Correction bits of the earlier non-zero positions in [from, to).
  auto corrections = [&](int from, int to) {
    std::uint64_t m = earlier & below(to) & ~below(from);
    while (m != 0) {
      const int p = std::countr_zero(m);
      m &= m - 1;
      (this->*EmitAC)(-1, static_cast<std::uint32_t>(a[p] & 1), 1);
    }
  };
  int pending = Ss; // first position whose correction bit is not yet written
  while (fresh != 0) {
    const int k = std::countr_zero(fresh);
    fresh &= fresh - 1;
    FlushEOBRunWithCorrections();
    int run = (k - pending) - std::popcount(earlier & below(k) & ~below(pending));
    while (run >= 16) {
      (this->*EmitAC)(0xF0, 0, 0);
      // The zero run covers 16 zero positions; the correction bits of the
      // earlier non-zero coefficients among them follow the ZRL.
      int zeros = 0;
      while (zeros < 16) {
        if (pending < Ss || pending > Se) throw vex::EJPEGException(vex::jpeg::kMsgInvalidZeroRun);
        if (a[pending] == 0)
          ++zeros;
        else if (a[pending] == 1)
          throw vex::EJPEGException(vex::jpeg::kMsgUnexpectedValue);
        else
          (this->*EmitAC)(-1, static_cast<std::uint32_t>(a[pending] & 1), 1);
        ++pending;
      }
      run -= 16;
    }
    (this->*EmitAC)(run * 16 + 1, (positive >> k) & 1 ? 1u : 0u, 1);
    corrections(pending, k);
    if (k == Se) return;
    pending = k + 1;
  }
  if (EOBRun == 0) {
    EOBRunStartRow = Row;
    EOBRunStartColumn = Column;
    EOBRunStartPosition = pending;
  }
  if (++EOBRun == vex::jpeg::kMaxEOBRun) FlushEOBRunWithCorrections();
}

// ---------------------------------------------------------------------------
// The script

void TvexJPEGImage::WriteProgressiveScans() {
  const ScriptEntry* script = ComponentCount == 1 ? kGreyScript : kColourScript;
  const int entries = ComponentCount == 1 ? static_cast<int>(std::size(kGreyScript))
                                          : static_cast<int>(std::size(kColourScript));
  for (int e = 0; e < entries; ++e) {
    const ScriptEntry& s = script[e];
    SelectScan(s.mask, s.ss, s.se, s.ah, s.al);
    if (ScanComponentCount == 0) continue;
    if (s.ss == 0 && s.se != 0) Error = EC_JFIF_DCANDAC; // blocks are skipped
    if (s.ss != 0 && ScanComponentCount > 1) {
      Error = EC_JFIF_COMPONENTS; // nothing of this scan is written
      continue;
    }
    const int first_two = std::min(ScanComponentCount, 2);
    if (s.ss == 0 && s.ah == 0) {
      // DC first scan: its own DC tables (id 0 for Y, 1 for chroma).
      for (int i = 0; i < first_two; ++i) ScanComponents[i]->DCTable->Clear();
      SetCodingAll(false, 1);
      EncodeScan(false);
      for (int i = 0; i < first_two; ++i)
        WriteHuffmanTables(std::min(ScanComponents[i]->Id - 1, 1), true, false);
      BufferStream.ResetBits();
      SetCodingAll(true, 1);
      WriteScanHeader(kSelectorsById);
      EncodeScan(true);
    } else if (s.ss == 0) {
      // DC refinement: raw bits, no table.
      BufferStream.ResetBits();
      SetCodingAll(true, 2);
      WriteScanHeader(kSelectorsNone);
      EncodeScan(true);
    } else {
      const int kind = s.ah == 0 ? 3 : 4;
      TvexJPEGComponent& c = *ScanComponents[0];
      c.ACTable->Clear();
      SetCodingAll(false, kind);
      EncodeScan(false);
      WriteHuffmanTables(std::min(c.Id - 1, 1), false, true);
      BufferStream.ResetBits();
      SetCodingAll(true, kind);
      WriteScanHeader(kSelectorsById);
      EncodeScan(true);
    }
    Bits->Flush();
  }
}
