// The image file framework: the common frame of every format reader/writer
// (TvexImageFile), the format manager that picks one by format number
// (TvexImageFileMgr) and the process-wide manager. Every format class is
// reachable through this header.
#pragma once

#include "vexFileStream.h"
#include "vexImage.h"
#include "vexImageResStr.h"
#include "vexImageTypeDef.h"

#include "platform/bitmap_types.h"
#include "platform/critical_section.h"
#include "platform/dib_section.h"
#include "platform/file_stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Byte-order reversal of 16- and 32-bit values.
std::uint16_t SwapWord(std::uint16_t x);
std::uint32_t SwapLong(std::uint32_t x);

// Colour kinds returned by TvexImageFile::GetColorKind.
enum : std::uint8_t {
  CK_GREY_WHITE_MIN = 0, // grey palette, first entry brighter than the last
  CK_GREY_BLACK_MIN = 1, // grey palette, minimum is black
  CK_RGB24 = 2,
  CK_PALETTE = 3,
  CK_RGB32 = 9,
  CK_RGB16 = 10,
};

// The codes an exception becomes when it leaves a format's decode or encode
// step. The frame resets them before every load and save; a format changes
// one only where its own rules name another code (BMP pixel data: a read
// failure is an end of file).
struct TvexFailureCodes {
  TvexErrorCode read = EC_READFROMFILE; // vex::ReadError: the stream could not deliver
  TvexErrorCode end = EC_ENDOFFILE;     // vex::EndOfFile: the data stopped short
  TvexErrorCode memory = EC_NOMEMORY;   // std::bad_alloc
  TvexErrorCode write = EC_WRITETOFILE; // vex::WriteError
  TvexErrorCode coder = EC_EXCEPTION;   // the entropy coders' exceptions
  TvexErrorCode other = EC_EXCEPTION;   // anything else
};

// Takes a picture's rows top-down while a reader decodes them, in place of a
// bitmap: a consumer that needs only a few rows at a time (a resize) then
// never holds the whole picture, whatever its size. Readers that can deliver
// rows say so (TvexImageFile::CanStreamRows).
class TvexRowSink {
public:
  virtual ~TvexRowSink() = default;
  // The picture's size and bits per pixel (8: grey, 24: blue, green, red),
  // once, when the reader would create its bitmap. False refuses the picture:
  // the load then stops without one.
  virtual bool Begin(std::int32_t width, std::int32_t height, std::int32_t bit_count) = 0;
  // Whether row y (0 = top) is read at all; other rows need not be delivered.
  virtual bool Wants(std::int32_t y) const = 0;
  // Every wanted row once, in order from the top. Rows a damaged file does not
  // fill come as zero bytes, as a bitmap would hold them.
  virtual void Row(std::int32_t y, const std::uint8_t* pixels) = 0;
  // Where the reader may make wanted row y before it calls Row with it (so
  // that nothing is copied), or null for the reader's own row.
  virtual std::uint8_t* RowBuffer(std::int32_t /*y*/) { return nullptr; }
  // Threads besides the caller's the reader may use for this picture. With
  // one, a reader may call Wants and Row from that thread (never from two at
  // once), overlapping its entropy decoding with the rest.
  virtual int Helpers() const { return 0; }
};

// Base of every format class. The base's ReadImage and WriteImage are the one
// entry frame of every format: they attach the buffered stream in the
// format's byte order, run ReadHeader (which an override extends, calling
// the base first) or AttachDIB, hand over to DecodeImage or EncodeImage,
// translate escaping exceptions through Failures, flush, and leave the
// caller's stream where the format stopped (or where it was, for a file the
// format did not recognise). A format implements ReadHeader, DecodeImage
// and EncodeImage and works on the protected fields below.
// One object serves one load or one save. Failures are recorded in Error;
// the object never deletes a DIB: one made by ReadImage belongs to whoever
// called LoadFromFile, one given to SaveToFile stays the caller's.
class TvexImageFile {
public:
  using Stream = vex::platform::Stream;
  using FileMode = vex::platform::FileMode;
  // Progress: sender, percent done 0..100, cancel flag the handler may set.
  using ProgressEvent = std::function<void(TvexImageFile* sender, int percent, bool& cancel)>;

  static constexpr std::int32_t kBufferSize = 65535;
  static constexpr std::int32_t kDataPiece = 32768;

