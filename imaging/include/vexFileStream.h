// A single block buffer in front of a seekable byte stream. Every format
// reads and writes through it: byte blocks, 16- and 32-bit values in either
// byte order, and bit fields with marker handling (reading) and 0xFF byte
// stuffing (writing) for the JPEG entropy coder.
#pragma once

#include "platform/file_stream.h"

#include <cstdint>
#include <vector>

class TvexBufferStream {
public:
  using Stream = vex::platform::Stream;

  static constexpr std::int64_t kDefaultBufferSize = 0x8FFF;

  TvexBufferStream();
  ~TvexBufferStream() = default;
  TvexBufferStream(const TvexBufferStream&) = delete;
  TvexBufferStream& operator=(const TvexBufferStream&) = delete;

  // Attaches a stream (not owned; null detaches). The logical position
  // becomes the stream's own position and the buffer is empty.
  void SetSource(Stream* source);
  Stream* GetSource() const { return Source; }

  // Always leaves the buffer empty; pending written bytes are dropped, so
  // writers Flush first.
  void SetBufferSize(std::int64_t size);
  std::int64_t GetBufferSize() const { return BufferSize; }

  // Empties the buffer when the mode changes; nothing is flushed.
  void SetWriteMode(bool value);
  bool GetWriteMode() const { return WriteMode; }

  bool GetBigEndian() const { return BigEndian; }
  void SetBigEndian(bool value) { BigEndian = value; }

  std::int64_t GetPosition() const { return Position; }
  // Size of the source (0 without one).
  std::int64_t GetSize();
  void Seek(std::int64_t new_position);

  // Fewer than `count` bytes only at the end of the source; never throws for
  // the end of data.
  std::int32_t Read(void* dest, std::int32_t count);
  // Throws vex::WriteError when the source does not take every byte.
  std::int32_t Write(const void* data, std::int32_t count);
  void Flush();

  // Values in the byte order of BigEndian. A value cut by the end of the data
  // has its missing bytes taken as 0.
  std::uint16_t ReadWord();
  std::uint32_t ReadLong();
  std::int32_t WriteWord(std::uint16_t value);
  std::int32_t WriteLong(std::uint32_t value);

  // Entropy-coded bit fields, most significant bit first. ReadBits drops the
  // 0x00 after a data byte 0xFF, stops in front of any other marker (leaving
  // it for byte-level reads and delivering zero bits from then on) and throws
  // vex::EJPEGException for a DNL marker. Count is 0..32.
  std::uint32_t ReadBits(int count);
  void WriteBits(std::uint32_t value, int count);
  void FlushBits();
  void ResetBits();
  // Gives back whole bytes ReadBits fetched but did not use.
  void UnreadBits();
  // After someone moved the source directly: the logical position follows.
  void Resync();

  // Window state, for tests and diagnostics.
  std::int64_t GetWindowStart() const { return WindowStart; }
  std::int64_t GetWindowEnd() const { return WindowEnd; }
  int GetBitsAvailable() const { return BitsAvailable; }
  int GetBitsFree() const { return BitsFree; }

private:
  void EmptyBuffer();
  // Writes the pending bytes WindowStart..Position-1 to the source.
  void WritePending();
  void PutByte(std::uint8_t b);
  // Next byte, or -1 at the end of the data.
  int GetByte();

  Stream* Source = nullptr;
  std::vector<std::uint8_t> Buffer;
  std::int64_t BufferSize = kDefaultBufferSize;
  bool WriteMode = false;
  std::int64_t Position = 0;
  std::int64_t WindowStart = 0;
  std::int64_t WindowEnd = 0;
  bool BigEndian = false;
  std::uint32_t BitBuffer = 0;
  std::uint16_t BitsAvailable = 0;
  std::uint16_t BitsFree = 8;
  // Low bits of the reservoir that are zero fill, not stream bytes (the fetch
  // stopped at a marker or at the end of the data).
  std::uint16_t PhantomBits = 0;
  // Stream offsets of the bytes the last refill of the reservoir fetched.
  std::int64_t FetchOffset[4] = {0, 0, 0, 0};
  std::uint16_t FetchedBytes = 0;
};
