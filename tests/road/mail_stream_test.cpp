// The streaming e-mail road against the whole-bitmap one: for every JPEG the
// two give the same ConvertResult and the same output bytes (synthetic sizes
// around the size rule, every orientation, progressive and unsubsampled
// frames, cut and damaged files, and the corpus); and the stream resize
// alone equals Resize on random pictures fed from either end.
#include "batch.h"
#include "formats/jpeg_reader_internal.h"

#include "test_support.h"
#include "vexImageFile.h"
#include "vexImageTransform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// An APP1 segment whose IFD0 holds the one entry 0x0112 (little-endian).
std::vector<std::uint8_t> exif_segment(int orientation) {
  return {0xFF,
          0xE1,
          0,
          34,
          'E',
          'x',
          'i',
          'f',
          0,
          0,
          'I',
          'I',
          42,
          0,
          8,
          0,
          0,
          0,
          1,
          0,
          0x12,
          0x01,
          3,
          0,
          1,
          0,
          0,
          0,
          std::uint8_t(orientation),
          0,
          0,
          0,
          0,
          0,
          0,
          0};
}

struct Case {
  int w, h;
  int orientation; // 0: no Exif segment
  int compression; // 21 baseline, 22 progressive
  int sampling;    // the writer's mode: 1 4:2:0, 3 4:4:4
  int bits;        // 24 colour, 8 grey (takes the whole-bitmap road)
  double cut;      // keep this fraction of the file (1: whole)
  int damage;      // bytes flipped in the coded data
};

// Writes a noisy picture with smooth parts (so that both cut and whole
// files have structure everywhere) as the case says.
fs::path make_source(const fs::path& dir, const Case& c, int index) {
  TvexImage img;
  make_random_image(img, c.w, c.h, c.bits, static_cast<std::uint32_t>(index + 1));
  const int bpp = c.bits / 8;
  for (int y = 0; y < c.h; ++y)
    if (y % 4 != 0)
      for (int x = 0; x < c.w * bpp; ++x) img.ScanLine(y)[x] = static_cast<std::uint8_t>(x + y);
  std::string name = std::to_string(index);
  name += ".jpg";
  const fs::path path = dir / name;
  TvexImageFileMgr mgr;
  mgr.SetCompression(static_cast<TvexCompression>(c.compression));
  mgr.SetQuality(90);
  mgr.SetJPEGSampling(static_cast<std::uint8_t>(c.sampling));
  mgr.SaveImage(path.string(), FF_JPEG, img.GetDibHandle());
  EXPECT_EQ(mgr.GetLastError(), EC_OK);
  std::vector<std::uint8_t> bytes = read_file(path);
  if (c.orientation > 0) {
    const std::vector<std::uint8_t> app1 = exif_segment(c.orientation);
    bytes.insert(bytes.begin() + 2, app1.begin(), app1.end());
  }
  Rng rng(static_cast<std::uint64_t>(index));
  for (int i = 0; i < c.damage; ++i) {
    const std::size_t at = bytes.size() / 4 + rng.next() % (bytes.size() / 2);
    if (bytes[at] != 0xFF && bytes[at - 1] != 0xFF) bytes[at] ^= 0x5A;
  }
  bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * c.cut));
  write_file(path, bytes);
  return path;
}

// Converts `source` through the whole bitmap and streaming (on two threads
// with `helper`), and expects the same outcome and bytes.
void expect_same_roads(const fs::path& source, const fs::path& dir, bool helper,
                       bool keep = false) {
  ConvertResult result[2];
  std::vector<std::uint8_t> bytes[2];
  for (int stream = 0; stream < 2; ++stream) {
    MailSettings settings;
    settings.stream = stream != 0;
    settings.helpers = helper ? 1 : 0;
    settings.keep_orientation = keep;
    settings.output = (dir / "out.jpg").string();
    fs::remove(settings.output);
    TvexImageFileMgr mgr;
    result[stream] = ConvertFile(source.string(), mgr, settings);
    if (fs::exists(settings.output)) bytes[stream] = read_file(settings.output);
  }
  SCOPED_TRACE(helper ? "streamed on two threads" : "streamed");
  EXPECT_EQ(result[0].converted, result[1].converted);
  EXPECT_EQ(result[0].error, result[1].error);
  EXPECT_EQ(result[0].message, result[1].message);
  EXPECT_EQ(result[0].load_error, result[1].load_error);
  EXPECT_EQ(result[0].load_message, result[1].load_message);
  EXPECT_EQ(result[0].source_width, result[1].source_width);
  EXPECT_EQ(result[0].source_height, result[1].source_height);
  EXPECT_TRUE(bytes[0] == bytes[1]) << "output bytes differ";
}

} // namespace

