// Inflater of zlib streams. Bits are kept in a 64-bit reservoir refilled
// eight bytes at a time, symbols are looked up ten bits at a time, matches
// are copied in blocks; the results (bytes, error codes, which input is
// read) are those of reading one bit and producing one byte at a time.
#include "codecs/deflate.h"
#include "deflate_tables.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint32_t kMask = vex::deflate::kWindowSize - 1;
const char kBadCode[] = "PNG, Bad code";

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

} // namespace

namespace vex::deflate {

std::uint32_t UpdateAdler(std::uint32_t adler, const std::uint8_t* data, std::size_t size) {
  std::uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
  while (size > 0) {
    // 5552 bytes keep both sums below 2^32 before the reduction.
    std::size_t n = std::min<std::size_t>(size, 5552);
    size -= n;
    for (; n >= 4; n -= 4, data += 4) {
      s1 += data[0];
      s2 += s1;
      s1 += data[1];
      s2 += s1;
      s1 += data[2];
      s2 += s1;
      s1 += data[3];
      s2 += s1;
    }
    for (; n > 0; --n) {
      s1 += *data++;
      s2 += s1;
    }
    s1 %= kAdlerBase;
    s2 %= kAdlerBase;
  }
  return (s2 << 16) | s1;
}

int LevelFromQuality(int quality) {
  return quality < 26 ? 0 : quality <= 50 ? 1 : quality <= 75 ? 2 : 3;
}

std::uint32_t ChainLimit(int level) {
  static const std::uint32_t kLimits[4] = {1, 64, 128, 32767};
  return kLimits[std::clamp(level, 0, 3)];
}

} // namespace vex::deflate

TvexInflater::TvexInflater() = default;
TvexInflater::~TvexInflater() = default;

void TvexInflater::SetInput(const std::uint8_t* data, std::size_t size, NextPieceProc next) {
  in_ = data;
  in_left_ = data ? size : 0;
  next_ = std::move(next);
  bitbuf_ = 0;
  bitcnt_ = 0;
}

void TvexInflater::Release() {
  window_.reset();
  lit_.reset();
  dist_.reset();
  codelen_.reset();
}

void TvexInflater::Fail(TvexErrorCode code, const char* message) {
  Error = code;
  throw vex::EPNGException(message);
}

bool TvexInflater::FetchPiece() {
  while (in_left_ == 0) {
    if (!next_) return false;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (!next_(data, size)) {
      next_ = nullptr;
      return false;
    }
    in_ = data;
    in_left_ = data ? size : 0;
  }
  return true;
}

bool TvexInflater::Need(int n) {
  while (bitcnt_ < n) {
    if (in_left_ == 0 && !FetchPiece()) return false;
    if (in_left_ >= 8) {
      bitbuf_ |= Load64(in_) << bitcnt_;
      const int take = (63 - bitcnt_) >> 3;
      in_ += take;
      in_left_ -= static_cast<std::size_t>(take);
      bitcnt_ += take * 8;
      bitbuf_ &= (std::uint64_t{1} << bitcnt_) - 1;
    } else {
      bitbuf_ |= static_cast<std::uint64_t>(*in_++) << bitcnt_;
      --in_left_;
      bitcnt_ += 8;
    }
  }
  return true;
}

void TvexInflater::NeedOrFail(int n) {
  if (bitcnt_ < n && !Need(n)) Fail(EC_BADDECOMPRESS, kBadCode);
}

std::uint32_t TvexInflater::GetBits(int n) {
  if (n == 0) return 0;
  NeedOrFail(n);
  const auto v = static_cast<std::uint32_t>(bitbuf_ & ((std::uint64_t{1} << n) - 1));
  bitbuf_ >>= n;
  bitcnt_ -= n;
  return v;
}

std::uint8_t TvexInflater::NextDataByte() {
  // The rest of a started byte is skipped.
  bitbuf_ >>= (bitcnt_ & 7);
  bitcnt_ &= ~7;
  if (bitcnt_ == 0) {
    if (in_left_ == 0 && !FetchPiece()) Fail(EC_BADDECOMPRESS, kBadCode);
    --in_left_;
    return *in_++;
  }
  const auto b = static_cast<std::uint8_t>(bitbuf_);
  bitbuf_ >>= 8;
  bitcnt_ -= 8;
  return b;
}

