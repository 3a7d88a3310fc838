// PackBits: the packets of the documented rows, round trips of every depth
// in strips, and hostile packets.
#include "vexImageCompress.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes compress_rows(TvexImage& image, int rows_per_call) {
  TvexImagePackBits codec;
  codec.SetImage(image.GetDibHandle());
  Bytes out;
  for (int done = 0; done < std::abs(image.Height()); done += rows_per_call) {
    const std::uint8_t* data;
    std::int32_t count, raw = rows_per_call * image.LineWidth();
    EXPECT_EQ(codec.Compress(data, count, raw), EC_OK);
    out.insert(out.end(), data, data + count);
  }
  return out;
}

Bytes repeat(std::uint8_t v, int n) {
  return Bytes(static_cast<std::size_t>(n), v);
}

} // namespace

TEST(PackBits, KnownRows) {
  struct Case {
    const char* what;
    Bytes row, packets;
  };
  const std::uint8_t A = 10, B = 11, C = 12, D = 13;
  const Case cases[] = {
      {"200 equal bytes: 100 + 100", repeat(7, 200), {0x9D, 7, 0x9D, 7}},
      {"300 equal bytes: 128 + 86 + 86", repeat(7, 300), {0x81, 7, 0xAB, 7, 0xAB, 7}},
      {"literal, run of three, literal", {A, B, C, C, C, D}, {0x01, A, B, 0xFE, C, 0x00, D}},
      {"a pair stays in its literal", {A, A, B}, {0x02, A, A, B}},
      {"one byte", {A}, {0x00, A}},
  };
  for (const Case& c : cases) {
    TvexImage image;
    make_random_image(image, static_cast<int>(c.row.size()), 1, 8, 1);
    std::memcpy(image.ScanLine(0), c.row.data(), c.row.size());
    EXPECT_EQ(compress_rows(image, 1), c.packets) << c.what;
  }
}

TEST(PackBits, RoundTripsEveryDepthInStrips) {
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    for (int rows : {1, 3, 40}) {
      TvexImage image;
      make_random_image(image, 37, 11, bpp, static_cast<std::uint32_t>(bpp * 10 + rows));
      // Runs too: every other row repeats its first byte.
      for (int y = 0; y < 11; y += 2)
        std::memset(image.ScanLine(y) + 1, image.ScanLine(y)[0],
                    static_cast<std::size_t>(image.LineWidth() - 1));
      TvexImagePackBits writer;
      writer.SetImage(image.GetDibHandle());
      TvexImage back;
      make_random_image(back, 37, 11, bpp, 0);
      TvexImagePackBits reader;
      reader.SetImage(back.GetDibHandle());
      for (int done = 0; done < 11; done += rows) {
        const std::uint8_t* data;
        std::int32_t count, raw = rows * image.LineWidth();
        ASSERT_EQ(writer.Compress(data, count, raw), EC_OK);
        std::int32_t length = count, produced;
        ASSERT_EQ(reader.Decompress(data, length, produced), EC_OK);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(produced, std::min(rows, 11 - done) * image.LineWidth());
      }
      const int row_bytes = writer.GetBytesPerRow();
      for (int y = 0; y < 11; ++y)
        ASSERT_EQ(0, std::memcmp(image.ScanLine(y), back.ScanLine(y),
                                 static_cast<std::size_t>(row_bytes)))
            << bpp << " bits, " << rows << " rows per strip, row " << y;
    }
  }
}

TEST(PackBits, FileRowsAreRedGreenBlue) {
  TvexImage image;
  make_random_image(image, 2, 1, 24, 1);
  const std::uint8_t bgr[6] = {1, 2, 3, 4, 5, 6};
  std::memcpy(image.ScanLine(0), bgr, 6);
  EXPECT_EQ(compress_rows(image, 1), (Bytes{0x05, 3, 2, 1, 6, 5, 4}));
  // And back: the DIB keeps blue first.
  std::memset(image.ScanLine(0), 0, 6);
  TvexImagePackBits codec;
  codec.SetImage(image.GetDibHandle());
  const Bytes data = {0x05, 3, 2, 1, 6, 5, 4};
  std::int32_t length = 7, produced;
  ASSERT_EQ(codec.Decompress(data.data(), length, produced), EC_OK);
  EXPECT_EQ(0, std::memcmp(image.ScanLine(0), bgr, 6));
}

TEST(PackBits, HostilePackets) {
  struct Case {
    const char* what;
    Bytes data;
    Bytes row0, row1; // first 6 bytes of the top two rows afterwards
    std::int32_t unused;
  };
  const Case cases[] = {
      {"0x80 is skipped", {0x80, 0xFF, 9}, {9, 9, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0},
      {"run past the row ends the row",
       {0x80 + 1, 5, 0xFF, 6},
       {5, 5, 5, 5, 5, 5},
       {6, 6, 0, 0, 0, 0},
       0},
      {"literal cut by the input", {0x05, 1, 2}, {1, 2, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0},
      {"run without its value", {0xFE}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0},
      {"data past the image is left",
       {0x81, 1, 0x81, 2, 0x81, 3, 0x00, 4},
       {1, 1, 1, 1, 1, 1},
       {2, 2, 2, 2, 2, 2},
       4},
  };
  for (const Case& c : cases) {
    TvexImage image;
    make_random_image(image, 6, 2, 8, 1);
    std::memset(image.Bits(), 0, static_cast<std::size_t>(image.LineWidth()) * 2);
    TvexImagePackBits codec;
    codec.SetImage(image.GetDibHandle());
    std::int32_t length = static_cast<std::int32_t>(c.data.size()), produced;
    EXPECT_EQ(codec.Decompress(c.data.data(), length, produced), EC_OK) << c.what;
    EXPECT_EQ(Bytes(image.ScanLine(0), image.ScanLine(0) + 6), c.row0) << c.what;
    EXPECT_EQ(Bytes(image.ScanLine(1), image.ScanLine(1) + 6), c.row1) << c.what;
    EXPECT_EQ(length, c.unused) << c.what;
  }
}
