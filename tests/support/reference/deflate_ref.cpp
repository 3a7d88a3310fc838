#include "reference/deflate_ref.h"

#include "codecs/deflate.h"
#include "platform/exceptions.h"

#include <memory>
#include <stdexcept>

namespace reference {

namespace {

const int kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                           33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Fail {
  int code;
};

class Inflater {
public:
  explicit Inflater(const std::vector<std::vector<std::uint8_t>>& pieces) : pieces_(pieces) {
    for (auto* t : {&lit_, &dist_, &cl_})
      t->OnReadBits = [this](std::uint16_t n) { return GetBits(n); };
  }

  void Start() {
    const int cmf = NextDataByte(), flg = NextDataByte();
    if ((cmf & 15) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0 ||
        (1u << ((cmf >> 4) + 8)) > 32768)
      throw Fail{13};
    ReadBlockHeader();
  }

  std::uint8_t InflateByte() {
    for (;;) {
      if (stored_) {
        if (stored_left_ > 0) {
          --stored_left_;
          return Out(NextDataByte());
        }
        if (final_) throw Fail{13};
        ReadBlockHeader();
        continue;
      }
      if (copy_left_ > 0) {
        const std::uint8_t b = window_[copy_pos_];
        copy_pos_ = (copy_pos_ + 1) % 32768;
        --copy_left_;
        return Out(b);
      }
      const int s = lit_.DecodeSymbol();
      if (s >= 0 && s < 256) return Out(static_cast<std::uint8_t>(s));
      if (s == 256) {
        if (final_) throw Fail{13};
        ReadBlockHeader();
        continue;
      }
      if (s < 257 || s > 285) throw Fail{13};
      const int length = kLenBase[s - 257] + static_cast<int>(GetBits(kLenExtra[s - 257]));
      const int d = dist_.DecodeSymbol();
      if (d < 0 || d >= 30) throw Fail{13};
      const int distance = kDistBase[d] + static_cast<int>(GetBits(kDistExtra[d]));
      copy_pos_ = (window_pos_ + 32768 - distance) % 32768;
      copy_left_ = length;
    }
  }

  void Finish() {
    for (;;) {
      if (stored_) {
        if (stored_left_ > 0) throw Fail{16};
      } else if (lit_.DecodeSymbol() != 256) {
        throw Fail{8};
      }
      if (final_) break;
      ReadBlockHeader();
    }
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | NextDataByte();
    if (v != adler_) throw Fail{22};
  }

private:
  std::uint8_t Out(std::uint8_t b) {
    window_[window_pos_] = b;
    window_pos_ = (window_pos_ + 1) % 32768;
    s1_ = (s1_ + b) % 65521;
    s2_ = (s2_ + s1_) % 65521;
    adler_ = s2_ * 65536 + s1_;
    return b;
  }

  std::uint8_t RawByte() {
    while (piece_ < pieces_.size() && pos_ >= pieces_[piece_].size()) {
      ++piece_;
      pos_ = 0;
    }
    if (piece_ >= pieces_.size()) throw Fail{13};
    return pieces_[piece_][pos_++];
  }
  std::uint8_t NextDataByte() {
    used_ = 8;
    return RawByte();
  }
  std::uint32_t GetBits(int n) {
    std::uint32_t v = 0;
    for (int k = 0; k < n; ++k) {
      if (used_ == 8) {
        buf_ = RawByte();
        used_ = 0;
      }
      v |= static_cast<std::uint32_t>((buf_ >> used_) & 1) << k;
      ++used_;
    }
    return v;
  }

