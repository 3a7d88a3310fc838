// Helpers shared by the test suites: corpus paths, synthetic images, pixel
// digests and picture printing for failure messages.
#pragma once

#include "vexImage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// Folder of the shared test corpus.
std::filesystem::path corpus_dir();
// A file of the repository's own test data (tests/data), which tests use
// where they need a particular file, so that a checkout alone passes.
std::filesystem::path data_file(const std::string& name);
// Empty folder under the build tree for one test's files.
std::filesystem::path scratch_dir(const std::string& name);

// Image of the given size and depth filled from a deterministic generator
// (palette random too for depths up to 8).
void make_random_image(TvexImage& image, int width, int height, int bit_count, std::uint32_t seed);

// make_random_image with runs of equal bytes in every row, so that the
// run-length writers have something to do.
void make_runny_image(TvexImage& image, int width, int height, int bit_count, std::uint32_t seed);

// Digest of width, height, bit count, used colour-table entries and the row
// bytes without padding.
std::string pixel_digest(TvexImage& image);

// Colour (0xRRGGBB) of the pixel at column x, row y (0 = top) of any depth.
std::uint32_t pixel_rgb(TvexImage& image, int x, int y);

// Throws when the file cannot be opened, so that a missing file fails the
// test instead of handing it an empty buffer to index into.
std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// A small deterministic generator so that tests do not depend on the
// standard library's distributions.
class Rng {
public:
  explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }
  int uniform(int lo, int hi) { return lo + static_cast<int>(next() % (hi - lo + 1)); }

private:
  std::uint64_t state_;
};

} // namespace testing_support

// Skips the current test in one line naming the folder when the shared corpus
// (or that folder of it) is not there.
#define SKIP_WITHOUT_CORPUS(folder)                                                                \
  do {                                                                                             \
    const std::filesystem::path corpus_folder_ = testing_support::corpus_dir() / (folder);         \
    if (!std::filesystem::is_directory(corpus_folder_))                                            \
      GTEST_SKIP() << "corpus folder " << corpus_folder_.string() << " not found: skipped";        \
  } while (false)
