// The fax codecs: code words of the documented edge cases, the checked-in
// tables against their generator, and the table-driven coders against the
// plain bit-by-bit reference on random pictures, damaged data and the
// corpus's fax strips.
#include "vexImageCompress.h"

#include "reference/fax_ref.h"
#include "test_support.h"
#include "tiff_strips.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using namespace testing_support;
using reference::BitImage;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kMH = reference::kModifiedHuffman;

std::unique_ptr<TvexImageModifiedHuffman> make_codec(int mode, bool reverse = false) {
  std::unique_ptr<TvexImageModifiedHuffman> c;
  if (mode == kMH) {
    c = std::make_unique<TvexImageModifiedHuffman>();
  } else {
    auto ccitt = std::make_unique<TvexImageCCITT>();
    ccitt->SetMode(static_cast<std::uint8_t>(mode));
    c = std::move(ccitt);
  }
  c->SetReverseBits(reverse);
  return c;
}

void new_picture(TvexImage& image, int width, int height) {
  image.Clear();
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetBitCount(1);
}

void load(TvexImage& image, const BitImage& b) {
  new_picture(image, b.width, b.height);
  for (int y = 0; y < b.height; ++y)
    std::memcpy(image.ScanLine(y), b.row(y), static_cast<std::size_t>(b.stride()));
}

BitImage bits_of(TvexImage& image) {
  BitImage b(image.Width(), std::abs(image.Height()));
  for (int y = 0; y < b.height; ++y) {
    std::memcpy(b.row(y), image.ScanLine(y), static_cast<std::size_t>(b.stride()));
    if (b.width % 8) b.row(y)[b.stride() - 1] &= static_cast<std::uint8_t>(0xFF00 >> (b.width % 8));
  }
  return b;
}

// The strip loop of a writer: `rows` rows per call.
std::vector<Bytes> encode(int mode, const BitImage& picture, int rows) {
  TvexImage image;
  load(image, picture);
  auto codec = make_codec(mode);
  codec->SetImage(image.GetDibHandle());
  std::vector<Bytes> strips;
  for (int done = 0; done < picture.height; done += rows) {
    const std::uint8_t* data;
    std::int32_t count, raw = rows * image.LineWidth();
    EXPECT_EQ(codec->Compress(data, count, raw), EC_OK);
    EXPECT_EQ(raw, std::min(rows, picture.height - done) * image.LineWidth());
    strips.emplace_back(data, data + count);
  }
  return strips;
}

struct Decoded {
  TvexErrorCode error = EC_OK;
  BitImage picture;
  std::int32_t unused = 0, produced = 0;
};

// The strip loop of a reader: stops at the first error.
Decoded decode(int mode, const std::vector<Bytes>& strips, int width, int height,
               bool reverse = false) {
  TvexImage image;
  new_picture(image, width, height);
  auto codec = make_codec(mode, reverse);
  codec->SetImage(image.GetDibHandle());
  Decoded d;
  for (const Bytes& s : strips) {
    std::int32_t length = static_cast<std::int32_t>(s.size()), produced = 0;
    d.error = codec->Decompress(s.data(), length, produced);
    d.unused = length;
    d.produced += produced;
    if (d.error != EC_OK) break;
  }
  d.picture = bits_of(image);
  return d;
}

std::string bit_string(const Bytes& b, std::size_t max_bits = 4096) {
  std::string s;
  for (std::size_t i = 0; i < b.size() * 8 && i < max_bits; ++i)
    s += static_cast<char>('0' + ((b[i / 8] >> (7 - i % 8)) & 1));
  return s;
}