void TvexInflater::FillFromPiece() {
  if (in_left_ >= 8) {
    bitbuf_ |= Load64(in_) << bitcnt_;
    const int take = (63 - bitcnt_) >> 3;
    in_ += take;
    in_left_ -= static_cast<std::size_t>(take);
    bitcnt_ += take * 8;
    bitbuf_ &= (std::uint64_t{1} << bitcnt_) - 1;
    return;
  }
  while (bitcnt_ < 56 && in_left_ > 0) {
    bitbuf_ |= static_cast<std::uint64_t>(*in_++) << bitcnt_;
    --in_left_;
    bitcnt_ += 8;
  }
}

// The next piece is asked for only when the code cannot be told without it.
std::int32_t TvexInflater::Decode(const TvexHuffmanPNG& table) {
  if (bitcnt_ < 16) FillFromPiece();
  int used;
  std::int32_t s = table.DecodeFast(bitbuf_, used);
  // Zero bits stood in for the missing ones; the real ones may call for a
  // longer code.
  while (used > bitcnt_) {
    NeedOrFail(used);
    s = table.DecodeFast(bitbuf_, used);
  }
  bitbuf_ >>= used;
  bitcnt_ -= used;
  return s;
}

void TvexInflater::StartInflate() {
  Error = EC_OK;
  try {
    if (!window_) window_.reset(new std::uint8_t[vex::deflate::kWindowSize]);
    if (!lit_) lit_ = std::make_unique<TvexHuffmanPNG>(288, 15);
    if (!dist_) dist_ = std::make_unique<TvexHuffmanPNG>(288, 15);
    if (!codelen_) codelen_ = std::make_unique<TvexHuffmanPNG>(288, 15);
  } catch (const std::bad_alloc&) {
    Fail(EC_NOMEMORY, "Out of memory");
  }
  std::memset(window_.get(), 0, vex::deflate::kWindowSize);
  Adler = 1;
  TotalOut = 0;
  window_pos_ = copy_pos_ = copy_left_ = 0;
  stored_ = false;
  stored_left_ = 0;
  ended_ = false;
  FinalBlock = false;
  fixed_ready_ = false;
  const std::uint8_t cmf = NextDataByte();
  const std::uint8_t flg = NextDataByte();
  CompressionMethod = cmf & 15;
  WindowSize = 1u << ((cmf >> 4) + 8);
  Level = static_cast<std::uint8_t>(flg >> 6);
  if (CompressionMethod != 8 || (cmf * 256u + flg) % 31 != 0 || (flg & 0x20) != 0 ||
      WindowSize > vex::deflate::kWindowSize)
    Fail(EC_BADDECOMPRESS, kBadCode);
  ReadBlockHeader();
}

void TvexInflater::ReadBlockHeader() {
  FinalBlock = GetBits(1) != 0;
  BlockType = static_cast<std::uint8_t>(GetBits(2));
  switch (BlockType) {
  case 0: {
    stored_ = true;
    std::uint32_t len = NextDataByte();
    len |= static_cast<std::uint32_t>(NextDataByte()) << 8;
    std::uint32_t nlen = NextDataByte();
    nlen |= static_cast<std::uint32_t>(NextDataByte()) << 8;
    if (((len + nlen) & 0xFFFF) != 0xFFFF) Fail(EC_BADDECOMPRESS, kBadCode);
    stored_left_ = len;
    break;
  }
  case 1:
    stored_ = false;
    // The fixed code's tables are the same every time: built once while no
    // dynamic block has used the tables since.
    if (!fixed_ready_) {
      for (int i = 0; i < 288; ++i)
        lit_->SetCodeLength(i, i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8);
      lit_->BeginTable(288);
      for (int i = 0; i < 32; ++i) dist_->SetCodeLength(i, 5);
      dist_->BeginTable(32);
      fixed_ready_ = true;
    }
    break;
  case 2: {
    stored_ = false;
    fixed_ready_ = false;
    const int hlit = static_cast<int>(GetBits(5));
    const int hdist = static_cast<int>(GetBits(5));
    const int hclen = static_cast<int>(GetBits(4)) + 4;
    codelen_->Clear();
    for (int i = 0; i < hclen; ++i)
      codelen_->SetCodeLength(vex::deflate::kCodeLengthOrder[i], GetBits(3));
    codelen_->BeginTable(19);
    lit_->Clear();
    dist_->Clear();
    ReadCodeLengths(hlit + 257, hdist + 1);
    lit_->BeginTable(hlit + 257);
    dist_->BeginTable(hdist + 1);
    break;
  }
  default:
    Fail(EC_BADDECOMPRESS, kBadCode);
  }
}

