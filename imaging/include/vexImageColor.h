// Colour operations on images (the negative of a picture) and two small
// numeric routines the JPEG coder uses.
#pragma once

#include "vexImageKernel.h"

#include <cstdint>

class TvexImageColor : public TvexImageKernel {
public:
  explicit TvexImageColor(void* owner = nullptr) : TvexImageKernel(owner) {}

  // Writes the negative of SourceImage(0) into ResultImage (which may be the
  // same image; one is created when there is none). 1-, 4-, 8-bit grey,
  // 24- and 32-bit pixels are complemented; palette images get their colour
  // table complemented instead. Other formats: Error 51. A result whose pixel
  // memory differs in size from the source's: Error 48.
  void Invert();
};

// The smaller of two values.
std::int32_t Min(std::int32_t a, std::int32_t b);
// Common logarithm, worked in extended precision and rounded to double; 0 for
// x <= 0 (the logarithm of 0 would be minus infinity, which no caller can use).
double Log10(double x);
