// TIFF reading of hand-made files: both byte orders, directory chains (two
// images, loops), the refusals, hostile counts and offsets, strips that
// decode to more or fewer rows than the picture, resolution and texts.
#include "vexImageFile.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace pf = vex::platform;
using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A directory entry: SHORT or LONG values, a RATIONAL or ASCII text.
struct Field {
  std::uint16_t tag, type;
  std::vector<std::uint32_t> values;
  std::string text = {};
};

constexpr std::uint32_t kData = 0xFFFFFF00; // a value that stands for the pixel data's offset

struct File {
  bool big = false;
  std::vector<Field> fields;
  Bytes data;
  // The next-directory link: 0 none, kSelf the directory itself, kSecond a
  // copy of the directory after it.
  std::uint32_t next = 0;
};
constexpr std::uint32_t kSelf = 1, kSecond = 2;

class Writer {
public:
  explicit Writer(bool big) : big_(big) {}
  void u16(std::uint32_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void put(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
      b.push_back(static_cast<std::uint8_t>(v >> (8 * (big_ ? n - 1 - i : i))));
  }
  void set32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      b[at + std::size_t(i)] = static_cast<std::uint8_t>(v >> (8 * (big_ ? 3 - i : i)));
  }
  Bytes b;

private:
  bool big_;
};

// Header, pixel data at 8, the directory (or two), then the values that do
// not fit in their entries.
Bytes build(const File& f) {
  Writer w(f.big);
  w.u16(f.big ? 0x4D4D : 0x4949);
  w.u16(42);
  w.u32(8 + static_cast<std::uint32_t>(f.data.size()));
  w.b.insert(w.b.end(), f.data.begin(), f.data.end());
  std::vector<std::pair<std::size_t, const Field*>> later;
  std::size_t link = 0;
  for (int copy = 0; copy < (f.next == kSecond ? 2 : 1); ++copy) {
    const auto dir = static_cast<std::uint32_t>(w.b.size());
    if (copy == 1) w.set32(link, dir);
    w.u16(static_cast<std::uint32_t>(f.fields.size()));
    for (const Field& e : f.fields) {
      const auto count = static_cast<std::uint32_t>(e.type == 2   ? e.text.size()
                                                    : e.type == 5 ? 1
                                                                  : e.values.size());
      w.u16(e.tag);
      w.u16(e.type);
      w.u32(count);
      const bool inline_short = e.type == 3 && count <= 2;
      if (e.type == 3 && count == 1) {
        w.u16(e.values[0] == kData ? 8 : e.values[0]);
        w.u16(0);
      } else if (inline_short) {
        w.u16(e.values[0]);
        w.u16(e.values[1]);
      } else if (e.type == 4 && count == 1) {
        w.u32(e.values[0] == kData ? 8 : e.values[0]);
      } else {
        later.emplace_back(w.b.size(), &e);
        w.u32(0);
      }
    }
    link = w.b.size();
    w.u32(f.next == kSelf ? dir : 0);
  }
  for (const auto& [at, e] : later) {
    w.set32(at, static_cast<std::uint32_t>(w.b.size()));
    if (e->type == 2)
      w.b.insert(w.b.end(), e->text.begin(), e->text.end());
    else
      for (std::uint32_t v : e->values) w.put(v, e->type == 3 ? 2 : 4);
  }
  return w.b;
}

// A 5 x 3 picture of 8-bit grey, one strip.
File grey() {
  File f;
  for (int i = 0; i < 15; ++i) f.data.push_back(static_cast<std::uint8_t>(i * 17));
  f.fields = {{256, 3, {5}},  {257, 3, {3}},     {258, 3, {8}},    {259, 3, {1}},
              {262, 3, {1}},  {273, 4, {kData}}, {277, 3, {1}},    {278, 3, {3}},
              {279, 4, {15}}, {282, 5, {72, 1}}, {283, 5, {72, 1}}};
  return f;
}

Field& field(File& f, std::uint16_t tag) {
  for (Field& e : f.fields)
    if (e.tag == tag) return e;
  f.fields.push_back({tag, 3, {0}});
  return f.fields.back();
}
void drop(File& f, std::uint16_t tag) {
  std::erase_if(f.fields, [&](const Field& e) { return e.tag == tag; });
}

struct Read {
  TvexErrorCode code = EC_OK;
  std::string digest = "-";
  std::int32_t num_images = 1;
  TvexImageInfo info;
  std::int32_t x_ppm = 0;
};