// Rows of runs: long and short ones, rows that repeat the row above with
// edges moved a little (the two-dimensional codes' case), all-white and
// all-black rows, and runs past 2560.
BitImage fax_picture(int width, int height, std::uint32_t seed) {
  Rng rng(seed);
  BitImage b(width, height);
  for (int y = 0; y < height; ++y) {
    const int kind = rng.uniform(0, 9);
    if (y > 0 && kind < 5) {
      int prev = 0, x = 0;
      for (int p = 0; p <= width; ++p) {
        const int c = p < width ? b.pixel(y - 1, p) : 0;
        if (c != prev || p == width) {
          const int to = std::clamp(p + rng.uniform(-3, 3), x, width);
          if (prev)
            for (int i = x; i < to; ++i)
              b.row(y)[i >> 3] |= static_cast<std::uint8_t>(0x80 >> (i & 7));
          x = to;
          prev = c;
        }
      }
    } else if (kind == 5) {
      std::memset(b.row(y), rng.uniform(0, 1) ? 0xFF : 0, static_cast<std::size_t>(b.stride()));
    } else {
      int x = 0, colour = rng.uniform(0, 1);
      const int scale = kind == 6 ? 3000 : kind == 7 ? 200 : 12;
      while (x < width) {
        const int run = std::min(width - x, rng.uniform(1, scale));
        if (colour)
          for (int i = x; i < x + run; ++i)
            b.row(y)[i >> 3] |= static_cast<std::uint8_t>(0x80 >> (i & 7));
        x += run;
        colour ^= 1;
      }
    }
    if (width % 8) b.row(y)[b.stride() - 1] &= static_cast<std::uint8_t>(0xFF00 >> (width % 8));
  }
  return b;
}

void expect_same(const BitImage& a, const BitImage& b, const std::string& what) {
  ASSERT_EQ(a.height, b.height) << what;
  for (int y = 0; y < a.height; ++y)
    ASSERT_EQ(0, std::memcmp(a.row(y), b.row(y), static_cast<std::size_t>(a.stride())))
        << what << ", row " << y;
}

Bytes reversed(Bytes b) {
  for (auto& v : b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | ((v >> i) & 1) << (7 - i));
    v = r;
  }
  return b;
}

// Library and reference decoders on one strip, compared in everything they report.
void expect_decoders_agree(int mode, bool reverse, const Bytes& data, int width, int height,
                           const std::string& what) {
  const Decoded ours = decode(mode, {data}, width, height, reverse);
  BitImage ref(width, height);
  const auto r = reference::fax_decode(mode, reverse, data.data(), data.size(), ref);
  ASSERT_EQ(ours.error, r.error) << what;
  ASSERT_EQ(ours.unused, static_cast<std::int64_t>(data.size()) - r.bytes_used) << what;
  expect_same(ours.picture, ref, what);
}

} // namespace

TEST(FaxTables, GeneratorReproducesTheCheckedInTables) {
  const std::string cmd = std::string(PARVULA_GEN_FAX_TABLES);
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string generated;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) generated.append(buf, n);
  ASSERT_EQ(pclose(p), 0);
  const Bytes file = read_file(fs::path(PARVULA_SOURCE_DIR) / "imaging/codecs/fax_tables.inc");
  EXPECT_EQ(generated, std::string(file.begin(), file.end()));
}

TEST(FaxCodes, RowsOfKnownRuns) {
  // Runs of one row, alternately white and black from white.
  struct Case {
    const char* what;
    int mode, width;
    std::vector<int> runs;
    const char* bits; // the whole output before the padding of its last byte
  };
  const Case cases[] = {
      {"black first: white 0, black 3",
       kMH,
       3,
       {0, 3},
       "00110101"
       "10"},
      {"white 2600: 2560 + 40",
       kMH,
       2600,
       {2600},
       "000000011111"
       "00101001"},
      {"white 2560: 2560 + 0",
       kMH,
       2560,
       {2560},
       "000000011111"
       "00110101"},
      {"white 1728: make-up + 0",
       kMH,
       1728,
       {1728},
       "010011011"
       "00110101"},
      {"black 5000: 2560 2432 8",
       kMH,
       5000,
       {0, 5000},
       "00110101"
       "000000011111"
       "000000011101"
       "000101"},
      {"G3 1D: EOL, row, EOL",
       0,
       4,
       {4},
       "000000000001"
       "1011"
       "000000000001"},
      {"G3 2D: EOL 1, row, EOL 0",
       1,
       4,
       {1, 3},
       "000000000001"
       "1"
       "000111"
       "10"
       "000000000001"
       "0"},
      {"G4: V0 on white, EOFB",
       2,
       8,
       {8},
       "1"
       "000000000001"
       "000000000001"},
      {"G4: horizontal",
       2,
       16,
       {5, 11},
       "001"
       "1100"
       "0000101"
       "000000000001"
       "000000000001"},
  };
  for (const Case& c : cases) {
    BitImage b(c.width, 1);
    int x = 0, colour = 0;
    for (int run : c.runs) {
      for (int i = x; colour && i < x + run; ++i)
        b.row(0)[i >> 3] |= static_cast<std::uint8_t>(0x80 >> (i & 7));
      x += run;
      colour ^= 1;
    }
    const auto strips = encode(c.mode, b, 1);
    std::string expected = c.bits;
    expected.resize((expected.size() + 7) / 8 * 8, '0');
    EXPECT_EQ(bit_string(strips[0]), expected) << c.what;
    const Decoded d = decode(c.mode, strips, c.width, 1);
    EXPECT_EQ(d.error, EC_OK) << c.what;
    expect_same(d.picture, b, c.what);
  }
}

