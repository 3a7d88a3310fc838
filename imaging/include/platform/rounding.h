// Rounding of floating-point values to integers, half to even, as the whole
// library rounds. Uses the default rounding mode (round to nearest, ties to
// even), which nothing in the library changes.
#pragma once

#include <cmath>
#include <cstdint>

namespace vex {

// Extended precision (long double on x86-64) rounded half to even.
inline long double round_half_even(long double x) {
  return std::nearbyintl(x);
}
inline double round_half_even(double x) {
  return std::nearbyint(x);
}
inline float round_half_even(float x) {
  return std::nearbyintf(x);
}

// Round to an integer, half to even; callers guarantee the value fits.
inline std::int64_t round_to_int64(long double x) {
  return static_cast<std::int64_t>(std::nearbyintl(x));
}
inline std::int32_t round_to_int32(long double x) {
  return static_cast<std::int32_t>(std::nearbyintl(x));
}

// Extended-precision value rounded to the 64-bit double the result is stored in.
inline double to_double(long double x) {
  return static_cast<double>(x);
}

} // namespace vex
