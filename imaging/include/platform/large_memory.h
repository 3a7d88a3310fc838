// Memory for big buffers (a picture, the bands of a decoder) that are written
// all over soon after they are made.
#pragma once

#include <cstddef>
#include <memory>

namespace vex::platform {

// From this size up a buffer is 2 MiB-aligned memory advised for huge pages:
// on a virtual machine a page fault costs microseconds, and a picture of a
// few megabytes takes a thousand of them at 4 KiB a page. The last large
// blocks freed are kept for the next request of their size (a program that
// decodes a picture and then encodes a smaller one reuses its memory).
inline constexpr std::size_t kLargeBlock = std::size_t{512} << 10;

// Null when the memory cannot be had; `zeroed`: every byte reads as zero.
void* AllocateLarge(std::size_t size, bool zeroed);
// `size` as it was allocated.
void FreeLarge(void* p, std::size_t size);

// An owned buffer of AllocateLarge.
class LargeBuffer {
public:
  LargeBuffer() = default;
  LargeBuffer(std::size_t size, bool zeroed)
      : p_(AllocateLarge(size, zeroed)), size_(p_ ? size : 0) {}
  ~LargeBuffer() { FreeLarge(p_, size_); }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  LargeBuffer(LargeBuffer&& o) noexcept : p_(o.p_), size_(o.size_) { o.p_ = nullptr, o.size_ = 0; }
  LargeBuffer& operator=(LargeBuffer&& o) noexcept {
    if (this != &o) {
      FreeLarge(p_, size_);
      p_ = o.p_, size_ = o.size_;
      o.p_ = nullptr, o.size_ = 0;
    }
    return *this;
  }
  void* get() const { return p_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return p_ != nullptr; }

private:
  void* p_ = nullptr;
  std::size_t size_ = 0;
};

} // namespace vex::platform
