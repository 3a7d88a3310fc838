#include "codecs/lzw_gif.h"

namespace vex::codec {

GifLzwDecoder::GifLzwDecoder(int min_code_size)
    : MinSize(min_code_size), Clear(1 << min_code_size), EndCode(Clear + 1) {
  for (int i = 0; i < Clear; ++i) {
    Suffix[i] = static_cast<std::uint8_t>(i);
    Length[i] = 1;
  }
  Reset();
}

void GifLzwDecoder::Reset() {
  Bits = MinSize + 1;
  Next = Clear + 2;
  Prev = -1;
}

int GifLzwDecoder::Expand(int code, int end) {
  const int length = Length[code];
  int at = end;
  // Every table entry's prefix is an older entry, so the walk ends at a
  // literal after `length` steps.
  for (int k = 0; k < length; ++k) {
    Stack[--at] = Suffix[code];
    code = Prefix[code];
  }
  return length;
}

} // namespace vex::codec
