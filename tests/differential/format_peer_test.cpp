// Targa and PCX against the peer decoders, one table for all formats: every
// corpus file decodes to Pillow's pixels or ends as its expectations file
// says, and every file we write, at each depth and compression, opens in
// Pillow and in ImageMagick with our pixels.
#include "vexImageFile.h"

#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

struct Format {
  const char* folder; // under the corpus, and the name of the case
  const char* expectations;
  TvexFileFormat number;
};

const Format kFormats[] = {
    {"tga", "targa_expectations.tsv", FF_TARGA},
    {"pcx", "pcx_expectations.tsv", FF_PCX},
};

std::unique_ptr<TvexImageFile> make(TvexFileFormat f) {
  if (f == FF_TARGA) return std::make_unique<TvexTargaImage>();
  return std::make_unique<TvexPCXImage>();
}

std::vector<fs::path> corpus_files(const char* folder) {
  std::vector<fs::path> files;
  const fs::path dir = corpus_dir() / folder;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string hex(std::uint32_t c) {
  char b[8];
  std::snprintf(b, sizeof b, "%06x", c);
  return b;
}

std::string describe(const PixelDiff& d) {
  return "first at (" + std::to_string(d.first_x) + "," + std::to_string(d.first_y) + ") ours " +
         hex(d.ours) + " peer " + hex(d.peers);
}

class CorpusPeer : public testing::TestWithParam<Format> {};

} // namespace

// Relations beyond those of peer.h: "magick" (Pillow refuses the file,
// ImageMagick decodes it to our pixels).
TEST_P(CorpusPeer, MatchesThePeerOrTheListedCode) {
  if (!peer_available()) GTEST_SKIP() << "/usr/bin/python3 has no PIL: differential test skipped";
  const Format& format = GetParam();
  const auto files = corpus_files(format.folder);
  ASSERT_FALSE(files.empty()) << "no corpus under " << corpus_dir() / format.folder;
  const auto expectations = read_expectations(differential_dir() / format.expectations);
  const auto pillow = peer_decode(files);
  ASSERT_EQ(pillow.size(), files.size()) << "the peer did not run";
  std::vector<fs::path> for_magick;
  for (const auto& f : files) {
    const auto it =
        expectations.find(fs::relative(f, corpus_dir() / format.folder).generic_string());
    if (it != expectations.end() && it->second.peer == "magick") for_magick.push_back(f);
  }
  const auto magick =
      magick_available() ? peer_decode(for_magick, Peer::Magick) : std::vector<PeerImage>{};
  std::set<std::string> seen;
  std::size_t next_magick = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string rel = fs::relative(files[i], corpus_dir() / format.folder).generic_string();
    seen.insert(rel);
    SCOPED_TRACE(rel);
    const auto it = expectations.find(rel);
    const Expectation expect = it != expectations.end() ? it->second : Expectation{};

    auto reader = make(format.number);
    const DibHandle dib = reader->LoadFromFile(files[i].string());
    TvexImage image;
    if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
    EXPECT_EQ(int{reader->GetError()}, expect.code) << vexErrorMessage(reader->GetError());

    const PeerImage* peer = &pillow[i];
    if (expect.peer == "-") continue;
    if (expect.peer == "fails") {
      EXPECT_FALSE(peer->ok) << "the peer now reads it: update the expectation";
      continue;
    }
    if (expect.peer == "magick") {
      EXPECT_FALSE(peer->ok) << "Pillow now reads it: update the expectation";
      if (magick.empty()) continue; // ImageMagick missing
      peer = &magick[next_magick++];
    }
    if (!peer->ok || vex::platform::is_null(dib) || image.Width() != peer->width ||
        std::abs(image.Height()) != peer->height) {
      ADD_FAILURE() << "peer: " << (peer->ok ? "ok" : peer->error) << ", peer size " << peer->width
                    << "x" << peer->height << ", ours " << image.Width() << "x" << image.Height();
      continue;
    }
    const PixelDiff d = compare_rgb(image_rgb(image), *peer, expect.peer == "same5" ? 5 : 8);
    if (expect.peer == "differs")
      EXPECT_GT(d.count, 0) << "now identical: update the expectation";
    else
      EXPECT_EQ(d.count, 0) << describe(d);
  }
  for (const auto& [file, e] : expectations)
    EXPECT_TRUE(seen.count(file)) << "expectation for a file not in the corpus: " << file;
}

INSTANTIATE_TEST_SUITE_P(Formats, CorpusPeer, testing::ValuesIn(kFormats),
                         [](const testing::TestParamInfo<Format>& p) {
                           return std::string(p.param.folder);
                         });

