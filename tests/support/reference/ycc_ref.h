// Plain reference of the JPEG reader's colour conversion and upsampling, as
// documented: each table value is formed from i - 127.5 in single precision,
// multiplied in single precision and rounded half to even; sums are clamped.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

// Blue, green, red of one pixel.
void ycc_to_bgr(int y, int cb, int cr, std::uint8_t out[3]);

// Replicates every sample of `src` `factor` times into `out_width` samples.
std::vector<std::uint8_t> replicate(const std::vector<std::uint8_t>& src, int factor,
                                    int out_width);

} // namespace reference
