#include "platform/cpu_features.h"

#include <cstdlib>
#include <cstring>

namespace vex::platform {

const CpuFeatures& cpu_features() {
  static const CpuFeatures features = [] {
    CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.mmx = __builtin_cpu_supports("mmx");
    f.sse2 = __builtin_cpu_supports("sse2");
    f.ssse3 = __builtin_cpu_supports("ssse3");
    f.sse41 = __builtin_cpu_supports("sse4.1");
    f.avx2 = __builtin_cpu_supports("avx2");
#endif
    return f;
  }();
  return features;
}

bool simd_enabled() {
#if defined(PARVULA_HAVE_SIMD) && (defined(__x86_64__) || defined(__i386__))
  static const bool enabled = [] {
    const char* env = std::getenv("PARVULA_SIMD");
    if (env && std::strcmp(env, "none") == 0) return false;
    return cpu_features().sse2;
  }();
  return enabled;
#else
  return false;
#endif
}

} // namespace vex::platform
