// The BMP run-length codecs: decoding of every escape, hostile data that
// tries to write outside the bitmap, the line planner and the encoders.
#include "vexImageCompress.h"

#include "platform/dib_section.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace pf = vex::platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

class Dib {
public:
  Dib(int w, int h, int bpp) {
    pf::BitmapInfo info{};
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biBitCount = static_cast<std::uint16_t>(bpp);
    void* bits = nullptr;
    handle = pf::CreateDIBSection(&info, &bits);
    this->bits = static_cast<std::uint8_t*>(bits);
    line = static_cast<int>(pf::dib_line_width(w, bpp));
    size = line * h;
  }
  ~Dib() { pf::DeleteDIBSection(handle); }
  Bytes row(int y, int n) const { return Bytes(bits + y * line, bits + y * line + n); }
  Bytes all() const { return Bytes(bits, bits + size); }

  DibHandle handle;
  std::uint8_t* bits = nullptr;
  int line = 0;
  int size = 0;
};

// Runs the decoder over `data` in one call, as the BMP reader does.
template <class Codec>
TvexErrorCode decode(Dib& dib, const Bytes& data, std::int32_t* left = nullptr) {
  Codec codec;
  codec.SetImage(dib.handle);
  std::int32_t length = static_cast<std::int32_t>(data.size()), produced = 0;
  const TvexErrorCode e = codec.Decompress(data.data(), length, produced);
  if (left) *left = length;
  return e;
}

template <class Codec> Bytes encode(Dib& dib) {
  Codec codec;
  codec.SetImage(dib.handle);
  const std::uint8_t* data = nullptr;
  std::int32_t count = 0, raw = 0;
  EXPECT_EQ(codec.Compress(data, count, raw), EC_OK);
  EXPECT_EQ(raw, dib.size);
  return Bytes(data, data + count);
}

std::uint8_t nib(const Dib& d, int y, int x) {
  const std::uint8_t b = d.bits[y * d.line + x / 2];
  return (x & 1) ? (b & 0x0F) : (b >> 4);
}

} // namespace

