// Photographs store their pixels as the sensor saw them and say in their
// metadata how to turn them upright (TvexImageInfo::Orientation, the Exif
// values 1..8). The e-mail road and the preview turn them before anything else.
#pragma once

#include <cstdint>

class TvexImage;

// Where the pixel at (x, y) of the upright picture lies in the stored one of
// w x h pixels (row 0 at the top), for orientation 1..8; other values are 1.
void UprightSource(int orientation, std::int32_t w, std::int32_t h, std::int32_t x, std::int32_t y,
                   std::int32_t& sx, std::int32_t& sy);
// Whether the orientation swaps width and height (5..8).
bool SwapsSides(int orientation);
// Replaces the picture of `image` (8, 24 or 32 bits) by its upright form and
// swaps its resolutions when the sides swap. Orientation 1, other values and
// other depths leave it as it is; false when the new bitmap could not be made.
bool TurnUpright(TvexImage& image, int orientation);
