// The platform stand-ins: bitmap sections, palettes, streams, rounding.
#include "platform/dib_section.h"
#include "platform/exceptions.h"
#include "platform/file_stream.h"
#include "platform/palette.h"
#include "platform/rounding.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace pf = vex::platform;

namespace {

pf::BitmapInfo header(std::int32_t w, std::int32_t h, std::uint16_t bpp) {
  pf::BitmapInfo info{};
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biBitCount = bpp;
  return info;
}

} // namespace

TEST(DibSection, CreatesZeroFilledSectionWithPaddedRows) {
  auto info = header(5, 3, 24);
  void* bits = nullptr;
  const pf::DibHandle h = pf::CreateDIBSection(&info, &bits);
  ASSERT_FALSE(pf::is_null(h));
  ASSERT_NE(bits, nullptr);
  pf::DibSection ds;
  ASSERT_TRUE(pf::GetDIBSection(h, &ds));
  EXPECT_EQ(ds.bmWidthBytes, 16);
  EXPECT_EQ(ds.dsBmih.biSizeImage, 48u);
  EXPECT_EQ(ds.bmBits, bits);
  const auto* p = static_cast<const std::uint8_t*>(bits);
  for (int i = 0; i < 48; ++i) EXPECT_EQ(p[i], 0);
  EXPECT_TRUE(pf::DeleteDIBSection(h));
}

TEST(DibSection, StaleOrUnknownHandlesFailEveryCall) {
  auto info = header(4, 4, 8);
  void* bits = nullptr;
  const pf::DibHandle h = pf::CreateDIBSection(&info, &bits);
  ASSERT_TRUE(pf::DeleteDIBSection(h));
  pf::DibSection ds;
  EXPECT_FALSE(pf::GetDIBSection(h, &ds));
  EXPECT_FALSE(pf::DeleteDIBSection(h));
  pf::RgbQuad q[4];
  EXPECT_EQ(pf::GetDIBColorTable(h, 0, 4, q), 0u);
  EXPECT_FALSE(pf::GetDIBSection(static_cast<pf::DibHandle>(0xDEADBEEF), &ds));
  EXPECT_FALSE(pf::GetDIBSection(pf::DibHandle::Null, &ds));
}

TEST(DibSection, RefusesAbsurdSizesWithoutWrapping) {
  struct Case {
    std::int32_t w, h;
    std::uint16_t bpp;
  };
  // Over 1 GiB, or sizes whose 32-bit products would wrap to something small.
  const Case cases[] = {{INT_MAX, 1, 32},    {65536, 65536, 32}, {3000000, 2000000, 24},
                        {1, INT_MIN + 1, 8}, {46341, 46341, 8},  {0x40000000, 4, 32}};
  for (const Case& c : cases) {
    auto info = header(c.w, c.h, c.bpp);
    void* bits = reinterpret_cast<void*>(1);
    pf::set_last_error(0);
    EXPECT_TRUE(pf::is_null(pf::CreateDIBSection(&info, &bits))) << c.w << "x" << c.h;
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(pf::last_error(), pf::kErrorNotEnoughMemory);
  }
  // Exactly 1 GiB is still allowed in principle; just under it with a small height is cheap to
  // test.
  auto ok = header(1 << 16, 4, 32);
  void* bits = nullptr;
  const auto h = pf::CreateDIBSection(&ok, &bits);
  EXPECT_FALSE(pf::is_null(h));
  pf::DeleteDIBSection(h);
}

TEST(DibSection, RefusesMalformedHeaders) {
  for (const auto& info : {header(0, 5, 8), header(-3, 5, 8), header(5, 0, 8), header(5, 5, 2),
                           header(5, 5, 0), header(5, 5, 12)}) {
    void* bits = nullptr;
    pf::set_last_error(0);
    EXPECT_TRUE(pf::is_null(pf::CreateDIBSection(&info, &bits)));
    EXPECT_EQ(pf::last_error(), pf::kErrorInvalidParameter);
  }
  void* bits = nullptr;
  EXPECT_TRUE(pf::is_null(pf::CreateDIBSection(nullptr, &bits)));
}