  void ReadBlockHeader() {
    final_ = GetBits(1) != 0;
    const int type = static_cast<int>(GetBits(2));
    if (type == 0) {
      stored_ = true;
      const int len = NextDataByte() + 256 * NextDataByte();
      const int nlen = NextDataByte() + 256 * NextDataByte();
      if (((len + nlen) & 0xFFFF) != 0xFFFF) throw Fail{13};
      stored_left_ = len;
    } else if (type == 1) {
      stored_ = false;
      for (int i = 0; i < 288; ++i)
        lit_.SetCodeLength(i, i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8);
      lit_.BeginTable(288);
      for (int i = 0; i < 32; ++i) dist_.SetCodeLength(i, 5);
      dist_.BeginTable(32);
    } else if (type == 2) {
      stored_ = false;
      const int hlit = static_cast<int>(GetBits(5)) + 257;
      const int hdist = static_cast<int>(GetBits(5)) + 1;
      const int hclen = static_cast<int>(GetBits(4)) + 4;
      cl_.Clear();
      for (int i = 0; i < hclen; ++i) cl_.SetCodeLength(kOrder[i], GetBits(3));
      cl_.BeginTable(19);
      lit_.Clear();
      dist_.Clear();
      std::vector<int> lengths;
      while (static_cast<int>(lengths.size()) < hlit + hdist) {
        const int s = cl_.DecodeSymbol();
        int repeat = 1, value = s;
        if (s == 16) {
          if (lengths.empty()) throw Fail{13};
          value = lengths.back();
          repeat = 3 + static_cast<int>(GetBits(2));
        } else if (s == 17) {
          value = 0;
          repeat = 3 + static_cast<int>(GetBits(3));
        } else if (s == 18) {
          value = 0;
          repeat = 11 + static_cast<int>(GetBits(7));
        } else if (s < 0 || s > 18) {
          throw Fail{13};
        }
        if (static_cast<int>(lengths.size()) + repeat > hlit + hdist) throw Fail{13};
        lengths.insert(lengths.end(), static_cast<std::size_t>(repeat), value);
      }
      for (int i = 0; i < hlit; ++i) lit_.SetCodeLength(i, static_cast<std::uint32_t>(lengths[i]));
      for (int i = 0; i < hdist; ++i)
        dist_.SetCodeLength(i, static_cast<std::uint32_t>(lengths[hlit + i]));
      lit_.BeginTable(hlit);
      dist_.BeginTable(hdist);
    } else {
      throw Fail{13};
    }
  }

  const std::vector<std::vector<std::uint8_t>>& pieces_;
  std::size_t piece_ = 0, pos_ = 0;
  int buf_ = 0, used_ = 8;
  std::vector<std::uint8_t> window_ = std::vector<std::uint8_t>(32768, 0);
  int window_pos_ = 0, copy_pos_ = 0, copy_left_ = 0;
  bool final_ = false, stored_ = false;
  int stored_left_ = 0;
  std::uint32_t s1_ = 1, s2_ = 0, adler_ = 1;
  TvexHuffmanPNG lit_, dist_, cl_;
};

// The deflater, with the data structures of the description.
class Deflater {
public:
  Deflater(const std::vector<std::uint8_t>& data, int quality) : data_(data) {
    level_ = quality < 26 ? 0 : quality <= 50 ? 1 : quality <= 75 ? 2 : 3;
    chain_limit_ = level_ == 0 ? 1 : level_ == 1 ? 64 : level_ == 2 ? 128 : 32767;
  }

  std::vector<std::uint8_t> Run() {
    for (int i = 0; i < 512; ++i) look_[i] = NextInput();
    PutBits(120, 8);
    PutBits(static_cast<std::uint32_t>(level_ * 64 + 31 - (120 * 256 + level_ * 64) % 31), 8);
    bool more;
    do {
      lit_.Clear();
      dist_.Clear();
      more = CollectTokens();
      lit_.BuildCodes(15);
      dist_.BuildCodes(15);
      WriteBlockHeader(!more);
      WriteTokens();
    } while (more);
    PutByte();
    const std::uint32_t adler = s2_ * 65536 + s1_;
    for (int k = 24; k >= 0; k -= 8) PutBits((adler >> k) & 0xFF, 8);
    PutByte();
    return out_;
  }

private:
  struct Node {
    int pos = -1, next = -1, prev = -1; // prev -1 and a head pointing at it: first
    bool linked = false;
    int hash = 0;
  };

