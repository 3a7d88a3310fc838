#include "platform/large_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vex::platform {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {

constexpr std::size_t kHuge = std::size_t{2} << 20;
// Freed blocks kept, and the largest kept (beyond it memory goes back).
constexpr int kKept = 2;
constexpr std::size_t kMaxKept = std::size_t{32} << 20;

std::size_t Rounded(std::size_t size) {
  return (size + kHuge - 1) & ~(kHuge - 1);
}

struct Kept {
  std::mutex mutex;
  void* p[kKept] = {};
  std::size_t size[kKept] = {};
};

Kept& kept() {
  static Kept k;
  return k;
}

} // namespace

void* AllocateLarge(std::size_t size, bool zeroed) {
  if (size < kLargeBlock)
    return zeroed ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1);
  if (size > SIZE_MAX - 2 * kHuge) return nullptr;
  const std::size_t r = Rounded(size);
  {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    for (int i = 0; i < kKept; ++i)
      if (k.p[i] && k.size[i] == r) {
        void* p = k.p[i];
        k.p[i] = nullptr;
        if (zeroed) std::memset(p, 0, size);
        return p;
      }
  }
  void* raw = mmap(nullptr, r + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto at = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (at + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
  if (aligned > at) munmap(raw, aligned - at);
  const std::uintptr_t tail = at + r + kHuge - (aligned + r);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + r), tail);
  void* p = reinterpret_cast<void*>(aligned);
  madvise(p, r, MADV_HUGEPAGE);
  return p; // fresh pages read as zero
}

void FreeLarge(void* p, std::size_t size) {
  if (!p) return;
  if (size < kLargeBlock) {
    std::free(p);
    return;
  }
  const std::size_t r = Rounded(size);
  if (r <= kMaxKept) {
    Kept& k = kept();
    std::lock_guard lock(k.mutex);
    for (int i = 0; i < kKept; ++i)
      if (!k.p[i]) {
        k.p[i] = p;
        k.size[i] = r;
        return;
      }
  }
  munmap(p, r);
}

#else

void* AllocateLarge(std::size_t size, bool zeroed) {
  return zeroed ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1);
}

void FreeLarge(void* p, std::size_t) {
  std::free(p);
}

#endif

} // namespace vex::platform
