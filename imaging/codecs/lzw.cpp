// LZW strips. Hazards: codes past the table (the strip ends there, marked
// damaged), a full table (no further entries until a clear code), strings
// longer than the caller's room (kept and handed out by later calls).
#include "codecs/lzw.h"

#include <algorithm>
#include <cstring>

namespace vex::codec {

void LzwDecoder::Start(const std::uint8_t* data, std::size_t size) {
  in_ = data;
  in_left_ = data ? size : 0;
  bits_ = 0;
  bit_count_ = 0;
  // The older packing starts with a clear code least significant bit first:
  // the bytes 0x00 and then one with its lowest bit set.
  lsb_first_ = in_left_ >= 2 && data[0] == 0 && (data[1] & 1) != 0;
  early_ = lsb_first_ ? 0 : 1;
  ended_ = damaged_ = false;
  pending_at_ = pending_len_ = 0;
  for (int i = 0; i < 256; ++i) {
    prefix_[i] = 0;
    suffix_[i] = first_[i] = static_cast<std::uint8_t>(i);
    length_[i] = 1;
  }
  Reset();
}

void LzwDecoder::Reset() {
  width_ = 9;
  next_ = kFirstFree;
  old_ = -1;
}

int LzwDecoder::NextCode() {
  while (bit_count_ < width_ && in_left_ > 0) {
    if (lsb_first_)
      bits_ |= std::uint64_t{*in_} << bit_count_;
    else
      bits_ = (bits_ << 8) | *in_;
    ++in_;
    --in_left_;
    bit_count_ += 8;
  }
  if (bit_count_ < width_) return -1;
  const std::uint32_t mask = (1u << width_) - 1;
  int code;
  if (lsb_first_) {
    code = static_cast<int>(bits_ & mask);
    bits_ >>= width_;
  } else {
    code = static_cast<int>((bits_ >> (bit_count_ - width_)) & mask);
  }
  bit_count_ -= width_;
  return code;
}

void LzwDecoder::Spell(int code, std::uint8_t* end) const {
  while (code >= 256) {
    *--end = suffix_[code];
    code = prefix_[code];
  }
  *--end = static_cast<std::uint8_t>(code);
}

std::size_t LzwDecoder::Read(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    if (pending_at_ < pending_len_) {
      const std::size_t n =
          std::min<std::size_t>(count - done, static_cast<std::size_t>(pending_len_ - pending_at_));
      std::memcpy(out + done, pending_ + pending_at_, n);
      pending_at_ += static_cast<int>(n);
      done += n;
      continue;
    }
    if (ended_) break;
    const int code = NextCode();
    if (code < 0 || code == kEnd) {
      ended_ = true;
      break;
    }
    if (code == kClear) {
      Reset();
      continue;
    }
    int spelled = code;
    if (old_ < 0) {
      if (code >= 256) {
        ended_ = damaged_ = true;
        break;
      }
    } else if (code < next_ || code == next_) {
      if (next_ < kCodes) {
        // A code one past the table is the previous string and its own first byte.
        prefix_[next_] = static_cast<std::uint16_t>(old_);
        suffix_[next_] = code < next_ ? first_[code] : first_[old_];
        first_[next_] = first_[old_];
        length_[next_] = static_cast<std::uint16_t>(length_[old_] + 1);
        ++next_;
        if (next_ + early_ >= (1 << width_) && width_ < 12) ++width_;
      } else if (code == next_) {
        ended_ = damaged_ = true;
        break;
      }
    } else {
      ended_ = damaged_ = true;
      break;
    }
    old_ = spelled;
    const int len = length_[spelled];
    if (static_cast<std::size_t>(len) <= count - done) {
      Spell(spelled, out + done + len);
      done += static_cast<std::size_t>(len);
    } else {
      Spell(spelled, pending_ + len);
      pending_at_ = 0;
      pending_len_ = len;
    }
  }
  return done;
}

} // namespace vex::codec
