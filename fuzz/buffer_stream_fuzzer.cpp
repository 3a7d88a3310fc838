// seeds: jpeg
// The buffered stream against a plain model, with a small buffer so that
// windows turn over often. Two halves, chosen by the first byte:
// - reading: random reads, seeks, words, longs and bit-field runs over the
//   input as a read-only file; every byte and bit must be the model's, and
//   UnreadBits must leave the position at the first byte whose bits were not
//   touched, counting a stuffed 0xFF 0x00 as one byte;
// - writing: segments of random bit fields separated by markers, with patched
//   bytes in between; what comes out must hold no stray marker and read back
//   to the same fields, each marker found where it was written.
#include "platform/exceptions.h"
#include "platform/file_stream.h"
#include "vexFileStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class Input {
public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void check(bool ok) {
  if (!ok) std::abort();
}

// Entropy-coded data from `start` with the stuffing removed, up to the first
// marker (0xFF followed by anything but 0x00; a last 0xFF is data). offsets[k]
// is the file offset of data byte k; offsets.back() is where the data ends.
struct Destuffed {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> offsets;
  bool dnl = false; // the data ends at a DNL marker
};

Destuffed destuff(const std::vector<std::uint8_t>& file, std::size_t start) {
  Destuffed d;
  std::size_t i = start;
  while (i < file.size()) {
    if (file[i] == 0xFF && i + 1 < file.size()) {
      if (file[i + 1] != 0x00) {
        d.dnl = file[i + 1] == 0xDC;
        break;
      }
      d.offsets.push_back(static_cast<std::int64_t>(i));
      d.bytes.push_back(0xFF);
      i += 2;
      continue;
    }
    d.offsets.push_back(static_cast<std::int64_t>(i));
    d.bytes.push_back(file[i]);
    ++i;
  }
  d.offsets.push_back(static_cast<std::int64_t>(i));
  return d;
}

std::uint32_t bits_at(const std::vector<std::uint8_t>& bytes, std::int64_t bit, int count) {
  std::uint32_t v = 0;
  for (int k = 0; k < count; ++k, ++bit) {
    const auto byte = static_cast<std::size_t>(bit / 8);
    const int b = byte < bytes.size() ? (bytes[byte] >> (7 - bit % 8)) & 1 : 0;
    v = (v << 1) | static_cast<std::uint32_t>(b);
  }
  return v;
}

void reading(Input& in, const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  const auto file_size = static_cast<std::int64_t>(size);
  vex::platform::MemoryStream source(data, size);
  TvexBufferStream bs;
  bs.SetBufferSize(1 + in.byte() % 48);
  bs.SetSource(&source);
  std::int64_t pos = 0;
  std::uint8_t got[300];

  for (int op = 0; op < 64 && !in.empty(); ++op) {
    check(bs.GetPosition() == pos);
    const std::int64_t left = pos < file_size ? file_size - pos : 0;
    switch (in.byte() % 6) {
    case 0: { // Read
      const int n = in.byte() + in.byte() % 2 * 40;
      std::memset(got, 0xA5, sizeof got);
      const std::int32_t r = bs.Read(got, n);
      check(r == std::min<std::int64_t>(n, left));
      check(r == 0 || std::memcmp(got, data + pos, static_cast<std::size_t>(r)) == 0);
      pos += r;
      break;
    }
    case 1: { // Seek anywhere in the file and a little past its end
      pos = in.u32() % static_cast<std::uint32_t>(file_size + 8);
      bs.Seek(pos);
      break;
    }
    case 2: { // Seek near the current position (often inside the window)
      pos = std::max<std::int64_t>(pos + static_cast<std::int8_t>(in.byte()), 0);
      bs.Seek(pos);
      break;
    }
    case 3: { // Words and longs in either byte order
      const bool big = in.byte() & 1;
      bs.SetBigEndian(big);
      std::uint8_t b[4] = {0, 0, 0, 0};
      for (int k = 0; k < 4 && pos + k < file_size; ++k) b[k] = data[pos + k];
      if (in.byte() & 1) {
        const std::uint32_t want =
            big ? (std::uint32_t{b[0]} << 8) | b[1] : (std::uint32_t{b[1]} << 8) | b[0];
        check(bs.ReadWord() == want);
        pos += std::min<std::int64_t>(2, left);
      } else {
        std::uint32_t want = 0;
        for (int k = 0; k < 4; ++k) want = (want << 8) | b[big ? k : 3 - k];
        check(bs.ReadLong() == want);
        pos += std::min<std::int64_t>(4, left);
      }
      break;
    }
    default: { // A run of bit fields, then the unused whole bytes given back
      const Destuffed d = destuff(file, static_cast<std::size_t>(std::min(pos, file_size)));
      const auto data_bits = static_cast<std::int64_t>(d.bytes.size()) * 8;
      bs.ResetBits();
      std::int64_t cursor = 0;
      bool dnl = false;
      const int fields = 1 + in.byte() % 16;
      for (int f = 0; f < fields; ++f) {
        const int n = in.byte() % 33;
        try {
          const std::uint32_t v = bs.ReadBits(n);
          check(v == bits_at(d.bytes, cursor, n));
        } catch (const vex::EJPEGException&) {
          // Only a fetch that runs into a DNL marker may throw.
          check(d.dnl && cursor + n > data_bits - 32);
          dnl = true;
          break;
        }
        cursor += n;
      }
      if (dnl) {
        bs.ResetBits();
        pos = 0;
        bs.Seek(0);
        break;
      }
      bs.UnreadBits();
      // Past the end nothing is fetched and the position stays.
      if (pos < file_size) {
        const std::int64_t next =
            std::min<std::int64_t>((cursor + 7) / 8, static_cast<std::int64_t>(d.bytes.size()));
        pos = d.offsets[static_cast<std::size_t>(next)];
      }
      check(bs.GetPosition() == pos);
      break;
    }
    }
  }
}