  TvexImageFile();
  virtual ~TvexImageFile();
  TvexImageFile(const TvexImageFile&) = delete;
  TvexImageFile& operator=(const TvexImageFile&) = delete;

  // --- Virtual operations ---
  virtual std::int32_t GetNumImages();
  // Appends one image to an existing file; Error 45 unless CanAppend.
  virtual void AppendImage(const std::string& file_name, DibHandle dib);
  // Detaches the buffered stream, records the file size, frees the stream, unlocks.
  virtual void CloseFile(std::unique_ptr<Stream>& stream);
  // Common first step of every reader: Error := 8 and StreamStart := the
  // stream's position (Error 5 without a stream). An override clears Error
  // only when it recognises its signature.
  virtual TvexErrorCode ReadHeader(Stream* stream);
  // Decodes the file into a new DIB in DIBHandle (the entry frame above).
  virtual void ReadImage(Stream* stream);
  virtual DibHandle LoadFromFile(const std::string& file_name);
  // Locks the object until CloseFile when it succeeds; Error 3 (or 4 for
  // FileMode::Create) when it fails. Never throws.
  virtual bool OpenFile(const std::string& file_name, FileMode mode,
                        std::unique_ptr<Stream>& stream);
  // Refused with Error 9 before anything is created when the format cannot
  // write (CanWrite), so a read-only format leaves no file behind.
  virtual void SaveToFile(const std::string& file_name, DibHandle dib);
  // Encodes DIBHandle into the stream (the entry frame above).
  virtual void WriteImage(Stream* stream);
  // Whether the format writes files at all (the icon reader does not).
  virtual bool CanWrite() const { return true; }
  // Whether ReadImage can deliver rows to a TvexRowSink instead of a bitmap.
  virtual bool CanStreamRows() const { return false; }

  // Reads from an already open stream, starting at its current position
  // (memory streams, fuzzing). Locks like OpenFile; the stream stays the caller's.
  DibHandle LoadFromStream(Stream& stream);
  // Writes `dib` to an already open stream at its current position.
  void SaveToStream(Stream& stream, DibHandle dib);

  void Lock();
  void Unlock();

  // --- Settings and results ---
  TvexErrorCode GetError() const { return Error; }
  void SetError(TvexErrorCode e) { Error = e; }
  std::uint32_t GetWinError() const { return WinError; }
  TvexCompression GetCompression() const { return Compression; }
  void SetCompression(TvexCompression v) { Compression = v; }
  std::uint16_t GetQuality() const { return Quality; }
  void SetQuality(std::uint16_t v) { Quality = v; }
  bool GetInterlaced() const { return Interlaced != 0; }
  void SetInterlaced(bool v) { Interlaced = v ? 1 : 0; }
  std::int32_t GetImageIndex() const { return ImageIndex; }
  void SetImageIndex(std::int32_t v) { ImageIndex = v; }
  bool GetCanAppend() const { return CanAppend != 0; }
  TvexImageInfo* GetImageInfo() const { return ImageInfo; }
  // Not owned; may be null.
  void SetImageInfo(TvexImageInfo* info) { ImageInfo = info; }
  DibHandle GetDIBHandle() const { return DIBHandle; }
  // Not owned; with a sink (and CanStreamRows) ReadImage makes no bitmap.
  void SetRowSink(TvexRowSink* sink) { RowSink = sink; }
  TvexRowSink* GetRowSink() const { return RowSink; }
  // Threads besides the caller's a format may use for one load or save (the
  // caller says so only when a core would otherwise stay idle). A format that
  // cannot start one works alone: the result is the same either way.
  void SetHelpers(std::int32_t n) { Helpers = n; }
  std::int32_t GetHelpers() const { return Helpers; }
  std::int64_t GetStreamStart() const { return StreamStart; }
  std::int32_t GetBitCount() const { return BitCount; }
  std::int32_t GetLineWidth() const { return LineWidth; }
  std::int32_t GetNumColorsInUse() const { return NumColors; }
  vex::platform::BitmapInfo* GetBitmapInfo() const { return BitmapInfo.get(); }
  TvexBufferStream& GetBufferStream() { return BufferStream; }
  ProgressEvent OnProgress;