TEST(DibSection, ColourTableIsKeptPerSectionAndClipped) {
  auto info = header(8, 2, 4);
  for (int i = 0; i < 16; ++i) info.bmiColors[i] = {std::uint8_t(i), std::uint8_t(2 * i), 7, 0};
  void* bits = nullptr;
  const auto h = pf::CreateDIBSection(&info, &bits);
  pf::RgbQuad q[256];
  EXPECT_EQ(pf::GetDIBColorTable(h, 0, 256, q), 16u); // a 4-bit table has 16 entries
  EXPECT_EQ(q[15].rgbGreen, 30);
  const pf::RgbQuad red{0, 0, 255, 0};
  EXPECT_EQ(pf::SetDIBColorTable(h, 15, 5, &red), 1u);
  EXPECT_EQ(pf::SetDIBColorTable(h, 16, 1, &red), 0u);
  EXPECT_EQ(pf::GetDIBColorTable(h, 15, 1, q), 1u);
  EXPECT_EQ(q[0].rgbRed, 255);
  pf::DeleteDIBSection(h);

  auto rgb = header(2, 2, 24);
  const auto h24 = pf::CreateDIBSection(&rgb, &bits);
  EXPECT_EQ(pf::GetDIBColorTable(h24, 0, 256, q), 0u);
  pf::DeleteDIBSection(h24);
}

TEST(Palette, CreateReadDelete) {
  pf::LogPalette lp;
  lp.palNumEntries = 3;
  lp.palPalEntry[2] = {1, 2, 3, 0};
  const auto p = pf::CreatePalette(&lp);
  ASSERT_FALSE(pf::is_null(p));
  EXPECT_EQ(pf::GetPaletteEntries(p, 0, 0, nullptr), 3u);
  pf::PaletteEntry e[4];
  EXPECT_EQ(pf::GetPaletteEntries(p, 1, 4, e), 2u);
  EXPECT_EQ(e[1].peBlue, 3);
  EXPECT_TRUE(pf::DeletePalette(p));
  EXPECT_FALSE(pf::DeletePalette(p));
  EXPECT_EQ(pf::GetPaletteEntries(p, 0, 0, nullptr), 0u);
  lp.palNumEntries = 0;
  EXPECT_TRUE(pf::is_null(pf::CreatePalette(&lp)));
  lp.palNumEntries = 257;
  EXPECT_TRUE(pf::is_null(pf::CreatePalette(&lp)));
}

TEST(Streams, MemoryStreamReadsShortAtEndAndRaisesOnReadBuffer) {
  const std::uint8_t data[5] = {1, 2, 3, 4, 5};
  pf::MemoryStream s(data, sizeof data);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_EQ(buf[1], 5);
  EXPECT_EQ(s.Read(buf, 1), 0);
  s.SetPosition(4);
  EXPECT_THROW(s.ReadBuffer(buf, 2), vex::ReadError);
  EXPECT_EQ(s.Write(buf, 1), 0); // a view is read-only
}

TEST(Streams, WriteFailuresRaiseTheWriteMessage) {
  pf::MemoryStream s;
  s.SetWriteLimit(4);
  const std::uint8_t b[6] = {};
  try {
    s.WriteBuffer(b, 6);
    FAIL() << "no exception";
  } catch (const vex::WriteError& e) {
    EXPECT_STREQ(e.what(), "Error writing data to file.");
  }
  EXPECT_EQ(s.Size(), 4);
}

TEST(Streams, FileStreamModesAndSharing) {
  const auto dir = testing_support::scratch_dir("file_stream");
  const std::string path = (dir / "a.bin").string();
  {
    pf::FileStream w(path, pf::FileMode::Create);
    w.WriteBuffer("abcdef", 6);
    // A file being written cannot be opened a second time for writing.
    EXPECT_THROW(pf::FileStream(path, pf::FileMode::OpenReadWrite), vex::ReadError);
    EXPECT_EQ(w.Size(), 6);
  }
  pf::FileStream r1(path, pf::FileMode::OpenRead);
  pf::FileStream r2(path, pf::FileMode::OpenRead); // readers share
  char c[4] = {};
  r1.Seek(2, pf::SeekOrigin::Begin);
  EXPECT_EQ(r1.Read(c, 4), 4);
  EXPECT_EQ(std::memcmp(c, "cdef", 4), 0);
  EXPECT_EQ(r1.Read(c, 4), 0);
  EXPECT_GT(r2.LastWriteTime(), 40000.0); // days since 1899: after 2009
  EXPECT_THROW(pf::FileStream((dir / "missing").string(), pf::FileMode::OpenRead), vex::ReadError);
  EXPECT_THROW(pf::FileStream((dir / "no/such/dir/x").string(), pf::FileMode::Create),
               vex::WriteError);
}

TEST(Rounding, HalfToEvenOnExtendedPrecision) {
  const struct {
    long double in;
    std::int32_t out;
  } cases[] = {{0.5L, 0},   {1.5L, 2},  {2.5L, 2},   {127.5L, 128}, {25.5L, 26},
               {76.5L, 76}, {-0.5L, 0}, {-1.5L, -2}, {-2.5L, -2},   {2.5000000001L, 3}};
  for (const auto& c : cases) EXPECT_EQ(vex::round_to_int32(c.in), c.out) << double(c.in);
}
