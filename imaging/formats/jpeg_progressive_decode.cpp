// Progressive scans of the JPEG reader (T.81 Annex G, Huffman coding): the
// scan loop and the four block decoders over the whole-component coefficient
// buffers. The end-of-image transform, upsampling and colour conversion are
// the reader's (Reader::OutputAll), run after the marker loop.
//
// Hazards: end-of-band runs that reach past the last block of a scan (the run
// dies with its scan), runs of zeros that step past the band, correction bits
// for coefficients that were never coded, and predictors or refinements that
// run out of 16 bits (they wrap, as the coefficient does).
#include "formats/jpeg_reader_internal.h"

namespace vex::jpeg {

void Reader::ProgressiveScan() {
  ResetPredictors();
  img_.MCUCount = 0;
  const bool dc = ss_ == 0;
  if (dc && nscan_ > 1) {
    for (int i = 0; i < mcus_down_; ++i) {
      if (!Progress(i, mcus_down_)) return;
      for (int m = 0; m < mcus_across_; ++m) {
        if (!Restart()) return;
        for (int s = 0; s < nscan_; ++s) {
          ReaderComponent& rc = comps_[scan_[s]];
          for (int v = 0; v < rc.v; ++v)
            for (int h = 0; h < rc.h; ++h) {
              std::int16_t* blk = rc.c->BlockAt(i * rc.v + v, m * rc.h + h);
              if (ah_ == 0)
                DecodeDCFirst(*rc.c, blk);
              else
                DecodeDCRefine(blk);
            }
        }
        ++img_.MCUCount;
      }
      if (bits_.Truncated()) {
        fail(EC_ENDOFFILE);
        return;
      }
    }
    return;
  }
  ReaderComponent& rc = comps_[scan_[0]];
  TvexJPEGComponent& c = *rc.c;
  for (int i = 0; i < rc.scan_rows; ++i) {
    if (!Progress(i, rc.scan_rows)) return;
    for (int j = 0; j < rc.scan_cols; ++j) {
      if (!Restart()) return;
      std::int16_t* blk = c.BlockAt(i, j);
      if (dc) {
        if (ah_ == 0)
          DecodeDCFirst(c, blk);
        else
          DecodeDCRefine(blk);
      } else if (ah_ == 0) {
        DecodeACFirst(c, blk);
      } else {
        DecodeACRefine(c, blk);
      }
      ++img_.MCUCount;
    }
    if (bits_.Truncated()) {
      fail(EC_ENDOFFILE);
      return;
    }
  }
}

void Reader::DecodeDCFirst(TvexJPEGComponent& c, std::int16_t* blk) {
  const std::int32_t dc = DecodeDC(c);
  blk[0] = static_cast<std::int16_t>(static_cast<std::uint32_t>(dc) << al_);
}

void Reader::DecodeDCRefine(std::int16_t* blk) {
  if (bits_.GetBit() != 0) blk[0] = static_cast<std::int16_t>(blk[0] | (1 << al_));
}

void Reader::DecodeACFirst(TvexJPEGComponent& c, std::int16_t* blk) {
  if (c.EOBRun > 0) {
    --c.EOBRun;
    return;
  }
  const TvexHuffmanJPEG& ac = *c.ACTable;
  BitReader& br = bits_;
  for (int k = ss_; k <= se_;) {
    if (br.Available() < 32) br.Fill();
    int used = 0;
    const int rs = ac.DecodeFast(br.Peek(32), used);
    if (rs < 0) throw vex::ImagingError(kMsgValueOutOfRange);
    br.Skip(used);
    const int r = rs >> 4, s = rs & 15;
    if (s != 0) {
      k += r;
      if (k > 63) throw vex::ImagingError(kMsgValueOutOfRange);
      const int v = vex::jpeg::Extend(static_cast<int>(br.Peek(s)), s);
      br.Skip(s);
      blk[ZigZag[k]] = static_cast<std::int16_t>(static_cast<std::uint32_t>(v) << al_);
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

void Reader::DecodeACRefine(TvexJPEGComponent& c, std::int16_t* blk) {
  const int p1 = 1 << al_;
  BitReader& br = bits_;
  // A coefficient that is already non-zero takes one correction bit.
  auto refine = [&br, p1](std::int16_t& coef) {
    if (coef != 0 && br.GetBit() != 0)
      coef = static_cast<std::int16_t>(coef > 0 ? coef + p1 : coef - p1);
  };
  int k = ss_;
  while (k <= se_) {
    if (c.EOBRun > 0) {
      for (; k <= se_; ++k) refine(blk[ZigZag[k]]);
      --c.EOBRun;
      return;
    }
    if (br.Available() < 32) br.Fill();
    int used = 0;
    const int rs = c.ACTable->DecodeFast(br.Peek(32), used);
    if (rs < 0) throw vex::ImagingError(kMsgInvalidValue);
    br.Skip(used);
    const int r = rs >> 4, s = rs & 15;
    if (s == 1) {
      const bool positive = br.GetBit() != 0;
      // Pass r zero coefficients (correcting the non-zero ones on the way);
      // the next zero one becomes +-p1.
      int zeros = r;
      while (true) {
        if (k > se_) throw vex::ImagingError(kMsgProgressiveScan);
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
      while (k <= se_) {
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
      c.EOBRun = r == 0 ? 1 : static_cast<std::int32_t>((1u << r) + br.Get(r));
    }
  }
}

} // namespace vex::jpeg