  // --- Helpers for the format classes ---
  // 2^bit count up to 8 bits, else the colours-used field, at most 256 (the
  // colour table's room).
  static std::int32_t GetNumColors(const vex::platform::BitmapInfoHeader& header);
  // Positions the buffered stream at StreamStart + offset.
  void SeekFromStart(std::int64_t offset);
  // Creates the DIB described by BitmapInfo's header and palette.
  bool CreateDIB();
  // Makes BitmapInfo, palette and layout fields describe DIBHandle.
  bool AttachDIB();
  // Palette entries 0..last_index of DIBHandle into dest; the count copied.
  std::int32_t GetPalette(vex::platform::RgbQuad* dest, std::int32_t last_index);
  // Writes BitmapInfo's palette into the DIB's colour table.
  void SetPalette();
  // Grey ramp in BitmapInfo's palette: kind 0 minimum is white, 1 or 3 black.
  void CreateGreyPalette(std::uint8_t kind);
  std::uint8_t GetColorKind();
  // Swaps blue and red of every pixel of a 24-bit DIB.
  void SwapRGB();
  // Inverts every pixel of DIBHandle in place.
  void InvertImage();
  // Move `length` bytes through the buffered stream in pieces of at most
  // 32768; false only for a null pointer. `stream` is not used.
  bool ReadData(Stream* stream, void* dest, std::int64_t length);
  bool WriteData(Stream* stream, const void* source, std::int64_t length);
  // The code the current exception becomes under Failures; call it only
  // inside a catch block.
  TvexErrorCode TranslateException() const;
  // The first failure wins: a code already recorded is kept.
  void Fail(TvexErrorCode code) {
    if (Error == EC_OK) Error = code;
  }

protected:
  // The format's own steps, called by the entry frame. DecodeImage runs
  // after ReadHeader accepted the file, with Error 0; EncodeImage after
  // AttachDIB, with the buffered stream in write mode (the frame flushes).
  virtual void DecodeImage() = 0;
  virtual void EncodeImage() = 0;
  // The byte order the buffered stream starts in.
  virtual bool FileBigEndian() const { return false; }
  // Whether an exception of EncodeImage reaches the caller (after its code
  // is recorded) instead of ending as a code alone.
  virtual bool PassesWriteExceptions() const { return false; }

  TvexFailureCodes Failures;
  vex::platform::CriticalSection CountLock;
  vex::platform::CriticalSection FileLock;
  std::int32_t LockCount = 0;
  TvexErrorCode Error = EC_OK;
  std::uint32_t WinError = 0;
  TvexBufferStream BufferStream;
  vex::platform::MemoryStream DataStream;
  std::uint8_t CanAppend = 0;
  std::int32_t NumImages = 1;
  std::int32_t ImageIndex = 0;
  vex::platform::DibSection DIBSection;
  DibHandle DIBHandle = DibHandle::Null;
  std::uint8_t* DIBBits = nullptr;
  std::unique_ptr<vex::platform::BitmapInfo> BitmapInfo;
  std::int32_t LineWidth = 0;
  std::int32_t BitCount = 0;
  std::int32_t NumColors = 0;
  TvexImageInfo* ImageInfo = nullptr;
  TvexRowSink* RowSink = nullptr;
  std::int32_t Helpers = 0;
  TvexCompression Compression = CP_NOCOMP;
  std::uint16_t Quality = 100;
  std::uint8_t Interlaced = 0;
  std::int64_t StreamStart = 0;
};

class TvexImageFileMgr;

// One row of the table of format classes (formats/format_registry.cpp):
// adding a format is one row there.
struct TvexFormatClass {
  // How far a reader's signature can be trusted when the manager searches
  // for the reader of a file whose extension did not lead to one.
  enum class Probe : std::uint8_t {
    Strong, // a magic number: asked in format number order
    Weak,   // little or no signature (Targa, PCX, PBM/PGM/PPM): asked last
  };
  TvexFileFormat format;
  // Rows naming the same class are one reader.
  const char* class_name;
  std::unique_ptr<TvexImageFile> (*make)(const TvexImageFileMgr& mgr);
  Probe probe;
};
std::span<const TvexFormatClass> vexFormatClasses();

// Makes the format object of a format number; null for numbers without a class.
std::unique_ptr<TvexImageFile> vexMakeFormat(TvexFileFormat format, const TvexImageFileMgr& mgr);
// The format numbers the manager's search asks, in order, after `tried`
// failed to recognise a file: each class once, strong signatures first.
std::vector<TvexFileFormat> vexProbeOrder(TvexFileFormat tried);

