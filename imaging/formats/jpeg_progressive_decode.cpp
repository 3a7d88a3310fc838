// Progressive scans of the JPEG reader (T.81 Annex G, Huffman coding): the
// scan loop and the four block decoders over the whole-component coefficient
// buffers. The end-of-image transform, upsampling and colour conversion are
// the reader's (Reader::OutputAll), run after the marker loop.
//
// Hazards: end-of-band runs that reach past the last block of a scan (the run
// dies with its scan), runs of zeros that step past the band, correction bits
// for coefficients that were never coded, and predictors or refinements that
// run out of 16 bits (they wrap, as the coefficient does).
#include "jpeg_reader_internal.h"

namespace vex::jpeg {

void Reader::ProgressiveScan() {
  ResetPredictors();
  img_.MCUCount = 0;
  const bool dc = ss_ == 0;
  if (dc && nscan_ > 1) {
    for (int i = 0; i < mcus_down_; ++i) {
      if (!Progress(i, mcus_down_)) return;
      for (int m = 0; m < mcus_across_; ++m) {
        if (img_.RestartInterval != 0 && !Restart()) return;
        for (int s = 0; s < nscan_; ++s) {
          ReaderComponent& rc = comps_[scan_[s]];
          for (int v = 0; v < rc.v; ++v)
            for (int h = 0; h < rc.h; ++h) {
              std::int16_t* blk = rc.BlockAt(i * rc.v + v, m * rc.h + h);
              if (ah_ == 0)
                DecodeDCFirst(bits_, *rc.c, rc.fast_dc, al_, blk);
              else
                DecodeDCRefine(bits_, al_, blk);
            }
        }
        ++img_.MCUCount;
      }
      if (!DataLeft()) return;
    }
    return;
  }
  ReaderComponent& rc = comps_[scan_[0]];
  TvexJPEGComponent& c = *rc.c;
  for (int i = 0; i < rc.scan_rows; ++i) {
    if (!Progress(i, rc.scan_rows)) return;
    for (int j = 0; j < rc.scan_cols; ++j) {
      if (img_.RestartInterval != 0 && !Restart()) return;
      std::int16_t* blk = rc.BlockAt(i, j);
      if (dc) {
        if (ah_ == 0)
          DecodeDCFirst(bits_, c, rc.fast_dc, al_, blk);
        else
          DecodeDCRefine(bits_, al_, blk);
      } else if (ah_ == 0) {
        // Blocks inside an end-of-band run take no bits.
        if (c.EOBRun > 0)
          --c.EOBRun;
        else
          DecodeACFirst(bits_, c, rc.fast_ac, ss_, se_, al_, blk);
      } else {
        DecodeACRefine(bits_, c, ss_, se_, al_, blk);
      }
      ++img_.MCUCount;
    }
    if (!DataLeft()) return;
  }
}

void DecodeDCFirst(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_dc, int al,
                   std::int16_t* blk) {
  const std::int32_t diff = DecodeDCDifference(br, *c.DCTable, fast_dc);
  c.LastDC = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.LastDC) +
                                       static_cast<std::uint32_t>(diff));
  blk[0] = static_cast<std::int16_t>(static_cast<std::uint32_t>(c.LastDC) << al);
}

void DecodeDCRefine(BitReader& br, int al, std::int16_t* blk) {
  if (br.GetBit() != 0) blk[0] = static_cast<std::int16_t>(blk[0] | (1 << al));
}

