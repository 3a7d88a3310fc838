#include "vexFileStream.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>

using vex::platform::SeekOrigin;

TvexBufferStream::TvexBufferStream() {
  Buffer.resize(static_cast<std::size_t>(BufferSize));
}

void TvexBufferStream::EmptyBuffer() {
  WindowStart = Position;
  WindowEnd = Position;
}

void TvexBufferStream::SetSource(Stream* source) {
  Source = source;
  Position = Source ? Source->Position() : 0;
  EmptyBuffer();
}

void TvexBufferStream::SetBufferSize(std::int64_t size) {
  if (size < 1) size = 1;
  if (size != BufferSize) {
    BufferSize = size;
    Buffer.assign(static_cast<std::size_t>(size), 0);
  }
  EmptyBuffer();
}

void TvexBufferStream::SetWriteMode(bool value) {
  if (value == WriteMode) return;
  WriteMode = value;
  EmptyBuffer();
}

std::int64_t TvexBufferStream::GetSize() {
  return Source ? Source->Size() : 0;
}

void TvexBufferStream::WritePending() {
  const std::int64_t pending = Position - WindowStart;
  if (pending > 0) {
    if (!Source) throw vex::WriteError();
    const std::int32_t n = Source->Write(Buffer.data(), static_cast<std::int32_t>(pending));
    if (n != pending) throw vex::WriteError();
  }
  EmptyBuffer();
}

void TvexBufferStream::Flush() {
  FlushBits();
  // Only written bytes are pending; the bytes of a read window are never
  // written back.
  if (WriteMode && Position != WindowStart) WritePending();
  EmptyBuffer();
}

void TvexBufferStream::Seek(std::int64_t new_position) {
  if (new_position == Position) return;
  if (new_position < WindowStart || new_position > WindowEnd) {
    if (WriteMode) Flush();
    WindowStart = WindowEnd = new_position;
    if (Source) Source->SetPosition(new_position);
  }
  Position = new_position;
}

std::int32_t TvexBufferStream::Read(void* dest, std::int32_t count) {
  if (count <= 0 || !Source) return 0;
  auto* out = static_cast<std::uint8_t*>(dest);
  if (count > BufferSize) {
    if (Source->Position() != Position) Source->SetPosition(Position);
    const std::int32_t n = std::max(Source->Read(out, count), 0);
    Position += n;
    EmptyBuffer();
    return n;
  }
  std::int64_t c = std::clamp<std::int64_t>(WindowEnd - Position, 0, count);
  if (c > 0)
    std::memcpy(out, Buffer.data() + (Position - WindowStart), static_cast<std::size_t>(c));
  if (c < count) {
    WindowStart = Position + c;
    // The source normally stands at the old WindowEnd already; after the
    // buffer was emptied (SetBufferSize, SetWriteMode) it may not.
    if (Source->Position() != WindowStart) Source->SetPosition(WindowStart);
    const std::int32_t m =
        std::max(Source->Read(Buffer.data(), static_cast<std::int32_t>(BufferSize)), 0);
    WindowEnd = WindowStart + m;
    const std::int64_t more = std::min<std::int64_t>(m, count - c);
    if (more > 0) std::memcpy(out + c, Buffer.data(), static_cast<std::size_t>(more));
    c += more;
  }
  Position += c;
  return static_cast<std::int32_t>(c);
}

std::int32_t TvexBufferStream::Write(const void* data, std::int32_t count) {
  if (count <= 0) return 0;
  if (count > BufferSize) {
    if (Position != WindowStart) WritePending();
    if (!Source) throw vex::WriteError();
    const std::int32_t n = std::max(Source->Write(data, count), 0);
    Position += n;
    EmptyBuffer();
    return n;
  }
  if (BufferSize - (Position - WindowStart) < count) WritePending();
  std::memcpy(Buffer.data() + (Position - WindowStart), data, static_cast<std::size_t>(count));
  Position += count;
  if (Position > WindowEnd) WindowEnd = Position;
  return count;
}

std::uint16_t TvexBufferStream::ReadWord() {
  std::uint8_t b[2] = {0, 0};
  Read(b, 2);
  if (BigEndian) return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
  return static_cast<std::uint16_t>((b[1] << 8) | b[0]);
}

std::uint32_t TvexBufferStream::ReadLong() {
  std::uint8_t b[4] = {0, 0, 0, 0};
  Read(b, 4);
  if (BigEndian)
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
  return (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[1]} << 8) |
         b[0];
}

std::int32_t TvexBufferStream::WriteWord(std::uint16_t value) {
  std::uint8_t b[2];
  if (BigEndian) {
    b[0] = static_cast<std::uint8_t>(value >> 8);
    b[1] = static_cast<std::uint8_t>(value);
  } else {
    b[0] = static_cast<std::uint8_t>(value);
    b[1] = static_cast<std::uint8_t>(value >> 8);
  }
  return Write(b, 2);
}