// The single entry point for loading and saving image files. A manager holds
// no global state: several managers (one per worker) may work side by side.
class TvexImageFileMgr {
public:
  TvexImageFileMgr();
  ~TvexImageFileMgr();
  TvexImageFileMgr(const TvexImageFileMgr&) = delete;
  TvexImageFileMgr& operator=(const TvexImageFileMgr&) = delete;

  // Reads the first image of a file; null when no reader succeeded. A non-null
  // result can come with a non-zero GetLastError() (a partial image). Format 24
  // takes the format from the extension; a reader that does not recognise the
  // file makes the manager try every other format.
  DibHandle LoadImage(const std::string& file_name, TvexFileFormat file_format);
  // Reads the first image of a file into `sink` rather than a bitmap, with the
  // format `file_format` only (no search). False when that format cannot
  // deliver rows; otherwise the outcome is in GetLastError() and the metadata
  // as after LoadImage, and the sink knows whether a picture began.
  bool StreamImage(const std::string& file_name, TvexFileFormat file_format, TvexRowSink& sink);
  // Writes the DIB (nothing for a null DIB); the outcome is in GetLastError().
  void SaveImage(const std::string& file_name, TvexFileFormat file_format, DibHandle dib);

  static TvexFileFormat FormatFromExtension(const std::string& file_name);
  // Frees Current, makes the format object for `file_format` (null when the
  // number has no class), gives it ImageInfo and keeps it in Current.
  TvexImageFile* CreateFormat(TvexFileFormat file_format);

  void Lock();
  void Unlock();

  TvexErrorCode GetLastError() const { return LastError; }
  TvexCompression GetCompression() const { return Compression; }
  // Stored unchanged.
  void SetCompression(TvexCompression v) { Compression = v; }
  std::uint16_t GetQuality() const { return Quality; }
  // 0 becomes 1, values above 100 become 100.
  void SetQuality(std::uint16_t v);
  bool GetInterlaced() const { return Interlaced != 0; }
  void SetInterlaced(bool v) { Interlaced = v ? 1 : 0; }
  std::int32_t GetImageIndex() const { return ImageIndex; }
  bool GetMoreImages() const { return MoreImages != 0; }
  bool GetTIFFWhiteIsZero() const { return TIFFWhiteIsZero != 0; }
  void SetTIFFWhiteIsZero(bool v) { TIFFWhiteIsZero = v ? 1 : 0; }
  // Threads besides the caller's each save may use (see TvexImageFile::SetHelpers).
  std::int32_t GetHelpers() const { return Helpers; }
  void SetHelpers(std::int32_t n) { Helpers = n; }
  std::uint8_t GetJPEGSampling() const { return JPEGSampling; }
  void SetJPEGSampling(std::uint8_t v) { JPEGSampling = v; }
  TvexImageInfo& GetImageInfo() { return *ImageInfo; }
  const TvexImageInfo& GetImageInfo() const { return *ImageInfo; }
  TvexImageFile* GetCurrent() const { return Current.get(); }

private:
  void FreeCurrent();

  vex::platform::CriticalSection CountLock;
  TvexErrorCode LastError = EC_OK;
  vex::platform::CriticalSection FileLock;
  std::int32_t LockCount = 0;
  TvexCompression Compression = CP_NOCOMP;
  std::unique_ptr<TvexImageFile> Current;
  std::unique_ptr<TvexImageInfo> ImageInfo;
  std::uint8_t Interlaced = 0;
  std::int32_t ImageIndex = 0;
  std::uint8_t MoreImages = 0;
  std::uint16_t Quality = 100;
  std::uint8_t TIFFWhiteIsZero = 1;
  std::uint8_t JPEGSampling = 1;
  std::int32_t Helpers = 0;
};

// The process-wide manager, made on first use and freed at exit.
TvexImageFileMgr& ImageFileManager();

// The format classes.
#include "vexBmpImage.h"
#include "vexGIFImage.h"
#include "vexICONImage.h"
#include "vexJPEGImage.h"
#include "vexPCXImage.h"
#include "vexPNGImage.h"
#include "vexPxMImage.h"
#include "vexSGIImage.h"
#include "vexTIFFImage.h"
#include "vexTargaImage.h"
