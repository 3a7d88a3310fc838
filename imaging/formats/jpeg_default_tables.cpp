// The Huffman tables of T.81 Annex K.3, which Motion-JPEG frames imply by
// leaving out their DHT segments.
#include "jpeg_reader_internal.h"

#include <cstring>

namespace vex::jpeg {

namespace {

// Code counts per length 1..16 (DC luminance, DC chrominance, AC luminance,
// AC chrominance).
constexpr std::uint8_t kCounts[4][16] = {
    {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
    {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
};

// The AC symbols with codes shorter than 16 bits, in code order (plus the
// first few 16-bit ones that break the pattern); every other symbol of
// run 0..15 and size 1..10 follows in ascending order with a 16-bit code.
constexpr std::uint8_t kAcLumaHead[] = {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31,
                                        0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71, 0x14, 0x32,
                                        0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
                                        0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16};
constexpr std::uint8_t kAcChromaHead[] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1};

int AcValues(const std::uint8_t* head, int head_size, std::uint8_t* values) {
  bool used[256] = {};
  int n = 0;
  for (int i = 0; i < head_size; ++i) {
    values[n++] = head[i];
    used[head[i]] = true;
  }
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size <= 10; ++size) {
      const int symbol = (run << 4) | size;
      if (!used[symbol]) values[n++] = static_cast<std::uint8_t>(symbol);
    }
  return n;
}

} // namespace

int StandardHuffmanTable(int cls, int id, std::uint8_t counts[16], std::uint8_t values[256]) {
  const int k = 2 * cls + (id == 0 ? 0 : 1);
  std::memcpy(counts, kCounts[k], 16);
  if (cls == 0) {
    for (int i = 0; i < 12; ++i) values[i] = static_cast<std::uint8_t>(i);
    return 12;
  }
  return id == 0 ? AcValues(kAcLumaHead, sizeof kAcLumaHead, values)
                 : AcValues(kAcChromaHead, sizeof kAcChromaHead, values);
}

} // namespace vex::jpeg
