// Deflater of zlib streams: greedy LZ77 matching over a 32 KiB window along
// hash chains (1024 chains, the most recent position first, at most
// ChainLimit positions tried), blocks of up to 16383 tokens with dynamic
// Huffman codes, output in pieces of 8192 bytes.
//
// The input is kept in one linear buffer (history and the bytes ahead), the
// chains as head and link arrays of absolute positions, and matches are
// compared eight bytes at a time; the chains hold the same positions in the
// same order as linked lists over the window would, so the tokens are the
// same.
#include "codecs/deflate.h"
#include "deflate_tables.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

using namespace vex::deflate;

constexpr std::int64_t kWindow = kWindowSize;
constexpr std::uint32_t kMask = kWindowSize - 1;
constexpr int kMaxMatch = 258;
constexpr int kMinMatch = 3;
// Chains of positions with the same first three bytes (levels whose chain
// limit covers the whole window).
constexpr int kExactBits = 15;
constexpr int kLongKey = 8;
// Bytes needed ahead of the coded position: a whole match and the two
// further bytes the hash of its last position reads.
constexpr std::int64_t kAhead = kMaxMatch + 2;
constexpr std::size_t kBufSize = 2 * kWindowSize + 8192;
constexpr int kBlockLimit = 16384;

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Length symbol (257..285) of a match length and distance code of a distance.
int LengthSymbol(int length) {
  int i = 28;
  while (kLengthBase[i] > length) --i;
  return 257 + i;
}
int DistanceCode(int distance) {
  int i = 0;
  while (i < 29 && kDistBase[i + 1] <= distance) ++i;
  return i;
}

struct Tables {
  std::uint16_t length_symbol[kMaxMatch + 1];
  std::uint8_t dist_code_low[513];  // distances 1..512
  std::uint8_t dist_code_high[256]; // (distance - 1) >> 7 for larger ones
  Tables() {
    for (int l = kMinMatch; l <= kMaxMatch; ++l)
      length_symbol[l] = static_cast<std::uint16_t>(LengthSymbol(l));
    for (int d = 1; d <= 512; ++d) dist_code_low[d] = static_cast<std::uint8_t>(DistanceCode(d));
    for (int i = 0; i < 256; ++i)
      dist_code_high[i] = static_cast<std::uint8_t>(DistanceCode((i << 7) + 1));
  }
  int Distance(int d) const { return d <= 512 ? dist_code_low[d] : dist_code_high[(d - 1) >> 7]; }
};
const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

} // namespace

struct TvexDeflater::State {
  const ReadProc* read = nullptr;
  const WriteProc* write = nullptr;
  std::uint32_t* adler = nullptr;
  std::uint32_t chain_limit = 1;

  std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(kBufSize);
  std::int64_t base = 0;   // absolute position of buf[0]
  std::int64_t filled = 0; // absolute end of the data read so far
  bool at_end = false;     // the source has no more data
  std::int64_t cur = 0;    // position being coded

  // With a chain limit of 32767 or more every position of a chain can be
  // tried (a chain holds at most the 32768 positions of the window, and the
  // oldest, at distance 32768, never matches). Only positions that share
  // the first three bytes can give a match, so the chains are then kept per
  // three bytes instead: the same candidates that can match, in the same
  // order.
  bool exact = false;
  std::vector<std::int64_t> head = std::vector<std::int64_t>(std::size_t{1} << kExactBits, -1);
  std::vector<std::int64_t> link = std::vector<std::int64_t>(kWindowSize, -1);
  std::vector<std::int64_t> long_head, long_link; // per first eight bytes (exact only)

  std::vector<std::uint16_t> tokens = std::vector<std::uint16_t>(kBlockLimit);
  int token_count = 0;
  TvexHuffmanPNG lit{288, 15}, dist{288, 15}, codelen{288, 15};

  std::uint64_t acc = 0; // bits not yet whole bytes, least significant first
  int nacc = 0;
  std::vector<std::uint8_t> piece;

  const std::uint8_t* At(std::int64_t pos) const {
    return buf.data() + static_cast<std::size_t>(pos - base);
  }

