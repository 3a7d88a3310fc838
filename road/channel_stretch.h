// Spreads each colour channel of a 24-bit image over the full range 0..255.
#pragma once

class TvexImage;

// Changes the pixel bytes of a 24-bit image in place (row padding untouched);
// other depths, empty images and images without pixels are left alone. A
// channel whose values are all equal has no range to spread and is left as
// it is. Fires no change notification.
void StretchChannels(TvexImage& image);