TEST(Rle8Decode, EscapesAndRuns) {
  struct Case {
    const char* name;
    int w, h;
    Bytes data;
    Bytes expected; // the whole pixel memory, rows bottom-up
  };
  const Case cases[] = {
      {"run then end of row and bitmap", 4, 2, {3, 5, 0, 0, 0, 1}, {5, 5, 5, 0, 0, 0, 0, 0}},
      {"delta right 2 up 1", 4, 2, {1, 9, 0, 2, 2, 1, 1, 7, 0, 1}, {9, 0, 0, 0, 0, 0, 0, 7}},
      {"absolute with pad byte", 4, 2, {0, 3, 1, 2, 3, 0, 1, 4, 0, 1}, {1, 2, 3, 4, 0, 0, 0, 0}},
      {"absolute of even length", 4, 2, {0, 4, 1, 2, 3, 4, 2, 8}, {1, 2, 3, 4, 8, 8, 0, 0}},
      {"run crosses into the next row", 4, 2, {6, 3}, {3, 3, 3, 3, 3, 3, 0, 0}},
      {"run past the end stops at the last byte", 4, 2, {255, 1, 255, 2}, {1, 1, 1, 1, 1, 1, 1, 1}},
      {"data without end of bitmap", 4, 2, {2, 6}, {6, 6, 0, 0, 0, 0, 0, 0}},
      {"delta cut short", 4, 2, {1, 1, 0, 2, 5}, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"absolute cut short", 4, 2, {0, 9, 1, 2}, {1, 2, 0, 0, 0, 0, 0, 0}},
      {"delta beyond the image ends decoding", 4, 2, {0, 2, 0, 200, 5, 5}, Bytes(8, 0)},
      {"odd trailing byte ignored", 4, 2, {2, 4, 0}, {4, 4, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Dib dib(c.w, c.h, 8);
    std::memset(dib.bits, 0xEE, static_cast<std::size_t>(dib.size)); // cleared by the decoder
    EXPECT_EQ(decode<TvexImageRLE8>(dib, c.data), EC_OK) << c.name;
    EXPECT_EQ(dib.all(), c.expected) << c.name;
  }
}

TEST(Rle8Decode, AbsoluteModeConsumesThePadByte) {
  Dib dib(8, 1, 8);
  std::int32_t left = -1;
  // 00 03 01 02 03 00, then a pair 02 09: the pad must not start the pair.
  decode<TvexImageRLE8>(dib, {0, 3, 1, 2, 3, 0, 2, 9, 0, 1, 0xAA, 0xBB}, &left);
  EXPECT_EQ(dib.row(0, 8), (Bytes{1, 2, 3, 9, 9, 0, 0, 0}));
  EXPECT_EQ(left, 2); // the bytes after end of bitmap are left over
}

TEST(Rle4Decode, EscapesAndRuns) {
  struct Case {
    const char* name;
    int w, h;
    Bytes data;
    std::vector<std::vector<int>> rows; // pixels of each memory row
  };
  const Case cases[] = {
      {"run alternates nibbles", 6, 1, {5, 0x12}, {{1, 2, 1, 2, 1, 0}}},
      {"absolute of 3 has no pad", 6, 1, {0, 3, 0x12, 0x30, 2, 0x44}, {{1, 2, 3, 4, 4, 0}}},
      {"absolute of 5 is padded",
       8,
       1,
       {0, 5, 0x12, 0x34, 0x50, 0, 2, 0x77},
       {{1, 2, 3, 4, 5, 7, 7, 0}}},
      {"end of row and delta",
       4,
       3,
       {1, 0x90, 0, 0, 0, 2, 1, 1, 1, 0x80},
       {{9, 0, 0, 0}, {0, 0, 0, 0}, {0, 8, 0, 0}}},
      {"run crosses rows",
       8,
       2,
       {10, 0xAB},
       {{10, 11, 10, 11, 10, 11, 10, 11}, {10, 11, 0, 0, 0, 0, 0, 0}}},
  };
  for (const Case& c : cases) {
    Dib dib(c.w, c.h, 4);
    EXPECT_EQ(decode<TvexImageRLE4>(dib, c.data), EC_OK) << c.name;
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x)
        EXPECT_EQ(nib(dib, y, x), c.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)])
            << c.name << " row " << y << " x " << x;
  }
}

TEST(RleDecode, HostileDataNeverWritesOutsideTheBitmap) {
  // Random pairs with many escapes, on bitmaps whose memory ends exactly at
  // the last row (width a multiple of 4 bytes) so that any stray write is
  // caught by the sanitizers; the decoders must also never fail.
  testing_support::Rng rng(7);
  for (int round = 0; round < 400; ++round) {
    Bytes data(static_cast<std::size_t>(rng.uniform(0, 300)));
    for (auto& b : data) {
      const int r = rng.uniform(0, 9);
      b = static_cast<std::uint8_t>(r < 4 ? rng.uniform(0, 3) : rng.uniform(0, 255));
    }
    const int w = rng.uniform(1, 24), h = rng.uniform(1, 6);
    Dib d8(w, h, 8), d4(w, h, 4);
    EXPECT_EQ(decode<TvexImageRLE8>(d8, data), EC_OK);
    EXPECT_EQ(decode<TvexImageRLE4>(d4, data), EC_OK);
  }
}

TEST(RleDecode, NoBitmapIsADecompressionError) {
  TvexImageRLE8 codec;
  codec.SetImage(DibHandle::Null);
  const Bytes data = {1, 1};
  std::int32_t length = 2, produced = 0;
  EXPECT_EQ(codec.Decompress(data.data(), length, produced), EC_DECOMPRESSION);
}

