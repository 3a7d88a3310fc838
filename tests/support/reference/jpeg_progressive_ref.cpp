#include "reference/jpeg_progressive_ref.h"

#include "vexDCT.h"

#include <cstdlib>
#include <stdexcept>

namespace reference {

namespace {

int category(int v) {
  int a = v < 0 ? -v : v, n = 0;
  while (a) {
    ++n;
    a >>= 1;
  }
  return n;
}

std::uint32_t magnitude_bits(int v, int cat) {
  const int b = v < 0 ? v - 1 : v;
  return static_cast<std::uint32_t>(b) & ((1u << cat) - 1u);
}

int floor_log2(int v) {
  int n = -1;
  while (v) {
    ++n;
    v >>= 1;
  }
  return n;
}

struct Encoder {
  const ProgScan& s;
  std::vector<ProgEvent> out;
  int eobrun = 0, start_block = 0, start_pos = 64;

  int value(int block, int k) const {
    return s.coefficients[block * 64 + vex::jpeg::ZigZag[k]] / (1 << s.al);
  }
  void emit(int symbol, std::uint32_t bits, int count) { out.push_back({symbol, bits, count}); }
  void flush() {
    if (eobrun == 0) return;
    const int n = floor_log2(eobrun);
    emit(n * 16, static_cast<std::uint32_t>(eobrun) & ((1u << n) - 1u), n);
    eobrun = 0;
  }
  void flush_with_corrections() {
    if (eobrun == 0) return;
    const int n = floor_log2(eobrun);
    emit(n * 16, static_cast<std::uint32_t>(eobrun) & ((1u << n) - 1u), n);
    for (int b = 0; b < eobrun; ++b) {
      const int block = start_block + b;
      if (block >= s.rows * s.columns) throw std::runtime_error("run past the last row");
      for (int k = b == 0 ? start_pos : s.ss; k <= s.se; ++k) {
        const int v = value(block, k);
        if (std::abs(v) > 1) emit(-1, static_cast<std::uint32_t>(v & 1), 1);
      }
    }
    eobrun = 0;
    start_pos = 64;
  }

  void first(int block) {
    int run = 0;
    for (int k = s.ss; k <= s.se; ++k) {
      const int v = value(block, k);
      if (v == 0) {
        ++run;
        continue;
      }
      flush();
      while (run >= 16) {
        emit(0xF0, 0, 0);
        run -= 16;
      }
      const int c = category(v);
      emit(run * 16 + c, magnitude_bits(v, c), c);
      if (k == s.se) return;
      run = 0;
    }
    if (++eobrun == 0x7FFF) flush();
  }

  void refine(int block) {
    int pending = s.ss, run = 0;
    for (int k = s.ss; k <= s.se; ++k) {
      const int v = value(block, k);
      if (v == 0) {
        ++run;
        continue;
      }
      if (std::abs(v) > 1) continue;
      flush_with_corrections();
      while (run >= 16) {
        emit(0xF0, 0, 0);
        int zeros = 0;
        while (zeros < 16) {
          const int w = value(block, pending);
          if (w == 0)
            ++zeros;
          else
            emit(-1, static_cast<std::uint32_t>(w & 1), 1);
          ++pending;
        }
        run -= 16;
      }
      emit(run * 16 + 1, v > 0 ? 1u : 0u, 1);
      for (int p = pending; p < k; ++p) {
        const int w = value(block, p);
        if (std::abs(w) > 1) emit(-1, static_cast<std::uint32_t>(w & 1), 1);
      }
      if (k == s.se) return;
      pending = k + 1;
      run = 0;
    }
    if (eobrun == 0) {
      start_block = block;
      start_pos = pending;
    }
    if (++eobrun == 0x7FFF) flush_with_corrections();
  }
};

} // namespace

std::vector<ProgEvent> encode_ac_first(const ProgScan& scan) {
  Encoder e{scan, {}};
  for (int b = 0; b < scan.rows * scan.columns; ++b) e.first(b);
  e.flush();
  return e.out;
}

std::vector<ProgEvent> encode_ac_refine(const ProgScan& scan) {
  Encoder e{scan, {}};
  for (int b = 0; b < scan.rows * scan.columns; ++b) e.refine(b);
  e.flush_with_corrections();
  return e.out;
}

} // namespace reference
