// The buffered stream: window, byte orders, bit fields with markers and
// stuffing, large reads and writes bypassing the buffer.
#include "vexFileStream.h"

#include "platform/exceptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

using vex::platform::MemoryStream;
using vex::platform::SeekOrigin;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A memory stream that counts the calls reaching it.
class CountingStream : public vex::platform::Stream {
public:
  explicit CountingStream(Bytes bytes) : mem_(std::move(bytes)) {}
  std::int32_t Read(void* b, std::int32_t n) override {
    ++reads;
    last_read = n;
    const std::int64_t left = static_cast<std::int64_t>(mem_.size()) - pos_;
    const std::int32_t k =
        static_cast<std::int32_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, left)));
    if (k > 0) std::memcpy(b, mem_.data() + pos_, static_cast<std::size_t>(k));
    pos_ += k;
    return k;
  }
  std::int32_t Write(const void* b, std::int32_t n) override {
    ++writes;
    if (limit >= 0 && pos_ + n > limit)
      n = static_cast<std::int32_t>(std::max<std::int64_t>(0, limit - pos_));
    if (pos_ + n > static_cast<std::int64_t>(mem_.size()))
      mem_.resize(static_cast<std::size_t>(pos_ + n));
    std::memcpy(mem_.data() + pos_, b, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int64_t Seek(std::int64_t off, SeekOrigin o) override {
    ++seeks;
    if (o == SeekOrigin::Begin) pos_ = off;
    if (o == SeekOrigin::Current) pos_ += off;
    if (o == SeekOrigin::End) pos_ = static_cast<std::int64_t>(mem_.size()) + off;
    return pos_;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(mem_.size()); }
  void SetSize(std::int64_t s) override { mem_.resize(static_cast<std::size_t>(s)); }

  Bytes mem_;
  std::int64_t pos_ = 0;
  int reads = 0, writes = 0, seeks = 0;
  std::int32_t last_read = 0;
  std::int64_t limit = -1;
};

Bytes iota_bytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return b;
}

Bytes written(TvexBufferStream& bs, MemoryStream& mem) {
  bs.Flush();
  return Bytes(mem.Memory(), mem.Memory() + mem.Size());
}

} // namespace

TEST(BufferStream, StartsEmptyLittleEndianWithDefaultCapacity) {
  TvexBufferStream bs;
  EXPECT_EQ(bs.GetBufferSize(), 36863);
  EXPECT_FALSE(bs.GetWriteMode());
  EXPECT_FALSE(bs.GetBigEndian());
  EXPECT_EQ(bs.GetPosition(), 0);
  EXPECT_EQ(bs.GetBitsFree(), 8);
  EXPECT_EQ(bs.GetSize(), 0);
  std::uint8_t b;
  EXPECT_EQ(bs.Read(&b, 1), 0); // no source: nothing, no crash
}

TEST(BufferStream, SetSourceTakesTheStreamsPosition) {
  MemoryStream mem(iota_bytes(100).data(), 100);
  Bytes data = iota_bytes(100);
  MemoryStream view(data.data(), data.size());
  view.SetPosition(40);
  TvexBufferStream bs;
  bs.SetSource(&view);
  EXPECT_EQ(bs.GetPosition(), 40);
  std::uint8_t b = 0;
  EXPECT_EQ(bs.Read(&b, 1), 1);
  EXPECT_EQ(b, data[40]);
}

TEST(BufferStream, ShortReadsAtTheEnd) {
  Bytes data = {1, 2, 3, 4};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  std::uint8_t buf[10] = {};
  EXPECT_EQ(bs.Read(buf, 10), 4);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(bs.Read(buf, 10), 0);
  EXPECT_EQ(bs.GetPosition(), 4);
}