  // Reads until kAhead bytes past `cur` are there or the data has ended.
  void Fill() {
    while (!at_end && filled < cur + kAhead) {
      if (static_cast<std::size_t>(filled - base) == kBufSize) {
        const std::int64_t shift = cur - kWindow - base;
        const auto keep = static_cast<std::size_t>(filled - base - shift);
        std::memmove(buf.data(), buf.data() + shift, keep);
        base += shift;
      }
      const std::size_t room = kBufSize - static_cast<std::size_t>(filled - base);
      std::uint8_t* dst = buf.data() + (filled - base);
      const std::size_t n = std::min((*read)(dst, room), room);
      if (n == 0) {
        at_end = true;
      } else {
        *adler = UpdateAdler(*adler, dst, n);
        filled += static_cast<std::int64_t>(n);
      }
    }
  }

  // Hash of the three bytes at `pos`; a byte past the end counts as all ones.
  int Hash(std::int64_t pos) const {
    const std::uint8_t* p = At(pos);
    const int b0 = p[0];
    const int b1 = pos + 1 < filled ? p[1] : 0xFF;
    const int b2 = pos + 2 < filled ? p[2] : 0xFF;
    return (b0 & 31) | ((b1 & 31) * 32) | ((b2 & 31) * 20);
  }

  int ExactHash(std::int64_t pos) const {
    const std::uint8_t* p = At(pos);
    const std::uint32_t b1 = pos + 1 < filled ? p[1] : 0x100;
    const std::uint32_t b2 = pos + 2 < filled ? p[2] : 0x100;
    const std::uint32_t key = p[0] | (b1 << 8) | (b2 << 17);
    return static_cast<int>((key * 2654435761u) >> (32 - kExactBits));
  }

  int LongHash(std::int64_t pos) const {
    return static_cast<int>((Load64(At(pos)) * 0x9E3779B97F4A7C15ull) >> (64 - kExactBits));
  }

  void Link(std::int64_t pos) {
    const auto slot = static_cast<std::size_t>(pos & kMask);
    const auto h = static_cast<std::size_t>(exact ? ExactHash(pos) : Hash(pos));
    link[slot] = head[h];
    head[h] = pos;
    // Positions with fewer than eight bytes left are no candidates for
    // eight-byte matches.
    if (exact && pos + kLongKey <= filled) {
      const auto lh = static_cast<std::size_t>(LongHash(pos));
      long_link[slot] = long_head[lh];
      long_head[lh] = pos;
    }
  }

  // Walks a chain from `cand` (most recent first, at most `limit` entries)
  // for matches of up to `most` bytes; a longer match replaces `best`, so
  // equal lengths keep the nearer one. Stops once `best` reaches `most`.
  int Walk(std::int64_t cand, const std::vector<std::int64_t>& links, std::uint32_t limit, int most,
           int best, int& distance) const {
    const std::uint8_t* const q = At(cur);
    const std::int64_t oldest = cur - kWindow;
    for (std::uint32_t n = 0; n < limit && cand >= 0 && cand >= oldest;
         ++n, cand = links[static_cast<std::size_t>(cand & kMask)]) {
      const std::int64_t d = cur - cand;
      // A match ends where the coded position begins; the position a whole
      // window back shares its place in the window and gives nothing.
      const int lim = d == kWindow ? 0 : static_cast<int>(std::min<std::int64_t>(most, d));
      if (lim <= best) continue;
      const std::uint8_t* const p = At(cand);
      if (p[best] != q[best] || p[0] != q[0]) continue;
      int len = 0;
      while (len + 8 <= lim) {
        const std::uint64_t x = Load64(p + len) ^ Load64(q + len);
        if (x != 0) {
          len += std::countr_zero(x) >> 3;
          goto measured;
        }
        len += 8;
      }
      while (len < lim && p[len] == q[len]) ++len;
    measured:
      if (len >= kMinMatch && len > best) {
        best = len;
        distance = static_cast<int>(d);
        if (best == most) break;
      }
    }
    return best;
  }

