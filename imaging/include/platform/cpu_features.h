// Processor features, read once, and the level of SIMD kernels to run.
// PARVULA_SIMD in the environment caps the level: "none" runs the portable
// kernels, "sse2" the SSE2 ones, "avx2" (or unset) the best the processor and
// the build have. Every level gives the same bytes.
#pragma once

namespace vex::platform {

struct CpuFeatures {
  bool mmx = false;
  bool sse2 = false;
  bool ssse3 = false;
  bool sse41 = false;
  bool avx2 = false;
};

// What the processor offers.
const CpuFeatures& cpu_features();

enum class SimdLevel { none = 0, sse2 = 1, avx2 = 2 };

// Whether the kernels of a level were compiled and the processor runs them
// (whatever PARVULA_SIMD says); the tests compare every available level.
bool simd_level_available(SimdLevel level);
// The level in use: the best available one, capped by PARVULA_SIMD.
SimdLevel simd_level();
// "none", "sse2" or "avx2".
const char* simd_level_name(SimdLevel level);
// True when the SIMD kernels may be used (simd_level() is sse2 or above).
bool simd_enabled();

} // namespace vex::platform