  int NextInput() {
    if (in_pos_ >= data_.size()) return -1;
    const int b = data_[in_pos_++];
    s1_ = (s1_ + static_cast<std::uint32_t>(b)) % 65521;
    s2_ = (s2_ + s1_) % 65521;
    return b;
  }
  int Look(int i) const { return look_[(look_pos_ + i) & 511]; }
  int Hash() const { return (Look(0) & 31) | ((Look(1) & 31) * 32) | ((Look(2) & 31) * 20); }

  void LinkCurrent() {
    Node& n = nodes_[window_pos_];
    if (n.linked) { // leaves the chain it was in
      if (n.prev >= 0)
        nodes_[n.prev].next = n.next;
      else
        heads_[n.hash] = n.next;
      if (n.next >= 0) nodes_[n.next].prev = n.prev;
    }
    const int h = Hash();
    n.pos = window_pos_;
    n.hash = h;
    n.linked = true;
    n.prev = -1;
    n.next = heads_[h];
    if (n.next >= 0) nodes_[n.next].prev = window_pos_;
    heads_[h] = window_pos_;
  }

  int FindMatch(int& distance) const {
    int best = 0, examined = 0;
    for (int p = heads_[Hash()]; p >= 0 && examined < chain_limit_ && best < 258;
         p = nodes_[p].next, ++examined) {
      int j = 0;
      while (j < 258 && (p + j) % 32768 != window_pos_ && Look(j) >= 0 &&
             Look(j) == window_[(p + j) % 32768])
        ++j;
      if (j >= 3 && j > best) {
        best = j;
        distance = 32768 - ((32768 + p - window_pos_) % 32768);
      }
    }
    return best;
  }

  void Advance() {
    window_pos_ = (window_pos_ + 1) % 32768;
    look_pos_ = (look_pos_ + 1) & 511;
  }
  void Refill(int n) {
    for (int k = 0; k < n; ++k) look_[(look_pos_ + 512 - n + k) & 511] = NextInput();
  }

  static int LengthSymbol(int l) {
    int i = 28;
    while (kLenBase[i] > l) --i;
    return 257 + i;
  }
  static int DistCode(int d) {
    int c = 0;
    while (kDistBase[c] + (1 << kDistExtra[c]) - 1 < d) ++c;
    return c;
  }

  bool CollectTokens() {
    tokens_.clear();
    while (static_cast<int>(tokens_.size()) < 16383 && Look(0) >= 0) {
      int d = 0;
      const int l = FindMatch(d);
      if (l > 0) {
        int source = (window_pos_ + 32768 - d) % 32768;
        for (int k = 0; k < l; ++k) {
          LinkCurrent();
          window_[window_pos_] = window_[source];
          source = (source + 1) % 32768;
          Advance();
        }
        tokens_.push_back(l + 256);
        tokens_.push_back(d);
        lit_.SetFrequency(LengthSymbol(l), lit_.Frequency(LengthSymbol(l)) + 1);
        dist_.SetFrequency(DistCode(d), dist_.Frequency(DistCode(d)) + 1);
        Refill(l);
      } else {
        LinkCurrent();
        const int b = Look(0);
        window_[window_pos_] = static_cast<std::uint8_t>(b);
        tokens_.push_back(b);
        lit_.SetFrequency(b, lit_.Frequency(b) + 1);
        Advance();
        Refill(1);
      }
    }
    lit_.SetFrequency(256, lit_.Frequency(256) + 1);
    return Look(0) >= 0;
  }

  void PutBits(std::uint32_t value, int n) {
    for (int k = 0; k < n; ++k) {
      if (bits_used_ == 8) PutByte();
      bit_buf_ |= ((value >> k) & 1) << bits_used_;
      ++bits_used_;
    }
  }
  void PutByte() {
    if (bits_used_ > 0) out_.push_back(static_cast<std::uint8_t>(bit_buf_));
    bit_buf_ = 0;
    bits_used_ = 0;
  }
  void Put(const TvexHuffmanPNG& t, int s) {
    PutBits(t.Code(s), static_cast<int>(t.CodeLength(s)));
  }

