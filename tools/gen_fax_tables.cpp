// Writes imaging/codecs/fax_tables.inc to standard output: the code words the
// fax encoders emit and the lookup tables the fax decoders walk, both made
// from the T.4 code lists in t4_codes.h.
//
// A decoder table is indexed by the next 9 input bits. Its entry is a code
// (value and length), a "skip" when those bits leave the code tree (the
// decoder drops them and starts again at the root, as a bit-by-bit walk
// would), or a link to a second-level table indexed by the following bits.
#include "t4_codes.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kRootBits = 9;

enum Kind { kLink = 0, kTerminating = 1, kMakeup = 2, kEol = 3, kSkip = 4, kMode = 5 };

struct Node {
  int child[2] = {-1, -1};
  bool leaf = false;
  int value = 0;
  int kind = 0;
};

struct Tree {
  std::vector<Node> nodes{Node{}};
  int depth = 0;

  void add(const char* bits, int value, int kind) {
    int n = 0;
    int len = 0;
    for (const char* c = bits; *c; ++c, ++len) {
      if (nodes[static_cast<std::size_t>(n)].leaf) fail(bits, "extends a shorter code");
      const int b = *c - '0';
      if (nodes[static_cast<std::size_t>(n)].child[b] < 0) {
        nodes[static_cast<std::size_t>(n)].child[b] = static_cast<int>(nodes.size());
        nodes.push_back(Node{});
      }
      n = nodes[static_cast<std::size_t>(n)].child[b];
    }
    Node& leaf = nodes[static_cast<std::size_t>(n)];
    if (leaf.leaf || leaf.child[0] >= 0 || leaf.child[1] >= 0) fail(bits, "is a prefix clash");
    leaf.leaf = true;
    leaf.value = value;
    leaf.kind = kind;
    depth = std::max(depth, len);
  }

  [[noreturn]] static void fail(const char* bits, const char* why) {
    std::fprintf(stderr, "code %s %s\n", bits, why);
    std::exit(1);
  }
};

struct Entry {
  int value, bits, kind;
};

// Walks `count` bits of `index` (most significant first) from node `n`;
// `used` bits were taken before.
Entry walk(const Tree& t, int n, unsigned index, int count, int used, int* inner) {
  for (int i = 0; i < count; ++i) {
    const int b = (index >> (count - 1 - i)) & 1;
    n = t.nodes[static_cast<std::size_t>(n)].child[b];
    if (n < 0) return {0, used + i + 1, kSkip};
    const Node& node = t.nodes[static_cast<std::size_t>(n)];
    if (node.leaf) return {node.value, used + i + 1, node.kind};
  }
  *inner = n;
  return {0, 0, kLink};
}

std::string format(const std::vector<Entry>& entries) {
  std::string s;
  char buf[48];
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::snprintf(buf, sizeof buf, "{%d, %d, %d},", entries[i].value, entries[i].bits,
                  entries[i].kind);
    s += (i % 6 == 0) ? "\n    " : " ";
    s += buf;
  }
  return s;
}

void emit_decoder(const Tree& t, const char* name) {
  const int sub_bits = t.depth - kRootBits;
  std::vector<Entry> root, sub;
  for (unsigned i = 0; i < (1u << kRootBits); ++i) {
    int inner = -1;
    Entry e = walk(t, 0, i, kRootBits, 0, &inner);
    if (e.kind == kLink) {
      e.value = static_cast<int>(sub.size());
      for (unsigned j = 0; j < (1u << sub_bits); ++j) {
        int deeper = -1;
        const Entry s = walk(t, inner, j, sub_bits, kRootBits, &deeper);
        if (s.kind == kLink) Tree::fail(name, "is deeper than its table");
        sub.push_back(s);
      }
    }
    root.push_back(e);
  }
  std::printf("\n// %s: first level (next %d bits), then %d more bits.\n", name, kRootBits,
              sub_bits);
  std::printf("inline constexpr int k%sSubBits = %d;\n", name, sub_bits);
  std::printf("inline constexpr FaxCode k%sRoot[%zu] = {%s\n};\n", name, root.size(),
              format(root).c_str());
  std::printf("inline constexpr FaxCode k%sSub[%zu] = {%s\n};\n", name, sub.size(),
              format(sub).c_str());
}

unsigned code_value(const char* bits) {
  unsigned v = 0;
  for (const char* c = bits; *c; ++c) v = (v << 1) | static_cast<unsigned>(*c - '0');
  return v;
}

template <std::size_t N> void emit_words(const char* name, const t4::CodeText (&codes)[N]) {
  std::printf("inline constexpr FaxWord k%s[%zu] = {", name, N);
  for (std::size_t i = 0; i < N; ++i) {
    std::printf("%s{0x%04X, %zu},", (i % 6 == 0) ? "\n    " : " ", code_value(codes[i].bits),
                std::string(codes[i].bits).size());
  }
  std::printf("\n};\n");
}

void add_runs(Tree& t, const t4::CodeText* term, const t4::CodeText* makeup) {
  for (int i = 0; i < 64; ++i) t.add(term[i].bits, term[i].value, kTerminating);
  for (int i = 0; i < 27; ++i) t.add(makeup[i].bits, makeup[i].value, kMakeup);
  for (const auto& c : t4::kExtendedMakeup) t.add(c.bits, c.value, kMakeup);
}

} // namespace

int main() {
  Tree white, black, mode;
  add_runs(white, t4::kWhiteTerminating, t4::kWhiteMakeup);
  white.add(t4::kEndOfLine, t4::kEndOfLineValue, kEol);
  add_runs(black, t4::kBlackTerminating, t4::kBlackMakeup);
  black.add(t4::kBlackEndOfLine, t4::kEndOfLineValue, kEol);
  for (const auto& c : t4::kModes) mode.add(c.bits, c.value, kMode);
  // An end-of-line where a mode code is due ends the row (or the page).
  mode.add(t4::kEndOfLine, t4::kEndOfLineValue, kEol);

  std::printf("// Generated by tools/gen_fax_tables.cpp from tools/t4_codes.h; do not edit.\n");
  std::printf("// Regenerate with: cmake --build <build> --target regen_fax_tables\n");
  std::printf("\n// Code words, most significant bit first.\n");
  emit_words("WhiteTerminating", t4::kWhiteTerminating);
  emit_words("BlackTerminating", t4::kBlackTerminating);
  emit_words("WhiteMakeup", t4::kWhiteMakeup);
  emit_words("BlackMakeup", t4::kBlackMakeup);
  emit_words("ExtendedMakeup", t4::kExtendedMakeup);
  emit_words("ModeWords", t4::kModes);
  std::printf("inline constexpr FaxWord kEndOfLineWord = {0x%04X, 12};\n",
              code_value(t4::kEndOfLine));
  emit_decoder(white, "White");
  emit_decoder(black, "Black");
  emit_decoder(mode, "Mode");
  return 0;
}