namespace {

enum class Colours { Random, Grey, BlackWhite, WhiteBlack };

struct WriteCase {
  TvexFileFormat format;
  int bpp;
  TvexCompression compression;
  int w, h;
  Colours colours;
};

void set_colours(TvexImage& image, Colours colours, std::uint32_t seed) {
  if (colours == Colours::Random) return;
  const int n = 1 << image.BitCount();
  Rng rng(seed);
  std::vector<int> levels(static_cast<std::size_t>(n));
  for (int& v : levels) v = static_cast<int>(rng.next() & 0xFF);
  std::sort(levels.begin(), levels.end()); // ascending: minimum is black
  if (colours == Colours::BlackWhite) levels = {0, 255};
  if (colours == Colours::WhiteBlack) levels = {255, 0};
  TvexImage::LogPalette pal;
  pal.palNumEntries = static_cast<std::uint16_t>(n);
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint8_t>(levels[static_cast<std::size_t>(i)]);
    pal.palPalEntry[i] = {v, v, v, 0};
  }
  image.SetPaletteEntries(&pal);
}

} // namespace

TEST(FormatPeer, FilesWeWriteOpenInBothPeersWithOurPixels) {
  if (!peer_available()) GTEST_SKIP() << "/usr/bin/python3 has no PIL: differential test skipped";
  constexpr auto T = FF_TARGA, P = FF_PCX;
  constexpr auto kRandom = Colours::Random, kGrey = Colours::Grey;
  const WriteCase cases[] = {
      {T, 1, CP_NOCOMP, 37, 11, kRandom},
      {T, 1, CP_TARGA_RLE, 37, 11, Colours::WhiteBlack},
      {T, 1, CP_NOCOMP, 21, 5, kGrey},
      {T, 4, CP_NOCOMP, 33, 9, kRandom},
      {T, 4, CP_TARGA_RLE, 33, 9, kGrey},
      {T, 8, CP_NOCOMP, 31, 13, kRandom},
      {T, 8, CP_TARGA_RLE, 300, 7, kRandom},
      {T, 8, CP_NOCOMP, 31, 13, kGrey},
      {T, 8, CP_TARGA_RLE, 29, 6, kGrey},
      {T, 16, CP_NOCOMP, 29, 7, kRandom},
      {T, 16, CP_TARGA_RLE, 290, 7, kRandom},
      {T, 24, CP_NOCOMP, 27, 10, kRandom},
      {T, 24, CP_TARGA_RLE, 301, 5, kRandom},
      {T, 32, CP_NOCOMP, 25, 6, kRandom},
      {T, 32, CP_TARGA_RLE, 25, 6, kRandom},
      {P, 1, CP_PCX_RLE, 37, 11, Colours::BlackWhite},
      {P, 1, CP_PCX_RLE, 35, 9, Colours::WhiteBlack},
      {P, 1, CP_PCX_RLE, 19, 4, kRandom},
      {P, 4, CP_PCX_RLE, 33, 9, kRandom},
      {P, 4, CP_PCX_RLE, 33, 9, kGrey},
      {P, 8, CP_PCX_RLE, 300, 13, kRandom},
      {P, 8, CP_PCX_RLE, 101, 6, kGrey},
      {P, 24, CP_PCX_RLE, 201, 10, kRandom},
  };
  const fs::path dir = scratch_dir("format_peer_write");
  std::vector<fs::path> files;
  std::vector<std::unique_ptr<TvexImage>> images;
  int n = 0;
  for (const WriteCase& c : cases) {
    auto image = std::make_unique<TvexImage>();
    const auto seed = static_cast<std::uint32_t>(300 + n);
    make_runny_image(*image, c.w, c.h, c.bpp, seed);
    set_colours(*image, c.colours, seed);
    const fs::path file = dir / (std::to_string(n++) + (c.format == T ? ".tga" : ".pcx"));
    auto writer = make(c.format);
    writer->SetCompression(c.compression);
    writer->SaveToFile(file.string(), image->GetDibHandle());
    ASSERT_EQ(writer->GetError(), EC_OK) << file;
    files.push_back(file);
    images.push_back(std::move(image));
  }
  for (const Peer which : {Peer::Pillow, Peer::Magick}) {
    if (which == Peer::Magick && !magick_available()) continue;
    const auto peers = peer_decode(files, which);
    ASSERT_EQ(peers.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      const WriteCase& c = cases[i];
      // ImageMagick 6.9 shows every one-plane monochrome PCX inverted (the
      // corpus files too, against their header palettes and Pillow).
      if (which == Peer::Magick && c.format == P && c.bpp == 1 && c.colours != kRandom) continue;
      SCOPED_TRACE(files[i].filename().string() + ": bpp " + std::to_string(c.bpp) +
                   " compression " + std::to_string(c.compression) +
                   (which == Peer::Magick ? " (ImageMagick)" : " (Pillow)"));
      ASSERT_TRUE(peers[i].ok) << peers[i].error;
      ASSERT_EQ(peers[i].width, c.w);
      ASSERT_EQ(peers[i].height, c.h);
      const PixelDiff d = compare_rgb(image_rgb(*images[i]), peers[i], c.bpp == 16 ? 5 : 8);
      EXPECT_EQ(d.count, 0) << describe(d);
    }
  }
}
