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
    // Also checks that the system saves the 256-bit registers.
    f.avx2 = __builtin_cpu_supports("avx2");
#endif
    return f;
  }();
  return features;
}

bool simd_level_available(SimdLevel level) {
  switch (level) {
  case SimdLevel::none:
    return true;
  case SimdLevel::sse2:
#if defined(PARVULA_HAVE_SIMD) && (defined(__x86_64__) || defined(__i386__))
    return cpu_features().sse2;
#else
    return false;
#endif
  case SimdLevel::avx2:
    // PARVULA_HAVE_AVX2 is set (for this file only) when the build compiles
    // the *_avx2.cpp kernels with -mavx2.
#if defined(PARVULA_HAVE_SIMD) && defined(PARVULA_HAVE_AVX2) &&                                    \
    (defined(__x86_64__) || defined(__i386__))
    return cpu_features().sse2 && cpu_features().avx2;
#else
    return false;
#endif
  }
  return false;
}

SimdLevel simd_level() {
  static const SimdLevel level = [] {
    SimdLevel cap = SimdLevel::avx2;
    if (const char* env = std::getenv("PARVULA_SIMD")) {
      if (std::strcmp(env, "none") == 0) cap = SimdLevel::none;
      if (std::strcmp(env, "sse2") == 0) cap = SimdLevel::sse2;
    }
    for (SimdLevel l = cap; l != SimdLevel::none;
         l = static_cast<SimdLevel>(static_cast<int>(l) - 1))
      if (simd_level_available(l)) return l;
    return SimdLevel::none;
  }();
  return level;
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
  case SimdLevel::sse2:
    return "sse2";
  case SimdLevel::avx2:
    return "avx2";
  default:
    return "none";
  }
}

bool simd_enabled() {
  static const bool enabled = simd_level() >= SimdLevel::sse2;
  return enabled;
}

} // namespace vex::platform
