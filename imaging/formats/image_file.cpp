#include "vexImageFile.h"

#include "format_kit.h"
#include "vexImageColor.h"

#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace pf = vex::platform;

std::uint16_t SwapWord(std::uint16_t x) {
  return static_cast<std::uint16_t>((x << 8) | (x >> 8));
}

std::uint32_t SwapLong(std::uint32_t x) {
  return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}

TvexImageFile::TvexImageFile() : BitmapInfo(std::make_unique<pf::BitmapInfo>()) {
  BitmapInfo->bmiHeader = {};
  BitmapInfo->bmiHeader.biSize = 0;
  BitmapInfo->bmiHeader.biPlanes = 0;
  BufferStream.SetBufferSize(kBufferSize);
  BufferStream.SetBigEndian(false);
}

TvexImageFile::~TvexImageFile() {
  BufferStream.SetSource(nullptr);
  DataStream.Clear();
}

std::int32_t TvexImageFile::GetNumImages() {
  return NumImages;
}

void TvexImageFile::Lock() {
  CountLock.Enter();
  ++LockCount;
  CountLock.Leave();
  FileLock.Enter();
}

void TvexImageFile::Unlock() {
  FileLock.Leave();
  CountLock.Enter();
  --LockCount;
  CountLock.Leave();
}

bool TvexImageFile::OpenFile(const std::string& file_name, FileMode mode,
                             std::unique_ptr<Stream>& stream) {
  stream.reset();
  Lock();
  try {
    StreamStart = 0;
    BufferStream.SetSource(nullptr);
    auto file = std::make_unique<pf::FileStream>(file_name, mode);
    if (ImageInfo) ImageInfo->SetDateTime(file->LastWriteTime());
    stream = std::move(file);
  } catch (...) {
    stream.reset();
    Error = mode == FileMode::Create ? EC_CREATEFILE : EC_OPENFILE;
  }
  if (!stream) Unlock();
  return stream != nullptr;
}

void TvexImageFile::CloseFile(std::unique_ptr<Stream>& stream) {
  BufferStream.SetSource(nullptr);
  if (ImageInfo && stream) {
    try {
      const std::int64_t size = stream->Size();
      ImageInfo->SetFileSize(static_cast<std::int32_t>(
          std::min<std::int64_t>(size, std::numeric_limits<std::int32_t>::max())));
    } catch (...) {
      // The size is informative only; closing goes on.
    }
  }
  stream.reset();
  Unlock();
}

DibHandle TvexImageFile::LoadFromFile(const std::string& file_name) {
  DIBHandle = DibHandle::Null;
  std::unique_ptr<Stream> stream;
  if (OpenFile(file_name, FileMode::OpenRead, stream)) {
    try {
      ReadImage(stream.get());
    } catch (...) {
      CloseFile(stream);
      throw;
    }
    CloseFile(stream);
  }
  return DIBHandle;
}

void TvexImageFile::SaveToFile(const std::string& file_name, DibHandle dib) {
  DIBHandle = dib;
  if (!CanWrite()) {
    Error = EC_UNKNOWNFORMAT;
    return;
  }
  std::unique_ptr<Stream> stream;
  if (OpenFile(file_name, FileMode::Create, stream)) {
    try {
      WriteImage(stream.get());
    } catch (...) {
      CloseFile(stream);
      throw;
    }
    CloseFile(stream);
  }
}

void TvexImageFile::AppendImage(const std::string& file_name, DibHandle dib) {
  if (!CanAppend) {
    Error = EC_NOAPPEND;
    return;
  }
  DIBHandle = dib;
  std::unique_ptr<Stream> stream;
  if (OpenFile(file_name, FileMode::OpenReadWrite, stream)) {
    try {
      ImageIndex = -1;
      stream->Seek(0, pf::SeekOrigin::End);
      WriteImage(stream.get());
    } catch (...) {
      CloseFile(stream);
      throw;
    }
    CloseFile(stream);
  }
}

namespace {

// Holds the object's lock for one stream operation and leaves the buffered
// stream detached however the operation ends.
class StreamWork {
public:
  StreamWork(TvexImageFile& file, TvexBufferStream& buffer) : file_(file), buffer_(buffer) {
    file_.Lock();
    buffer_.SetSource(nullptr);
  }
  ~StreamWork() {
    buffer_.SetSource(nullptr);
    file_.Unlock();
  }
  StreamWork(const StreamWork&) = delete;
  StreamWork& operator=(const StreamWork&) = delete;

private:
  TvexImageFile& file_;
  TvexBufferStream& buffer_;
};

} // namespace

DibHandle TvexImageFile::LoadFromStream(Stream& stream) {
  StreamWork work(*this, BufferStream);
  DIBHandle = DibHandle::Null;
  StreamStart = 0;
  ReadImage(&stream);
  return DIBHandle;
}

void TvexImageFile::SaveToStream(Stream& stream, DibHandle dib) {
  StreamWork work(*this, BufferStream);
  DIBHandle = dib;
  StreamStart = 0;
  WriteImage(&stream);
}