void TvexInflater::ReadCodeLengths(int lit_count, int dist_count) {
  const int total = lit_count + dist_count;
  std::uint32_t previous = 0;
  auto set = [&](int i, std::uint32_t v) {
    if (i < lit_count)
      lit_->SetCodeLength(i, v);
    else
      dist_->SetCodeLength(i - lit_count, v);
  };
  for (int i = 0; i < total;) {
    const std::int32_t s = Decode(*codelen_);
    if (s >= 0 && s < 16) {
      set(i++, static_cast<std::uint32_t>(s));
      previous = static_cast<std::uint32_t>(s);
      continue;
    }
    std::uint32_t value = 0;
    int repeat;
    if (s == 16) {
      if (i == 0) Fail(EC_BADDECOMPRESS, kBadCode);
      value = previous;
      repeat = 3 + static_cast<int>(GetBits(2));
    } else if (s == 17) {
      repeat = 3 + static_cast<int>(GetBits(3));
    } else if (s == 18) {
      repeat = 11 + static_cast<int>(GetBits(7));
    } else {
      Fail(EC_BADDECOMPRESS, kBadCode);
    }
    if (i + repeat > total) Fail(EC_BADDECOMPRESS, kBadCode);
    for (int r = 0; r < repeat; ++r) set(i++, value);
    previous = value;
  }
}

std::uint8_t TvexInflater::InflateByte() {
  std::uint8_t b;
  Inflate(&b, 1);
  return b;
}

void TvexInflater::Inflate(std::uint8_t* out, std::size_t count) {
  Produce(out, count, false);
}

std::size_t TvexInflater::InflateUpTo(std::uint8_t* out, std::size_t count) {
  return Produce(out, count, true);
}

// Copies up to `room` bytes of the match in progress into the window and out.
std::size_t TvexInflater::CopyMatch(std::uint8_t* out, std::size_t room) {
  std::uint8_t* const win = window_.get();
  const std::size_t total = std::min<std::size_t>(copy_left_, room);
  std::size_t left = total;
  while (left > 0) {
    const std::size_t n = std::min<std::size_t>(
        {left, vex::deflate::kWindowSize - copy_pos_, vex::deflate::kWindowSize - window_pos_});
    std::uint8_t* dst = win + window_pos_;
    const std::uint8_t* src = win + copy_pos_;
    const std::size_t dist = (window_pos_ - copy_pos_) & kMask;
    if (window_pos_ <= copy_pos_ || dist >= n) {
      // No byte is read after it was written: a plain move.
      std::memmove(dst, src, n);
    } else {
      // The source runs into the bytes being written: the last `dist` bytes
      // repeat.
      std::memcpy(dst, src, dist);
      std::size_t done = dist;
      while (done < n) {
        const std::size_t c = std::min(done, n - done);
        std::memcpy(dst + done, dst, c);
        done += c;
      }
    }
    std::memcpy(out, dst, n);
    out += n;
    window_pos_ = static_cast<std::uint32_t>((window_pos_ + n) & kMask);
    copy_pos_ = static_cast<std::uint32_t>((copy_pos_ + n) & kMask);
    left -= n;
  }
  copy_left_ -= static_cast<std::uint32_t>(total);
  return total;
}