  // Longest match at `cur` among the first chain_limit positions of its
  // chain; equal lengths keep the nearer one. Returns the length (0 for
  // none) and sets `distance`.
  int FindMatch(int& distance) const {
    const int most = static_cast<int>(std::min<std::int64_t>(kMaxMatch, filled - cur));
    if (most < kMinMatch) return 0;
    if (!exact)
      return Walk(head[static_cast<std::size_t>(Hash(cur))], link, chain_limit, most, 0, distance);
    // Every position that matches eight bytes or more is on the chain of its
    // first eight bytes, in the same order: when that chain gives such a
    // match, it is the answer. Otherwise no match is longer than seven.
    if (most >= kLongKey) {
      const int best = Walk(long_head[static_cast<std::size_t>(LongHash(cur))], long_link,
                            kWindowSize, most, 0, distance);
      if (best >= kLongKey) return best;
    }
    return Walk(head[static_cast<std::size_t>(ExactHash(cur))], link, kWindowSize,
                std::min(most, kLongKey - 1), 0, distance);
  }

  // Tokens of one block; returns whether data remains.
  bool CollectTokens() {
    const Tables& t = GetTables();
    std::uint32_t* lf = lit.FrequencyData();
    std::uint32_t* df = dist.FrequencyData();
    token_count = 0;
    for (;;) {
      Fill();
      if (token_count >= kBlockLimit - 1 || cur >= filled) break;
      int d = 0;
      const int len = FindMatch(d);
      if (len > 0) {
        for (int k = 0; k < len; ++k) Link(cur + k);
        cur += len;
        tokens[static_cast<std::size_t>(token_count++)] = static_cast<std::uint16_t>(len + 256);
        tokens[static_cast<std::size_t>(token_count++)] = static_cast<std::uint16_t>(d);
        ++lf[t.length_symbol[len]];
        ++df[t.Distance(d)];
      } else {
        const std::uint8_t b = *At(cur);
        Link(cur);
        ++cur;
        tokens[static_cast<std::size_t>(token_count++)] = b;
        ++lf[b];
      }
    }
    ++lf[256];
    return cur < filled;
  }

  void PutBits(std::uint32_t value, int n) {
    acc |= static_cast<std::uint64_t>(value) << nacc;
    nacc += n;
    while (nacc >= 8) {
      piece.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      nacc -= 8;
      if (piece.size() == kChunkSize) {
        (*write)(piece.data(), piece.size());
        piece.clear();
      }
    }
  }
  void PutCode(const TvexHuffmanPNG& table, int symbol) {
    PutBits(table.CodeData()[symbol], static_cast<int>(table.CodeLengthData()[symbol]));
  }
  // The started byte is completed with zero bits.
  void PutByte() {
    if (nacc > 0) PutBits(0, 8 - nacc);
  }

  // Code lengths 0 .. count-1 of `table` with zero runs as symbols 17 and
  // 18: counted into the code-length code, or written with it.
  void CodeLengths(const TvexHuffmanPNG& table, int count, bool emit) {
    auto symbol = [&](int s, std::uint32_t extra, int extra_bits) {
      if (!emit) {
        codelen.SetFrequency(s, codelen.Frequency(s) + 1);
        return;
      }
      PutCode(codelen, s);
      if (extra_bits > 0) PutBits(extra, extra_bits);
    };
    for (int i = 0; i < count;) {
      const auto len = static_cast<int>(table.CodeLength(i));
      if (len != 0) {
        symbol(len, 0, 0);
        ++i;
        continue;
      }
      int run = 0;
      while (i + run < count && table.CodeLength(i + run) == 0) ++run;
      i += run;
      while (run > 0) {
        if (run < 3) {
          symbol(0, 0, 0);
          --run;
        } else if (run <= 10) {
          symbol(17, static_cast<std::uint32_t>(run - 3), 3);
          run = 0;
        } else {
          const int r = std::min(run, 138);
          symbol(18, static_cast<std::uint32_t>(r - 11), 7);
          run -= r;
        }
      }
    }
  }