// ---------------------------------------------------------------------------
// The entry frame

TvexErrorCode TvexImageFile::TranslateException() const {
  try {
    throw;
  } catch (const vex::ReadError&) {
    return Failures.read;
  } catch (const vex::EndOfFile&) {
    return Failures.end;
  } catch (const vex::WriteError&) {
    return Failures.write;
  } catch (const vex::EJPEGException&) {
    return Failures.coder;
  } catch (const vex::EPNGException&) {
    return Failures.coder;
  } catch (const std::bad_alloc&) {
    return Failures.memory;
  } catch (...) {
    return Failures.other;
  }
}

void TvexImageFile::ReadImage(Stream* stream) {
  DIBHandle = DibHandle::Null;
  DIBBits = nullptr;
  Failures = TvexFailureCodes{};
  if (!stream) {
    Error = EC_FILENOTOPEN;
    return;
  }
  BufferStream.SetSource(stream);
  BufferStream.SetWriteMode(false);
  BufferStream.SetBigEndian(FileBigEndian());
  const std::int64_t start = BufferStream.GetPosition();
  bool recognised = false;
  try {
    if (ReadHeader(stream) == EC_OK) {
      recognised = true;
      DecodeImage();
    }
  } catch (...) {
    Fail(TranslateException());
  }
  // The caller's stream: back where it was for a file this format does not
  // know (the manager asks the next one), else where the format stopped.
  try {
    BufferStream.ResetBits();
    const std::int64_t at =
        recognised || Error != EC_BADFORMAT ? BufferStream.GetPosition() : start;
    if (stream->Position() != at) stream->SetPosition(at);
  } catch (...) {
    // Positioning the caller's stream is a courtesy; the outcome stands.
  }
}

void TvexImageFile::WriteImage(Stream* stream) {
  Failures = TvexFailureCodes{};
  Error = EC_OK;
  if (!CanWrite()) {
    Error = EC_UNKNOWNFORMAT;
    return;
  }
  if (!stream) {
    Error = EC_FILENOTOPEN;
    return;
  }
  BufferStream.SetSource(stream);
  BufferStream.SetWriteMode(true);
  BufferStream.SetBigEndian(FileBigEndian());
  if (!AttachDIB()) return;
  try {
    EncodeImage();
    BufferStream.Flush();
  } catch (...) {
    Fail(TranslateException());
    BufferStream.SetWriteMode(false);
    if (PassesWriteExceptions()) throw;
  }
  BufferStream.SetWriteMode(false);
}

TvexErrorCode TvexImageFile::ReadHeader(Stream* stream) {
  if (!stream) {
    Error = EC_FILENOTOPEN;
    return Error;
  }
  Error = EC_BADFORMAT;
  // The buffered stream may have read ahead of the file's own position.
  StreamStart =
      BufferStream.GetSource() == stream ? BufferStream.GetPosition() : stream->Position();
  return Error;
}

void TvexImageFile::SeekFromStart(std::int64_t offset) {
  BufferStream.Seek(StreamStart + offset);
}

std::int32_t TvexImageFile::GetNumColors(const pf::BitmapInfoHeader& header) {
  if (header.biBitCount > 8)
    return static_cast<std::int32_t>(std::min<std::uint32_t>(header.biClrUsed, 256));
  return std::int32_t{1} << header.biBitCount;
}

bool TvexImageFile::CreateDIB() {
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biSize = 40;
  const std::int64_t bit_count = std::int64_t{h.biPlanes} * h.biBitCount;
  const std::int64_t line = pf::dib_line_width(h.biWidth, bit_count);
  const std::int64_t rows = std::abs(std::int64_t{h.biHeight});
  // Sizes a section can never have stay 0 here; the platform refuses them below.
  BitCount = bit_count <= 64 ? static_cast<std::int32_t>(bit_count) : 0;
  LineWidth = line > 0 && line <= pf::kMaxSectionBytes ? static_cast<std::int32_t>(line) : 0;
  NumColors = GetNumColors(h);
  const std::int64_t image_size = std::int64_t{LineWidth} * rows;
  h.biSizeImage = image_size <= std::numeric_limits<std::uint32_t>::max()
                      ? static_cast<std::uint32_t>(image_size)
                      : 0;
  h.biCompression = pf::BI_RGB;
  void* bits = nullptr;
  const bool within_cap = image_size <= vex::kit::BitmapByteCap();
  DIBHandle = within_cap ? pf::CreateDIBSection(BitmapInfo.get(), &bits) : DibHandle::Null;
  DIBBits = static_cast<std::uint8_t*>(bits);
  if (pf::is_null(DIBHandle)) {
    DIBBits = nullptr;
    Error = EC_WINDOWS;
    WinError = within_cap ? pf::last_error() : pf::kErrorNotEnoughMemory;
    return false;
  }
  pf::GetDIBSection(DIBHandle, &DIBSection);
  return true;
}

