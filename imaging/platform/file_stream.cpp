#include "platform/file_stream.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vex::platform {

void Stream::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw ReadError();
}

void Stream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw WriteError();
}

FileStream::FileStream(const std::string& path, FileMode mode) : path_(path) {
  int flags = 0;
  switch (mode) {
  case FileMode::OpenRead:
    flags = O_RDONLY;
    break;
  case FileMode::OpenReadWrite:
    flags = O_RDWR;
    break;
  case FileMode::Create:
    flags = O_RDWR | O_CREAT | O_TRUNC;
    break;
  }
  fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    last_errno_ = errno;
    const std::string why = std::strerror(last_errno_);
    if (mode == FileMode::Create) throw WriteError("Cannot create file \"" + path + "\". " + why);
    throw ReadError("Cannot open file \"" + path + "\". " + why);
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw ReadError("Cannot open file \"" + path + "\". Is a directory");
  }
  // Readers share, writers do not: advisory locks stand in for share modes.
  const int lock = mode == FileMode::OpenRead ? LOCK_SH : LOCK_EX;
  if (::flock(fd_, lock | LOCK_NB) != 0) {
    last_errno_ = errno;
    ::close(fd_);
    fd_ = -1;
    if (mode == FileMode::Create) throw WriteError("Cannot create file \"" + path + "\". In use");
    throw ReadError("Cannot open file \"" + path + "\". In use");
  }
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::int32_t FileStream::ReadAt(std::int64_t offset, void* buffer, std::int32_t count) {
  if (count <= 0 || offset < 0) return 0;
  auto* p = static_cast<char*>(buffer);
  std::int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, p + done, static_cast<std::size_t>(count - done),
                              static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

std::int32_t FileStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  auto* p = static_cast<char*>(buffer);
  std::int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, p + done, static_cast<std::size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      last_errno_ = errno;
      throw ReadError();
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

std::int32_t FileStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const auto* p = static_cast<const char*>(buffer);
  std::int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, p + done, static_cast<std::size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      last_errno_ = errno;
      break; // a short count tells the caller; disk full lands here
    }
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

std::int64_t FileStream::Seek(std::int64_t offset, SeekOrigin origin) {
  const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                     : origin == SeekOrigin::Current ? SEEK_CUR
                                                     : SEEK_END;
  const off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (r < 0) {
    last_errno_ = errno;
    throw ReadError("Stream seek error");
  }
  return static_cast<std::int64_t>(r);
}

std::int64_t FileStream::Size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    last_errno_ = errno;
    throw ReadError();
  }
  return static_cast<std::int64_t>(st.st_size);
}

void FileStream::SetSize(std::int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    last_errno_ = errno;
    throw WriteError();
  }
}

double FileStream::LastWriteTime() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return 0;
  // 25569 days separate 30 December 1899 from 1 January 1970.
  const long double seconds =
      static_cast<long double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9L;
  return static_cast<double>(25569.0L + seconds / 86400.0L);
}

MemoryStream::MemoryStream(const void* data, std::size_t size)
    : view_(static_cast<const std::uint8_t*>(data)), view_size_(size) {
  if (!view_) view_size_ = 0;
}

std::int32_t MemoryStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t size = Size();
  if (pos_ >= size) return 0;
  const std::int64_t n = std::min<std::int64_t>(count, size - pos_);
  std::memcpy(buffer, Memory() + pos_, static_cast<std::size_t>(n));
  pos_ += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t MemoryStream::ReadAt(std::int64_t offset, void* buffer, std::int32_t count) {
  const std::int64_t size = Size();
  if (count <= 0 || offset < 0 || offset >= size) return 0;
  const std::int64_t n = std::min<std::int64_t>(count, size - offset);
  std::memcpy(buffer, Memory() + offset, static_cast<std::size_t>(n));
  return static_cast<std::int32_t>(n);
}

std::int32_t MemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  if (view_) return 0; // read-only view
  std::int64_t n = count;
  if (write_limit_ >= 0) n = std::clamp<std::int64_t>(write_limit_ - pos_, 0, n);
  if (n == 0) return 0;
  const std::int64_t end = pos_ + n;
  if (end > static_cast<std::int64_t>(bytes_.size())) bytes_.resize(static_cast<std::size_t>(end));
  std::memcpy(bytes_.data() + pos_, buffer, static_cast<std::size_t>(n));
  pos_ = end;
  return static_cast<std::int32_t>(n);
}

std::int64_t MemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == SeekOrigin::Current) base = pos_;
  if (origin == SeekOrigin::End) base = Size();
  const std::int64_t target = base + offset;
  if (target < 0) throw ReadError("Stream seek error");
  pos_ = target;
  return pos_;
}

std::int64_t MemoryStream::Size() {
  return view_ ? static_cast<std::int64_t>(view_size_) : static_cast<std::int64_t>(bytes_.size());
}

void MemoryStream::SetSize(std::int64_t size) {
  if (view_) throw WriteError();
  if (size < 0) size = 0;
  bytes_.resize(static_cast<std::size_t>(size));
  if (pos_ > size) pos_ = size;
}

void MemoryStream::Clear() {
  bytes_.clear();
  bytes_.shrink_to_fit();
  view_ = nullptr;
  view_size_ = 0;
  pos_ = 0;
}

const std::uint8_t* MemoryStream::Memory() const {
  return view_ ? view_ : bytes_.data();
}

std::uint8_t* MemoryStream::MutableMemory() {
  return view_ ? nullptr : bytes_.data();
}

std::vector<std::uint8_t> MemoryStream::TakeBytes() {
  if (view_) return std::vector<std::uint8_t>(view_, view_ + view_size_);
  pos_ = 0;
  return std::move(bytes_);
}

} // namespace vex::platform
