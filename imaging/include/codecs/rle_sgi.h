// The run-length codec of SGI image files: one scan line of one channel per
// call, channels in the file's order (red, green, blue, alpha), rows from the
// bottom of the picture up.
#pragma once

#include "codecs/rle_bmp.h"

#include <cstdint>
#include <vector>

class TvexImageSGIRLE : public TvexImageRLE {
public:
  TvexImageSGIRLE();
  void SetImage(DibHandle dib) override;
  void Clear() override;
  // Codes the next scan line: `raw_count` is given the line's width in
  // pixels and returns it; the line ends with a zero count.
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  // Decodes one coded scan line into the next line of the current channel;
  // pixels past the width are dropped. `produced` is the number of pixels
  // the line got; `length` is not changed.
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;

  // The channel (0 red, 1 green, 2 blue, 3 alpha) the next call works on.
  std::int32_t GetChannel() const { return Channel; }

protected:
  // Moves to the next channel after the last row of one; false when the
  // image has no channel left for the call.
  bool NextLine();

  std::int32_t Channel = 0;
  std::int32_t Channels = 0;
  // The DIB byte of a pixel the current channel fills.
  std::int32_t ChannelOffset = 0;
  std::int32_t PixelStride = 1;
  // One channel of one line (24 and 32 bits).
  std::vector<std::uint8_t> Scratch;
};