// Bytes of a stored block from the reservoir and then the input.
void TvexInflater::CopyStored(std::uint8_t* out, std::size_t n) {
  std::uint8_t* const win = window_.get();
  auto put = [&](const std::uint8_t* p, std::size_t m) {
    std::memcpy(out, p, m);
    out += m;
    while (m > 0) {
      const std::size_t c = std::min<std::size_t>(m, vex::deflate::kWindowSize - window_pos_);
      std::memcpy(win + window_pos_, p, c);
      window_pos_ = static_cast<std::uint32_t>((window_pos_ + c) & kMask);
      p += c;
      m -= c;
    }
  };
  while (n > 0 && bitcnt_ >= 8) {
    const auto b = static_cast<std::uint8_t>(bitbuf_);
    bitbuf_ >>= 8;
    bitcnt_ -= 8;
    put(&b, 1);
    --n;
  }
  while (n > 0) {
    if (in_left_ == 0 && !FetchPiece()) Fail(EC_BADDECOMPRESS, kBadCode);
    const std::size_t m = std::min(n, in_left_);
    put(in_, m);
    in_ += m;
    in_left_ -= m;
    n -= m;
  }
}

// Literals and matches while the output has room for a whole match and the
// input for a whole symbol with its extra bits; stops before anything else.
std::size_t TvexInflater::FastLoop(std::uint8_t* out, std::size_t room) {
  std::uint8_t* const win = window_.get();
  std::uint64_t bitbuf = bitbuf_;
  int bitcnt = bitcnt_;
  const std::uint8_t* in = in_;
  std::size_t in_left = in_left_;
  std::uint32_t wp = window_pos_;
  std::size_t done = 0;
  const TvexHuffmanPNG& lit = *lit_;
  const TvexHuffmanPNG& dist = *dist_;
  while (room - done >= 258 && in_left >= 8) {
    bitbuf |= Load64(in) << bitcnt;
    const int take = (63 - bitcnt) >> 3;
    in += take;
    in_left -= static_cast<std::size_t>(take);
    bitcnt += take * 8;
    bitbuf &= (std::uint64_t{1} << bitcnt) - 1;
    // 56 bits or more: a symbol (16), length bits (5), distance (16) and
    // its bits (13) fit.
    int used;
    const std::int32_t s = lit.DecodeFast(bitbuf, used);
    if (s >= 0 && s < 256) {
      bitbuf >>= used;
      bitcnt -= used;
      const auto b = static_cast<std::uint8_t>(s);
      out[done++] = b;
      win[wp] = b;
      wp = (wp + 1) & kMask;
      continue;
    }
    if (s < 257 || s > 285) break;
    std::uint64_t bits = bitbuf >> used;
    int consumed = used;
    const int li = s - 257;
    const int le = vex::deflate::kLengthExtra[li];
    const std::uint32_t length =
        vex::deflate::kLengthBase[li] + static_cast<std::uint32_t>(bits & ((1u << le) - 1));
    bits >>= le;
    consumed += le;
    int dused;
    const std::int32_t d = dist.DecodeFast(bits, dused);
    if (d < 0 || d >= 30) break;
    bits >>= dused;
    consumed += dused;
    const int de = vex::deflate::kDistExtra[d];
    const std::uint32_t distance =
        vex::deflate::kDistBase[d] + static_cast<std::uint32_t>(bits & ((1u << de) - 1));
    consumed += de;
    bitbuf >>= consumed;
    bitcnt -= consumed;
    window_pos_ = wp;
    copy_pos_ = (wp - distance) & kMask;
    copy_left_ = length;
    done += CopyMatch(out + done, length);
    wp = window_pos_;
  }
  bitbuf_ = bitbuf;
  bitcnt_ = bitcnt;
  in_ = in;
  in_left_ = in_left;
  window_pos_ = wp;
  return done;
}

std::size_t TvexInflater::Produce(std::uint8_t* out, std::size_t count, bool stop_at_end) {
  if (!window_) Fail(EC_BADDECOMPRESS, kBadCode);
  std::size_t done = 0;
  try {
    done = ProduceSome(out, count, stop_at_end, done);
  } catch (...) {
    TotalOut += done;
    throw;
  }
  TotalOut += done;
  return done;
}

