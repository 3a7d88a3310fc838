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
  std::int32_t row = EOBRunStartRow, column = EOBRunStartColumn;
  for (std::int32_t b = 0; b < EOBRun; ++b) {
    if (row < 0 || row >= ScanRows || column < 0 || column >= ScanColumns)
      throw vex::EJPEGException(vex::jpeg::kMsgEOBBeyondLastRow);
    const std::int16_t* block = BlockAt(row, column);
    for (int k = b == 0 ? EOBRunStartPosition : Ss; k <= Se; ++k) {
      const int v = PointTransform(block[ZigZag[k]], Al);
      if (std::abs(v) > 1) (this->*EmitAC)(-1, static_cast<std::uint32_t>(v & 1), 1);
    }
    if (++column >= ScanColumns) {
      column = 0;
      ++row;
    }
  }
  ResetEOBRun();
}

void TvexJPEGComponent::EncodeACFirst(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  int run = 0;
  for (int k = Ss; k <= Se; ++k) {
    const int v = PointTransform(block[ZigZag[k]], Al);
    if (v == 0) {
      ++run;
      continue;
    }
    FlushEOBRun();
    while (run >= 16) {
      (this->*EmitAC)(0xF0, 0, 0);
      run -= 16;
    }
    const int category = MagnitudeCategory(v);
    (this->*EmitAC)(run * 16 + category, MagnitudeBits(v, category), category);
    if (k == Se) return; // the band ends on a value: no end-of-band
    run = 0;
  }
  if (++EOBRun == vex::jpeg::kMaxEOBRun) FlushEOBRun();
}

void TvexJPEGComponent::EncodeACRefine(int Row, int Column) {
  const std::int16_t* block = BlockAt(Row, Column);
  int pending = Ss; // first position whose correction bit is not yet written
  int run = 0;
  int corrections = 0;
  auto correction_bit = [&](int position) {
    const int v = PointTransform(block[ZigZag[position]], Al);
    (this->*EmitAC)(-1, static_cast<std::uint32_t>(v & 1), 1);
    --corrections;
  };
  for (int k = Ss; k <= Se; ++k) {
    const int v = PointTransform(block[ZigZag[k]], Al);
    if (v == 0) {
      ++run;
      continue;
    }
    if (std::abs(v) > 1) {
      ++corrections; // already non-zero: only its correction bit, sent later
      continue;
    }
    // Newly non-zero.
    FlushEOBRunWithCorrections();
    while (run >= 16) {
      (this->*EmitAC)(0xF0, 0, 0);
      // The zero run covers 16 zero positions; the correction bits of the
      // earlier non-zero coefficients among them follow the ZRL.
      int zeros = 0;
      while (zeros < 16) {
        if (pending < Ss || pending > Se || corrections > 64)
          throw vex::EJPEGException(vex::jpeg::kMsgInvalidZeroRun);
        const int w = PointTransform(block[ZigZag[pending]], Al);
        if (w == 0)
          ++zeros;
        else if (std::abs(w) == 1)
          throw vex::EJPEGException(vex::jpeg::kMsgUnexpectedValue);
        else
          correction_bit(pending);
        ++pending;
      }
      run -= 16;
    }
    (this->*EmitAC)(run * 16 + 1, v > 0 ? 1u : 0u, 1);
    for (int p = pending; p < k; ++p)
      if (std::abs(PointTransform(block[ZigZag[p]], Al)) > 1) correction_bit(p);
    corrections = 0;
    if (k == Se) return;
    pending = k + 1;
    run = 0;
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
