// JPEG reader: ReadHeader and ReadImage of TvexJPEGImage, sequential scans, and
// the entropy-decoding layer shared with the progressive scans.
#include "jpeg_reader_internal.h"

#include "platform/rounding.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vex::jpeg {

// ---------------------------------------------------------------------------
// Bit reader

bool BitReader::Refill() {
  // Keep an unread byte (a 0xFF whose partner has not arrived) at the front.
  const std::int32_t keep = static_cast<std::int32_t>(end_ - ptr_);
  if (keep > 0) std::memmove(buf_, ptr_, static_cast<std::size_t>(keep));
  ptr_ = buf_;
  end_ = buf_ + keep;
  const std::int32_t got = pull_ ? pull_(ctx_, buf_ + keep, kBitChunk - keep) : 0;
  end_ += std::max(got, 0);
  return got > 0;
}

void BitReader::FillBytes() {
  while (count_ <= 56) {
    if (marker_ != 0 || eof_) {
      // Zero bits past the end of the data.
      count_ += 8;
      pad_ += 8;
      continue;
    }
    if (end_ - ptr_ < 2 && !Refill() && end_ == ptr_) {
      eof_ = true;
      continue;
    }
    const std::uint8_t b = *ptr_;
    if (b == 0xFF && end_ - ptr_ >= 2) {
      // (A lone 0xFF as the last byte of the file counts as data.)
      const std::uint8_t f = ptr_[1];
      if (f == 0x00) {
        ptr_ += 2;
      } else if (f == 0xDC) {
        throw vex::ImagingError(kMsgUnexpectedDNL);
      } else {
        marker_ = f; // stays in the stream for the marker loop
        continue;
      }
    } else {
      ++ptr_;
    }
    bits_ |= static_cast<std::uint64_t>(b) << (56 - count_);
    count_ += 8;
  }
}

int BitReader::TakeRestart() {
  bits_ = 0;
  count_ = 0;
  pad_ = 0;
  eof_ = false;
  marker_ = 0;
  skipped_ = false;
  // Bytes before the marker are damage: passed over, and remembered.
  while (true) {
    if (end_ - ptr_ < 2 && !Refill() && end_ - ptr_ < 2) return -1;
    if (ptr_[0] == 0xFF && ptr_[1] != 0x00 && ptr_[1] != 0xFF) break;
    if (ptr_[0] != 0xFF || ptr_[1] == 0x00) skipped_ = true;
    ptr_ += ptr_[0] == 0xFF && ptr_[1] == 0x00 ? 2 : 1;
  }
  const std::uint8_t m = ptr_[1];
  if (m < 0xD0 || m > 0xD7) return -1;
  ptr_ += 2;
  return m - 0xD0;
}

std::int32_t BitReader::Finish() {
  bits_ = 0;
  count_ = 0;
  pad_ = 0;
  marker_ = 0;
  eof_ = false;
  while (true) {
    if (end_ - ptr_ < 2 && !Refill() && end_ - ptr_ < 2) {
      ptr_ = end_;
      break;
    }
    if (ptr_[0] != 0xFF) {
      ++ptr_;
      continue;
    }
    const std::uint8_t f = ptr_[1];
    if (f == 0x00 || (f >= 0xD0 && f <= 0xD7)) {
      ptr_ += 2;
      continue;
    }
    if (f == 0xFF) {
      ++ptr_;
      continue;
    }
    break;
  }
  const std::int32_t back = static_cast<std::int32_t>(end_ - ptr_);
  ptr_ = end_ = buf_;
  return back;
}

// ---------------------------------------------------------------------------
// Symbol decoding

void FastTable::Build(const TvexHuffmanJPEG& table, bool dc) {
  for (std::uint32_t p = 0; p < (1u << kBits); ++p) {
    entry[p] = kCareful << 8;
    int used = 0;
    const int sym = table.DecodeFast(p << (32 - kBits), used);
    // A DC category above 16 is corrupt: left to the careful path.
    if (sym < 0 || used > kBits || (dc && sym > 16)) continue;
    const int run = dc ? 0 : sym >> 4;
    const int s = dc ? sym : sym & 15;
    if (!dc && sym == 0 && used <= kValueBits) {
      entry[p] = (kEndOfBlock << 8) | used;
    } else if ((s == 0 && !dc) || used + s > kValueBits) {
      entry[p] = (sym << 16) | (kSymbolOnly << 8) | used;
    } else {
      const int bits = s == 0 ? 0 : static_cast<int>(p >> (kBits - used - s)) & ((1 << s) - 1);
      const int value = vex::jpeg::Extend(bits, s);
      entry[p] = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << 16) |
                 ((dc ? 0 : run + 1) << 8) | (used + s);
    }
  }
  for (std::uint32_t p = 0; p < (1u << kBits); ++p) {
    const std::int32_t e = entry[p];
    second[p] = e;
    const int step = Step(e), used = e & 0xFF;
    if (dc || step < 1 || step > 16 || used >= kBits) continue;
    // The rest of the prefix, with zero bits after it: an entry that uses no
    // more than the bits known is what a lookup at that position would give.
    const std::int32_t n = entry[(p << used) & ((1u << kBits) - 1)];
    const int next_step = Step(n), next_used = n & 0xFF;
    if (next_step >= 1 && next_step <= 16 && used + next_used <= kBits)
      second[p] = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) & 0xFFFF0000u) |
                  ((step + next_step) << 8) | (used + next_used);
  }
}

std::int32_t DecodeDCDifference(BitReader& br, const TvexHuffmanJPEG& table,
                                const FastTable& fast) {
  if (br.Available() < 32) br.Fill();
  const std::int32_t e = fast.entry[br.Peek(FastTable::kBits)];
  int s;
  switch (FastTable::Step(e)) {
  case FastTable::kCareful: {
    int used = 0;
    s = table.DecodeFast(br.Peek(32), used);
    // No code matched, or a category no 8-bit difference has: corrupt data.
    if (s < 0 || s > 16) throw vex::ImagingError(kMsgValueOutOfRange);
    br.Skip(used);
    break;
  }
  case FastTable::kSymbolOnly:
    br.Skip(e & 0xFF);
    s = e >> 16;
    break;
  default:
    br.Skip(e & 0xFF);
    return e >> 16;
  }
  return vex::jpeg::Extend(static_cast<int>(br.Get(s)), s);
}