TEST(BufferStream, ReadOfBufferSizeIsBufferedOneMoreGoesStraight) {
  Bytes data = iota_bytes(200);
  struct Case {
    std::int32_t count;
    std::int32_t expected_source_request;
  };
  for (const Case c : {Case{64, 64}, Case{65, 65}}) {
    CountingStream src(data);
    TvexBufferStream bs;
    bs.SetBufferSize(64);
    bs.SetSource(&src);
    Bytes out(static_cast<std::size_t>(c.count));
    ASSERT_EQ(bs.Read(out.data(), c.count), c.count);
    EXPECT_EQ(src.reads, 1);
    // A buffered read asks the source for a whole buffer; a large one for exactly its count.
    EXPECT_EQ(src.last_read, c.count == 64 ? 64 : 65) << c.count;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    if (c.count == 65) {
      EXPECT_EQ(bs.GetWindowStart(), 65);
      EXPECT_EQ(bs.GetWindowEnd(), 65);
    }
  }
}

TEST(BufferStream, LargeReadRepositionsTheSourceFirst) {
  Bytes data = iota_bytes(300);
  CountingStream src(data);
  TvexBufferStream bs;
  bs.SetBufferSize(64);
  bs.SetSource(&src);
  std::uint8_t b[3];
  bs.Read(b, 3); // fills 64 bytes, source now at 64, logical position 3
  Bytes out(100);
  ASSERT_EQ(bs.Read(out.data(), 100), 100);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + 3));
  EXPECT_EQ(bs.GetPosition(), 103);
  bs.Read(b, 1);
  EXPECT_EQ(b[0], data[103]);
}

TEST(BufferStream, ReadsSpanningRefills) {
  Bytes data = iota_bytes(1000);
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetBufferSize(16);
  bs.SetSource(&view);
  Bytes out;
  std::uint8_t buf[16];
  for (int n = 1; static_cast<std::size_t>(out.size()) < data.size(); n = n % 16 + 1) {
    const std::int32_t got = bs.Read(buf, n);
    ASSERT_GT(got, 0);
    out.insert(out.end(), buf, buf + got);
  }
  EXPECT_EQ(out, data);
}

TEST(BufferStream, SeekInsideWindowLeavesTheSourceAlone) {
  Bytes data = iota_bytes(200);
  CountingStream src(data);
  TvexBufferStream bs;
  bs.SetBufferSize(64);
  bs.SetSource(&src);
  std::uint8_t a[10], b[10];
  bs.Read(a, 10);
  const int seeks = src.seeks, reads = src.reads;
  bs.Seek(0);
  bs.Read(b, 10);
  EXPECT_EQ(0, std::memcmp(a, b, 10));
  bs.Seek(64); // WindowEnd itself is inside
  EXPECT_EQ(src.seeks, seeks);
  EXPECT_EQ(src.reads, reads);
  bs.Seek(65); // one past WindowEnd: buffer emptied, source repositioned
  EXPECT_EQ(src.seeks, seeks + 1);
  EXPECT_EQ(bs.GetWindowStart(), 65);
  EXPECT_EQ(bs.GetWindowEnd(), 65);
  bs.Read(b, 1);
  EXPECT_EQ(b[0], data[65]);
}

TEST(BufferStream, PatchingWrittenBytesBeforeFlush) {
  MemoryStream mem;
  TvexBufferStream bs;
  bs.SetSource(&mem);
  bs.SetWriteMode(true);
  const Bytes ten = iota_bytes(10);
  bs.Write(ten.data(), 10);
  bs.Seek(2);
  const std::uint8_t patch[2] = {0xAA, 0xBB};
  bs.Write(patch, 2);
  bs.Seek(10);
  Bytes expected = ten;
  expected[2] = 0xAA;
  expected[3] = 0xBB;
  EXPECT_EQ(written(bs, mem), expected);
}

TEST(BufferStream, WritesLargerThanTheBufferGoStraightAfterPending) {
  CountingStream dst({});
  TvexBufferStream bs;
  bs.SetBufferSize(16);
  bs.SetSource(&dst);
  bs.SetWriteMode(true);
  const Bytes big = iota_bytes(40);
  bs.Write(big.data(), 5);      // pending
  bs.Write(big.data() + 5, 12); // no room: pending goes out first
  EXPECT_EQ(dst.writes, 1);
  bs.Write(big.data() + 17, 23); // large: pending, then straight
  EXPECT_EQ(dst.writes, 3);
  bs.Flush();
  EXPECT_EQ(dst.mem_, big);
  EXPECT_EQ(bs.GetPosition(), 40);
}

