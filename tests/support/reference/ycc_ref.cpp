#include "reference/ycc_ref.h"

#include "platform/rounding.h"

namespace reference {

namespace {
int term(float k, int i) {
  const float x = static_cast<float>(i) - 127.5f;
  const float product = k * x;
  return static_cast<int>(vex::round_half_even(product));
}
std::uint8_t clamp(int v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}
} // namespace

void ycc_to_bgr(int y, int cb, int cr, std::uint8_t out[3]) {
  out[0] = clamp(y + term(1.771f, cb));
  out[1] = clamp(y - term(0.3456f, cb) - term(0.7145f, cr));
  out[2] = clamp(y + term(1.4022f, cr));
}

std::vector<std::uint8_t> replicate(const std::vector<std::uint8_t>& src, int factor,
                                    int out_width) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(out_width));
  for (int x = 0; x < out_width; ++x) out[x] = src[x / factor];
  return out;
}

} // namespace reference