TEST(RleCompress, KnownRows) {
  struct Case {
    const char* name;
    Bytes row;
    Bytes expected; // without the closing end of bitmap
  };
  const Case cases[] = {
      {"run of 5 then literal of 3", {7, 7, 7, 7, 7, 1, 2, 3}, {5, 7, 0, 3, 1, 2, 3, 0}},
      {"two different pixels: runs of one", {4, 9}, {1, 4, 1, 9}},
      {"short literal borrows from the following run",
       {1, 5, 5, 5, 5, 5, 5, 5, 5},
       {0, 3, 1, 5, 5, 0, 6, 5}},
      {"short literal absorbed by a short run",
       {1, 5, 5, 5, 5, 5, 5},
       {0, 7, 1, 5, 5, 5, 5, 5, 5, 0}},
      {"short literal borrows from the preceding run",
       {5, 5, 5, 5, 5, 5, 5, 5, 1},
       {6, 5, 0, 3, 5, 5, 1, 0}},
      {"repeats shorter than four stay literal",
       {1, 1, 2, 2, 3, 3, 4},
       {0, 7, 1, 1, 2, 2, 3, 3, 4, 0}},
      {"all equal", {8, 8, 8, 8}, {4, 8}},
      {"single pixel", {6}, {1, 6}},
  };
  for (const Case& c : cases) {
    const int w = static_cast<int>(c.row.size());
    Dib dib(w, 1, 8);
    std::memcpy(dib.bits, c.row.data(), c.row.size());
    Bytes expected = c.expected;
    expected.insert(expected.end(), {0, 1});
    EXPECT_EQ(encode<TvexImageRLE8>(dib), expected) << c.name;
  }
}

TEST(RleCompress, LongRunsAreSplit) {
  struct Case {
    int length;
    std::vector<int> pieces;
  };
  for (const Case& c : {Case{600, {255, 172, 173}}, Case{255, {255}}, Case{256, {128, 128}},
                        Case{510, {255, 255}}, Case{1000, {255, 255, 245, 245}}}) {
    Dib dib(c.length, 1, 8);
    std::memset(dib.bits, 0x42, static_cast<std::size_t>(c.length));
    Bytes expected;
    for (int p : c.pieces) expected.insert(expected.end(), {static_cast<std::uint8_t>(p), 0x42});
    expected.insert(expected.end(), {0, 1});
    EXPECT_EQ(encode<TvexImageRLE8>(dib), expected) << c.length;
  }
}

TEST(RleCompress, RowsEndWithEndOfRowAndTheLastWithEndOfBitmap) {
  Dib dib(2, 3, 8);
  for (int y = 0; y < 3; ++y) std::memset(dib.bits + y * dib.line, y + 1, 2);
  // Two equal pixels are too short for a run and too short for a literal.
  EXPECT_EQ(encode<TvexImageRLE8>(dib),
            (Bytes{1, 1, 1, 1, 0, 0, 1, 2, 1, 2, 0, 0, 1, 3, 1, 3, 0, 1}));
}

TEST(RleCompress, Rle4CountsPixels) {
  struct Case {
    const char* name;
    int width;
    Bytes row_bytes;
    Bytes expected;
  };
  const Case cases[] = {
      {"run of bytes", 8, {0x12, 0x12, 0x12, 0x12}, {8, 0x12}},
      {"one-byte literal becomes a run", 10, {0x11, 0x11, 0x11, 0x11, 0x34}, {8, 0x11, 2, 0x34}},
      {"literal with pad", 6, {0x12, 0x34, 0x56}, {0, 6, 0x12, 0x34, 0x56, 0}},
      // Odd widths: no count reaches into the unused last nibble.
      {"odd width run", 7, {0x12, 0x12, 0x12, 0x12}, {7, 0x12}},
      {"odd width literal ends in a one-pixel run",
       5,
       {0x11, 0x11, 0x10},
       {0, 4, 0x11, 0x11, 1, 0x10}},
      {"odd width run then last pixel", 9, {0x77, 0x77, 0x77, 0x77, 0x70}, {8, 0x77, 1, 0x70}},
      {"odd width long literal", 7, {0x12, 0x34, 0x56, 0x70}, {0, 6, 0x12, 0x34, 0x56, 0, 1, 0x70}},
      {"odd width single pixel", 1, {0x50}, {1, 0x50}},
  };
  for (const Case& c : cases) {
    Dib dib(c.width, 1, 4);
    std::memcpy(dib.bits, c.row_bytes.data(), c.row_bytes.size());
    Bytes expected = c.expected;
    expected.insert(expected.end(), {0, 1});
    EXPECT_EQ(encode<TvexImageRLE4>(dib), expected) << c.name;
  }
}

