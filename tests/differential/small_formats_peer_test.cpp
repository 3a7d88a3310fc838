// PBM/PGM/PPM and SGI against netpbm (the manifests check codes, digests and
// Pillow's pixels): netpbm reads the same pixels as we do from every corpus
// file we load, and files we write open in Pillow and netpbm with our pixels.
#include "vexImageFile.h"

#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

void expect_same_picture(TvexImage& image, const PeerImage& peer) {
  ASSERT_TRUE(peer.ok) << peer.error;
  ASSERT_EQ(image.Width(), peer.width);
  ASSERT_EQ(std::abs(image.Height()), peer.height);
  const PixelDiff d = compare_rgb(image_rgb(image), peer);
  EXPECT_EQ(d.count, 0) << "first at (" << d.first_x << "," << d.first_y << ") ours " << std::hex
                        << d.ours << " peer " << d.peers;
}

} // namespace

TEST(SmallFormatsPeer, NetpbmReadsTheCorpusFilesWeLoadAsWeDo) {
  if (!peer_available() || !netpbm_available()) GTEST_SKIP() << "Pillow or netpbm missing";
  struct Format {
    const char* manifest;
    TvexFileFormat format;
    // Samples above 255 stay 16-bit in Pillow; netpbm scales them as we do.
    const char* netpbm;
  };
  for (const Format f :
       {Format{"pnm.tsv", FF_PPM, "pamdepth 255"}, Format{"sgi.tsv", FF_SGI, "sgitopnm"}}) {
    SCOPED_TRACE(f.manifest);
    std::ifstream in(fs::path(PARVULA_SOURCE_DIR) / "tests" / "manifests" / f.manifest);
    std::vector<fs::path> files;
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#' && line.find("\t0\t") != std::string::npos)
        files.push_back(corpus_dir() / line.substr(0, line.find('\t')));
    ASSERT_FALSE(files.empty());
    const auto netpbm = netpbm_decode(files, f.netpbm);
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE(files[i].string());
      // netpbm refuses some headers other readers take (CR LF line ends).
      if (!netpbm[i].ok) continue;
      auto reader = vexMakeFormat(f.format, ImageFileManager());
      TvexImage image;
      image.SetDibHandle(reader->LoadFromFile(files[i].string()));
      expect_same_picture(image, netpbm[i]);
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
    expect_same_picture(*images[i], pillow.at(i));
    expect_same_picture(*images[i], netpbm[i]);
  }
}
