// AVX2 kernels of the JPEG colour conversion (jpeg_color_avx2.cpp, the one
// file built with -mavx2). Each converts the leading part of a row, a whole
// number of 16-pixel groups, and returns how many pixels (or chroma samples)
// it did; the caller finishes the row with the portable kernel. They must
// only run where the processor has AVX2; in builds without them they do
// nothing and return 0.
#pragma once

#include <cstdint>

namespace vex::jpeg::avx2 {

// The chroma factors of the colour transform (the table values are
// round_half_even(k * (c - 127.5)) in single precision).
constexpr float kCbToB = 1.771f;
constexpr float kCbToG = 0.3456f;
constexpr float kCrToR = 1.4022f;
constexpr float kCrToG = 0.7145f;

int ycc_to_bgr(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
               std::uint8_t* bgr, int width);
int ycc_terms_to_bgr(const std::uint8_t* y, const std::int16_t* tb, const std::int16_t* tgb,
                     const std::int16_t* tgr, const std::int16_t* tr, std::uint8_t* bgr, int width);
// Terms at half width; returns an even count.
int ycc_half_terms_to_bgr(const std::uint8_t* y, const std::int16_t* tb, const std::int16_t* tgb,
                          const std::int16_t* tgr, const std::int16_t* tr, std::uint8_t* bgr,
                          int width);
// The terms of chroma samples c[0..n) at factor 1 or 2 (a and b hold 16
// spare entries); returns the number of samples done.
int chroma_terms(float ka, float kb, const std::uint8_t* c, int factor, int n, std::int16_t* a,
                 std::int16_t* b);

} // namespace vex::jpeg::avx2
