// The variable-width LZW code of GIF image data: codes packed least
// significant bit first, widening from min + 1 bits up to 12 as the table
// fills, clear and end codes right after the literals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vex::codec {

class GifLzwDecoder {
public:
  enum class Status { More, End, Bad };

  // `min_code_size` is the file's byte before the data (1..8 here).
  explicit GifLzwDecoder(int min_code_size);

  // Decodes the bytes of one data sub-block, calling `put(index)` for every
  // pixel index until `put` returns false (the frame is full). End when the
  // end code came or `put` asked to stop, Bad on a code past the table (what
  // came before it was put), More when the data may go on.
  template <class Put> Status Feed(const std::uint8_t* data, std::size_t size, Put&& put);

private:
  static constexpr int kMaxBits = 12;
  static constexpr int kTableSize = 1 << kMaxBits;

  void Reset();
  // Writes the string of `code` into Stack so that it ends before `end`;
  // its length.
  int Expand(int code, int end);

  int MinSize;
  int Clear, EndCode;
  int Bits = 0, Next = 0, Prev = -1;
  std::uint32_t Acc = 0;
  int AccBits = 0;
  bool Done = false;
  std::uint16_t Prefix[kTableSize] = {};
  std::uint8_t Suffix[kTableSize] = {};
  std::uint16_t Length[kTableSize] = {};
  std::uint8_t Stack[kTableSize] = {};
};

template <class Put>
GifLzwDecoder::Status GifLzwDecoder::Feed(const std::uint8_t* data, std::size_t size, Put&& put) {
  if (Done) return Status::End;
  for (std::size_t i = 0; i < size; ++i) {
    Acc |= std::uint32_t{data[i]} << AccBits;
    AccBits += 8;
    while (AccBits >= Bits) {
      const int code = static_cast<int>(Acc & ((1u << Bits) - 1));
      Acc >>= Bits;
      AccBits -= Bits;
      if (code == Clear) {
        Reset();
        continue;
      }
      if (code == EndCode) {
        Done = true;
        return Status::End;
      }
      int length;
      if (code < Next) {
        length = Expand(code, kTableSize);
      } else if (code == Next && Prev >= 0) {
        // The string being defined: the previous one and its own first byte.
        length = Expand(Prev, kTableSize - 1) + 1;
        Stack[kTableSize - 1] = Stack[kTableSize - length];
      } else {
        Done = true;
        return Status::Bad;
      }
      const int first = Stack[kTableSize - length];
      if (Prev >= 0 && Next < kTableSize) {
        Prefix[Next] = static_cast<std::uint16_t>(Prev);
        Suffix[Next] = static_cast<std::uint8_t>(first);
        Length[Next] = static_cast<std::uint16_t>(Length[Prev] + 1);
        ++Next;
        if (Next == (1 << Bits) && Bits < kMaxBits) ++Bits;
      }
      Prev = code;
      for (int k = kTableSize - length; k < kTableSize; ++k) {
        if (!put(Stack[k])) {
          Done = true;
          return Status::End;
        }
      }
    }
  }
  return Status::More;
}

} // namespace vex::codec
