// JPEG reader: ReadHeader and ReadImage of TvexJPEGImage, sequential scans, and
// the entropy-decoding layer shared with the progressive scans.
#include "formats/jpeg_reader_internal.h"

#include "platform/rounding.h"

#include <algorithm>
#include <limits>
#include <new>

namespace vex::jpeg {

// ---------------------------------------------------------------------------
// Bit reader

bool BitReader::Refill() {
  // Keep an unread byte (a 0xFF whose partner has not arrived) at the front.
  const std::int32_t keep = static_cast<std::int32_t>(end_ - ptr_);
  if (keep > 0) std::memmove(buf_, ptr_, static_cast<std::size_t>(keep));
  ptr_ = buf_;
  end_ = buf_ + keep;
  const std::int32_t got = pull_ ? pull_(ctx_, buf_ + keep, kBitChunk - keep) : 0;
  end_ += std::max(got, 0);
  return got > 0;
}

void BitReader::Fill() {
  while (count_ <= 56) {
    if (marker_ != 0 || eof_) {
      // Zero bits past the end of the data.
      count_ += 8;
      pad_ += 8;
      continue;
    }
    if (end_ - ptr_ < 2 && !Refill() && end_ == ptr_) {
      eof_ = true;
      continue;
    }
    const std::uint8_t b = *ptr_;
    if (b == 0xFF && end_ - ptr_ >= 2) {
      // (A lone 0xFF as the last byte of the file counts as data.)
      const std::uint8_t f = ptr_[1];
      if (f == 0x00) {
        ptr_ += 2;
      } else if (f == 0xDC) {
        throw vex::ImagingError(kMsgUnexpectedDNL);
      } else {
        marker_ = f; // stays in the stream for the marker loop
        continue;
      }
    } else {
      ++ptr_;
    }
    bits_ |= static_cast<std::uint64_t>(b) << (56 - count_);
    count_ += 8;
  }
}

int BitReader::TakeRestart() {
  bits_ = 0;
  count_ = 0;
  pad_ = 0;
  eof_ = false;
  marker_ = 0;
  if (end_ - ptr_ < 2) Refill();
  if (ptr_ == end_ || *ptr_ != 0xFF) return -1;
  while (true) {
    if (end_ - ptr_ < 2 && !Refill() && end_ - ptr_ < 2) return -1;
    if (ptr_[1] != 0xFF) break;
    ++ptr_;
  }
  const std::uint8_t m = ptr_[1];
  if (m < 0xD0 || m > 0xD7) return -1;
  ptr_ += 2;
  return m - 0xD0;
}

std::int32_t BitReader::Finish() {
  bits_ = 0;
  count_ = 0;
  pad_ = 0;
  marker_ = 0;
  eof_ = false;
  while (true) {
    if (end_ - ptr_ < 2 && !Refill() && end_ - ptr_ < 2) {
      ptr_ = end_;
      break;
    }
    if (ptr_[0] != 0xFF) {
      ++ptr_;
      continue;
    }
    const std::uint8_t f = ptr_[1];
    if (f == 0x00 || (f >= 0xD0 && f <= 0xD7)) {
      ptr_ += 2;
      continue;
    }
    if (f == 0xFF) {
      ++ptr_;
      continue;
    }
    break;
  }
  const std::int32_t back = static_cast<std::int32_t>(end_ - ptr_);
  ptr_ = end_ = buf_;
  return back;
}

} // namespace vex::jpeg