TEST(MailStream, SyntheticSourcesGiveTheWholeBitmapRoadsOutput) {
  const fs::path dir = scratch_dir("mail_stream");
  // Sides around the size rule (1024/1025, the half-to-even ties 2048 x 1025
  // and 2048 x 9), odd, tall and wide, and cut or damaged files.
  std::vector<Case> cases = {
      {1025, 10, 0, 21, 1, 24, 1, 0},    {10, 1025, 0, 21, 1, 24, 1, 0},
      {1025, 1025, 0, 21, 1, 24, 1, 0},  {1024, 1024, 0, 21, 1, 24, 1, 0},
      {2048, 1025, 0, 21, 1, 24, 1, 0},  {2048, 9, 0, 22, 1, 24, 1, 0},
      {131, 3001, 0, 21, 3, 24, 1, 0},   {3001, 17, 0, 22, 3, 24, 1, 0},
      {1500, 100, 0, 21, 2, 24, 1, 0},   {1500, 100, 0, 21, 1, 8, 1, 0},
      {1533, 301, 0, 21, 1, 24, 0.6, 0}, {1533, 301, 0, 22, 1, 24, 0.6, 0},
      {1533, 301, 0, 21, 1, 24, 1, 12},  {1533, 301, 0, 22, 1, 24, 1, 12},
      {301, 1533, 6, 21, 1, 24, 0.5, 0}, {1533, 301, 3, 22, 1, 24, 0.7, 0},
  };
  // Every orientation, on sides that turn odd and even, wide and tall.
  for (int o = 1; o <= 8; ++o) {
    cases.push_back({1283, 203, o, 21, 1, 24, 1, 0});
    cases.push_back({210, 1029, o, o % 2 ? 22 : 21, 3, 24, 1, 0});
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "case " << i << ": " << c.w << "x" << c.h << " o"
                                    << c.orientation << " cp" << c.compression);
    const fs::path source = make_source(dir, c, static_cast<int>(i));
    expect_same_roads(source, dir, i % 2 == 1);
    if (c.orientation == 3 || c.orientation == 6) expect_same_roads(source, dir, false, true);
  }
}