bool DecodeBlockSequential(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_dc,
                           const FastTable& fast_ac, std::int16_t* blk) {
  // The reservoir stays in registers over the block.
  std::uint64_t bits;
  int count;
  br.Take(bits, count);
  const auto peek = [&](int n) { return static_cast<std::uint32_t>(bits >> (64 - n)); };
  const auto skip = [&](int n) {
    bits <<= n;
    count -= n;
  };
  // 32 bits cover a DC code of the lookahead and its magnitude bits.
  if (count < 32) br.Fill(bits, count);
  std::int32_t diff;
  if (const std::int32_t e = fast_dc.entry[peek(FastTable::kBits)]; FastTable::Step(e) == 0) {
    skip(e & 0xFF);
    diff = e >> 16;
  } else {
    br.Put(bits, count);
    diff = DecodeDCDifference(br, *c.DCTable, fast_dc);
    br.Take(bits, count);
  }
  // The predictor wraps like the 16-bit coefficient it feeds.
  c.LastDC = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.LastDC) +
                                       static_cast<std::uint32_t>(diff));
  blk[0] = static_cast<std::int16_t>(c.LastDC);
  const std::uint8_t* const zigzag = ZigZag;
  // k: the position of the last coefficient decoded or passed over; zrl: the
  // positions passed over by runs of sixteen zeros (the block has AC values
  // when k went further).
  int k = 0, zrl = 0;
  while (k < 63) {
    // A value entry uses at most kValueBits bits; other symbols refill below
    // 32 bits for themselves, so most refills bring in more whole bytes.
    if (count < 16) [[unlikely]]
      br.Fill(bits, count);
    const std::uint32_t p = peek(FastTable::kBits);
    const std::int32_t e = fast_ac.entry[p];
    const int step = FastTable::Step(e);
    if (k + step <= 63) [[likely]] {
      // Two symbols from the one lookup where the plain loop would not refill
      // between them (a value entry uses at most 10 bits) and both stay in
      // the block (steps sum to at most 32). Decided before the lookup's
      // result and without branches, so the bits wait on one shift.
      const std::int32_t both =
          -static_cast<std::int32_t>(count >= 16 + FastTable::kValueBits && k <= 31);
      const std::int32_t f = (fast_ac.second[p] & both) | (e & ~both);
      blk[zigzag[k + step]] = static_cast<std::int16_t>(e >> 16);
      k += FastTable::Step(f);
      skip(f & 0xFF);
      blk[zigzag[k]] = static_cast<std::int16_t>(f >> 16);
      continue;
    }
    if (step == FastTable::kEndOfBlock) {
      skip(e & 0xFF);
      break;
    }
    int rs;
    if (step == FastTable::kSymbolOnly) {
      // As for a symbol of the table's own decoder: 32 bits before the code,
      // so that refills (and what they meet) come where they always came.
      if (count < 32) br.Fill(bits, count);
      skip(e & 0xFF);
      rs = e >> 16;
    } else if (step == FastTable::kCareful) {
      // 32 bits cover the longest code (17 bits when nothing matches) and the
      // magnitude bits after it.
      if (count < 32) br.Fill(bits, count);
      int used = 0;
      rs = c.ACTable->DecodeFast(peek(32), used);
      if (rs < 0) throw vex::ImagingError(kMsgValueOutOfRange);
      skip(used);
    } else {
      skip(e & 0xFF);
      throw vex::ImagingError(kMsgValueOutOfRange); // a run past the block
    }
    const int r = rs >> 4, s = rs & 15;
    if (s != 0) {
      k += r + 1;
      if (k > 63) throw vex::ImagingError(kMsgValueOutOfRange);
      blk[zigzag[k]] = static_cast<std::int16_t>(vex::jpeg::Extend(static_cast<int>(peek(s)), s));
      skip(s);
    } else if (r == 15) {
      k += 16;
      zrl += 16;
    } else {
      break;
    }
  }
  br.Put(bits, count);
  return k > zrl;
}

// ---------------------------------------------------------------------------
// Marker loop and segments

namespace {

using vex::EndOfFile;

std::int32_t PullFromStream(void* ctx, std::uint8_t* dst, std::int32_t n) {
  return static_cast<TvexBufferStream*>(ctx)->Read(dst, n);
}

int CeilDiv(std::int64_t a, std::int64_t b) {
  return static_cast<int>((a + b - 1) / b);
}

// True when every AC coefficient of the block is zero.
bool DCOnly(const std::int16_t* blk) {
  std::uint64_t acc = 0;
  std::uint64_t w[16];
  std::memcpy(w, blk, sizeof w);
  acc = w[0] & ~std::uint64_t{0xFFFF};
  for (int i = 1; i < 16; ++i) acc |= w[i];
  return acc == 0;
}

// Large buffers are written all over soon after they are made: huge pages
// spare most of the page faults.
void PreferHugePages([[maybe_unused]] void* p, [[maybe_unused]] std::int64_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < (std::int64_t{4} << 20)) return;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t start = at & ~std::uintptr_t{4095};
  madvise(reinterpret_cast<void*>(start), static_cast<std::size_t>(size) + (at - start),
          MADV_HUGEPAGE);
#endif
}

} // namespace

std::uint8_t Reader::ReadByte() {
  std::uint8_t b = 0;
  if (img_.GetBufferStream().Read(&b, 1) != 1) throw EndOfFile{};
  return b;
}