TEST(FaxCodes, GroupThreeTwoDimensionalRowPattern) {
  // Tags after each end-of-line: 1 (first row 1D), then 0 0 0 1 0 0 0 1 ...
  const BitImage b = fax_picture(64, 9, 3);
  const Bytes out = encode(1, b, 9)[0];
  const std::string bits = bit_string(out, 1u << 20);
  std::string tags;
  for (std::size_t at = bits.find("000000000001"); at != std::string::npos;
       at = bits.find("000000000001", at + 13))
    tags += bits[at + 12];
  EXPECT_EQ(tags.substr(0, 10), "1000100010");
}

TEST(FaxCodes, LibraryAndReferenceCodersAgreeOnRandomPictures) {
  const int widths[] = {1, 7, 8, 9, 31, 64, 65, 300, 1728, 2561, 5200};
  for (int mode : {kMH, 0, 1, 2}) {
    for (int w : widths) {
      for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        const BitImage b = fax_picture(w, 12, seed * 977 + static_cast<std::uint32_t>(w));
        const std::string what = "mode " + std::to_string(mode) + " width " + std::to_string(w) +
                                 " seed " + std::to_string(seed);
        // Exact bytes, one strip and in strips of 5 rows.
        const Bytes ours = encode(mode, b, 12)[0];
        ASSERT_EQ(ours, reference::fax_encode(mode, b)) << what;
        const auto strips = encode(mode, b, 5);
        const Decoded d = decode(mode, strips, w, 12);
        ASSERT_EQ(d.error, EC_OK) << what;
        ASSERT_EQ(d.unused, 0) << what;
        expect_same(d.picture, b, what);
        expect_decoders_agree(mode, false, ours, w, 12, what);
        // FillOrder 2 data reads as its bit-reversed twin.
        expect_decoders_agree(mode, true, reversed(ours), w, 12, what + " reversed");
        expect_same(decode(mode, {reversed(ours)}, w, 12, true).picture, b, what + " reversed");
      }
    }
  }
}

TEST(FaxCodes, DamagedDataGivesTheSameResultAsTheReference) {
  // Cut, flipped, inserted and random bits: both decoders must agree on the
  // code, the rows painted and the input left.
  Rng rng(7);
  for (int trial = 0; trial < 1500; ++trial) {
    const int mode = trial % 4 - 1;
    const int w = rng.uniform(1, 200), h = rng.uniform(1, 8);
    Bytes data = reference::fax_encode(mode, fax_picture(w, h, static_cast<std::uint32_t>(trial)));
    switch (rng.uniform(0, 3)) {
    case 0:
      data.resize(static_cast<std::size_t>(rng.uniform(0, static_cast<int>(data.size()))));
      break;
    case 1:
      for (int k = rng.uniform(1, 4); k > 0 && !data.empty(); --k)
        data[rng.next() % data.size()] ^= static_cast<std::uint8_t>(1 << rng.uniform(0, 7));
      break;
    case 2:
      data.insert(data.begin() + static_cast<long>(rng.next() % (data.size() + 1)),
                  static_cast<std::uint8_t>(rng.next()));
      break;
    default:
      for (auto& v : data) v = static_cast<std::uint8_t>(rng.next() & rng.next());
      break;
    }
    expect_decoders_agree(mode, trial % 3 == 0, data, w, h, "trial " + std::to_string(trial));
    if (HasFatalFailure()) return;
  }
}