std::size_t TvexInflater::ProduceSome(std::uint8_t* out, std::size_t count, bool stop_at_end,
                                      std::size_t& done) {
  std::uint8_t* const start = out;
  std::uint8_t* const win = window_.get();
  if (ended_ && !stop_at_end && count > 0) Fail(EC_BADDECOMPRESS, kBadCode);
  while (done < count && !ended_) {
    if (copy_left_ > 0) {
      done += CopyMatch(out + done, count - done);
      continue;
    }
    if (stored_) {
      if (stored_left_ == 0) {
        if (FinalBlock) {
          if (stop_at_end) {
            ended_ = true;
            break;
          }
          Fail(EC_BADDECOMPRESS, kBadCode);
        }
        ReadBlockHeader();
        continue;
      }
      const std::size_t n = std::min<std::size_t>(stored_left_, count - done);
      CopyStored(out + done, n);
      stored_left_ -= static_cast<std::uint32_t>(n);
      done += n;
      continue;
    }
    done += FastLoop(out + done, count - done);
    if (done >= count) break;
    const std::int32_t s = Decode(*lit_);
    if (s >= 0 && s < 256) {
      out[done++] = static_cast<std::uint8_t>(s);
      win[window_pos_] = static_cast<std::uint8_t>(s);
      window_pos_ = (window_pos_ + 1) & kMask;
    } else if (s == 256) {
      if (!FinalBlock) {
        ReadBlockHeader();
      } else if (stop_at_end) {
        ended_ = true;
      } else {
        Fail(EC_BADDECOMPRESS, kBadCode);
      }
    } else if (s >= 257 && s <= 285) {
      const int li = s - 257;
      const std::uint32_t length =
          vex::deflate::kLengthBase[li] + GetBits(vex::deflate::kLengthExtra[li]);
      const std::int32_t d = Decode(*dist_);
      if (d < 0 || d >= 30) Fail(EC_BADDECOMPRESS, kBadCode);
      const std::uint32_t distance =
          vex::deflate::kDistBase[d] + GetBits(vex::deflate::kDistExtra[d]);
      copy_pos_ = (window_pos_ - distance) & kMask;
      copy_left_ = length;
    } else {
      Fail(EC_BADDECOMPRESS, kBadCode);
    }
  }
  Adler = vex::deflate::UpdateAdler(Adler, start, done);
  return done;
}

void TvexInflater::FinishInflate() {
  if (!window_) Fail(EC_BADDECOMPRESS, kBadCode);
  while (!ended_) {
    if (stored_) {
      if (stored_left_ > 0) Fail(EC_ENDOFDATA, kBadCode);
      if (FinalBlock) break;
      ReadBlockHeader();
      continue;
    }
    if (Decode(*lit_) != 256) Fail(EC_BADFORMAT, kBadCode);
    if (FinalBlock) break;
    ReadBlockHeader();
  }
  ended_ = true;
  copy_left_ = 0;
  std::uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored = (stored << 8) | NextDataByte();
  if (stored != Adler) Fail(EC_CRC, "PNG, Bad CRC");
}

TvexErrorCode TvexInflater::InflateBuffer(const std::uint8_t* data, std::size_t size,
                                          std::vector<std::uint8_t>& out, std::size_t limit) {
  TvexInflater z;
  z.SetInput(data, size);
  out.clear();
  try {
    z.StartInflate();
    // Grown as the data proves to be there, so a huge limit costs nothing.
    std::size_t have = 0;
    while (have < limit) {
      const std::size_t step =
          std::min<std::size_t>(limit - have, std::max<std::size_t>(have, 65536));
      out.resize(have + step);
      const std::size_t got = z.InflateUpTo(out.data() + have, step);
      have += got;
      if (got < step) break;
    }
    out.resize(have);
    z.FinishInflate();
  } catch (const vex::EPNGException&) {
    out.resize(static_cast<std::size_t>(z.TotalOut));
  } catch (const std::bad_alloc&) {
    z.Error = EC_NOMEMORY;
    out.resize(std::min<std::size_t>(out.size(), static_cast<std::size_t>(z.TotalOut)));
  }
  return z.Error;
}