  void CodeLengths(const TvexHuffmanPNG& t, int count, bool emit) {
    auto symbol = [&](int s, int extra, int bits) {
      if (!emit) {
        cl_.SetFrequency(s, cl_.Frequency(s) + 1);
      } else {
        Put(cl_, s);
        PutBits(static_cast<std::uint32_t>(extra), bits);
      }
    };
    int i = 0;
    while (i < count) {
      if (t.CodeLength(i) != 0) {
        symbol(static_cast<int>(t.CodeLength(i)), 0, 0);
        ++i;
        continue;
      }
      int r = 0;
      while (i + r < count && t.CodeLength(i + r) == 0) ++r;
      i += r;
      while (r > 0) {
        if (r == 1 || r == 2) {
          symbol(0, 0, 0);
          r -= 1;
        } else if (r <= 10) {
          symbol(17, r - 3, 3);
          r = 0;
        } else {
          const int take = r > 138 ? 138 : r;
          symbol(18, take - 11, 7);
          r -= take;
        }
      }
    }
  }

  void WriteBlockHeader(bool final) {
    int hlit = 257;
    for (int s = 257; s < 288; ++s)
      if (lit_.CodeLength(s) != 0) hlit = s + 1;
    int hdist = 1;
    for (int s = 1; s < 32; ++s)
      if (dist_.CodeLength(s) != 0) hdist = s + 1;
    cl_.Clear();
    CodeLengths(lit_, hlit, false);
    CodeLengths(dist_, hdist, false);
    cl_.BuildCodes(7);
    int hclen = 0;
    for (int i = 0; i < 19; ++i)
      if (cl_.CodeLength(kOrder[i]) != 0) hclen = i + 1;
    PutBits(final ? 1 : 0, 1);
    PutBits(2, 2);
    PutBits(static_cast<std::uint32_t>(hlit - 257), 5);
    PutBits(static_cast<std::uint32_t>(hdist - 1), 5);
    PutBits(static_cast<std::uint32_t>(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) PutBits(cl_.CodeLength(kOrder[i]), 3);
    CodeLengths(lit_, hlit, true);
    CodeLengths(dist_, hdist, true);
  }

  void WriteTokens() {
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
      const int t = tokens_[i];
      if (t < 256) {
        Put(lit_, t);
        continue;
      }
      const int l = t - 256, d = tokens_[++i];
      const int ls = LengthSymbol(l), dc = DistCode(d);
      Put(lit_, ls);
      PutBits(static_cast<std::uint32_t>(l - kLenBase[ls - 257]), kLenExtra[ls - 257]);
      Put(dist_, dc);
      PutBits(static_cast<std::uint32_t>(d - kDistBase[dc]), kDistExtra[dc]);
    }
    Put(lit_, 256);
  }

  const std::vector<std::uint8_t>& data_;
  std::size_t in_pos_ = 0;
  int level_ = 0, chain_limit_ = 1;
  std::uint32_t s1_ = 1, s2_ = 0;
  int look_[512] = {};
  int look_pos_ = 0;
  std::vector<std::uint8_t> window_ = std::vector<std::uint8_t>(32768, 0);
  int window_pos_ = 0;
  std::vector<int> heads_ = std::vector<int>(1024, -1);
  std::vector<Node> nodes_ = std::vector<Node>(32768);
  std::vector<int> tokens_;
  TvexHuffmanPNG lit_, dist_, cl_;
  std::uint32_t bit_buf_ = 0;
  int bits_used_ = 0;
  std::vector<std::uint8_t> out_;
};

} // namespace

InflateResult inflate(const std::vector<std::vector<std::uint8_t>>& pieces, std::size_t want) {
  InflateResult r;
  Inflater z(pieces);
  try {
    z.Start();
    while (r.out.size() < want) r.out.push_back(z.InflateByte());
    z.Finish();
  } catch (const Fail& f) {
    r.error = f.code;
  }
  return r;
}

std::vector<std::uint8_t> deflate(const std::vector<std::uint8_t>& data, int quality) {
  return Deflater(data, quality).Run();
}

} // namespace reference
