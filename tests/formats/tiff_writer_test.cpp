// TIFF writing checked against the peers: every depth with every coding that
// suits it decodes to our pixels in our reader, in Pillow and in libtiff,
// whose only complaints are the three the directory layout makes on purpose;
// fax pages equal what libtiff codes of the same picture; appended pages are
// listed with their page numbers, in either byte order.
#include "peer.h"
#include "test_support.h"
#include "vexImageFile.h"

#include "platform/dib_section.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;
namespace pf = vex::platform;

namespace {

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// libtiff's complaints other than the two the layout makes on purpose
// (tags out of order, texts without NUL).
std::string unexpected_warnings(const fs::path& file) {
  return run("tiffinfo -D '" + file.string() +
             "' 2>&1 >/dev/null | grep -v -e 'not sorted in ascending' -e "
             "'does not end in null byte'");
}

void opaque(TvexImage& image) {
  pf::DibSection s;
  ASSERT_TRUE(pf::GetDIBSection(image.GetDibHandle(), &s));
  auto* bits = static_cast<std::uint8_t*>(s.bmBits);
  for (std::int64_t i = 3; i < std::int64_t{s.bmWidthBytes} * s.bmHeight; i += 4) bits[i] = 255;
}

void black_first(TvexImage& image) {
  TvexImage::LogPalette pal;
  pal.palNumEntries = 2;
  pal.palPalEntry[0] = {0, 0, 0, 0};
  pal.palPalEntry[1] = {255, 255, 255, 0};
  image.SetPaletteEntries(&pal);
}

std::vector<std::uint8_t> read_back(const fs::path& file, int index = 0) {
  TvexTIFFImage reader;
  reader.SetImageIndex(index);
  TvexImage image;
  image.SetDibHandle(reader.LoadFromFile(file.string()));
  EXPECT_EQ(reader.GetError(), EC_OK) << file << " page " << index;
  return image_rgb(image);
}

struct Case {
  int bits;
  std::vector<int> codings;
  bool white_is_zero = true; // bilevel black-first pictures stored inverted
};

} // namespace

TEST(TiffWrite, PeersDecodeEveryDepthAndCoding) {
  const Case cases[] = {{1, {0, 13, 14, 16, 17, 18}},
                        {1, {0, 13, 14, 16, 17, 18}, false},
                        {4, {0, 13}},
                        {8, {0, 13}},
                        {16, {0, 13}},
                        {24, {0, 13}},
                        {32, {0, 13}}};
  const fs::path dir = scratch_dir("tiff_write");
  const bool libtiff = have("tiffinfo") && have("tiff2rgba") && have("tiffcp");
  std::vector<fs::path> files, peers;
  std::vector<std::vector<std::uint8_t>> expected;
  std::vector<int> depths, peer_count;
  for (const Case& c : cases) {
    for (int coding : c.codings) {
      for (const auto& [w, h] : {std::pair{37, 41}, std::pair{1, 1}, std::pair{130, 17}}) {
        TvexImage image;
        make_runny_image(image, w, h, c.bits, static_cast<std::uint32_t>(c.bits * 100 + w));
        if (c.bits == 32) opaque(image); // libtiff hands back premultiplied colours
        if (c.bits == 1) black_first(image);
        const std::string before = pixel_digest(image);
        char name[48];
        std::snprintf(name, sizeof name, "d%d%s_c%d_%d.tif", c.bits, c.white_is_zero ? "" : "b",
                      coding, w);
        const fs::path file = dir / name;
        TvexTIFFImage writer;
        writer.SetCompression(static_cast<TvexCompression>(coding));
        writer.SetWhiteIsZero(c.white_is_zero);
        writer.SaveToFile(file.string(), image.GetDibHandle());
        ASSERT_EQ(writer.GetError(), EC_OK) << file;
        EXPECT_EQ(pixel_digest(image), before) << file << ": the caller's bitmap changed";
        const std::vector<std::uint8_t> rgb = image_rgb(image);
        if (c.bits != 16) {
          EXPECT_EQ(read_back(file), rgb) << file;
        }
        files.push_back(file);
        expected.push_back(rgb);
        depths.push_back(c.bits);
        peer_count.push_back(coding >= 16 ? 2 : 1);
        if (!libtiff) continue;
        EXPECT_EQ(unexpected_warnings(file), "") << file;
        const fs::path decoded = dir / ("rgba_" + file.filename().string());
        EXPECT_EQ(run("tiff2rgba '" + file.string() + "' '" + decoded.string() +
                      "' 2>&1 | grep -v " + "-e ascending -e 'null byte'"),
                  "");
        peers.push_back(decoded);
        if (coding >= 16) {
          // The same picture coded by libtiff from our uncompressed file.
          const char* option = coding == 16 ? "g3" : coding == 17 ? "g3:2d" : "g4";
          const std::string tail = std::to_string(w) + ".tif";
          const fs::path plain = dir / ((c.white_is_zero ? "d1_c0_" : "d1b_c0_") + tail);
          const fs::path theirs =
              dir / ("peer_" + std::string(option) + (c.white_is_zero ? "_" : "_b") + tail);
          run("tiffcp -c " + std::string(option) + " '" + plain.string() + "' '" + theirs.string() +
              "' 2>/dev/null");
          peers.push_back(theirs);
        }
      }
    }
  }
  if (!peer_available()) GTEST_SKIP() << "Pillow not available";
  const std::vector<PeerImage> pillow = peer_decode(files);
  ASSERT_EQ(pillow.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    ASSERT_TRUE(pillow[i].ok) << files[i] << ": " << pillow[i].error;
    EXPECT_EQ(compare_rgb(expected[i], pillow[i], depths[i] == 16 ? 5 : 8).count, 0) << files[i];
  }
  if (!libtiff) return;
  const std::vector<PeerImage> theirs = peer_decode(peers);
  ASSERT_EQ(theirs.size(), peers.size());
  // Peers follow the order of the files: a decode, and after fax pages the
  // page libtiff coded.
  std::size_t k = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (int n = peer_count[i]; n > 0; --n, ++k) {
      ASSERT_TRUE(theirs[k].ok) << peers[k] << ": " << theirs[k].error;
      EXPECT_EQ(compare_rgb(expected[i], theirs[k], depths[i] == 16 ? 5 : 8).count, 0) << peers[k];
    }
  }
}

