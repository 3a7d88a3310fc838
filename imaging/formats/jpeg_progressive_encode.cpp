// The writer's progressive script and the four progressive block encoders
// (DC first, DC refinement, AC first with end-of-band runs, AC refinement
// with correction bits).
#include "jpeg_internal.h"

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

// Bits Ss..Se of a zig-zag mask.
inline std::uint64_t BandMask(int ss, int se) {
  if (ss > se) return 0;
  const std::uint64_t upto = se >= 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (se + 1)) - 1;
  return upto & ~((std::uint64_t{1} << ss) - 1);
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
      std::uint64_t earlier = vex::jpeg::MagnitudeMasks(block, Al).above_one &
                              BandMask(b == 0 ? EOBRunStartPosition : Ss, Se);
      while (earlier != 0) {
        const int k = std::countr_zero(earlier);
        earlier &= earlier - 1;
        const int c = block[ZigZag[k]];
        (this->*EmitAC)(-1, static_cast<std::uint32_t>(((c < 0 ? -c : c) >> Al) & 1), 1);
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
  std::uint64_t nonzero = vex::jpeg::MagnitudeMasks(block, Al).nonzero & BandMask(Ss, Se);
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
      const int v = PointTransform(block[ZigZag[k]], Al);
      const int category = MagnitudeCategory(v);
      if (counting)
        freq[run * 16 + category] += 1;
      else
        (this->*EmitAC)(run * 16 + category, MagnitudeBits(v, category), category);
      previous = k;
    }
    if (previous == Se) return; // the band ends on a value: no end-of-band
  }
  if (++EOBRun == vex::jpeg::kMaxEOBRun) FlushEOBRun();
}

void TvexJPEGComponent::EncodeACRefine(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  // After the point transform: magnitude 1 = newly non-zero; more = had a
  // value before (only its correction bit, the low bit, is sent).
  const vex::jpeg::BlockMasks m = vex::jpeg::MagnitudeMasks(block, Al);
  const std::uint64_t band = BandMask(Ss, Se);
  const std::uint64_t earlier = m.above_one & band;
  std::uint64_t fresh = m.nonzero & ~m.above_one & band;
  auto magnitude = [&](int k) {
    const int c = block[ZigZag[k]];
    return (c < 0 ? -c : c) >> Al;
  };
  auto below = [](int k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; };
  // Correction bits of the earlier non-zero positions in [from, to).
  auto corrections = [&](int from, int to) {
    std::uint64_t c = earlier & below(to) & ~below(from);
    while (c != 0) {
      const int p = std::countr_zero(c);
      c &= c - 1;
      (this->*EmitAC)(-1, static_cast<std::uint32_t>(magnitude(p) & 1), 1);
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
        const int a = magnitude(pending);
        if (a == 0)
          ++zeros;
        else if (a == 1)
          throw vex::EJPEGException(vex::jpeg::kMsgUnexpectedValue);
        else
          (this->*EmitAC)(-1, static_cast<std::uint32_t>(a & 1), 1);
        ++pending;
      }
      run -= 16;
    }
    (this->*EmitAC)(run * 16 + 1, block[ZigZag[k]] > 0 ? 1u : 0u, 1);
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
