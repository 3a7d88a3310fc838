// PBM/PGM/PPM, SGI and icons against the peers: every corpus file of the
// manifests ends with its listed code and digest and, where a bound is
// listed, decodes to Pillow's pixels within it; netpbm reads the same
// pixels as we do from every PNM and SGI file we load. Files we write open
// in both peers with our pixels.
#include "vexImageFile.h"

#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

struct Format {
  const char* manifest;
  std::function<std::unique_ptr<TvexImageFile>()> make;
  // The netpbm command that decodes the format, or null.
  const char* netpbm;
};

const Format kFormats[] = {
    // Samples above 255 stay 16-bit in Pillow; netpbm scales them as we do.
    {"pnm.tsv", [] { return std::make_unique<TvexPxMImage>(); }, "pamdepth 255"},
    {"sgi.tsv", [] { return std::make_unique<TvexSGIImage>(); }, "sgitopnm"},
    {"icon.tsv", [] { return std::make_unique<TvexICONImage>(); }, nullptr},
};

struct Row {
  std::string path, digest, bound;
  int code = 0;
};

fs::path manifest_path(const char* name) {
  return fs::path(PARVULA_SOURCE_DIR) / "tests" / "manifests" / name;
}

std::vector<Row> read_manifest(const fs::path& file) {
  std::vector<Row> rows;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ss(line);
    Row r;
    std::string code;
    std::getline(ss, r.path, '\t');
    std::getline(ss, code, '\t');
    std::getline(ss, r.digest, '\t');
    std::getline(ss, r.bound, '\t');
    r.code = std::atoi(code.c_str());
    rows.push_back(r);
  }
  return rows;
}

std::string describe(const PixelDiff& d) {
  char b[96];
  std::snprintf(b, sizeof b, "%lld pixels differ, first at (%d,%d) ours %06x peer %06x",
                static_cast<long long>(d.count), d.first_x, d.first_y, d.ours, d.peers);
  return b;
}

void expect_same_picture(TvexImage& image, const PeerImage& peer, int bound) {
  ASSERT_TRUE(peer.ok) << peer.error;
  ASSERT_EQ(image.Width(), peer.width);
  ASSERT_EQ(std::abs(image.Height()), peer.height);
  const PixelDiff d = compare_rgb(image_rgb(image), peer);
  EXPECT_LE(d.max, bound) << describe(d);
}

} // namespace

TEST(SmallFormatsPeer, CorpusFilesGiveTheirCodesDigestsAndThePeersPixels) {
  const bool update = std::getenv("PARVULA_MANIFEST_UPDATE") != nullptr;
  for (const Format& format : kFormats) {
    SCOPED_TRACE(format.manifest);
    std::vector<Row> rows = read_manifest(manifest_path(format.manifest));
    ASSERT_FALSE(rows.empty());
    std::vector<fs::path> files;
    for (const Row& r : rows) files.push_back(corpus_dir() / r.path);
    const auto pillow = peer_available() ? peer_decode(files) : std::vector<PeerImage>{};
    const auto netpbm = netpbm_available() && format.netpbm && peer_available()
                            ? netpbm_decode(files, format.netpbm)
                            : std::vector<PeerImage>{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
      Row& row = rows[i];
      SCOPED_TRACE(row.path);
      auto reader = format.make();
      TvexImage image;
      const DibHandle dib = reader->LoadFromFile(files[i].string());
      if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
      const std::string digest = vex::platform::is_null(dib) ? "-" : pixel_digest(image);
      if (update) {
        row.code = reader->GetError();
        row.digest = digest;
        continue;
      }
      EXPECT_EQ(int{reader->GetError()}, row.code) << vexErrorMessage(reader->GetError());
      EXPECT_EQ(digest, row.digest);
      if (row.bound != "-" && !pillow.empty())
        expect_same_picture(image, pillow[i], std::atoi(row.bound.c_str()));
      // netpbm refuses some headers other readers take (CR LF line ends).
      if (!netpbm.empty() && netpbm[i].ok && row.code == EC_OK)
        expect_same_picture(image, netpbm[i], 0);
    }
    if (update) {
      std::ofstream out(manifest_path(format.manifest));
      for (const Row& r : rows)
        out << r.path << '\t' << r.code << '\t' << r.digest << '\t' << r.bound << '\n';
    }
  }
}

TEST(SmallFormatsPeer, FilesWeWriteOpenInPillowAndNetpbmWithOurPixels) {
  if (!peer_available() || !netpbm_available()) GTEST_SKIP() << "Pillow or netpbm missing";
  struct Case {
    TvexFileFormat format;
    TvexCompression compression;
    int bpp;
    bool white_first; // grey palette running from white to black
    int w, h;
  };
  const Case cases[] = {
      {FF_PBM, CP_PBM_ASCII, 1, false, 75, 9},  {FF_PBM, CP_PBM_BINARY, 1, true, 77, 5},
      {FF_PGM, CP_PGM_ASCII, 8, false, 41, 7},  {FF_PGM, CP_NOCOMP, 8, true, 33, 6},
      {FF_PPM, CP_PPM_ASCII, 24, false, 23, 5}, {FF_PPM, CP_PPM_BINARY, 24, false, 31, 4},
      {FF_SGI, CP_NOCOMP, 8, true, 29, 6},      {FF_SGI, CP_SGI_RLE, 8, false, 300, 5},
      {FF_SGI, CP_NOCOMP, 24, false, 27, 7},    {FF_SGI, CP_SGI_RLE, 24, false, 333, 4},
      {FF_SGI, CP_NOCOMP, 32, false, 21, 3},    {FF_SGI, CP_SGI_RLE, 32, false, 130, 3},
  };
  const fs::path dir = scratch_dir("small_formats_peer_write");
  std::vector<fs::path> files;
  std::vector<std::unique_ptr<TvexImage>> images;
  for (const Case& c : cases) {
    auto image = std::make_unique<TvexImage>();
    make_random_image(*image, c.w, c.h, c.bpp, static_cast<std::uint32_t>(files.size() + 7));
    if (c.bpp <= 8) {
      TvexImage::LogPalette grey;
      const int n = 1 << c.bpp;
      grey.palNumEntries = static_cast<std::uint16_t>(n);
      for (int i = 0; i < n; ++i) {
        const auto v = static_cast<std::uint8_t>((c.white_first ? n - 1 - i : i) * 255 / (n - 1));
        grey.palPalEntry[i] = {v, v, v, 0};
      }
      image->SetPaletteEntries(&grey);
    }
    // Runs for the run-length coder.
    for (int y = 0; y < c.h; ++y)
      std::memset(image->ScanLine(y), y * 40, static_cast<std::size_t>(image->LineWidth() / 3));
    const fs::path file = dir / ("case" + std::to_string(files.size()));
    auto writer = vexMakeFormat(c.format, ImageFileManager());
    writer->SetCompression(c.compression);
    writer->SaveToFile(file.string(), image->GetDibHandle());
    ASSERT_EQ(writer->GetError(), EC_OK) << file;
    files.push_back(file);
    images.push_back(std::move(image));
  }
  const auto pillow = peer_decode(files);
  std::vector<PeerImage> netpbm;
  for (std::size_t i = 0; i < files.size(); ++i)
    netpbm.push_back(
        netpbm_decode({files[i]}, cases[i].format == FF_SGI ? "sgitopnm" : "pamtopnm").at(0));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    expect_same_picture(*images[i], pillow.at(i), 0);
    expect_same_picture(*images[i], netpbm[i], 0);
  }
}