  void WriteBlock(bool final) {
    lit.BuildCodes(15);
    dist.BuildCodes(15);
    int hlit = 288;
    while (hlit > 257 && lit.CodeLength(hlit - 1) == 0) --hlit;
    int hdist = 32;
    while (hdist > 1 && dist.CodeLength(hdist - 1) == 0) --hdist;
    codelen.Clear();
    CodeLengths(lit, hlit, false);
    CodeLengths(dist, hdist, false);
    codelen.BuildCodes(7);
    int hclen = 19;
    while (hclen > 4 && codelen.CodeLength(kCodeLengthOrder[hclen - 1]) == 0) --hclen;
    PutBits(final ? 1 : 0, 1);
    PutBits(2, 2);
    PutBits(static_cast<std::uint32_t>(hlit - 257), 5);
    PutBits(static_cast<std::uint32_t>(hdist - 1), 5);
    PutBits(static_cast<std::uint32_t>(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) PutBits(codelen.CodeLength(kCodeLengthOrder[i]), 3);
    CodeLengths(lit, hlit, true);
    CodeLengths(dist, hdist, true);

    const Tables& t = GetTables();
    const std::uint32_t* lc = lit.CodeData();
    const std::uint32_t* ll = lit.CodeLengthData();
    const std::uint32_t* dc = dist.CodeData();
    const std::uint32_t* dl = dist.CodeLengthData();
    for (int i = 0; i < token_count; ++i) {
      const int token = tokens[static_cast<std::size_t>(i)];
      if (token < 256) {
        PutBits(lc[token], static_cast<int>(ll[token]));
        continue;
      }
      const int len = token - 256;
      const int d = tokens[static_cast<std::size_t>(++i)];
      const int ls = t.length_symbol[len];
      const int dcode = t.Distance(d);
      PutBits(lc[ls], static_cast<int>(ll[ls]));
      PutBits(static_cast<std::uint32_t>(len - kLengthBase[ls - 257]), kLengthExtra[ls - 257]);
      PutBits(dc[dcode], static_cast<int>(dl[dcode]));
      PutBits(static_cast<std::uint32_t>(d - kDistBase[dcode]), kDistExtra[dcode]);
    }
    PutCode(lit, 256);
  }
};

TvexDeflater::TvexDeflater() = default;
TvexDeflater::~TvexDeflater() = default;

TvexErrorCode TvexDeflater::Deflate(int quality, const ReadProc& read, const WriteProc& write) {
  Error = EC_OK;
  Level = static_cast<std::uint8_t>(LevelFromQuality(quality));
  Adler = 1;
  try {
    s_ = std::make_unique<State>();
    State& s = *s_;
    s.read = &read;
    s.write = &write;
    s.adler = &Adler;
    s.chain_limit = ChainLimit(Level);
    s.exact = s.chain_limit >= kWindowSize - 1;
    if (s.exact) {
      s.long_head.assign(std::size_t{1} << kExactBits, -1);
      s.long_link.assign(kWindowSize, -1);
    }
    s.piece.reserve(kChunkSize);
    s.Fill();
    const std::uint32_t flg = Level * 64u + 31u - ((120u * 256u + Level * 64u) % 31u);
    s.PutBits(120, 8);
    s.PutBits(flg, 8);
    bool more;
    do {
      s.lit.Clear();
      s.dist.Clear();
      more = s.CollectTokens();
      s.WriteBlock(!more);
    } while (more);
    s.PutByte();
    for (int shift = 24; shift >= 0; shift -= 8) s.PutBits((Adler >> shift) & 0xFF, 8);
    if (!s.piece.empty()) write(s.piece.data(), s.piece.size());
  } catch (const std::bad_alloc&) {
    Error = EC_NOMEMORY;
  } catch (const std::range_error&) {
    Error = EC_COMPRESSION;
  } catch (...) {
    Error = EC_EXCEPTION;
  }
  s_.reset();
  return Error;
}

TvexErrorCode TvexDeflater::DeflateBuffer(const std::uint8_t* data, std::size_t size, int quality,
                                          std::vector<std::uint8_t>& out) {
  std::size_t at = 0;
  TvexDeflater z;
  return z.Deflate(
      quality,
      [&](std::uint8_t* dst, std::size_t max) {
        const std::size_t n = std::min(max, size - at);
        if (n > 0) std::memcpy(dst, data + at, n);
        at += n;
        return n;
      },
      [&](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); });
}
