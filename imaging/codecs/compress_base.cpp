#include "vexImageCompress.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>

void TvexImageCompress::SetTopDown(bool value) {
  TopDown = value ? 1 : 0;
  if (TopDown && Height > 0) {
    Line = Height - 1;
    LineOffset = (Height - 1) * LineWidth;
  } else {
    Line = 0;
    LineOffset = 0;
  }
}

void TvexImageCompress::SetImage(DibHandle dib) {
  DIBHandle = dib;
  DIBBits = nullptr;
  DIBSection = {};
  ImageSize = 0;
  LineWidth = 0;
  Width = 0;
  Height = 0;
  BitCount = 0;
  if (!vex::platform::is_null(dib) && vex::platform::GetDIBSection(dib, &DIBSection)) {
    DIBBits = static_cast<std::uint8_t*>(DIBSection.bmBits);
    BitCount = DIBSection.dsBmih.biBitCount;
    Width = DIBSection.dsBmih.biWidth;
    Height = std::abs(DIBSection.dsBmih.biHeight);
    LineWidth = static_cast<std::int32_t>(vex::platform::dib_line_width(Width, BitCount));
    // The platform caps a section at 1 GiB, so the product fits.
    ImageSize = static_cast<std::int32_t>(std::int64_t{Height} * LineWidth);
  }
  Column = 0;
  SetTopDown(TopDown != 0);
}

void TvexImageCompress::Clear() {
  Error = EC_OK;
  LineOffset = 0;
  Column = 0;
  Line = 0;
  Buffer.clear();
  Buffer.shrink_to_fit();
  BufferSize = 0;
  BufferIncrement = 0;
}

void TvexImageCompress::GrowBuffer(std::int32_t min_increment) {
  std::int64_t increment, size;
  if (BufferSize == 0) {
    increment =
        std::max<std::int64_t>({ImageSize / 16, std::int64_t{2} * LineWidth, min_increment});
    size = 2 * increment;
  } else {
    increment = std::max(BufferIncrement, min_increment);
    size = std::int64_t{BufferSize} + increment;
  }
  // Sizes are 32-bit: a buffer that would not fit is a coding failure, not a wrap.
  if (size > std::numeric_limits<std::int32_t>::max()) throw std::length_error("codec buffer");
  BufferIncrement = static_cast<std::int32_t>(increment);
  BufferSize = static_cast<std::int32_t>(size);
  Buffer.resize(static_cast<std::size_t>(BufferSize));
}

void TvexImageCompress::SeekRow(std::int32_t row) {
  Line = TopDown ? Height - 1 - row : row;
  LineOffset = Line * LineWidth;
  Column = 0;
}