void writing(Input& in) {
  vex::platform::MemoryStream sink;
  TvexBufferStream bs;
  bs.SetBufferSize(1 + in.byte() % 48);
  bs.SetSource(&sink);
  bs.SetWriteMode(true);

  struct Field {
    std::uint32_t value;
    int count;
  };
  struct Segment {
    std::vector<Field> fields;
    std::uint8_t marker; // 0: the data simply ends
    std::int64_t marker_at = 0;
  };
  std::vector<Segment> segments;
  std::vector<std::uint8_t> model; // every byte written, stuffing included
  const int count = 1 + in.byte() % 6;
  for (int s = 0; s < count; ++s) {
    Segment seg;
    const int fields = in.byte() % 40;
    for (int f = 0; f < fields; ++f) {
      const int n = in.byte() % 33;
      const std::uint32_t v = in.u32();
      const std::uint32_t mask = n == 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << n) - 1;
      seg.fields.push_back({v & mask, n});
      bs.WriteBits(v, n);
    }
    bs.FlushBits();
    // Any marker but a DNL (and not 0x00, which is stuffing, nor 0xFF, a fill).
    std::uint8_t m = in.byte();
    if (m == 0x00 || m == 0xFF || m == 0xDC) m = 0xD0;
    seg.marker = s + 1 < count || (in.byte() & 1) ? m : 0;
    seg.marker_at = bs.GetPosition();
    if (seg.marker) {
      const std::uint8_t marker[2] = {0xFF, seg.marker};
      check(bs.Write(marker, 2) == 2);
      // Patch the marker code in place, then move back to the end.
      if (in.byte() & 1) {
        const std::int64_t end = bs.GetPosition();
        bs.Seek(end - 1);
        check(bs.Write(&seg.marker, 1) == 1);
        bs.Seek(end);
      }
    }
    segments.push_back(seg);
  }
  bs.Flush();
  bs.SetSource(nullptr);
  const std::vector<std::uint8_t> file(sink.Memory(), sink.Memory() + sink.Size());

  // No 0xFF in the entropy-coded data stands before anything but 0x00.
  for (const Segment& seg : segments) {
    check(seg.marker_at <= static_cast<std::int64_t>(file.size()));
    if (seg.marker) {
      check(seg.marker_at + 2 <= static_cast<std::int64_t>(file.size()));
      check(file[static_cast<std::size_t>(seg.marker_at)] == 0xFF &&
            file[static_cast<std::size_t>(seg.marker_at) + 1] == seg.marker);
    }
  }

  vex::platform::MemoryStream source(file.data(), file.size());
  TvexBufferStream rd;
  rd.SetBufferSize(1 + in.byte() % 48);
  rd.SetSource(&source);
  std::int64_t start = 0;
  for (const Segment& seg : segments) {
    const Destuffed d = destuff(file, static_cast<std::size_t>(start));
    check(d.offsets.back() == seg.marker_at);
    check(!d.dnl);
    rd.ResetBits();
    std::int64_t cursor = 0;
    for (const Field& f : seg.fields) {
      check(rd.ReadBits(f.count) == f.value);
      cursor += f.count;
    }
    // The byte padding and everything past the marker read as zero bits.
    const int extra = in.byte() % 33;
    check(rd.ReadBits(extra) == bits_at(d.bytes, cursor, extra));
    rd.UnreadBits();
    check(rd.GetPosition() == seg.marker_at);
    if (seg.marker) {
      std::uint8_t got[2] = {0, 0};
      check(rd.Read(got, 2) == 2 && got[0] == 0xFF && got[1] == seg.marker);
    }
    start = rd.GetPosition();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 65536) return 0;
  Input in(data, size);
  if (data[0] & 1) {
    // The operations come from the input's tail, the file is all of it.
    Input ops(data + size / 2, size - size / 2);
    reading(ops, data, size);
  } else {
    in.byte();
    writing(in);
  }
  return 0;
}
