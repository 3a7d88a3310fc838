// Processor features, read once. PARVULA_SIMD=none in the environment turns
// the SIMD kernels off so that tests can run the portable paths.
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
// True when the SIMD kernels may be used (the processor has SSE2, the build
// has the kernels and PARVULA_SIMD is not "none").
bool simd_enabled();

} // namespace vex::platform
