// Differential testing against a well-known peer decoder (Pillow run by the
// system Python): decode files with it, compare with our pixels, and read the
// expectations file that lists each known, explained difference.
#pragma once

#include "vexImage.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// What the peer made of one file.
struct PeerImage {
  bool ok = false;
  std::string error; // the peer's message when !ok
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb; // width*height*3, rows top down
};

// True when /usr/bin/python3 can import PIL. Computed once.
bool peer_available();
// True when ImageMagick's /usr/bin/convert runs too (the second peer).
bool magick_available();

enum class Peer { Pillow, Magick };

// Decodes every file with the peer in one Python run (one record per file,
// in order). Empty when the peer could not run.
std::vector<PeerImage> peer_decode(const std::vector<std::filesystem::path>& files,
                                   Peer peer = Peer::Pillow);

// Whether netpbm's tools are installed.
bool netpbm_available();

// Decodes every file with a netpbm command that writes PNM to its standard
// output ("sgitopnm", "pamdepth 255"), read back through the peer above.
std::vector<PeerImage> netpbm_decode(const std::vector<std::filesystem::path>& files,
                                     const std::string& command);

// Our image as RGB bytes, rows top down (any depth, through the palette).
std::vector<std::uint8_t> image_rgb(TvexImage& image);

// Number of pixels that differ, and the first one that does.
struct PixelDiff {
  std::int64_t count = 0;
  int first_x = -1, first_y = -1;
  std::uint32_t ours = 0, peers = 0; // 0xRRGGBB of the first difference
  int max = 0;                       // largest difference in one channel
};
// `bits` < 8 compares only the high bits of each channel (5 for 15/16-bit
// pixels, whose widening to 8 bits differs between decoders).
PixelDiff compare_rgb(const std::vector<std::uint8_t>& ours, const PeerImage& peer, int bits = 8);

// One row of an expectations file (tab separated, '#' comments):
//   FILE  CODE  PEER  WHY
// FILE relative to the corpus folder of the format; CODE the error code our
// reader must give (0 = none); PEER one of
//   same      our pixels equal the peer's
//   same5     equal in the high 5 bits of each channel (15/16-bit pixels)
//   differs   both decode, the pixels differ for the reason given
//   fails     the peer refuses the file
//   -         the peer's outcome is not compared (we give no image)
// A file without a row must decode with code 0 to the peer's pixels.
struct Expectation {
  int code = 0;
  std::string peer = "same";
  std::string why;
};
std::map<std::string, Expectation> read_expectations(const std::filesystem::path& tsv);

// The differential folder of the source tree (the script and the expectations).
std::filesystem::path differential_dir();

} // namespace testing_support