Read read(const Bytes& bytes, std::int32_t index = 0) {
  pf::MemoryStream stream(bytes.data(), bytes.size());
  TvexTIFFImage reader;
  Read r;
  reader.SetImageInfo(&r.info);
  reader.SetImageIndex(index);
  const DibHandle dib = reader.LoadFromStream(stream);
  r.code = reader.GetError();
  r.num_images = reader.GetNumImages();
  if (!pf::is_null(dib)) {
    TvexImage image;
    image.SetDibHandle(dib);
    r.digest = pixel_digest(image);
    r.x_ppm = image.XResolution();
  }
  return r;
}

struct Case {
  const char* name;
  std::function<void(File&)> change;
  TvexErrorCode code;
  bool same_pixels; // as the unchanged file
};

const Case kCases[] = {
    {"unchanged", [](File&) {}, EC_OK, true},
    {"big-endian", [](File& f) { f.big = true; }, EC_OK, true},
    {"values past the rows are not used", [](File& f) { field(f, 279).values = {0xFFFFFFFF}; },
     EC_OK, true},
    {"byte count 0 means the rows", [](File& f) { field(f, 279).values = {0}; }, EC_OK, true},
    {"no byte counts", [](File& f) { drop(f, 279); }, EC_OK, true},
    {"rows per strip past the picture", [](File& f) { field(f, 278).values = {0xFFFF}; }, EC_OK,
     true},
    {"loop to itself", [](File& f) { f.next = kSelf; }, EC_OK, true},
    {"strip past the end",
     [](File& f) {
       field(f, 273) = {273, 4, {0x7FFFFFF0}};
     },
     EC_ENDOFFILE, false},
    {"fewer strips than rows", [](File& f) { field(f, 278).values = {1}; }, EC_ENDOFDATA, false},
    {"a strip per row",
     [](File& f) {
       field(f, 278).values = {1};
       field(f, 273) = {273, 4, {8, 13, 18}};
       field(f, 279) = {279, 4, {5, 5, 5}};
     },
     EC_OK, true},
    {"no strips", [](File& f) { drop(f, 273); }, EC_TIFFTAG, false},
    {"no width", [](File& f) { drop(f, 256); }, EC_TIFFTAG, false},
    {"width 0", [](File& f) { field(f, 256).values = {0}; }, EC_WINDOWS, false},
    {"huge picture",
     [](File& f) {
       field(f, 256) = {256, 4, {0x7FFFFFFF}};
     },
     EC_WINDOWS, false},
    {"JPEG coded", [](File& f) { field(f, 259).values = {7}; }, EC_BADCOMPRESS, false},
    {"separated colour", [](File& f) { field(f, 262).values = {5}; }, EC_IMAGEFORMAT, false},
    {"LogLuv", [](File& f) { field(f, 262).values = {32844}; }, EC_IMAGEFORMAT, false},
    {"2-bit samples", [](File& f) { field(f, 258).values = {2}; }, EC_BITDEPTH, false},
    {"two samples", [](File& f) { field(f, 277).values = {2}; }, EC_BITDEPTH, false},
    {"mixed sample sizes",
     [](File& f) {
       field(f, 258).values = {8, 8, 16};
       field(f, 277).values = {3};
     },
     EC_UNKNOWNFORMAT, false},
    {"reversed bits", [](File& f) { field(f, 266).values = {2}; }, EC_BITORDER, false},
    {"floating predictor", [](File& f) { field(f, 317).values = {3}; }, EC_PREDICTOR, false},
    {"fax coded grey", [](File& f) { field(f, 259).values = {4}; }, EC_COLORFORMAT, false},
    {"PackBits rows past the picture",
     [](File& f) {
       Bytes packed;
       for (int row = 0; row < 9; ++row) {
         packed.push_back(4);
         for (int i = 0; i < 5; ++i)
           packed.push_back(static_cast<std::uint8_t>((row % 3 * 5 + i) * 17));
       }
       f.data = packed;
       field(f, 259).values = {32773};
       field(f, 279).values = {static_cast<std::uint32_t>(packed.size())};
     },
     EC_OK, true},
    {"LZW data that is not", [](File& f) { field(f, 259).values = {5}; }, EC_DECOMPRESSION, false},
    {"Deflate data that is not", [](File& f) { field(f, 259).values = {8}; }, EC_DECOMPRESSION,
     false},
    {"many entries",
     [](File& f) {
       for (std::uint16_t t = 40000; t < 40300; ++t) f.fields.push_back({t, 3, {1}});
       for (std::uint16_t t = 50000; t < 50080; ++t) f.fields.push_back({t, 2, {}, "text"});
     },
     EC_OK, true},
};