void DecodeACFirst(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_ac, int ss, int se,
                   int al, std::int16_t* blk) {
  if (c.EOBRun > 0) {
    --c.EOBRun;
    return;
  }
  const TvexHuffmanJPEG& ac = *c.ACTable;
  for (int k = ss; k <= se;) {
    if (br.Available() < 32) br.Fill();
    const std::int32_t e = fast_ac.entry[br.Peek(FastTable::kBits)];
    const int step = FastTable::Step(e);
    int rs;
    if (step == FastTable::kCareful) {
      int used = 0;
      rs = ac.DecodeFast(br.Peek(32), used);
      if (rs < 0) throw vex::ImagingError(kMsgValueOutOfRange);
      br.Skip(used);
    } else {
      br.Skip(e & 0xFF);
      if (step == FastTable::kEndOfBlock) break; // a run of one block: this one
      if (step != FastTable::kSymbolOnly) {
        k += step - 1;
        if (k > 63) throw vex::ImagingError(kMsgValueOutOfRange);
        blk[ZigZag[k]] = static_cast<std::int16_t>(static_cast<std::uint32_t>(e >> 16) << al);
        ++k;
        continue;
      }
      rs = e >> 16;
    }
    const int r = rs >> 4, s = rs & 15;
    if (s != 0) {
      k += r;
      if (k > 63) throw vex::ImagingError(kMsgValueOutOfRange);
      const int v = vex::jpeg::Extend(static_cast<int>(br.Peek(s)), s);
      br.Skip(s);
      blk[ZigZag[k]] = static_cast<std::int16_t>(static_cast<std::uint32_t>(v) << al);
      ++k;
    } else if (r == 15) {
      k += 16;
    } else {
      // End of band: this block and 2^r + (r bits) - 1 more.
      c.EOBRun = r == 0 ? 0 : static_cast<std::int32_t>((1u << r) + br.Get(r) - 1);
      break;
    }
  }
}

void DecodeACRefine(BitReader& br, TvexJPEGComponent& c, int ss, int se, int al,
                    std::int16_t* blk) {
  const int p1 = 1 << al;
  // The reservoir stays in registers over the block; a refill is checked
  // before each symbol and before each correction bit.
  std::uint64_t bits;
  int count;
  br.Take(bits, count);
  const auto bit = [&]() -> std::uint32_t {
    if (count < 1) {
      br.Put(bits, count);
      br.Fill();
      br.Take(bits, count);
    }
    const auto v = static_cast<std::uint32_t>(bits >> 63);
    bits <<= 1;
    --count;
    return v;
  };
  // A coefficient that is already non-zero takes one correction bit.
  const auto refine = [&](std::int16_t& coef) {
    if (coef != 0 && bit() != 0) coef = static_cast<std::int16_t>(coef > 0 ? coef + p1 : coef - p1);
  };
  int k = ss;
  while (k <= se) {
    if (c.EOBRun > 0) {
      // Only the non-zero coefficients of the rest of the band take a bit.
      std::uint64_t rest =
          NonZeroMask(blk) & (~std::uint64_t{0} << k) & (~std::uint64_t{0} >> (63 - se));
      for (; rest != 0; rest &= rest - 1) refine(blk[ZigZag[__builtin_ctzll(rest)]]);
      --c.EOBRun;
      break;
    }
    if (count < 32) {
      br.Put(bits, count);
      br.Fill();
      br.Take(bits, count);
    }
    int used = 0;
    const int rs = c.ACTable->DecodeFast(static_cast<std::uint32_t>(bits >> 32), used);
    if (rs < 0) throw vex::ImagingError(kMsgInvalidValue);
    bits <<= used;
    count -= used;
    const int r = rs >> 4, s = rs & 15;
    if (s == 1) {
      const bool positive = bit() != 0;
      // Pass r zero coefficients (correcting the non-zero ones on the way);
      // the next zero one becomes +-p1.
      int zeros = r;
      while (true) {
        if (k > se) throw vex::ImagingError(kMsgProgressiveScan);
        std::int16_t& coef = blk[ZigZag[k]];
        if (coef != 0) {
          refine(coef);
        } else {
          if (zeros == 0) break;
          --zeros;
        }
        ++k;
      }
      blk[ZigZag[k]] = static_cast<std::int16_t>(positive ? p1 : -p1);
      ++k;
    } else if (s != 0) {
      throw vex::ImagingError(kMsgInvalidValue);
    } else if (r == 15) {
      // Sixteen zero coefficients, correcting the non-zero ones on the way.
      int zeros = 0;
      while (k <= se) {
        std::int16_t& coef = blk[ZigZag[k]];
        ++k;
        if (coef != 0) {
          refine(coef);
        } else if (++zeros == 16) {
          break;
        }
      }
    } else {
      // End of band: the rest of this block is refined by the next round.
      std::uint32_t extra = 0;
      for (int i = 0; i < r; ++i) extra = (extra << 1) | bit();
      c.EOBRun = r == 0 ? 1 : static_cast<std::int32_t>((1u << r) + extra);
    }
  }
  br.Put(bits, count);
}

} // namespace vex::jpeg