TEST(TiffWrite, AppendsPagesInEitherByteOrderAndRefusesOtherFiles) {
  if (!have("tiffinfo") || !have("tiffcp") || !peer_available()) GTEST_SKIP() << "no peers";
  const fs::path dir = scratch_dir("tiff_append");
  struct Page {
    int bits, coding;
  };
  const Page pages[] = {{1, 0}, {24, 13}, {1, 18}, {8, 0}, {1, 17}};
  for (bool big : {false, true}) {
    const fs::path file = dir / (big ? "big.tif" : "little.tif");
    std::vector<std::vector<std::uint8_t>> rgb;
    for (std::size_t i = 0; i < std::size(pages); ++i) {
      TvexImage image;
      make_runny_image(image, 29, 19 + int(i), pages[i].bits, std::uint32_t(i));
      rgb.push_back(image_rgb(image));
      TvexTIFFImage writer;
      writer.SetCompression(static_cast<TvexCompression>(pages[i].coding));
      if (i == 0) {
        writer.SaveToFile(file.string(), image.GetDibHandle());
        if (big)
          run("tiffcp -B '" + file.string() + "' '" + file.string() + ".mm' && mv '" +
              file.string() + ".mm' '" + file.string() + "'");
      } else {
        writer.AppendImage(file.string(), image.GetDibHandle());
      }
      ASSERT_EQ(writer.GetError(), EC_OK) << file << " page " << i;
    }
    EXPECT_EQ(unexpected_warnings(file), "") << file;
    const std::string listed =
        run("tiffinfo '" + file.string() + "' 2>/dev/null | grep -c '=== TIFF directory'");
    EXPECT_EQ(listed, std::to_string(std::size(pages)) + "\n") << file;
    // Page numbers as Pillow reads them (libtiff's big-endian copy of the
    // first page keeps its number).
    const std::string numbers =
        run("/usr/bin/python3 -c \"from PIL import Image, ImageSequence\nfor f in "
            "ImageSequence.Iterator(Image.open('" +
            file.string() + "')): print(f.tag_v2.get(297, (-1,))[0], end=' ')\"");
    EXPECT_EQ(numbers, "0 1 2 3 4 ") << file;
    // And as libtiff lists them.
    const std::string pages_listed =
        run("tiffinfo '" + file.string() + "' 2>/dev/null | grep -c 'Page Number: [1-4]-0'");
    EXPECT_EQ(pages_listed, "4\n") << file;
    for (std::size_t i = 0; i < std::size(pages); ++i)
      EXPECT_EQ(read_back(file, int(i)), rgb[i]) << file << " page " << i;
  }

  // A refused append writes nothing: to a file that is not TIFF, or with a
  // coding the picture cannot take.
  const fs::path other = dir / "other.bin";
  write_file(other, std::vector<std::uint8_t>(100, 0x42));
  const fs::path tiff = dir / "little.tif";
  for (const auto& [file, coding, code] :
       {std::tuple{other, CP_NOCOMP, EC_BADFORMAT}, std::tuple{tiff, CP_CCITTG4, EC_BADCOMPRESS},
        std::tuple{tiff, CP_LZW, EC_BADCOMPRESS}}) {
    const std::vector<std::uint8_t> bytes = read_file(file);
    TvexImage image;
    make_runny_image(image, 5, 5, 8, 1);
    TvexTIFFImage writer;
    writer.SetCompression(coding);
    writer.AppendImage(file.string(), image.GetDibHandle());
    EXPECT_EQ(writer.GetError(), code) << file;
    EXPECT_EQ(read_file(file), bytes) << file;
  }
}

TEST(TiffWrite, TextsAndPageReadBack) {
  const fs::path file = scratch_dir("tiff_texts") / "texts.tif";
  TvexImage image;
  make_runny_image(image, 9, 7, 8, 3);
  TvexImageInfo info;
  info.SetMake("abc"); // short enough to sit in its entry
  info.SetModel("abcd");
  info.SetArtist("A longer text, kept without a terminating NUL");
  TvexTIFFImage writer;
  writer.SetImageInfo(&info);
  writer.SaveToFile(file.string(), image.GetDibHandle());
  ASSERT_EQ(writer.GetError(), EC_OK);
  TvexImageInfo back;
  TvexTIFFImage reader;
  reader.SetImageInfo(&back);
  TvexImage read;
  read.SetDibHandle(reader.LoadFromFile(file.string()));
  ASSERT_EQ(reader.GetError(), EC_OK);
  EXPECT_EQ(back.Make(), "abc");
  EXPECT_EQ(back.Model(), "abcd");
  EXPECT_EQ(back.Artist(), info.Artist());
  EXPECT_EQ(back.PageNumber(), 0);
  EXPECT_EQ(pixel_digest(read), pixel_digest(image));
  if (have("tiffinfo")) {
    EXPECT_NE(run("tiffinfo '" + file.string() + "' 2>/dev/null").find("Make: abc\n"),
              std::string::npos);
  }
}