// On two threads, damage, markers, cuts and broken restart markers in the end
// of a baseline scan (with and without restart intervals) give what one
// thread gives.
// On two threads the second may decode rows ahead, from the restart markers
// that begin them: damage anywhere must come out as on one thread.
TEST(MailStream, DamageGivesTheSameBytesOnTwoThreads) {
  const fs::path dir = scratch_dir("mail_stream_tail");
  const fs::path ours = make_source(dir, {2400, 1208, 0, 21, 1, 24, 1, 0}, 99);
  std::vector<fs::path> sources = {ours};
  // The same picture with a restart marker after every MCU row.
  if (std::system("command -v cjpeg >/dev/null 2>&1") == 0) {
    TvexImageFileMgr mgr, saver; // (a manager saves with the settings of what it loaded)
    const DibHandle dib = mgr.LoadImage(ours.string(), FF_JPEG);
    saver.SaveImage((dir / "src.bmp").string(), FF_BMP, dib);
    // One interval a row, and one every two rows.
    for (const char* rows : {"1", "2"}) {
      const fs::path out = dir / (std::string("restarts") + rows + ".jpg");
      const std::string cmd = std::string("cjpeg -restart ") + rows + " -outfile '" + out.string() +
                              "' '" + (dir / "src.bmp").string() + "'";
      if (std::system(cmd.c_str()) == 0) sources.push_back(out);
    }
  }
  // Kinds: 'x' flips a byte, '0' zeroes 40, 'c' cuts the file, 'm' inserts
  // the marker 0xFF `m`, 'r' renumbers the next restart marker, 'd' drops
  // it, 'D' drops it and the seven after it (the numbers stay in order), 'f'
  // puts a fill byte 0xFF before it, 'j' four data bytes (passed over).
  const struct {
    char kind;
    double where;
    std::uint8_t m;
  } edits[] = {
      {'x', 0.9, 0},    {'x', 0.95, 0},    {'x', 0.999, 0},   {'0', 0.93, 0},    {'c', 0.92, 0},
      {'c', 0.99, 0},   {'m', 0.94, 0xD0}, {'m', 0.94, 0xDC}, {'m', 0.97, 0xFE}, {'m', 1.0, 0xDC},
      {'r', 0.9, 0},    {'r', 0.97, 0},    {'x', 0.3, 0},     {'0', 0.5, 0},     {'m', 0.4, 0xD3},
      {'m', 0.6, 0xFE}, {'r', 0.3, 0},     {'d', 0.5, 0},     {'d', 0.8, 0},     {'f', 0.6, 0},
      {'x', 0.2, 0},    {'x', 0.45, 0},    {'x', 0.65, 0},    {'0', 0.25, 0},    {'0', 0.75, 0},
      {'D', 0.3, 0},    {'j', 0.35, 0},    {'j', 0.7, 0},
  };
  // The helper takes every row it may, so that damage meets its rows too.
  vex::jpeg::g_rows_ahead_always = true;
  struct Reset {
    ~Reset() { vex::jpeg::g_rows_ahead_always = false; }
  } reset;
  // (How many units the helper gets to depends on the two threads' speeds and
  // on what else the machine runs; over all the files it takes some.)
  const long taken = vex::jpeg::g_rows_ahead_taken;
  for (std::size_t i = 1; i < sources.size(); ++i) expect_same_roads(sources[i], dir, true);
  for (const fs::path& source : sources) {
    const std::vector<std::uint8_t> whole = read_file(source);
    // The data's own bytes run up to the EOI at the end.
    const std::size_t end = whole.size() - 2;
    for (const auto& e : edits) {
      SCOPED_TRACE(testing::Message() << source.filename() << ": " << e.kind << " at " << e.where);
      std::vector<std::uint8_t> b = whole;
      std::size_t p = static_cast<std::size_t>(static_cast<double>(end) * e.where);
      if (std::string_view("rdDfj").find(e.kind) != std::string_view::npos) {
        while (p + 1 < end && !(b[p] == 0xFF && b[p + 1] >= 0xD0 && b[p + 1] <= 0xD7)) ++p;
        if (p + 1 >= end) continue;
        if (e.kind == 'r') b[p + 1] = static_cast<std::uint8_t>(0xD0 + ((b[p + 1] + 3) & 7));
        for (int k = 0; e.kind == 'D' && k < 8 && p + 1 < b.size(); ++p)
          if (b[p] == 0xFF && b[p + 1] >= 0xD0 && b[p + 1] <= 0xD7)
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(p),
                    b.begin() + static_cast<std::ptrdiff_t>(p) + 2),
                ++k;
        if (e.kind == 'd')
          b.erase(b.begin() + static_cast<std::ptrdiff_t>(p),
                  b.begin() + static_cast<std::ptrdiff_t>(p) + 2);
        if (e.kind == 'f') b.insert(b.begin() + static_cast<std::ptrdiff_t>(p), 0xFF);
        if (e.kind == 'j') b.insert(b.begin() + static_cast<std::ptrdiff_t>(p), {1, 2, 3, 4});
      }
      while (p < end && (b[p] == 0xFF || b[p - 1] == 0xFF)) ++p;
      const auto it = b.begin() + static_cast<std::ptrdiff_t>(p);
      if (e.kind == 'x') b[p] ^= 0x5A;
      if (e.kind == '0') std::fill_n(it, 40, 0);
      if (e.kind == 'c') b.resize(p);
      if (e.kind == 'm') b.insert(it, {0xFF, e.m});
      const fs::path variant = dir / "variant.jpg";
      write_file(variant, b);
      expect_same_roads(variant, dir, true);
    }
  }
  if (sources.size() > 1) {
    EXPECT_GT(vex::jpeg::g_rows_ahead_taken - taken, 0);
  }
}