TEST(FaxCodes, HostileRowsGiveTheirCodes) {
  struct Case {
    const char* what;
    int mode, width;
    const char* bits;
    TvexErrorCode code;
  };
  const Case cases[] = {
      {"MH end-of-line", kMH, 8, "000000000001", EC_COMPRESSION},
      {"MH run past the width", kMH, 8,
       "10011"
       "0000",
       EC_COMPRESSION}, // white 8 of 4 wide... see width
      {"G3 run past the width", 0, 4,
       "000000000001"
       "10011",
       EC_BADDECOMPRESS},
      {"G4 VR1 past the width", 2, 4, "011", EC_BADDECOMPRESS},
      {"G4 VL3 left of a0", 2, 4, "0000010", EC_DECOMPRESSION},
      {"G4 extension", 2, 8, "0000001111", EC_BADCOMPRESS},
      {"G4 one-dimensional extension", 2, 8, "000000001111", EC_BADCOMPRESS},
      {"G4 row cut short", 2, 16,
       "001"
       "1100"
       "010"
       "0000",
       EC_DECOMPRESSION},
      {"G3 end-of-line inside a row", 0, 16,
       "000000000001"
       "1100"
       "000000000001",
       EC_DECOMPRESSION},
      {"G3 mode 3", 3, 8, "1", EC_BADDECOMPRESS},
      {"G3 data of zeros only", 0, 8, "0000000000000000000000000000", EC_OK},
      {"G4 codes outside the tables", 2, 8,
       "000000001"
       "000000000000"
       "1",
       EC_BADCOMPRESS},
  };
  for (const Case& c : cases) {
    const std::string s = c.bits;
    Bytes data((s.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < s.size(); ++i)
      if (s[i] == '1') data[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    const int width = std::string(c.what) == "MH run past the width" ? 4 : c.width;
    const Decoded d = decode(c.mode, {data}, width, 2);
    EXPECT_EQ(d.error, c.code) << c.what;
  }
}

TEST(FaxCodes, CorpusStripsDecodeAsTheReferenceDoes) {
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(corpus_dir() / "tiff")) {
    if (!e.is_regular_file()) continue;
    const TiffStrips t = read_tiff_strips(read_file(e.path()));
    if (!t.ok || t.bits != 1 || t.compression < 2 || t.compression > 4) continue;
    if (static_cast<std::int64_t>(t.width) * t.height > 40'000'000) continue;
    const int mode = t.compression == 2 ? kMH : t.compression == 4 ? 2 : (t.t4_options & 1);
    const bool reverse = t.fill_order == 2;
    const std::string what = e.path().filename().string();
    ++files;
    const Decoded ours = decode(mode, t.strips, t.width, t.height, reverse);
    int y = 0;
    TvexErrorCode ref_error = EC_OK;
    for (const Bytes& s : t.strips) {
      BitImage part(t.width, std::min(t.rows_per_strip, t.height - y));
      if (part.height <= 0) break;
      const auto r = reference::fax_decode(mode, reverse, s.data(), s.size(), part);
      for (int k = 0; k < part.height; ++k)
        ASSERT_EQ(0, std::memcmp(part.row(k), ours.picture.row(y + k),
                                 static_cast<std::size_t>(part.stride())))
            << what << " row " << y + k;
      ref_error = static_cast<TvexErrorCode>(r.error);
      y += part.height;
      if (r.error != 0) break;
    }
    EXPECT_EQ(ours.error, ref_error) << what;
  }
  EXPECT_GE(files, 20);
}