TEST(BufferStream, ShortWriteRaisesWriteError) {
  CountingStream dst({});
  dst.limit = 3;
  TvexBufferStream bs;
  bs.SetSource(&dst);
  bs.SetWriteMode(true);
  const Bytes b = iota_bytes(8);
  bs.Write(b.data(), 8);
  try {
    bs.Flush();
    FAIL() << "no exception";
  } catch (const vex::WriteError& e) {
    EXPECT_STREQ(e.what(), "Error writing data to file.");
  }
}

TEST(BufferStream, ByteOrders) {
  const Bytes data = {0x00, 0x00, 0x01, 0x02, 0x34, 0x12};
  struct Case {
    bool big;
    std::uint32_t long_value;
    std::uint16_t word_value;
  };
  for (const Case c : {Case{true, 258, 0x3412}, Case{false, 0x02010000, 0x1234}}) {
    MemoryStream view(data.data(), data.size());
    TvexBufferStream bs;
    bs.SetBigEndian(c.big);
    bs.SetSource(&view);
    EXPECT_EQ(bs.ReadLong(), c.long_value);
    EXPECT_EQ(bs.ReadWord(), c.word_value);

    MemoryStream mem;
    TvexBufferStream out;
    out.SetBigEndian(c.big);
    out.SetSource(&mem);
    out.SetWriteMode(true);
    EXPECT_EQ(out.WriteLong(c.long_value), 4);
    EXPECT_EQ(out.WriteWord(c.word_value), 2);
    EXPECT_EQ(written(out, mem), data);
  }
}

namespace {

Bytes bits_written(const std::vector<std::pair<std::uint32_t, int>>& writes, bool flush_bits,
                   int* bits_free = nullptr) {
  MemoryStream mem;
  TvexBufferStream bs;
  bs.SetSource(&mem);
  bs.SetWriteMode(true);
  for (auto [v, n] : writes) bs.WriteBits(v, n);
  if (bits_free) *bits_free = bs.GetBitsFree();
  if (flush_bits) bs.FlushBits();
  // Flush without FlushBits would write the pending bits too, so take the
  // bytes before: Write goes into the buffer; flush only the whole bytes.
  if (!flush_bits) {
    // Whole bytes written so far are the buffer content up to the position.
    bs.ResetBits();
  }
  bs.Flush();
  return Bytes(mem.Memory(), mem.Memory() + mem.Size());
}

} // namespace