std::uint16_t Reader::ReadWord() {
  std::uint8_t b[2] = {};
  if (img_.GetBufferStream().Read(b, 2) != 2) throw EndOfFile{};
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

bool Reader::ReadMarker(std::uint16_t& marker) {
  // Zero bytes between segments are padding; any other byte that is not part
  // of a marker is damage: passed over so that the rest of the file is still
  // read, and reported once the file is done.
  std::uint8_t b = ReadByte();
  while (true) {
    if (b != 0xFF) {
      if (b != 0) Damaged(EC_BADFORMAT);
      b = ReadByte();
      continue;
    }
    const std::uint8_t m = ReadByte();
    if (m == 0xFF) continue; // fill byte
    if (m == 0x00) {
      Damaged(EC_BADFORMAT);
      b = ReadByte();
      continue;
    }
    marker = static_cast<std::uint16_t>(0xFF00 | m);
    return true;
  }
}

bool Reader::SegmentLength(std::int64_t& end) {
  const std::int64_t start = img_.GetBufferStream().GetPosition();
  const std::uint16_t length = ReadWord();
  if (length < 2) {
    // No segment is that short: resume the search for markers after it.
    Damaged(EC_BADFORMAT);
    return false;
  }
  end = start + length;
  if (end > img_.GetBufferStream().GetSize()) {
    fail(EC_ENDOFFILE);
    return false;
  }
  return true;
}

void Reader::SkipTo(std::int64_t end) {
  img_.GetBufferStream().Seek(end);
}

void Reader::Run() {
  Bs& bs = img_.GetBufferStream();
  try {
    std::uint16_t marker = 0;
    bool more = ReadMarker(marker);
    while (more && marker != 0xFFD9 && err() == EC_OK) {
      std::int64_t end = 0;
      switch (marker) {
      case 0xFF01: // TEM
      case 0xFFD8: // a repeated SOI carries nothing
        break;
      case 0xFFC0:
      case 0xFFC1:
      case 0xFFC2:
        if (SegmentLength(end)) ReadFrame(marker, end);
        break;
      case 0xFFC3:
        fail(EC_JFIF_LOSSLESS);
        break;
      case 0xFFC4:
        if (SegmentLength(end)) ReadHuffmanTables(end);
        break;
      case 0xFFC5:
        fail(EC_JFIF_DIFFSEQ);
        break;
      case 0xFFC6:
        fail(EC_JFIF_DIFFPROG);
        break;
      case 0xFFC7:
        fail(EC_JFIF_DIFFLOSSLESS);
        break;
      case 0xFFDA:
        if (!frame_seen_)
          fail(EC_JFIF_SOSBEFORESOF);
        else if (SegmentLength(end))
          ReadScan(end);
        break;
      case 0xFFDB:
        if (SegmentLength(end)) ReadQuantTables(end);
        break;
      case 0xFFDD:
        if (SegmentLength(end)) {
          if (end - bs.GetPosition() >= 2) img_.RestartInterval = ReadWord();
          SkipTo(end);
        }
        break;
      case 0xFFDE:
        fail(EC_JFIF_DHP);
        break;
      case 0xFFFE:
        if (SegmentLength(end)) ReadComment(end);
        break;
      default:
        if (marker >= 0xFFC9 && marker <= 0xFFCF) {
          fail(EC_ARITHMETIC);
        } else if (marker >= 0xFFD0 && marker <= 0xFFD7) {
          fail(EC_BADFORMAT); // a restart marker outside a scan
        } else if (marker >= 0xFFE0 && marker <= 0xFFEF) {
          if (SegmentLength(end)) ReadApp(marker, end);
        } else if (SegmentLength(end)) {
          SkipTo(end);
        }
        break;
      }
      if (err() != EC_OK) break;
      more = ReadMarker(marker);
    }
  } catch (...) {
    img_.Fail(img_.TranslateException());
  }

  if (err() == EC_OK && damage_ != EC_OK) fail(damage_);
  // A frame that ends without a single scan has no picture.
  if (err() == EC_OK && frame_seen_ && scans_ == 0) fail(EC_ENDOFDATA);

  // A frame held as coefficients (progressive, or sequential in separate
  // scans) is turned into rows now, also after an error: what was decoded is kept.
  if (buffered_ && coefficients_ready_ && (dib_bits_ || sink_began_) && !cancelled_) {
    try {
      OutputAll();
    } catch (...) {
      if (err() == EC_OK) fail(EC_EXCEPTION);
    }
  }
  if (sink_began_) {
    try {
      FinishRows();
    } catch (...) {
      if (err() == EC_OK) fail(EC_EXCEPTION);
    }
  }

  if (img_.GetImageInfo() && img_.GetBitmapInfo() && app0_seen_) {
    TvexImageInfo& info = *img_.GetImageInfo();
    info.SetResolutionUnit(RU_METER);
    img_.GetBitmapInfo()->bmiHeader.biXPelsPerMeter =
        vex::round_to_int32(static_cast<long double>(info.XResolution()));
    img_.GetBitmapInfo()->bmiHeader.biYPelsPerMeter =
        vex::round_to_int32(static_cast<long double>(info.YResolution()));
  }
}

void Reader::ReadFrame(std::uint16_t marker, std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  if (frame_seen_) {
    // One frame per file: a second one would replace the bitmap being filled.
    fail(EC_BADFORMAT);
    return;
  }
  frame_seen_ = true;
  progressive_ = marker == 0xFFC2;
  img_.SetInterlaced(!progressive_);
  img_.SetCompression(progressive_ ? CP_JPEG_PROG : CP_JPEG_STD);
  if (end - bs.GetPosition() < 6) {
    fail(EC_BADFORMAT);
    return;
  }
  img_.FramePrecision = ReadByte();
  img_.FrameHeight = ReadWord();
  img_.FrameWidth = ReadWord();
  img_.FrameComponentCount = ReadByte();
  const int nf = img_.FrameComponentCount;
  // Four components are C, M, Y, K (or Y, Cb, Cr, K), made RGB here.
  if (nf != 1 && nf != 3 && nf != 4) {
    fail(EC_JFIF_COMPONENTS);
    return;
  }
  if (end - bs.GetPosition() < 3 * nf) {
    fail(EC_BADFORMAT);
    return;
  }
  ncomp_ = nf;
  img_.ComponentCount = static_cast<std::uint8_t>(nf);
  for (int i = 0; i < nf; ++i) {
    const std::uint8_t id = ReadByte(), hv = ReadByte(), tq = ReadByte();
    img_.FrameComponents[i][0] = id;
    img_.FrameComponents[i][1] = hv;
    img_.FrameComponents[i][2] = tq;
    for (int j = 0; j < i; ++j)
      if (comps_[j].c->Id == id) {
        fail(EC_JFIF_COMPID); // two frame components with one id
        return;
      }
    img_.Components[i] = std::make_unique<TvexJPEGComponent>();
    TvexJPEGComponent* c = img_.Components[i].get();
    c->Id = id;
    c->H = hv >> 4;
    c->V = hv & 15;
    comps_[i].c = c;
    comps_[i].quant = tq;
    if (c->H == 0 || c->V == 0) fail(EC_JFIF_ZEROFREQ);
  }
  if (err() != EC_OK) return;
  if (img_.FramePrecision != 8) {
    fail(EC_BITDEPTH);
    return;
  }

  // Geometry. A one-component frame is coded one block at a time whatever
  // its sampling factors (T.81 A.2.2).
  hmax_ = vmax_ = 1;
  for (int i = 0; i < nf; ++i) {
    comps_[i].h = nf == 1 ? 1 : comps_[i].c->H;
    comps_[i].v = nf == 1 ? 1 : comps_[i].c->V;
    hmax_ = std::max(hmax_, comps_[i].h);
    vmax_ = std::max(vmax_, comps_[i].v);
  }
  for (int i = 0; i < nf; ++i) {
    // Replication needs whole ratios; the others are refused rather than
    // decoded into misplaced samples.
    if (hmax_ % comps_[i].h != 0) fail(EC_JFIF_HFREQ);
    if (vmax_ % comps_[i].v != 0) fail(EC_JFIF_VFREQ);
  }
  if (err() != EC_OK) return;
  width_ = img_.FrameWidth;
  height_ = img_.FrameHeight;
  mcus_across_ = CeilDiv(width_, 8 * hmax_);
  mcus_down_ = CeilDiv(height_, 8 * vmax_);
  img_.Hmax = hmax_;
  img_.Vmax = vmax_;
  img_.MCUWidth = 8 * hmax_;
  img_.MCUHeight = 8 * vmax_;
  img_.MCUsAcross = mcus_across_;
  img_.MCUsDown = mcus_down_;

  // The bitmap: 8-bit grey or 24-bit.
  vex::platform::BitmapInfoHeader& h = img_.GetBitmapInfo()->bmiHeader;
  h.biWidth = width_;
  h.biHeight = height_;
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(nf == 1 ? 8 : 24);
  h.biCompression = vex::platform::BI_RGB;
  h.biClrUsed = 0;
  if (img_.GetImageInfo() && app0_seen_) {
    // The section carries the file's resolution from the start.
    TvexImageInfo& info = *img_.GetImageInfo();
    const TvexResolutionUnit unit = info.ResolutionUnit();
    info.SetResolutionUnit(RU_METER);
    h.biXPelsPerMeter = vex::round_to_int32(static_cast<long double>(info.XResolution()));
    h.biYPelsPerMeter = vex::round_to_int32(static_cast<long double>(info.YResolution()));
    info.SetResolutionUnit(unit);
  }
  if (nf == 1) img_.CreateGreyPalette(1);
  if (sink_) {
    // No bitmap, so no cap on its size: one row at a time goes to the sink.
    if (width_ == 0 || height_ == 0) {
      fail(EC_WINDOWS);
      return;
    }
    if (!sink_->Begin(width_, height_, nf == 1 ? 8 : 24)) {
      fail(EC_USERCANCEL);
      return;
    }
    sink_began_ = true;
    // Room for a converter that writes a whole vector past the last pixel.
    row_.assign(static_cast<std::size_t>(width_) * (nf == 1 ? 1 : 3) + 64, 0);
  } else {
    if (width_ == 0 || height_ == 0 || !img_.CreateDIB()) {
      if (err() == EC_OK) fail(EC_WINDOWS);
      return;
    }
    vex::platform::DibSection section;
    if (!vex::platform::GetDIBSection(img_.GetDIBHandle(), &section)) {
      fail(EC_WINDOWS);
      return;
    }
    dib_bits_ = static_cast<std::uint8_t*>(section.bmBits);
    dib_line_ = img_.GetLineWidth();
  }
  if (nf >= 3) {
    ycc_.Build();
    std::memcpy(img_.CbToB, ycc_.cb_to_b, sizeof img_.CbToB);
    std::memcpy(img_.CbToG, ycc_.cb_to_g, sizeof img_.CbToG);
    std::memcpy(img_.CrToR, ycc_.cr_to_r, sizeof img_.CrToR);
    std::memcpy(img_.CrToG, ycc_.cr_to_g, sizeof img_.CrToG);
    std::memcpy(img_.ClampTable, ycc_.clamp_store, sizeof img_.ClampTable);
  }

  for (int i = 0; i < nf; ++i) {
    ReaderComponent& rc = comps_[i];
    TvexJPEGComponent& c = *rc.c;
    rc.hf = hmax_ / rc.h;
    rc.vf = vmax_ / rc.v;
    rc.blocks_per_line = rc.h * mcus_across_;
    rc.blocks_down = rc.v * mcus_down_;
    rc.scan_cols = CeilDiv(CeilDiv(std::int64_t{width_} * rc.h, hmax_), 8);
    rc.scan_rows = CeilDiv(CeilDiv(std::int64_t{height_} * rc.v, vmax_), 8);
    rc.stride = 8 * std::int64_t{rc.blocks_per_line};
    const std::int64_t bytes = rc.stride * 8 * rc.v + 64;
    if (bytes > kMaxAllocation) {
      fail(EC_NOMEMORY);
      return;
    }
    rc.rows.assign(static_cast<std::size_t>(bytes), 0);
    if (rc.hf > 1) rc.wide.assign(static_cast<std::size_t>(width_) + 64, 0);
    if (nf == 3 && i > 0) rc.terms.assign(2 * (static_cast<std::size_t>(width_) + 16), 0);
    c.Hmax = hmax_;
    c.Vmax = vmax_;
    c.Hf = rc.hf;
    c.Vf = rc.vf;
    c.BlocksDown = rc.blocks_down;
    c.BlocksPerLine = rc.blocks_per_line;
    c.MCUsDown = mcus_down_;
    c.MCUsAcross = mcus_across_;
    c.ScanRows = rc.scan_rows;
    c.ScanColumns = rc.scan_cols;
    c.MCUWidth = 8 * hmax_;
    c.MCUHeight = 8 * vmax_;
    c.ImageHeight = height_;
    c.ImageWidth = width_;
    c.Stream = &img_.GetBufferStream();
  }
  SkipTo(end);
}

void Reader::ReadQuantTables(std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  while (bs.GetPosition() < end && err() == EC_OK) {
    const std::uint8_t pq_tq = ReadByte();
    const bool wide = pq_tq > 15;
    const int id = pq_tq & 15;
    const std::int64_t size = wide ? 128 : 64;
    if (end - bs.GetPosition() < size) {
      fail(EC_BADFORMAT);
      break;
    }
    if (id > 3) {
      // Only ids 0..3 exist; no frame can name another, so the table is passed over.
      SkipTo(bs.GetPosition() + size);
      continue;
    }
    std::uint8_t raw[128];
    if (bs.Read(raw, static_cast<std::int32_t>(size)) != size) throw EndOfFile{};
    QuantTable& t = img_.QuantTables[id];
    t.PrecisionId = static_cast<std::uint8_t>(id);
    for (int i = 0; i < 64; ++i)
      t.Entries[i] = wide ? static_cast<std::uint16_t>((raw[2 * i] << 8) | raw[2 * i + 1]) : raw[i];
    quant_defined_[id] = true;
  }
  SkipTo(end);
}

void Reader::ReadHuffmanTables(std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  dht_seen_ = true;
  while (bs.GetPosition() < end && err() == EC_OK) {
    const std::uint8_t tc_th = ReadByte();
    const int cls = tc_th > 15 ? 1 : 0;
    const int id = tc_th & 15;
    if (id > 3) {
      fail(EC_JFIF_HUFFTABLES);
      break;
    }
    if (end - bs.GetPosition() < 16) {
      fail(EC_BADFORMAT);
      break;
    }
    std::uint8_t counts[16];
    if (bs.Read(counts, 16) != 16) throw EndOfFile{};
    img_.DHTHeaders[cls][id][0] = tc_th;
    std::memcpy(&img_.DHTHeaders[cls][id][1], counts, 16);
    int sum = 0;
    for (int i = 0; i < 16; ++i) sum += counts[i];
    if (sum >= 257) {
      fail(EC_HUFFMANSIZE);
      break;
    }
    if (end - bs.GetPosition() < sum) {
      fail(EC_BADFORMAT);
      break;
    }
    std::uint8_t values[256];
    if (bs.Read(values, sum) != sum) throw EndOfFile{};
    auto& slot = img_.HuffmanTables[cls][id];
    if (!slot) {
      slot = std::make_unique<TvexHuffmanJPEG>(256, 16);
      slot->OnReadBits = [&bs](std::uint16_t n) { return bs.ReadBits(n); };
    }
    for (int i = 0; i < sum; ++i) slot->SetValues(i, values[i]);
    fail(slot->DefineTable(sum, counts));
  }
  if (err() == EC_OK) SkipTo(end);
}

void Reader::ReadApp(std::uint16_t marker, std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  // The JFIF header is the first APP0 that says "JFIF"; other application
  // segments (Exif, ICC, Adobe...) come in any order and are passed over.
  if (marker == 0xFFE0 && !app0_seen_ && end - bs.GetPosition() >= 14) {
    std::uint8_t body[14];
    if (bs.Read(body, 14) != 14) throw EndOfFile{};
    if (std::memcmp(body, "JFIF\0", 5) == 0) {
      app0_seen_ = true;
      std::memcpy(img_.JFIFHeader, body, 14);
      if (TvexImageInfo* info = img_.GetImageInfo()) {
        info->SetVersion(vex::to_double(body[5] + body[6] / 10.0L));
        const std::int32_t xd = (body[8] << 8) | body[9];
        const std::int32_t yd = (body[10] << 8) | body[11];
        switch (body[7]) {
        case 1:
        case 2:
          info->SetResolutionUnit(body[7] == 1 ? RU_INCH : RU_CENTIMETER);
          info->SetXResolution(xd);
          info->SetYResolution(yd);
          break;
        case 0:
          info->SetResolutionUnit(RU_NONE);
          info->SetAspectNumerator(static_cast<std::int16_t>(xd));
          info->SetAspectDenominator(static_cast<std::int16_t>(yd));
          break;
        default:
          break;
        }
      }
    }
  }
  if (marker == 0xFFE1 && !exif_seen_ && end - bs.GetPosition() >= 14) {
    // The first Exif segment may say how the picture stands. A broken one is
    // passed over: it never costs the picture.
    const std::int64_t n = end - bs.GetPosition();
    std::vector<std::uint8_t> body(static_cast<std::size_t>(n));
    const std::int32_t got = bs.Read(body.data(), static_cast<std::int32_t>(n));
    if (got >= 6 && std::memcmp(body.data(), "Exif\0\0", 6) == 0) {
      exif_seen_ = true;
      const int orientation = ExifOrientation(body.data() + 6, static_cast<std::size_t>(got) - 6);
      if (orientation > 0 && img_.GetImageInfo())
        img_.GetImageInfo()->SetOrientation(static_cast<std::uint8_t>(orientation));
    }
  }
  if (marker == 0xFFEE && end - bs.GetPosition() >= 12) {
    // Adobe's segment says whether colour components were transformed at all.
    std::uint8_t body[12];
    if (bs.Read(body, 12) != 12) throw EndOfFile{};
    if (std::memcmp(body, "Adobe", 5) == 0) adobe_transform_ = body[11];
  }
  SkipTo(end);
}

void Reader::ReadComment(std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  const std::int64_t n = end - bs.GetPosition();
  std::string text(static_cast<std::size_t>(n), '\0');
  if (n > 0 && bs.Read(text.data(), static_cast<std::int32_t>(n)) != n) throw EndOfFile{};
  // The writer ends its text with a 0 byte; other writers do not, and their
  // last character is kept.
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (img_.GetImageInfo()) img_.GetImageInfo()->SetDescription(text);
  SkipTo(end);
}

bool Reader::SetupScan(std::int64_t end) {
  Bs& bs = img_.GetBufferStream();
  if (++scans_ > kMaxScans) {
    fail(EC_BADDECOMPRESS);
    return false;
  }
  const int ns = ReadByte();
  if (ns < 1 || ns > ncomp_) {
    fail(EC_JFIF_COMPONENTS);
    return false;
  }
  if (end - bs.GetPosition() < 2 * ns + 3) {
    fail(EC_BADFORMAT);
    return false;
  }
  img_.ScanCount = static_cast<std::uint8_t>(ns);
  int td[4], ta[4];
  nscan_ = 0;
  for (int i = 0; i < ns; ++i) {
    const std::uint8_t id = ReadByte(), t = ReadByte();
    img_.ScanSelectors[i][0] = id;
    img_.ScanSelectors[i][1] = t;
    int found = -1;
    for (int j = 0; j < ncomp_; ++j)
      if (comps_[j].c->Id == id) found = j;
    if (found < 0) {
      fail(EC_JFIF_COMPID);
      return false;
    }
    for (int k = 0; k < nscan_; ++k)
      if (scan_[k] == found) {
        fail(EC_DUPLICATESCAN);
        return false;
      }
    scan_[nscan_++] = found;
    td[i] = t >> 4;
    ta[i] = t & 15;
  }
  ss_ = ReadByte();
  se_ = ReadByte();
  const std::uint8_t ahal = ReadByte();
  ah_ = ahal >> 4;
  al_ = ahal & 15;
  img_.ScanSs = static_cast<std::uint8_t>(ss_);
  img_.ScanSe = static_cast<std::uint8_t>(se_);
  img_.ScanAhAl = ahal;
  img_.Ah = static_cast<std::uint8_t>(ah_);
  img_.Al = static_cast<std::uint8_t>(al_);
  img_.Interleaved = ns > 1;

  if (progressive_) {
    if (ss_ == 0 && se_ != 0) {
      fail(EC_JFIF_DCANDAC);
      return false;
    }
    if (ss_ != 0 && ns != 1) {
      fail(EC_JFIF_COMPONENTS);
      return false;
    }
    if (ss_ > se_ || se_ > 63) {
      fail(EC_BADDECOMPRESS);
      return false;
    }
    // A refinement adds exactly one bit below the previous scan's; point
    // transforms beyond 13 bits cannot hold an 8-bit coefficient.
    if (al_ > 13 || (ah_ != 0 && al_ != ah_ - 1)) {
      fail(EC_JFIF_SUCCAPPROX);
      return false;
    }
  } else {
    for (int i = 0; i < nscan_; ++i)
      if (comps_[scan_[i]].scanned) {
        fail(EC_DUPLICATESCAN);
        return false;
      }
  }

  const bool need_dc = !progressive_ || (ss_ == 0 && ah_ == 0);
  const bool need_ac = !progressive_ || ss_ != 0;
  // Motion-JPEG frames leave out their Huffman tables: a file without any
  // DHT segment is coded with the standard ones (luminance 0, chrominance 1).
  if (!dht_seen_) {
    for (int cls = 0; cls < 2; ++cls)
      for (int id = 0; id < 2; ++id) {
        auto& slot = img_.HuffmanTables[cls][id];
        if (slot) continue;
        std::uint8_t counts[16], values[256];
        const int n = StandardHuffmanTable(cls, id, counts, values);
        slot = std::make_unique<TvexHuffmanJPEG>(256, 16);
        slot->OnReadBits = [&bs](std::uint16_t k) { return bs.ReadBits(k); };
        for (int v = 0; v < n; ++v) slot->SetValues(v, values[v]);
        slot->DefineTable(n, counts);
      }
  }
  for (int i = 0; i < nscan_; ++i) {
    ReaderComponent& rc = comps_[scan_[i]];
    TvexJPEGComponent& c = *rc.c;
    if (rc.quant > 3) {
      fail(EC_JFIF_COMPID);
      return false;
    }
    TvexHuffmanJPEG* dc = td[i] <= 3 ? img_.HuffmanTables[0][td[i]].get() : nullptr;
    TvexHuffmanJPEG* ac = ta[i] <= 3 ? img_.HuffmanTables[1][ta[i]].get() : nullptr;
    if (!quant_defined_[rc.quant] || (need_dc && (!dc || !dc->Ready)) ||
        (need_ac && (!ac || !ac->Ready))) {
      fail(EC_JFIF_MISSINGTABLE);
      return false;
    }
    c.DCTable = need_dc ? dc : nullptr;
    c.ACTable = need_ac ? ac : nullptr;
    if (need_dc) rc.fast_dc.Build(*dc, true);
    if (need_ac) rc.fast_ac.Build(*ac, false);
    c.Ss = static_cast<std::uint8_t>(ss_);
    c.Se = static_cast<std::uint8_t>(se_);
    c.Ah = static_cast<std::uint8_t>(ah_);
    c.Al = static_cast<std::uint8_t>(al_);
    c.DCT.SetInverseTable(img_.QuantTables[rc.quant]);
    img_.ScanComponents[i] = &c;
  }
  img_.ScanComponentCount = nscan_;
  // Colour components are YCbCr unless the file says they are R, G, B: an
  // Adobe segment with transform 0, or (without JFIF or Adobe segment)
  // component ids 'R', 'G', 'B'.
  ycck_ = ncomp_ == 4 && adobe_transform_ == 2;
  rgb_ = ncomp_ == 3 && !app0_seen_ &&
         (adobe_transform_ == 0 || (adobe_transform_ < 0 && comps_[0].c->Id == 'R' &&
                                    comps_[1].c->Id == 'G' && comps_[2].c->Id == 'B'));

  if (!buffered_ && !direct_) {
    if (progressive_ || nscan_ < ncomp_) {
      buffered_ = true;
      if (!AllocateCoefficients()) return false;
    } else {
      direct_ = true;
    }
  }
  for (int i = 0; i < nscan_; ++i) comps_[scan_[i]].scanned = true;
  return true;
}

bool Reader::AllocateCoefficients() {
  // All components together stay within the platform's limit for one buffer.
  std::int64_t total = 0;
  for (int i = 0; i < ncomp_; ++i)
    total += std::int64_t{comps_[i].blocks_per_line} * comps_[i].blocks_down * 64 * 2;
  if (total > kMaxAllocation) {
    fail(EC_NOMEMORY);
    return false;
  }
  for (int i = 0; i < ncomp_; ++i) {
    ReaderComponent& rc = comps_[i];
    const std::int64_t n = std::int64_t{rc.blocks_per_line} * rc.blocks_down * 64;
    rc.coefficients.reset(static_cast<std::int16_t*>(std::calloc(static_cast<std::size_t>(n), 2)));
    if (!rc.coefficients) {
      fail(EC_NOMEMORY);
      return false;
    }
    PreferHugePages(rc.coefficients.get(), n * 2);
  }
  coefficients_ready_ = true;
  return true;
}

void Reader::ReadScan(std::int64_t end) {
  if (!SetupScan(end)) return;
  SkipTo(end);
  Bs& bs = img_.GetBufferStream();
  bs.ResetBits();
  bits_.Begin(&PullFromStream, &bs);
  img_.RestartCount = 0; // each scan numbers its restart markers from RST0 (T.81 E.1.4)
  try {
    if (progressive_)
      ProgressiveScan();
    else
      SequentialScan();
  } catch (const vex::ReadError&) {
    fail(EC_READFROMFILE);
  } catch (const std::bad_alloc&) {
    fail(EC_NOMEMORY);
  } catch (...) {
    fail(EC_EXCEPTION);
  }
  // The marker loop goes on at the marker that ends the entropy-coded data.
  const std::int32_t back = bits_.Finish();
  bs.Seek(bs.GetPosition() - back);
}

// ---------------------------------------------------------------------------
// Sequential scans

void Reader::ResetPredictors() {
  for (int i = 0; i < ncomp_; ++i) {
    comps_[i].c->LastDC = 0;
    comps_[i].c->EOBRun = 0;
  }
}

bool Reader::Restart() {
  if (img_.RestartInterval == 0 || img_.MCUCount != img_.RestartInterval) return true;
  const int n = bits_.TakeRestart();
  if (bits_.Skipped()) Damaged(EC_BADDECOMPRESS);
  if (n != img_.RestartCount) {
    fail(EC_BADDECOMPRESS);
    return false;
  }
  img_.RestartCount = static_cast<std::uint16_t>((n + 1) & 7);
  ResetPredictors();
  img_.MCUCount = 0;
  return true;
}

bool Reader::DataLeft() {
  if (bits_.Truncated()) {
    fail(EC_ENDOFFILE);
    return false;
  }
  // A marker came before the scan had its blocks: the rest of the scan would
  // decode zero bits. The scan stops there (its remaining blocks keep what
  // earlier scans gave them) and the marker loop goes on.
  // (A restart marker instead lets the next restart take up the data.)
  const bool restart =
      img_.RestartInterval != 0 && bits_.Marker() >= 0xD0 && bits_.Marker() <= 0xD7;
  if (bits_.Overran() && !restart) {
    Damaged(EC_ENDOFDATA);
    return false;
  }
  return true;
}

bool Reader::Progress(int row, int rows) {
  if (!img_.OnProgress) return true;
  bool cancel = false;
  img_.OnProgress(&img_, static_cast<int>(std::int64_t{row} * 100 / rows), cancel);
  if (cancel) {
    fail(EC_USERCANCEL);
    cancelled_ = true;
    return false;
  }
  return true;
}

[[gnu::always_inline]] inline void
Reader::InverseBlock(ReaderComponent& rc, const std::int16_t* blk, bool dc_only, int row, int col) {
  std::uint8_t* dst = rc.rows.data() + 8 * row * rc.stride + 8 * std::int64_t{col};
  if (dc_only) {
    const std::uint8_t v = DCOnlySample(rc.c->DCT, blk[0]);
    for (int y = 0; y < 8; ++y) std::memset(dst + y * rc.stride, v, 8);
    return;
  }
  const auto stride = static_cast<std::ptrdiff_t>(rc.stride);
  if (simd_idct_ && detail::InverseDCTSimd(rc.c->DCT, blk, dst, stride)) return;
  detail::InverseDCTPortable(rc.c->DCT, blk, dst, stride);
}

void Reader::SequentialScan() {
  ResetPredictors();
  img_.MCUCount = 0;
  const bool inter = nscan_ > 1;
  ReaderComponent& first = comps_[scan_[0]];
  const int rows = inter ? mcus_down_ : first.scan_rows;
  const int cols = inter ? mcus_across_ : first.scan_cols;
  if (direct_ && inter && sink_ && sink_->Helpers() > 0 && rows > 1 && PipelinedScan(rows, cols))
    return;
  for (int i = 0; i < rows; ++i) {
    if (!Progress(i, rows)) return;
    for (int m = 0; m < cols; ++m) {
      if (!Restart()) return;
      for (int s = 0; s < nscan_; ++s) {
        ReaderComponent& rc = comps_[scan_[s]];
        const int bv = inter ? rc.v : 1, bh = inter ? rc.h : 1;
        for (int v = 0; v < bv; ++v)
          for (int h = 0; h < bh; ++h) {
            const int col = m * bh + h;
            if (direct_) {
              std::memset(rc.block, 0, sizeof rc.block);
              const bool ac = DecodeBlockSequential(bits_, *rc.c, rc.fast_dc, rc.fast_ac, rc.block);
              InverseBlock(rc, rc.block, !ac, v, col);
            } else {
              std::int16_t* blk = rc.BlockAt(i * bv + v, col);
              std::memset(blk, 0, 64 * sizeof(std::int16_t));
              DecodeBlockSequential(bits_, *rc.c, rc.fast_dc, rc.fast_ac, blk);
            }
          }
      }
      ++img_.MCUCount;
    }
    if (direct_) OutputMCURow(i);
    if (!DataLeft()) return;
  }
}

namespace {

// Rows of a two-core scan with restart intervals that begin every MCU row (or
// every few rows), entropy-decoded on the helper thread while it would
// otherwise wait for rows. A unit is the rows from one such row to the next:
// the helper finds a unit's data by counting restart markers in the file (read
// at offsets, beside the reader's own reads), decodes it with its own bit
// reader into the unit's bands, and the reader takes the unit where it finds
// its data to begin at the same place, as if it had decoded it; otherwise (and
// wherever the helper met anything irregular: damage, data ending early or
// late, skipped bytes, markers out of order) the reader decodes it itself.
class RowsAhead {
public:
  enum : int { kFree, kHelper, kDone, kFailed, kReader };

  struct Plan {
    vex::platform::Stream* source;
    std::int64_t data_start; // file offset of the scan's first data byte
    int rows, cols, interval, bands;
    int unit_rows, unit_intervals; // unit_rows * cols == unit_intervals * interval
  };
  struct Target {
    ReaderComponent* rc;
    std::int16_t* coef[16]; // per band
    std::uint8_t* flat[16];
    std::size_t blocks;
  };

  RowsAhead(const Plan& plan, const Target* targets, int ntargets)
      : plan_(plan), ntargets_(ntargets), state_(static_cast<std::size_t>(plan.rows)),
        begin_(static_cast<std::size_t>(plan.rows / plan.unit_rows) + 2, -1),
        scan_at_(plan.data_start) {
    for (int s = 0; s < ntargets; ++s) {
      targets_[s] = targets[s];
      own_[s].DCTable = targets[s].rc->c->DCTable;
      own_[s].ACTable = targets[s].rc->c->ACTable;
    }
  }

  int UnitRows() const { return plan_.unit_rows; }
  int UnitIntervals() const { return plan_.unit_intervals; }
  // The reader, at the start of each row.
  void Reading(int row) { reader_row_.store(row, std::memory_order_release); }
  // The reader, at the first row of a unit: the unit's state once it is no
  // longer the helper's to change (kReader when the reader is to decode it).
  int Claim(int row) {
    int st = kFree;
    if (state_[static_cast<std::size_t>(row)].compare_exchange_strong(st, kReader)) return kReader;
    while ((st = state_[static_cast<std::size_t>(row)].load(std::memory_order_acquire)) == kHelper)
      std::this_thread::yield();
    return st;
  }
  // Where the unit's data begins (after its first restart marker), and the
  // marker that ends it.
  std::int64_t Begin(int row) const { return begin_[Unit(row)]; }
  std::int64_t End(int row) const { return begin_[Unit(row) + 1] - 2; }
  // The reader decodes a unit the helper gave up or that began elsewhere: its
  // bands must be zero again.
  void Clear(int row) {
    for (int r = row; r < row + plan_.unit_rows; ++r) {
      const int band = r % plan_.bands;
      for (int s = 0; s < ntargets_; ++s) {
        std::memset(targets_[s].coef[band], 0, targets_[s].blocks * 64 * sizeof(std::int16_t));
        std::memset(targets_[s].flat[band], 0, targets_[s].blocks);
      }
    }
  }

  // The helper, waiting for row `next` (every row before it is out): decodes
  // one unit ahead when there is one to take. False when there is none.
  bool Work(int next) {
    if (dead_) return false;
    const int k = plan_.unit_rows;
    const int reader = reader_row_.load(std::memory_order_acquire);
    // Two rows clear of the reader; its bands free (a row's band is free once
    // the row `bands` before it is out); never the last row (its data ends at
    // whatever follows the scan).
    const int last = std::min(next - 1 + plan_.bands, plan_.rows - 2);
    int row = std::max({reader + 2, taken_ + k, k});
    row = (row + k - 1) / k * k;
    for (; row + k - 1 <= last; row += k) {
      int st = kFree;
      if (!state_[static_cast<std::size_t>(row)].compare_exchange_strong(st, kHelper)) continue;
      taken_ = row;
      bool ok = false;
      try {
        ok = Locate(Unit(row)) && DecodeUnit(row);
      } catch (...) { // no memory for its buffers: the reader does the rest
        dead_ = true;
      }
      if (!ok) Clear(row);
      state_[static_cast<std::size_t>(row)].store(ok ? kDone : kFailed, std::memory_order_release);
      return true;
    }
    return false;
  }

private:
  std::size_t Unit(int row) const { return static_cast<std::size_t>(row / plan_.unit_rows); }

  // Counts restart markers on from where it stopped until the markers that
  // begin units `unit` and `unit + 1` are known. Anything but a stuffed byte
  // or the next restart marker in order ends the search for the whole scan.
  bool Locate(std::size_t unit) {
    while (!dead_ && begin_[unit + 1] < 0) {
      constexpr std::int32_t kChunk = 1 << 16;
      if (!chunk_) chunk_ = std::make_unique<std::uint8_t[]>(kChunk);
      const std::int32_t n = plan_.source->ReadAt(scan_at_, chunk_.get(), kChunk);
      if (n < 2) {
        dead_ = true;
        break;
      }
      const std::uint8_t* const base = chunk_.get();
      const std::uint8_t* p = base;
      const std::uint8_t* const e = base + n;
      while (true) {
        const void* f = std::memchr(p, 0xFF, static_cast<std::size_t>(e - p));
        if (!f) {
          p = e;
          break;
        }
        const auto* q = static_cast<const std::uint8_t*>(f);
        if (q + 1 == e) { // its partner in the next chunk
          p = q;
          break;
        }
        if (q[1] == 0x00) {
          p = q + 2;
          continue;
        }
        if (q[1] != 0xD0 + (markers_ & 7)) {
          dead_ = true;
          break;
        }
        ++markers_;
        if (markers_ % plan_.unit_intervals == 0) {
          const auto u = static_cast<std::size_t>(markers_ / plan_.unit_intervals);
          if (u >= begin_.size()) {
            dead_ = true;
            break;
          }
          begin_[u] = scan_at_ + (q + 2 - base);
        }
        p = q + 2;
      }
      scan_at_ += p - base;
    }
    return begin_[unit] >= 0 && begin_[unit + 1] >= 0;
  }

  static std::int32_t PullBytes(void* ctx, std::uint8_t* dst, std::int32_t n) {
    auto* self = static_cast<RowsAhead*>(ctx);
    const std::size_t left = self->bytes_.size() - self->at_;
    const std::size_t k = std::min<std::size_t>(left, static_cast<std::size_t>(n));
    std::memcpy(dst, self->bytes_.data() + self->at_, k);
    self->at_ += k;
    return static_cast<std::int32_t>(k);
  }

  // The unit's data and the marker after it, decoded as the reader would;
  // true only when every interval took its data exactly up to a restart
  // marker of the right number.
  bool DecodeUnit(int row) {
    const std::int64_t from = Begin(row);
    const std::int64_t to = begin_[Unit(row) + 1]; // after the marker
    if (from < 0 || to - from < 2 || to - from > (std::int64_t{64} << 20)) return false;
    bytes_.resize(static_cast<std::size_t>(to - from));
    if (plan_.source->ReadAt(from, bytes_.data(), static_cast<std::int32_t>(to - from)) !=
        to - from)
      return false;
    at_ = 0;
    if (!bits_) bits_ = std::make_unique<BitReader>();
    BitReader& br = *bits_;
    br.Begin(&PullBytes, this);
    const int cols = plan_.cols, interval = plan_.interval;
    // The unit's first marker is restart marker number unit * intervals (from
    // 1) of the scan.
    int number = static_cast<int>((Unit(row) * plan_.unit_intervals) & 7);
    try {
      for (int j = 0; j < plan_.unit_intervals; ++j) {
        for (int s = 0; s < ntargets_; ++s) own_[s].LastDC = 0;
        for (int m = j * interval; m < (j + 1) * interval; ++m) {
          const int band = (row + m / cols) % plan_.bands;
          for (int s = 0; s < ntargets_; ++s) {
            const Target& t = targets_[s];
            const ReaderComponent& rc = *t.rc;
            std::size_t k = static_cast<std::size_t>(m % cols) * rc.v * rc.h;
            for (int v = 0; v < rc.v; ++v)
              for (int h = 0; h < rc.h; ++h, ++k)
                t.flat[band][k] = !DecodeBlockSequential(br, own_[s], rc.fast_dc, rc.fast_ac,
                                                         t.coef[band] + k * 64);
          }
        }
        if (br.Overran() || br.TakeRestart() != number || br.Skipped()) return false;
        number = (number + 1) & 7;
      }
    } catch (...) {
      return false;
    }
    return true;
  }

  Plan plan_;
  Target targets_[4];
  int ntargets_;
  std::vector<std::atomic<int>> state_; // by row (a unit's first)
  // begin_[u]: file offset just after the restart marker that begins unit u
  // (the marker itself is the two bytes before); -1 while unknown.
  std::vector<std::int64_t> begin_;
  std::atomic<int> reader_row_{0};
  // Helper-only state.
  int taken_ = 0;
  bool dead_ = false;
  std::int64_t scan_at_;
  std::int64_t markers_ = 0;
  std::unique_ptr<std::uint8_t[]> chunk_;
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
  std::unique_ptr<BitReader> bits_;
  TvexJPEGComponent own_[4];
};

} // namespace

bool Reader::PipelinedScan(int rows, int cols) {
  // A ring of bands of coefficients (one MCU row each, zeroed), with a flag
  // per block for blocks without AC terms; band i % kBands is free again once
  // row i - kBands is out. A thread that waits asks for kBatch rows at once
  // and is woken only when they are there: one wake a row cost more in
  // system calls than the rows it overlapped.
  constexpr int kBands = 8, kBatch = 4;
  static_assert(kBatch <= kBands, "a waiting thread must be able to get its batch");
  struct Band {
    std::vector<std::int16_t> coef[4];
    std::vector<std::uint8_t> flat[4];
  };
  Band bands[kBands];
  // Without the memory or a thread to be had the scan runs on this thread alone.
  try {
    for (Band& b : bands)
      for (int s = 0; s < nscan_; ++s) {
        const ReaderComponent& rc = comps_[scan_[s]];
        const std::size_t blocks = static_cast<std::size_t>(rc.v) * rc.h * cols;
        b.coef[s].resize(blocks * 64);
        b.flat[s].resize(blocks);
      }
  } catch (const std::bad_alloc&) {
    return false;
  }
  // Restart intervals that begin every row: the helper may decode rows ahead.
  std::unique_ptr<RowsAhead> ahead;
  vex::platform::Stream* const source = img_.GetBufferStream().GetSource();
  const int interval = img_.RestartInterval;
  std::uint8_t probe = 0;
  // A unit: the rows from one row that begins with an interval to the next
  // (a few rows at most; more than one only where no one watches the progress
  // row by row).
  int unit_rows = 0, unit_intervals = 0;
  if (interval > 0) {
    const int g = std::gcd(cols, interval);
    if (interval / g == 1 || (interval / g <= 4 && !img_.OnProgress))
      unit_rows = interval / g, unit_intervals = cols / g;
  }
  if (unit_rows > 0 && rows > unit_rows + 2 && source && source->ReadAt(0, &probe, 1) == 1) {
    RowsAhead::Target targets[4];
    for (int s = 0; s < nscan_; ++s) {
      ReaderComponent& rc = comps_[scan_[s]];
      targets[s].rc = &rc;
      targets[s].blocks = static_cast<std::size_t>(rc.v) * rc.h * cols;
      for (int b = 0; b < kBands; ++b) {
        targets[s].coef[b] = bands[b].coef[s].data();
        targets[s].flat[b] = bands[b].flat[s].data();
      }
    }
    const RowsAhead::Plan plan{source,    img_.GetBufferStream().GetPosition() - bits_.Buffered(),
                               rows,      cols,
                               interval,  kBands,
                               unit_rows, unit_intervals};
    try {
      ahead = std::make_unique<RowsAhead>(plan, targets, nscan_);
    } catch (const std::bad_alloc&) {
      // the reader decodes every row
    }
  }
  std::mutex mutex;
  std::condition_variable changed;
  // Written under the mutex; read outside it by the helper deciding whether
  // to decode a row ahead.
  std::atomic<int> handed{-1};
  int output = -1;
  // What a sleeping thread waits for (no one sleeps: out of reach).
  constexpr int kAwake = std::numeric_limits<int>::max();
  int helper_wants = kAwake, decoder_wants = kAwake;
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      for (int i = 0;; ++i) {
        if (ahead)
          while ((handed < i || g_rows_ahead_always) && !stop && ahead->Work(i)) {
          }
        {
          std::unique_lock lock(mutex);
          if (handed < i && !stop) {
            helper_wants = std::min(i + kBatch - 1, rows - 1);
            changed.wait(lock, [&] { return handed >= helper_wants || stop; });
            helper_wants = kAwake;
          }
          if (handed < i) return;
        }
        try {
          // Each block is cleared behind the transform, so that the band comes
          // back to the decoder zeroed (a flat block has only its DC term).
          Band& b = bands[i % kBands];
          for (int s = 0; s < nscan_; ++s) {
            ReaderComponent& rc = comps_[scan_[s]];
            std::size_t k = 0;
            for (int m = 0; m < cols; ++m)
              for (int v = 0; v < rc.v; ++v)
                for (int h = 0; h < rc.h; ++h, ++k) {
                  std::int16_t* blk = &b.coef[s][k * 64];
                  const bool flat = b.flat[s][k] != 0;
                  InverseBlock(rc, blk, flat, v, m * rc.h + h);
                  if (flat)
                    blk[0] = 0;
                  else
                    std::memset(blk, 0, 64 * sizeof(std::int16_t));
                }
          }
          OutputMCURow(i);
        } catch (...) {
          std::lock_guard lock(mutex);
          if (!failure) failure = std::current_exception();
          stop = true;
        }
        bool wake;
        {
          std::lock_guard lock(mutex);
          output = i;
          wake = output >= decoder_wants || failure;
        }
        if (wake) changed.notify_all();
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  // However the scan ends, the rows handed over are output before it returns.
  struct Join {
    std::mutex& mutex;
    std::condition_variable& changed;
    std::atomic<bool>& stop;
    std::thread& helper;
    ~Join() {
      {
        std::lock_guard lock(mutex);
        stop = true;
      }
      changed.notify_all();
      helper.join();
    }
  };
  {
    Join join{mutex, changed, stop, helper};
    for (int i = 0; i < rows; ++i) {
      if (!Progress(i, rows)) break;
      {
        std::unique_lock lock(mutex);
        if (output < i - kBands && !failure) {
          decoder_wants = i - kBands + kBatch - 1;
          changed.wait(lock, [&] { return output >= decoder_wants || failure; });
          decoder_wants = kAwake;
        }
        if (failure) break;
      }
      Band& b = bands[i % kBands];
      bool complete = true;
      bool adopted = false;
      if (ahead) ahead->Reading(i);
      if (ahead && i % ahead->UnitRows() == 0 && ahead->Claim(i) == RowsAhead::kDone) {
        // The unit's first restart as ever, then its data: the helper's where
        // it began at the same place.
        if (!Restart()) break;
        Bs& bs = img_.GetBufferStream();
        if (bs.GetPosition() - bits_.Buffered() == ahead->Begin(i)) {
          bs.Seek(ahead->End(i));
          bits_.Drop();
          img_.MCUCount = interval;
          img_.RestartCount =
              static_cast<std::uint16_t>((img_.RestartCount + ahead->UnitIntervals() - 1) & 7);
          adopted = true;
          g_rows_ahead_taken.fetch_add(1, std::memory_order_relaxed);
        } else {
          ahead->Clear(i);
        }
      }
      for (int m = 0; m < cols && complete && !adopted; ++m) {
        if (!Restart()) {
          complete = false;
          break;
        }
        for (int s = 0; s < nscan_; ++s) {
          ReaderComponent& rc = comps_[scan_[s]];
          std::size_t k = static_cast<std::size_t>(m) * rc.v * rc.h;
          for (int v = 0; v < rc.v; ++v)
            for (int h = 0; h < rc.h; ++h, ++k) {
              b.flat[s][k] =
                  !DecodeBlockSequential(bits_, *rc.c, rc.fast_dc, rc.fast_ac, &b.coef[s][k * 64]);
            }
        }
        ++img_.MCUCount;
      }
      if (!complete) break;
      if (adopted) i += ahead->UnitRows() - 1; // the unit's rows go together
      bool wake;
      {
        std::lock_guard lock(mutex);
        handed = i;
        wake = handed >= helper_wants;
      }
      if (wake) changed.notify_all();
      if (!DataLeft()) break;
    }
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

// ---------------------------------------------------------------------------
// Output

void Reader::OutputMCURow(int mcu_row) {
  const std::int32_t y0 = mcu_row * 8 * vmax_;
  const std::int32_t y1 = std::min(height_, y0 + 8 * vmax_);
  int wide_row[3] = {-1, -1, -1};
  for (std::int32_t y = y0; y < y1; ++y) {
    const int r = y - y0;
    std::uint8_t* dst;
    if (sink_) {
      rows_out_ = y + 1;
      if (!sink_->Wants(y)) continue;
      dst = sink_->RowBuffer(y);
      if (!dst) dst = row_.data();
    } else {
      dst = dib_bits_ + (height_ - 1 - y) * dib_line_;
    }
    OutputRow(r, dst, wide_row);
    if (sink_) sink_->Row(y, dst);
  }
}

void Reader::FinishRows() {
  std::fill(row_.begin(), row_.end(), 0);
  for (std::int32_t y = rows_out_; y < height_; ++y)
    if (sink_->Wants(y)) sink_->Row(y, row_.data());
  rows_out_ = height_;
}

void Reader::OutputRow(int r, std::uint8_t* dst, int wide_row[3]) {
  if (ncomp_ == 1) {
    std::memcpy(dst, comps_[0].rows.data() + r * comps_[0].stride,
                static_cast<std::size_t>(width_));
    return;
  }
  if (ncomp_ == 4) {
    const std::uint8_t* q[4];
    for (int c = 0; c < 4; ++c) {
      ReaderComponent& rc = comps_[c];
      const std::uint8_t* src = rc.rows.data() + (r / rc.vf) * rc.stride;
      if (rc.hf > 1) {
        upsample_row(src, rc.wide.data(), rc.hf, width_);
        src = rc.wide.data();
      }
      q[c] = src;
    }
    cmyk_to_bgr_row(ycck_ ? &ycc_ : nullptr, adobe_transform_ >= 0, q[0], q[1], q[2], q[3], dst,
                    width_);
    return;
  }
  // Subsampled chroma goes through its table terms, worked out once per
  // chroma row; full-resolution chroma is converted pixel by pixel.
  const bool terms =
      !rgb_ && (comps_[1].hf > 1 || comps_[1].vf > 1 || comps_[2].hf > 1 || comps_[2].vf > 1);
  // Both chroma components at half width: their terms stay at half width.
  const bool half = terms && comps_[1].hf == 2 && comps_[2].hf == 2;
  const int term_width = half ? (width_ + 1) / 2 : width_;
  const std::uint8_t* p[3];
  for (int c = 0; c < 3; ++c) {
    ReaderComponent& rc = comps_[c];
    const int src_row = r / rc.vf;
    const std::uint8_t* src = rc.rows.data() + src_row * rc.stride;
    if (terms && c > 0) {
      if (wide_row[c] != src_row) {
        std::int16_t* t = rc.terms.data();
        const int factor = half ? 1 : rc.hf;
        chroma_terms(ycc_, c == 2, src, factor, term_width, t, t + width_ + 16);
        wide_row[c] = src_row;
      }
    } else if (rc.hf == 1) {
      p[c] = src;
    } else {
      if (wide_row[c] != src_row) {
        upsample_row(src, rc.wide.data(), rc.hf, width_);
        wide_row[c] = src_row;
      }
      p[c] = rc.wide.data();
    }
  }
  if (terms) {
    const std::int16_t* cb = comps_[1].terms.data();
    const std::int16_t* cr = comps_[2].terms.data();
    if (half)
      ycc_half_terms_to_bgr_row(ycc_, p[0], cb, cb + width_ + 16, cr + width_ + 16, cr, dst,
                                width_);
    else
      ycc_terms_to_bgr_row(ycc_, p[0], cb, cb + width_ + 16, cr + width_ + 16, cr, dst, width_);
  } else if (rgb_) {
    rgb_to_bgr_row(p[0], p[1], p[2], dst, width_);
  } else {
    ycc_to_bgr_row(ycc_, p[0], p[1], p[2], dst, width_);
  }
}

void Reader::OutputAll() {
  for (int i = 0; i < mcus_down_; ++i) {
    for (int c = 0; c < ncomp_; ++c) {
      ReaderComponent& rc = comps_[c];
      for (int v = 0; v < rc.v; ++v)
        for (int b = 0; b < rc.blocks_per_line; ++b) {
          const std::int16_t* blk = rc.BlockAt(i * rc.v + v, b);
          InverseBlock(rc, blk, DCOnly(blk), v, b);
        }
    }
    OutputMCURow(i);
  }
}

} // namespace vex::jpeg

// ---------------------------------------------------------------------------
// TvexJPEGImage

TvexErrorCode TvexJPEGImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  if (BufferStream.GetSource() != stream) BufferStream.SetSource(stream);
  try {
    const std::int64_t at = BufferStream.GetPosition();
    std::uint8_t sig[2] = {};
    const std::int32_t got = BufferStream.Read(sig, 2);
    BufferStream.Seek(at);
    if (got == 2 && sig[0] == 0xFF && sig[1] == 0xD8) Error = EC_OK;
  } catch (...) {
    // A stream that cannot be read is not recognised.
  }
  return Error;
}

void TvexJPEGImage::DecodeImage() {
  // Outside a scan a stream that cannot deliver is a file that ends early.
  Failures.read = EC_ENDOFFILE;
  Failures.other = EC_ENDOFFILE;
  Compression = CP_JPEG_STD;
  SeekFromStart(0);
  std::uint8_t soi[2] = {};
  if (BufferStream.Read(soi, 2) != 2 || soi[0] != 0xFF || soi[1] != 0xD8) {
    Error = EC_BADFORMAT;
    return;
  }
  // Past the SOI, exceptions of the marker loop are the coders' messages.
  Failures.other = EC_EXCEPTION;
  auto reader = std::make_unique<vex::jpeg::Reader>(*this);
  reader->Run();
}
