// Widens pictures the e-mail road cannot resize or write as they are.
#pragma once

class TvexImage;

// Replaces a 1-, 4- or 16-bit picture (16 bits as 5-5-5, or 5-6-5 when its
// bit fields say so) by the same picture in 24 bits; with `colour_resize`,
// also an 8-bit one whose colour table is not the grey ramp (entry i grey i
// or 255 - i), whose indices cannot be interpolated. Other pictures are left
// alone. False when the 24-bit bitmap cannot be made.
bool ExpandForMail(TvexImage& image, bool colour_resize);