TEST(BufferStream, WriteBitsStuffsAfter0xFF) {
  struct Case {
    std::vector<std::pair<std::uint32_t, int>> writes;
    bool flush_bits;
    Bytes expected;
  };
  const Case cases[] = {
      // A full byte is written only when the next bit arrives.
      {{{0xFF, 8}, {1, 1}}, false, {0xFF, 0x00}},
      {{{0xFF, 8}, {1, 1}}, true, {0xFF, 0x00, 0x80}},
      {{{0xFF, 8}}, true, {0xFF, 0x00}},
      {{{1, 1}}, true, {0x80}},
      {{{0x3, 2}, {0x3F, 6}, {0, 1}}, true, {0xFF, 0x00, 0x00}},
      {{{0xABCDEF12, 32}}, true, {0xAB, 0xCD, 0xEF, 0x12}},
      {{{0x5, 3}, {0x1, 2}, {0x7FF, 11}}, true, {0xAF, 0xFF, 0x00}},
      {{{0, 0}}, true, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(bits_written(c.writes, c.flush_bits), c.expected);
  int bits_free = 0;
  bits_written({{0xFF, 8}, {1, 1}}, false, &bits_free);
  EXPECT_EQ(bits_free, 7);
}

TEST(BufferStream, ReadBitsDropsStuffedZeros) {
  const Bytes data = {0xFF, 0x00, 0x12};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  EXPECT_EQ(bs.ReadBits(8), 0xFFu);
  EXPECT_EQ(bs.ReadBits(8), 0x12u);
  EXPECT_EQ(bs.ReadBits(0), 0u);
}

TEST(BufferStream, ReadBitsStopsInFrontOfAMarker) {
  const Bytes data = {0xAB, 0xFF, 0xD9};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  EXPECT_EQ(bs.ReadBits(8), 0xABu);
  EXPECT_EQ(bs.ReadBits(16), 0u);
  EXPECT_EQ(bs.ReadBits(32), 0u);
  bs.ResetBits();
  EXPECT_EQ(bs.GetPosition(), 1);
  std::uint8_t m[2];
  ASSERT_EQ(bs.Read(m, 2), 2);
  EXPECT_EQ(m[0], 0xFF);
  EXPECT_EQ(m[1], 0xD9);
}

TEST(BufferStream, MarkerAcrossARefillIsStillFoundAgain) {
  // The 0xFF is the last byte of one window and the marker code the first of
  // the next: backing up two bytes must leave the window.
  Bytes data(20, 0x11);
  data[15] = 0xFF;
  data[16] = 0xD0;
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetBufferSize(16);
  bs.SetSource(&view);
  for (int i = 0; i < 15; ++i) ASSERT_EQ(bs.ReadBits(8), 0x11u);
  EXPECT_EQ(bs.ReadBits(8), 0u);
  bs.ResetBits();
  EXPECT_EQ(bs.GetPosition(), 15);
  EXPECT_EQ(bs.ReadWord(), 0xD0FF);
}

TEST(BufferStream, ReadBitsRaisesOnDNL) {
  const Bytes data = {0x12, 0xFF, 0xDC, 0x00};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  try {
    bs.ReadBits(8);
    FAIL() << "no exception";
  } catch (const vex::EJPEGException& e) {
    EXPECT_STREQ(e.what(), "JPEG, Unexpected DNL marker.");
  }
}

TEST(BufferStream, BitsRoundTripAndUnread) {
  // Random fields written and read back, with stuffing in between.
  std::vector<std::pair<std::uint32_t, int>> fields;
  std::uint64_t s = 12345;
  for (int i = 0; i < 2000; ++i) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    const int n = static_cast<int>((s >> 33) % 33);
    std::uint32_t v = static_cast<std::uint32_t>(s >> 7);
    if (n < 32) v &= (std::uint32_t{1} << n) - 1;
    if (i % 7 == 0 && n >= 8) v |= 0xFFu; // plenty of 0xFF bytes
    fields.emplace_back(v, n);
  }
  MemoryStream mem;
  TvexBufferStream w;
  w.SetBufferSize(64);
  w.SetSource(&mem);
  w.SetWriteMode(true);
  for (auto [v, n] : fields) w.WriteBits(v, n);
  w.FlushBits();
  const std::uint8_t tail[2] = {0xFF, 0xD9};
  w.Write(tail, 2);
  w.Flush();
  const Bytes bytes(mem.Memory(), mem.Memory() + mem.Size());

  MemoryStream view(bytes.data(), bytes.size());
  TvexBufferStream r;
  r.SetBufferSize(64);
  r.SetSource(&view);
  for (auto [v, n] : fields) ASSERT_EQ(r.ReadBits(n), v);
  r.UnreadBits();
  // The last partial byte was consumed; whole bytes fetched ahead are given back.
  EXPECT_EQ(r.ReadWord(), 0xD9FF);
}

TEST(BufferStream, UnreadBitsGivesBackWholeBytes) {
  const Bytes data = {0x12, 0x34, 0x56, 0x78, 0x9A};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  EXPECT_EQ(bs.ReadBits(4), 0x1u); // fetched 4 bytes, 28 bits left: 3 whole bytes
  bs.UnreadBits();
  EXPECT_EQ(bs.GetPosition(), 1);
  EXPECT_EQ(bs.GetBitsAvailable(), 0);
  std::uint8_t b;
  bs.Read(&b, 1);
  EXPECT_EQ(b, 0x34);
}

TEST(BufferStream, UnreadBitsAfterAMarkerGivesBackOnlyRealBytes) {
  // 0x12 0x34, then a marker: the reservoir counts 32 bits but only two
  // bytes arrived. Reading 4 bits leaves 12 real bits: one whole byte.
  const Bytes data = {0x12, 0x34, 0xFF, 0xD9};
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  EXPECT_EQ(bs.ReadBits(4), 0x1u);
  bs.UnreadBits();
  EXPECT_EQ(bs.GetPosition(), 1);
  EXPECT_EQ(bs.ReadBits(16), 0x3400u); // then zero bits in front of the marker
  bs.UnreadBits();
  EXPECT_EQ(bs.GetPosition(), 2);
  EXPECT_EQ(bs.ReadWord(), 0xD9FF);
}

TEST(BufferStream, UnreadBitsCountsAStuffedByteOnce) {
  // Each case: the bytes, the bits read before giving back, the position and
  // the byte read next. A stuffed 0xFF 0x00 is one data byte over two stream
  // bytes, so the way back must not count stream bytes.
  struct Case {
    Bytes data;
    int bits;
    std::int64_t position;
    std::uint8_t next;
  };
  const Case cases[] = {
      {{0x12, 0xFF, 0x00, 0x34, 0x56}, 8, 1, 0xFF},       // gives back FF(00) 34 56
      {{0x12, 0xFF, 0x00, 0x34, 0x56}, 16, 3, 0x34},      // the stuffed byte was used
      {{0xFF, 0x00, 0xFF, 0x00, 0x77, 0x88}, 4, 2, 0xFF}, // the first byte half used
      {{0x12, 0x34, 0xFF, 0x00, 0x56}, 12, 2, 0xFF},
  };
  for (const Case& c : cases) {
    MemoryStream view(c.data.data(), c.data.size());
    TvexBufferStream bs;
    bs.SetBufferSize(4);
    bs.SetSource(&view);
    bs.ReadBits(c.bits);
    bs.UnreadBits();
    EXPECT_EQ(bs.GetPosition(), c.position) << c.bits;
    std::uint8_t b = 0;
    EXPECT_EQ(bs.Read(&b, 1), 1);
    EXPECT_EQ(b, c.next) << c.bits;
  }
}

TEST(BufferStream, ResyncFollowsADirectMoveOfTheSource) {
  Bytes data = iota_bytes(100);
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetBufferSize(16);
  bs.SetSource(&view);
  std::uint8_t b[4];
  bs.Read(b, 4); // window 0..16, source at 16
  bs.Resync();   // nobody moved it: stays
  EXPECT_EQ(bs.GetPosition(), 4);
  view.Seek(10, SeekOrigin::Current); // someone skips 10 bytes on the source
  bs.Resync();
  EXPECT_EQ(bs.GetPosition(), 14);
  bs.Read(b, 1);
  EXPECT_EQ(b[0], data[14]);
}

TEST(BufferStream, SetWriteModeAndBufferSizeEmptyTheBuffer) {
  Bytes data = iota_bytes(50);
  MemoryStream view(data.data(), data.size());
  TvexBufferStream bs;
  bs.SetSource(&view);
  std::uint8_t b[4];
  bs.Read(b, 4);
  EXPECT_GT(bs.GetWindowEnd(), 4);
  bs.SetBufferSize(bs.GetBufferSize());
  EXPECT_EQ(bs.GetWindowStart(), 4);
  EXPECT_EQ(bs.GetWindowEnd(), 4);
  // The source stands at the end of the old window; reading goes on at the
  // logical position all the same.
  ASSERT_EQ(bs.Read(b, 4), 4);
  EXPECT_EQ(b[0], data[4]);
  bs.SetWriteMode(true);
  bs.SetWriteMode(false);
  ASSERT_EQ(bs.Read(b, 1), 1);
  EXPECT_EQ(b[0], data[8]);
}

TEST(BufferStream, FlushInReadModeWritesNothing) {
  CountingStream src(iota_bytes(50));
  TvexBufferStream bs;
  bs.SetSource(&src);
  std::uint8_t b[4];
  bs.Read(b, 4);
  bs.Flush();
  EXPECT_EQ(src.writes, 0);
  ASSERT_EQ(bs.Read(b, 1), 1);
  EXPECT_EQ(b[0], iota_bytes(50)[4]);
}