TEST(TiffRead, HandMadeFilesGiveTheirCodes) {
  const Read plain = read(build(grey()));
  ASSERT_EQ(plain.code, EC_OK);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    File f = grey();
    c.change(f);
    const Read r = read(build(f));
    EXPECT_EQ(r.code, c.code);
    if (c.same_pixels) {
      EXPECT_EQ(r.digest, plain.digest);
    }
    if (!c.same_pixels && c.code != EC_ENDOFFILE && c.code != EC_ENDOFDATA &&
        c.code != EC_DECOMPRESSION) {
      EXPECT_EQ(r.digest, "-");
    }
    EXPECT_EQ(r.num_images, 1);
  }
}

TEST(TiffRead, DirectoryChains) {
  File two = grey();
  two.next = kSecond;
  EXPECT_EQ(read(build(two)).num_images, -1);
  EXPECT_EQ(read(build(two), 1).code, EC_OK);
  EXPECT_EQ(read(build(two), 2).code, EC_NOSUBIMAGE);
  EXPECT_EQ(read(build(two), INT32_MAX).code, EC_NOSUBIMAGE);
  File loop = grey();
  loop.next = kSelf;
  EXPECT_EQ(read(build(loop), 1).code, EC_NOSUBIMAGE);
  // A directory count that promises more entries than the file holds.
  Bytes cut = build(grey());
  cut[8 + 15] = cut[8 + 16] = 0xFF;
  EXPECT_EQ(read(cut).code, EC_ENDOFFILE);
  // A first directory past the end.
  Bytes far = build(grey());
  far[4] = far[5] = far[6] = 0x7F;
  EXPECT_EQ(read(far).code, EC_ENDOFFILE);
}

TEST(TiffRead, ResolutionAndTexts) {
  File f = grey();
  field(f, 296).values = {3};
  field(f, 282) = {282, 5, {100, 1}};
  f.fields.push_back({305, 2, {}, "Parvula"});
  f.fields.push_back({315, 2, {}, "someone"});
  f.fields.push_back({297, 3, {2, 5}});
  const Read r = read(build(f));
  ASSERT_EQ(r.code, EC_OK);
  EXPECT_EQ(r.x_ppm, 10000);
  EXPECT_EQ(r.info.Software(), "Parvula");
  EXPECT_EQ(r.info.Artist(), "someone");
  field(f, 296).values = {1}; // no absolute unit counts as inch
  EXPECT_EQ(read(build(f)).x_ppm, 3937);
  field(f, 296).values = {7}; // an unknown unit: no resolution
  EXPECT_EQ(read(build(f)).x_ppm, 0);
}

} // namespace

namespace {

TEST(TiffRead, ThroughTheManager) {
  const auto dir = scratch_dir("tiff_manager");
  File two = grey();
  two.next = kSecond;
  write_file(dir / "two.cri", build(two));
  write_file(dir / "one.jpg", build(grey()));
  TvexImageFileMgr mgr;
  TvexImage image;
  image.SetDibHandle(mgr.LoadImage((dir / "two.cri").string(), FF_DETECT));
  EXPECT_EQ(mgr.GetLastError(), EC_OK);
  EXPECT_TRUE(mgr.GetMoreImages());
  EXPECT_EQ(mgr.GetImageInfo().FileFormat(), FF_CRI);
  // Found by the search; CRI and TIFF are one reader, asked under its first number.
  image.SetDibHandle(mgr.LoadImage((dir / "one.jpg").string(), FF_DETECT));
  EXPECT_EQ(mgr.GetLastError(), EC_OK);
  EXPECT_FALSE(mgr.GetMoreImages());
  EXPECT_EQ(mgr.GetImageInfo().FileFormat(), FF_CRI);
  mgr.SaveImage((dir / "out.tif").string(), FF_TIFF, image.GetDibHandle());
  EXPECT_EQ(mgr.GetLastError(), EC_OK);
}

} // namespace

namespace {

// 65536 one-row strips that all point at one block of 524288 coded rows:
// each strip decodes its own row only.
TEST(TiffRead, StripsSharingOneBlockCostTheirRows) {
  File f;
  f.data.assign(65536, 0xFF); // Group 4: a white row is one bit
  const std::uint32_t rows = 65536;
  f.fields = {{256, 3, {8}},
              {257, 4, {rows}},
              {259, 3, {4}},
              {262, 3, {0}},
              {273, 4, std::vector<std::uint32_t>(rows, 8)},
              {278, 3, {1}},
              {279, 4, std::vector<std::uint32_t>(rows, 65536)}};
  const Read r = read(build(f));
  EXPECT_EQ(r.code, EC_OK);
}

} // namespace
