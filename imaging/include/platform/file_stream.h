// Seekable byte streams: files and memory. Read and Write return the number
// of bytes moved (short only at the end or on failure); ReadBuffer and
// WriteBuffer raise ReadError / WriteError when not all bytes move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vex::platform {

enum class SeekOrigin { Begin, Current, End };

class Stream {
public:
  virtual ~Stream() = default;
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
  virtual std::int64_t Size() = 0;
  virtual void SetSize(std::int64_t size) = 0;
  // Up to `count` bytes from `offset` without moving the stream, safe on
  // another thread beside the stream's other reads; the count read, or -1
  // when the stream cannot.
  virtual std::int32_t ReadAt(std::int64_t /*offset*/, void* /*buffer*/, std::int32_t /*count*/) {
    return -1;
  }

  std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(std::int64_t pos) { Seek(pos, SeekOrigin::Begin); }
  void ReadBuffer(void* buffer, std::int32_t count);
  void WriteBuffer(const void* buffer, std::int32_t count);
};

enum class FileMode {
  OpenRead,      // read; others may read too
  OpenReadWrite, // read and write; others may not write
  Create,        // create or truncate, then write
};

class FileStream final : public Stream {
public:
  // Throws ReadError (open) or WriteError (create) with the system's reason
  // when the file cannot be opened.
  FileStream(const std::string& path, FileMode mode);
  ~FileStream() override;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;
  std::int32_t ReadAt(std::int64_t offset, void* buffer, std::int32_t count) override;

  const std::string& path() const { return path_; }
  // Last-write time as days since 30 December 1899 plus the fraction of the day (UTC).
  double LastWriteTime();
  // Error number of the last failing system call (errno).
  int last_errno() const { return last_errno_; }

private:
  int fd_ = -1;
  std::string path_;
  int last_errno_ = 0;
};

// Growable memory stream. Can also wrap read-only bytes without copying.
class MemoryStream final : public Stream {
public:
  MemoryStream() = default;
  // Read-only view over bytes that outlive the stream.
  MemoryStream(const void* data, std::size_t size);

  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;
  // (Only while nothing writes to the stream.)
  std::int32_t ReadAt(std::int64_t offset, void* buffer, std::int32_t count) override;

  void Clear();
  // Bytes of the stream (for a read-only view, the viewed bytes).
  const std::uint8_t* Memory() const;
  std::uint8_t* MutableMemory();
  std::vector<std::uint8_t> TakeBytes();
  // Makes writes fail after `limit` bytes in total (to test full disks).
  void SetWriteLimit(std::int64_t limit) { write_limit_ = limit; }

private:
  std::vector<std::uint8_t> bytes_;
  const std::uint8_t* view_ = nullptr;
  std::size_t view_size_ = 0;
  std::int64_t pos_ = 0;
  std::int64_t write_limit_ = -1;
};

} // namespace vex::platform