bool TvexImageFile::AttachDIB() {
  if (!pf::GetDIBSection(DIBHandle, &DIBSection)) {
    Error = EC_INVALIDHANDLE;
    return false;
  }
  DIBBits = static_cast<std::uint8_t*>(DIBSection.bmBits);
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h = DIBSection.dsBmih;
  BitCount = h.biPlanes * h.biBitCount;
  LineWidth = static_cast<std::int32_t>(pf::dib_line_width(h.biWidth, BitCount));
  h.biSizeImage =
      static_cast<std::uint32_t>(std::int64_t{LineWidth} * std::abs(std::int64_t{h.biHeight}));
  NumColors = GetNumColors(h);
  if (NumColors > 0) pf::GetDIBColorTable(DIBHandle, 0, 256, BitmapInfo->bmiColors);
  if (ImageInfo && ImageInfo->Modified()) {
    ImageInfo->SetResolutionUnit(RU_METER);
    h.biXPelsPerMeter = vex::round_to_int32(static_cast<long double>(ImageInfo->XResolution()));
    h.biYPelsPerMeter = vex::round_to_int32(static_cast<long double>(ImageInfo->YResolution()));
  }
  return DIBBits != nullptr;
}

std::int32_t TvexImageFile::GetPalette(pf::RgbQuad* dest, std::int32_t last_index) {
  if (pf::is_null(DIBHandle) || !dest || last_index < 0) return 0;
  const unsigned count = static_cast<unsigned>(std::min(last_index, 255)) + 1;
  return static_cast<std::int32_t>(pf::GetDIBColorTable(DIBHandle, 0, count, dest));
}

void TvexImageFile::SetPalette() {
  if (pf::is_null(DIBHandle)) return;
  const std::int32_t n = GetNumColors(BitmapInfo->bmiHeader);
  if (n >= 1 && n <= 256)
    pf::SetDIBColorTable(DIBHandle, 0, static_cast<unsigned>(n), BitmapInfo->bmiColors);
}

void TvexImageFile::CreateGreyPalette(std::uint8_t kind) {
  const int bits = BitmapInfo->bmiHeader.biBitCount;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return;
  if (kind != 0 && kind != 1 && kind != 3) return;
  const int n = GetNumColors(BitmapInfo->bmiHeader);
  const int step = bits == 1 ? 255 : bits == 2 ? 85 : bits == 4 ? 17 : 1;
  for (int i = 0; i < n; ++i) {
    const int v = kind == 0 ? 255 - step * i : step * i;
    pf::RgbQuad& q = BitmapInfo->bmiColors[i];
    q.rgbRed = q.rgbGreen = q.rgbBlue = static_cast<std::uint8_t>(v);
    q.rgbReserved = 0;
  }
}

std::uint8_t TvexImageFile::GetColorKind() {
  const int b = BitCount;
  if (b > 8) {
    if (b == 15 || b == 16) return CK_RGB16;
    if (b == 32) return CK_RGB32;
    return CK_RGB24;
  }
  const int n = 1 << std::max(b, 0);
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  for (int i = 0; i < n; ++i) {
    if (pal[i].rgbRed != pal[i].rgbGreen || pal[i].rgbRed != pal[i].rgbBlue) return CK_PALETTE;
  }
  return pal[n - 1].rgbRed < pal[0].rgbRed ? CK_GREY_WHITE_MIN : CK_GREY_BLACK_MIN;
}

void TvexImageFile::SwapRGB() {
  if (!DIBBits || BitCount != 24) return;
  const std::int32_t width = BitmapInfo->bmiHeader.biWidth;
  const std::int64_t rows =
      LineWidth > 0 ? std::int64_t{BitmapInfo->bmiHeader.biSizeImage} / LineWidth : 0;
  for (std::int64_t y = 0; y < rows; ++y) {
    std::uint8_t* p = DIBBits + y * LineWidth;
    for (std::int32_t x = 0; x < width; ++x, p += 3) std::swap(p[0], p[2]);
  }
}

void TvexImageFile::InvertImage() {
  // A temporary image wraps the bitmap without keeping it: the handle is
  // taken back before the image goes.
  if (pf::is_null(DIBHandle)) return;
  TvexImage image;
  image.SetDibHandle(DIBHandle);
  TvexImageColor colour;
  colour.SetSourceImage(0, &image);
  colour.SetResultImage(&image);
  colour.Invert();
  if (colour.Error() != EC_OK) Error = colour.Error();
  image.ReleaseHandle();
}

bool TvexImageFile::ReadData(Stream* /*stream*/, void* dest, std::int64_t length) {
  if (!dest) return false;
  auto* p = static_cast<std::uint8_t*>(dest);
  while (length > 0) {
    const auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(length, kDataPiece));
    BufferStream.Read(p, piece);
    p += piece;
    length -= piece;
  }
  return true;
}

bool TvexImageFile::WriteData(Stream* /*stream*/, const void* source, std::int64_t length) {
  if (!source) return false;
  const auto* p = static_cast<const std::uint8_t*>(source);
  while (length > 0) {
    const auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(length, kDataPiece));
    BufferStream.Write(p, piece);
    p += piece;
    length -= piece;
  }
  return true;
}