// A small progressive file whose frame claims 60000 x 60000: its coefficients
// cannot be had, so neither road writes a picture (the stream road once wrote
// a black one, having no bitmap to refuse).
TEST(MailStream, APictureWithoutMemoryIsNotConverted) {
  const fs::path dir = scratch_dir("mail_stream_memory");
  const fs::path source = make_source(dir, {64, 64, 0, 22, 1, 24, 1, 0}, 0);
  std::vector<std::uint8_t> bytes = read_file(source);
  const std::uint8_t marker[] = {0xFF, 0xC2};
  const auto sof = std::search(bytes.begin(), bytes.end(), std::begin(marker), std::end(marker));
  ASSERT_NE(sof, bytes.end());
  for (int i : {5, 7}) sof[i] = 0xEA, sof[i + 1] = 0x60;
  write_file(source, bytes);
  for (const bool stream : {true, false}) {
    MailSettings settings;
    settings.stream = stream;
    TvexImageFileMgr mgr;
    const ConvertResult r = ConvertFile(source.string(), mgr, settings);
    EXPECT_FALSE(r.converted) << stream;
    // The whole-bitmap road fails earlier, making the bitmap.
    if (stream) {
      EXPECT_EQ(r.error, EC_NOMEMORY);
    }
    EXPECT_FALSE(fs::exists(MailFileName(source.string())));
  }
}

TEST(MailStream, CorpusJpegsGiveTheWholeBitmapRoadsOutput) {
  SKIP_WITHOUT_CORPUS("jpeg");
  const fs::path dir = scratch_dir("mail_stream_corpus");
  int compared = 0;
  for (const char* folder : {"jpeg", "jpeg-progressive"}) {
    if (!fs::is_directory(corpus_dir() / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(corpus_dir() / folder)) {
      if (!entry.is_regular_file() || entry.file_size() > (512 << 10)) continue;
      // Copied under a .jpg name: the road streams by the name's extension.
      // (The photographs and larger files go through scripts/corpus_digests.sh.)
      const fs::path source = dir / "c.jpg";
      fs::copy_file(entry.path(), source, fs::copy_options::overwrite_existing);
      SCOPED_TRACE(entry.path().string());
      expect_same_roads(source, dir, compared % 2 == 1);
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
}

TEST(MailStream, StreamResizeEqualsResizeFedFromEitherEnd) {
  Rng rng(7);
  for (int round = 0; round < 40; ++round) {
    const int bits = round % 3 == 0 ? 8 : round % 3 == 1 ? 24 : 32;
    const int sw = rng.uniform(1, 300), sh = rng.uniform(1, 300);
    const int rw = rng.uniform(1, sw), rh = rng.uniform(1, sh);
    SCOPED_TRACE(testing::Message() << sw << "x" << sh << " -> " << rw << "x" << rh);
    TvexImage source, whole, streamed;
    make_random_image(source, sw, sh, bits, static_cast<std::uint32_t>(round));
    whole.SetWidth(rw);
    whole.SetHeight(rh);
    TvexImageTransform transform;
    transform.SetSourceImage(0, &source);
    transform.SetResultImage(&whole);
    ASSERT_TRUE(transform.Resize(IP_BICUBIC));
    streamed.Assign(&whole);
    const int bpp = bits / 8;
    for (int y = 0; y < rh; ++y) std::fill_n(streamed.ScanLine(y), rw * bpp, 0);
    const bool bottom_up = round % 2 == 1;
    TvexStreamResize resize;
    const std::ptrdiff_t stride = rh > 1 ? streamed.ScanLine(1) - streamed.ScanLine(0) : 0;
    ASSERT_EQ(resize.Begin(sw, sh, bpp, rw, rh, streamed.ScanLine(0), stride, bottom_up), EC_OK);
    for (int i = 0; i < sh; ++i) {
      const int y = bottom_up ? sh - 1 - i : i;
      if (resize.Wants(y)) resize.Push(y, source.ScanLine(y));
    }
    ASSERT_TRUE(resize.Done());
    EXPECT_EQ(pixel_digest(streamed), pixel_digest(whole));
  }
}