TEST(RleCompress, RoundTripsRandomImages) {
  testing_support::Rng rng(99);
  for (int round = 0; round < 120; ++round) {
    const int bpp = round % 2 ? 4 : 8;
    const int w = rng.uniform(1, 700), h = rng.uniform(1, 5);
    Dib src(w, h, bpp), dst(w, h, bpp);
    // Mixtures of runs, repeats and noise.
    for (int y = 0; y < h; ++y) {
      std::uint8_t* row = src.bits + y * src.line;
      const int bytes = (w * bpp + 7) / 8;
      for (int x = 0; x < bytes;) {
        const int kind = rng.uniform(0, 2), n = rng.uniform(1, 300);
        const auto v = static_cast<std::uint8_t>(rng.next());
        for (int i = 0; i < n && x < bytes; ++i, ++x)
          row[x] =
              kind == 0 ? v : static_cast<std::uint8_t>(kind == 1 ? rng.uniform(0, 2) : rng.next());
      }
      if (bpp == 4 && (w & 1)) row[w / 2] &= 0xF0; // the unused nibble of the last byte
    }
    const Bytes coded = bpp == 8 ? encode<TvexImageRLE8>(src) : encode<TvexImageRLE4>(src);
    EXPECT_EQ(bpp == 8 ? decode<TvexImageRLE8>(dst, coded) : decode<TvexImageRLE4>(dst, coded),
              EC_OK);
    const int bytes = (w * bpp + 7) / 8;
    for (int y = 0; y < h; ++y) {
      Bytes a = src.row(y, bytes), b = dst.row(y, bytes);
      if (bpp == 4 && (w & 1)) b[static_cast<std::size_t>(w / 2)] &= 0xF0;
      ASSERT_EQ(a, b) << "round " << round << " bpp " << bpp << " width " << w << " row " << y;
    }
  }
}

TEST(RleCompress, TopDownStartsAtTheLastMemoryRow) {
  Dib dib(4, 2, 8);
  std::memset(dib.bits, 1, 4);
  std::memset(dib.bits + 4, 2, 4);
  TvexImageRLE8 codec;
  codec.SetTopDown(true);
  codec.SetImage(dib.handle);
  EXPECT_EQ(codec.GetLine(), 1);
  EXPECT_EQ(codec.GetLineOffset(), 4);
  const std::uint8_t* data = nullptr;
  std::int32_t count = 0, raw = 0;
  ASSERT_EQ(codec.Compress(data, count, raw), EC_OK);
  EXPECT_EQ(Bytes(data, data + count), (Bytes{4, 2, 0, 0, 4, 1, 0, 1}));
}

TEST(RleCompress, BufferGrowth) {
  Dib dib(64, 64, 8); // image 4096 bytes, line 64
  TvexImageRLE8 codec;
  codec.SetImage(dib.handle);
  codec.GrowBuffer(0);
  EXPECT_EQ(codec.GetBufferIncrement(), 256); // max(4096/16, 2*64, 0)
  EXPECT_EQ(codec.GetBufferSize(), 512);
  codec.GrowBuffer(1000);
  EXPECT_EQ(codec.GetBufferIncrement(), 1000);
  EXPECT_EQ(codec.GetBufferSize(), 1512);
  codec.Clear();
  EXPECT_EQ(codec.GetBufferSize(), 0);
}
