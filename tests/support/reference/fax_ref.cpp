#include "reference/fax_ref.h"

#include "../../../tools/t4_codes.h"

#include <algorithm>
#include <string>

namespace reference {
namespace {

struct Tree {
  struct Node {
    int child[2] = {-1, -1};
    bool leaf = false, terminating = false, eol = false;
    int value = 0;
  };
  std::vector<Node> nodes = std::vector<Node>(1);
  void add(const char* bits, int value, bool terminating, bool eol) {
    int n = 0;
    for (const char* c = bits; *c; ++c) {
      int& next = nodes[static_cast<std::size_t>(n)].child[*c - '0'];
      if (next < 0) {
        next = static_cast<int>(nodes.size());
        nodes.push_back(Node{});
      }
      n = nodes[static_cast<std::size_t>(n)].child[*c - '0'];
    }
    Node& leaf = nodes[static_cast<std::size_t>(n)];
    leaf.leaf = true;
    leaf.value = value;
    leaf.terminating = terminating;
    leaf.eol = eol;
  }
};

struct Trees {
  Tree white, black, mode;
  Trees() {
    for (int i = 0; i < 64; ++i) {
      white.add(t4::kWhiteTerminating[i].bits, i, true, false);
      black.add(t4::kBlackTerminating[i].bits, i, true, false);
    }
    for (int i = 0; i < 27; ++i) {
      white.add(t4::kWhiteMakeup[i].bits, t4::kWhiteMakeup[i].value, false, false);
      black.add(t4::kBlackMakeup[i].bits, t4::kBlackMakeup[i].value, false, false);
    }
    for (const auto& c : t4::kExtendedMakeup) {
      white.add(c.bits, c.value, false, false);
      black.add(c.bits, c.value, false, false);
    }
    white.add(t4::kEndOfLine, 0, false, true);
    black.add(t4::kBlackEndOfLine, 0, false, true);
    for (const auto& c : t4::kModes) mode.add(c.bits, c.value, false, false);
    mode.add(t4::kEndOfLine, 0, false, true);
  }
};
const Trees& trees() {
  static const Trees t;
  return t;
}

class Bits {
public:
  Bits(const std::uint8_t* d, std::size_t n, bool reverse) : d_(d), n_(n), reverse_(reverse) {}
  int next() {
    if (empty()) return -1;
    const int b = at(pos_);
    ++pos_;
    return b;
  }
  bool zeros_ahead(int k) const {
    if (pos_ + k > static_cast<std::int64_t>(n_) * 8) return false;
    for (int i = 0; i < k; ++i)
      if (at(pos_ + i)) return false;
    return true;
  }
  bool empty() const { return pos_ >= static_cast<std::int64_t>(n_) * 8; }
  void align() { pos_ = (pos_ + 7) / 8 * 8; }
  std::int64_t bytes_used() const { return (pos_ + 7) / 8; }

private:
  int at(std::int64_t i) const {
    const std::uint8_t byte = d_[i / 8];
    return reverse_ ? (byte >> (i % 8)) & 1 : (byte >> (7 - i % 8)) & 1;
  }
  const std::uint8_t* d_;
  std::size_t n_;
  bool reverse_;
  std::int64_t pos_ = 0;
};

enum class Got { Code, Skip, End };
struct Read {
  Got got = Got::End;
  const Tree::Node* node = nullptr;
};

// From the root, one bit at a time; leaving the tree goes back to the root.
Read read_code(const Tree& t, Bits& b) {
  int n = 0;
  for (;;) {
    const int bit = b.next();
    if (bit < 0) return {Got::End, nullptr};
    n = t.nodes[static_cast<std::size_t>(n)].child[bit];
    if (n < 0) return {Got::Skip, nullptr};
    if (t.nodes[static_cast<std::size_t>(n)].leaf)
      return {Got::Code, &t.nodes[static_cast<std::size_t>(n)]};
  }
}

bool finish_eol(Bits& b) {
  for (int i = 0; i < 49; ++i) {
    const int bit = b.next();
    if (bit < 0) return false;
    if (bit) return true;
  }
  return false;
}

bool search_eol(Bits& b) {
  int zeros = 0;
  while (zeros < 11) {
    const int bit = b.next();
    if (bit < 0) return false;
    zeros = bit ? 0 : zeros + 1;
  }
  return finish_eol(b);
}

void set_pixels(std::uint8_t* row, int x0, int x1) {
  for (int x = x0; x < x1; ++x) row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
}

int pix(const std::uint8_t* row, int x) {
  return row && x >= 0 ? (row[x >> 3] >> (7 - (x & 7))) & 1 : 0;
}

enum class End { Full, Eol, Input, Overflow, Backwards, Extension };

// Reads codes until one ends the run (a terminating code) or the row.
End run_codes(Bits& b, std::uint8_t* row, int width, int& count, int& colour, bool until_full,
              std::vector<int>& changes) {
  const Trees& t = trees();
  for (;;) {
    const Read c = read_code(colour ? t.black : t.white, b);
    if (c.got == Got::Skip) continue;
    if (c.got == Got::End) return End::Input;
    if (c.node->eol) {
      if (colour) finish_eol(b);
      return End::Eol;
    }
    if (c.node->value > width - count) return End::Overflow;
    if (colour) set_pixels(row, count, count + c.node->value);
    count += c.node->value;
    if (c.node->terminating) {
      colour ^= 1;
      changes.push_back(count);
      if (!until_full || count == width) return End::Full;
    }
  }
}

// The reference line is the list of its coded changing elements (colour
// flips, the first one to black), zero-length runs included.
End row_2d(Bits& b, std::uint8_t* row, const std::vector<int>& ref, int width, int& pos,
           int& colour, std::vector<int>& changes) {
  int a0 = -1;
  for (;;) {
    if (a0 >= width) return End::Full;
    int b1 = width, b2 = width;
    for (std::size_t j = 0; j < ref.size(); ++j)
      if (ref[j] > a0 && static_cast<int>(j % 2) == colour) {
        b1 = ref[j];
        if (j + 1 < ref.size()) b2 = ref[j + 1];
        break;
      }
    const Read c = read_code(trees().mode, b);
    if (c.got == Got::Skip) continue;
    if (c.got == Got::End) return End::Input;
    if (c.node->eol) return End::Eol;
    const int m = c.node->value;
    if (m == t4::kPass) {
      if (colour) set_pixels(row, pos, b2);
      a0 = pos = b2;
    } else if (m == t4::kHorizontal) {
      for (int k = 0; k < 2; ++k) {
        const End e = run_codes(b, row, width, pos, colour, false, changes);
        if (e != End::Full) return e;
      }
      a0 = pos;
    } else if (m == t4::kExt2D || m == t4::kExt1D) {
      return End::Extension;
    } else {
      const int a1 = m <= t4::kVR3 ? b1 + (m - t4::kV0) : b1 - (m - t4::kVL1 + 1);
      if (a1 > width) return End::Overflow;
      if (a1 < pos) return End::Backwards;
      if (colour) set_pixels(row, pos, a1);
      a0 = pos = a1;
      changes.push_back(a1);
      colour ^= 1;
    }
  }
}

class Writer {
public:
  void put(const char* bits) {
    for (const char* c = bits; *c; ++c) bit(*c - '0');
  }
  void bit(int v) {
    if (n_ % 8 == 0) out.push_back(0);
    if (v) out.back() |= static_cast<std::uint8_t>(0x80 >> (n_ % 8));
    ++n_;
  }
  void pad() { n_ = (n_ + 7) / 8 * 8; }
  std::vector<std::uint8_t> out;

private:
  std::int64_t n_ = 0;
};

void put_run(Writer& w, int run, int colour) {
  while (run >= 1792) {
    const int v = std::min(2560, 1792 + 64 * ((run - 1792) / 64));
    w.put(t4::kExtendedMakeup[(v - 1792) / 64].bits);
    run -= v;
  }
  while (run >= 64) {
    const int v = std::min(1728, 64 + 64 * ((run - 64) / 64));
    w.put((colour ? t4::kBlackMakeup : t4::kWhiteMakeup)[v / 64 - 1].bits);
    run -= v;
  }
  w.put((colour ? t4::kBlackTerminating : t4::kWhiteTerminating)[run].bits);
}

// Next changing element right of x (from 0 when x is -1), else width.
int next_change(const std::uint8_t* row, int x, int width) {
  for (int p = std::max(x + 1, 0); p < width; ++p)
    if (pix(row, p) != pix(row, p - 1)) return p;
  return width;
}

void code_1d(Writer& w, const std::uint8_t* row, int width) {
  int pos = 0, colour = 0, a0 = -1;
  while (pos < width) {
    const int next = next_change(row, a0, width);
    put_run(w, next - pos, colour);
    a0 = pos = next;
    colour ^= 1;
  }
}

void code_2d(Writer& w, const std::uint8_t* cur, const std::uint8_t* ref, int width) {
  int a0 = -1, colour = 0;
  while (a0 < width) {
    const int a1 = next_change(cur, a0, width);
    int b1 = next_change(ref, a0, width);
    while (b1 < width && pix(ref, b1) == colour) b1 = next_change(ref, b1, width);
    const int b2 = next_change(ref, b1, width);
    if (b2 < a1) {
      w.put(t4::kModes[t4::kPass].bits);
      a0 = b2;
    } else if (a1 - b1 <= 3 && b1 - a1 <= 3) {
      w.put(t4::kModes[a1 >= b1 ? t4::kV0 + (a1 - b1) : t4::kVL1 + (b1 - a1) - 1].bits);
      a0 = a1;
      colour ^= 1;
    } else {
      const int a2 = next_change(cur, a1, width);
      w.put(t4::kModes[t4::kHorizontal].bits);
      put_run(w, a1 - std::max(a0, 0), colour);
      put_run(w, a2 - a1, colour ^ 1);
      a0 = a2;
    }
  }
}

} // namespace

FaxDecoded fax_decode(int mode, bool reverse_bits, const std::uint8_t* data, std::size_t size,
                      BitImage& image) {
  Bits b(data, size, reverse_bits);
  FaxDecoded r;
  const int width = image.width;
  int& y = r.rows;
  if (mode == kModifiedHuffman) {
    int count = 0, colour = 0;
    while (y < image.height && !b.empty()) {
      std::vector<int> changes;
      const End e = run_codes(b, image.row(y), width, count, colour, true, changes);
      if (e == End::Input) break;
      if (e != End::Full) {
        r.error = 14;
        break;
      }
      b.align();
      ++y;
      count = colour = 0;
    }
    r.bytes_used = b.bytes_used();
    return r;
  }
  const bool g3 = mode < 2;
  int coding = mode;
  std::vector<int> ref; // the imaginary white line has no changes
  auto sync = [&](bool after_eol) {
    if (!after_eol && !search_eol(b)) return;
    if (mode == 1) {
      const int tag = b.next();
      if (tag >= 0) coding = tag ? 0 : 2;
    }
  };
  const bool no_eols = mode == 0 && !b.zeros_ahead(11);
  if (g3 && !no_eols) sync(false);
  while (y < image.height && !b.empty()) {
    if (b.zeros_ahead(11)) {
      if (!g3) break;
      sync(false);
      continue;
    }
    int pos = 0, colour = 0;
    std::vector<int> changes;
    End e;
    if (coding <= 1)
      e = run_codes(b, image.row(y), width, pos, colour, true, changes);
    else if (coding == 2)
      e = row_2d(b, image.row(y), ref, width, pos, colour, changes);
    else {
      r.error = 13;
      break;
    }
    if (e == End::Overflow || e == End::Backwards || e == End::Extension) {
      r.error = e == End::Overflow ? 13 : e == End::Backwards ? 15 : 12;
      break;
    }
    if (g3 && !no_eols && !b.empty()) sync(e == End::Eol);
    if (pos > 0) {
      if (pos != width) {
        r.error = 15;
        break;
      }
      ref = changes;
      ++y;
    }
  }
  if (mode == 2 && r.error == 0 && search_eol(b)) search_eol(b);
  r.bytes_used = b.bytes_used();
  return r;
}

std::vector<std::uint8_t> fax_encode(int mode, const BitImage& image) {
  Writer w;
  const int width = image.width;
  if (mode == kModifiedHuffman) {
    for (int y = 0; y < image.height; ++y) {
      code_1d(w, image.row(y), width);
      w.pad();
    }
    return w.out;
  }
  const bool g3 = mode < 2;
  if (g3) w.put(t4::kEndOfLine);
  if (mode == 1) w.bit(1);
  int coding = mode, two_d = 0;
  const std::uint8_t* ref = nullptr;
  for (int y = 0; y < image.height; ++y) {
    if (coding <= 1) {
      code_1d(w, image.row(y), width);
      if (coding == 1) {
        coding = 2;
        two_d = 0;
      }
    } else {
      code_2d(w, image.row(y), ref, width);
      if (mode == 1 && ++two_d == 3) coding = 1;
    }
    if (g3) w.put(t4::kEndOfLine);
    if (mode == 1) w.bit(coding == 2 ? 0 : 1);
    ref = image.row(y);
  }
  if (mode == 2) {
    w.put(t4::kEndOfLine);
    w.put(t4::kEndOfLine);
  }
  w.pad();
  return w.out;
}

} // namespace reference