std::int32_t TvexBufferStream::WriteLong(std::uint32_t value) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) {
    const int shift = BigEndian ? 24 - 8 * i : 8 * i;
    b[i] = static_cast<std::uint8_t>(value >> shift);
  }
  return Write(b, 4);
}

int TvexBufferStream::GetByte() {
  // Fast path: the byte is already in the window.
  if (Position >= WindowStart && Position < WindowEnd) {
    const std::uint8_t b = Buffer[static_cast<std::size_t>(Position - WindowStart)];
    ++Position;
    return b;
  }
  std::uint8_t b = 0;
  return Read(&b, 1) == 1 ? b : -1;
}

void TvexBufferStream::PutByte(std::uint8_t b) {
  if (WriteMode && Position >= WindowStart && Position - WindowStart < BufferSize) {
    Buffer[static_cast<std::size_t>(Position - WindowStart)] = b;
    ++Position;
    if (Position > WindowEnd) WindowEnd = Position;
    return;
  }
  Write(&b, 1);
}

std::uint32_t TvexBufferStream::ReadBits(int count) {
  if (count <= 0) return 0;
  if (count > 32) count = 32;
  if (count <= BitsAvailable) {
    const std::uint32_t v = BitBuffer >> (BitsAvailable - count);
    BitsAvailable = static_cast<std::uint16_t>(BitsAvailable - count);
    return count == 32 ? v : v & ((std::uint32_t{1} << count) - 1);
  }
  std::uint32_t high = 0;
  if (BitsAvailable > 0)
    high = (BitBuffer & ((std::uint32_t{1} << BitsAvailable) - 1)) << (count - BitsAvailable);
  BitBuffer = 0;
  int fetched = 0;
  for (int k = 0; k < 4; ++k) {
    const std::int64_t at = Position;
    const int b = GetByte();
    if (b < 0) break; // the data ends: the rest stays zero bits
    if (b == 0xFF) {
      const int f = GetByte();
      if (f == 0xDC) throw vex::EJPEGException("JPEG, Unexpected DNL marker.");
      if (f > 0) {
        // A marker: leave it for the byte-level reads.
        Seek(Position - 2);
        break;
      }
      // f == 0x00 is a stuffed zero; an 0xFF at the very end counts as data.
    }
    BitBuffer |= static_cast<std::uint32_t>(b) << (24 - 8 * k);
    FetchOffset[fetched] = at;
    ++fetched;
  }
  FetchedBytes = static_cast<std::uint16_t>(fetched);
  PhantomBits = static_cast<std::uint16_t>(32 - 8 * fetched);
  BitsAvailable = static_cast<std::uint16_t>(BitsAvailable + 32 - count);
  return (BitsAvailable >= 32 ? 0 : BitBuffer >> BitsAvailable) | high;
}

void TvexBufferStream::WriteBits(std::uint32_t value, int count) {
  if (count > 32) count = 32;
  while (count > 0) {
    if (BitsFree == 0) {
      const auto byte = static_cast<std::uint8_t>(BitBuffer);
      PutByte(byte);
      if (byte == 0xFF) PutByte(0);
      BitBuffer = 0;
      BitsFree = 8;
    }
    const int n = std::min<int>(BitsFree, count);
    const std::uint32_t bits = (value >> (count - n)) & ((std::uint32_t{1} << n) - 1);
    BitsFree = static_cast<std::uint16_t>(BitsFree - n);
    BitBuffer |= bits << BitsFree;
    count -= n;
  }
}

void TvexBufferStream::FlushBits() {
  if (BitsFree != 8) {
    const auto byte = static_cast<std::uint8_t>(BitBuffer);
    PutByte(byte);
    if (byte == 0xFF) PutByte(0);
  }
  BitBuffer = 0;
  ResetBits();
}

void TvexBufferStream::ResetBits() {
  BitsAvailable = 0;
  PhantomBits = 0;
  BitsFree = 8;
}

void TvexBufferStream::UnreadBits() {
  // Only bytes that really arrived go back; the zero bits counted in after a
  // marker or the end of the data were never read from the stream.
  // A stuffed 0xFF 0x00 is one byte of data but two in the stream, so the
  // way back goes to the recorded offset of the first unused byte rather
  // than n stream bytes back.
  const int n = std::min(std::max(BitsAvailable - PhantomBits, 0) / 8, int{FetchedBytes});
  ResetBits();
  if (n > 0) Seek(FetchOffset[FetchedBytes - n]);
}

void TvexBufferStream::Resync() {
  UnreadBits();
  if (Source) Seek(Source->Position() + Position - WindowEnd);
}
