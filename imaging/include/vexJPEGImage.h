// The JPEG format class and its per-component state: the writer (baseline
// and progressive) and the reader share the object, the components, the
// quantisation and Huffman tables.
#pragma once

#include "vexDCT.h"
#include "vexFileStream.h"
#include "vexHuffmanJPEG.h"
#include "vexImageFile.h"
#include "vexImageTypeDef.h"

#include "platform/large_memory.h"

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

class TvexJPEGImage;
class JPEGBitWriter;
class JPEGBandFeed;

// Writer, sequential files: the symbols of the counting pass in scan order,
// so that the writing pass needs neither a second transform nor a second
// look at the coefficients. Entry per symbol: symbol << 8 | its extra bits
// when they are at most 8, else symbol << 8 followed by an entry with all
// of them. Dropped (and the coefficients made again) once above the budget.
struct JPEGScanTokens {
  // Room beyond the budget: the entries of one block at most.
  static constexpr std::size_t kSlack = 2 + 2 * 63 + 4;
  vex::platform::LargeBuffer buffer;
  std::uint16_t* data = nullptr;
  std::size_t size = 0, budget = 0;
  bool dropped = true;
  // Room for `budget` entries (and one block more); false when not to be had.
  bool Reserve(std::size_t entries) {
    buffer = vex::platform::LargeBuffer((entries + kSlack) * sizeof(std::uint16_t), false);
    data = static_cast<std::uint16_t*>(buffer.get());
    budget = entries;
    size = 0;
    dropped = data == nullptr;
    return !dropped;
  }
  void Drop() {
    dropped = true;
    buffer = {};
    data = nullptr;
    size = 0;
  }
};

// Allocator whose resize leaves new elements uninitialised: for buffers that
// are written completely before they are read (the writer's sample and
// coefficient buffers), so that no time goes into clearing them first.
// Large buffers come from large-block memory (fewer page faults).
template <class T> struct UninitialisedAllocator : std::allocator<T> {
  template <class U> struct rebind { using other = UninitialisedAllocator<U>; };
  UninitialisedAllocator() = default;
  template <class U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* p = vex::platform::AllocateLarge(n * sizeof(T), false);
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept { vex::platform::FreeLarge(p, n * sizeof(T)); }
  template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
  template <class U, class... Args> void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// One frame component: its sampling, its DCT, its sample and coefficient
// buffers and its entropy-coding hooks.
class TvexJPEGComponent {
public:
  using EmitDCProc = void (TvexJPEGComponent::*)(int Category, std::uint32_t Bits);
  using EmitACProc = void (TvexJPEGComponent::*)(int Symbol, std::uint32_t Bits, int BitCount);
  using EncodeBlockProc = void (TvexJPEGComponent::*)(int Row, int Column);

  TvexJPEGComponent() = default;
  TvexJPEGComponent(const TvexJPEGComponent&) = delete;
  TvexJPEGComponent& operator=(const TvexJPEGComponent&) = delete;

  // Sizes the buffers once per save or per frame read (nothing happens when
  // Samples already exists). Encoding or WholeImage: a sample buffer for the
  // whole component plus a spare block row; otherwise one MCU row.
  // WholeImage: coefficients of every block; otherwise of one block. Returns
  // false (buffers left empty) when a buffer would exceed the platform's
  // section limit or cannot be allocated.
  bool AllocateBuffers(bool Encoding, bool WholeImage);

  // Writer: averages Hf x Vf groups of samples in place.
  void Downsample();
  // Writer: forward transform of every block of Samples into Coefficients.
  void TransformAll();

  // Installs the counting (Emit = false) or writing emitters and the block
  // coder of a scan kind: 0 sequential, 1 DC first, 2 DC refinement, 3 AC
  // first, 4 AC refinement.
  void SetCoding(bool Emit, int ScanKind);

  // Emitters (counting and writing versions; SetCoding picks them).
  void CountDC(int Category, std::uint32_t Bits);
  void WriteDC(int Category, std::uint32_t Bits);
  void CountAC(int Symbol, std::uint32_t Bits, int BitCount);
  void WriteAC(int Symbol, std::uint32_t Bits, int BitCount);

  // Block coders (Coefficients of the block at row, column).
  void EncodeSequential(int Row, int Column);
  // Sequential decoding of one block from Stream (DCTable and ACTable with
  // OnReadBits bound): its 64 coefficients into the one-block Coefficients,
  // then the inverse transform into DCT.Block. Corrupt data (no code within
  // 16 bits, a DC size above 16, a run past position 63) throws
  // "JPEG Fatal error, Value out of range". Row and Column are the caller's
  // to place the samples.
  void DecodeBlock(int Row, int Column);
  void EncodeDCFirst(int Row, int Column);
  void EncodeDCRefine(int Row, int Column);
  void EncodeACFirst(int Row, int Column);
  void EncodeACRefine(int Row, int Column);
  // End-of-band runs of the progressive AC coders.
  void ResetEOBRun();
  void FlushEOBRun();
  void FlushEOBRunWithCorrections();

  // Coefficients of the block at (row, column) in the whole-component buffer
  // (or in CoefficientBand, which starts at block row CoefficientRowBase).
  std::int16_t* BlockAt(int Row, int Column) {
    return (CoefficientBand ? CoefficientBand : Coefficients.data()) +
           (static_cast<std::int64_t>(Row - CoefficientRowBase) * BlocksPerLine + Column) * 64;
  }

  // --- fields, in the order of the data model ---
  std::uint8_t Id = 0;
  TvexDCT DCT;
  // 64 coefficients per block, natural order: the whole component (writer,
  // progressive reader) or one block (sequential reader).
  std::vector<std::int16_t, UninitialisedAllocator<std::int16_t>> Coefficients;
  std::int32_t LastDC = 0;
  TvexHuffmanJPEG* ACTable = nullptr; // not owned
  TvexHuffmanJPEG* DCTable = nullptr; // not owned
  std::int32_t EOBRun = 0;
  std::int32_t H = 1, V = 1;
  std::int32_t Hmax = 1, Vmax = 1;
  std::int32_t Hf = 1, Vf = 1;
  std::int32_t BlocksDown = 0;    // V * MCUs down
  std::int32_t BlocksPerLine = 0; // H * MCUs across
  std::int32_t MCUsDown = 0, MCUsAcross = 0;
  // Single-component scans: ceil(height / (8 Vf)), ceil(width / (8 Hf)).
  std::int32_t ScanRows = 0, ScanColumns = 0;
  std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>> Samples;
  std::int64_t SampleBufferSize = 0;
  std::int64_t RowStride = 0;      // MCUs across * Hmax * 8
  std::int64_t BlockRowStride = 0; // 8 * RowStride
  std::int64_t MCURowStride = 0;   // Vmax * BlockRowStride
  std::int32_t MCUWidth = 8, MCUHeight = 8;
  std::int32_t ImageHeight = 0, ImageWidth = 0;
  std::uint8_t Ah = 0, Al = 0, Se = 0, Ss = 0;
  EmitACProc EmitAC = &TvexJPEGComponent::CountAC;
  EmitDCProc EmitDC = &TvexJPEGComponent::CountDC;
  EncodeBlockProc EncodeBlock = &TvexJPEGComponent::EncodeSequential;
  TvexBufferStream* Stream = nullptr; // not owned
  // Progressive encoder: first block of the open EOB run and the zig-zag
  // position in it from which correction bits are pending.
  std::int32_t EOBRunStartRow = 0, EOBRunStartColumn = 0, EOBRunStartPosition = 64;

  // Writer: entropy-coded output of the current scan (owned by the image).
  JPEGBitWriter* Bits = nullptr;
  // Writer: set before AllocateBuffers to let a subsampled component be
  // averaged while the image is converted (Presampled then tells that its
  // buffer holds the averaged rows only, and Downsample has nothing to do).
  bool SampleOnConversion = false;
  bool Presampled = false;
  std::int32_t CoefficientRowBase = 0;
  // Writer, sequential files (Banded): no buffer of the whole component; each
  // pass gets every MCU row's coefficients made afresh from the picture into
  // CoefficientBand (one MCU row, not owned).
  bool Banded = false;
  std::int16_t* CoefficientBand = nullptr;
  // Writer, counting pass: where the symbols go too (not owned; may be null).
  JPEGScanTokens* Tokens = nullptr;
};

// The JPEG/JFIF format: baseline and progressive writer, sequential and
// progressive reader.
class TvexJPEGImage : public TvexImageFile {
public:
  // The manager passes its JPEG sampling setting (1 = 4:2:0 by default).
  explicit TvexJPEGImage(std::uint8_t sub_sampling = 1);
  ~TvexJPEGImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;
  bool CanStreamRows() const override { return true; }

  // The component with that id, or a new one in the first empty slot; null
  // when all four slots are taken.
  TvexJPEGComponent* GetComponent(int id);
  // Hmax, Vmax, MCU size and counts, copied into every frame component;
  // Error 25 for a zero sampling factor.
  void SetupFrame();

  // Writer steps.
  void BuildQuantTables();
  void WriteQuantTables();
  void WriteHuffmanTables(int Id, bool WithDC, bool WithAC);
  void WriteRestartInterval(int Interval);
  void WriteRestartMarker();
  void ResetPredictors();
  void EncodeScan(bool Write);

  // Chroma sampling mode of the writer (0 from quality, 1 = 4:2:0,
  // 2 = 4:2:2, other = 4:4:4).
  std::uint8_t SubSampling = 1;

  // --- fields, in the order of the data model ---
  // APP0 body: "JFIF\0", version 1.01, units, X and Y density (big-endian),
  // no thumbnail.
  std::uint8_t JFIFHeader[14] = {};
  // Per class (0 DC, 1 AC) and id: the class/id byte and the 16 code counts.
  std::uint8_t DHTHeaders[2][4][17] = {};
  QuantTable QuantTables[4];
  // SOF body fields.
  std::uint8_t FramePrecision = 8;
  std::uint16_t FrameHeight = 0, FrameWidth = 0;
  std::uint8_t FrameComponentCount = 0;
  // Per frame component: id, H * 16 + V, quantisation table id.
  std::uint8_t FrameComponents[4][3] = {};
  // SOS body fields: count, (id, DC table * 16 + AC table) per component,
  // Ss, Se, Ah * 16 + Al.
  std::uint8_t ScanCount = 0;
  std::uint8_t ScanSelectors[4][2] = {};
  std::uint8_t ScanSs = 0, ScanSe = 63, ScanAhAl = 0;
  std::uint16_t RestartRows = 0;
  std::uint16_t RestartCount = 0;
  std::uint16_t RestartInterval = 0;
  std::uint8_t Ah = 0, Al = 0;
  std::unique_ptr<TvexJPEGComponent> Components[4];
  std::int32_t Hmax = 1, Vmax = 1;
  std::int32_t MCUHeight = 8, MCUWidth = 8;
  std::int32_t MCUsDown = 0, MCUsAcross = 0;
  TvexJPEGComponent* ScanComponents[4] = {};
  int ScanComponentCount = 0;
  // Class (0 DC, 1 AC) x id.
  std::unique_ptr<TvexHuffmanJPEG> HuffmanTables[2][4];
  std::uint8_t ComponentCount = 0;
  bool Interleaved = false;
  // Reader: YCbCr to RGB tables and the clamp table for -255..511.
  std::int32_t CbToB[256] = {}, CbToG[256] = {}, CrToR[256] = {}, CrToG[256] = {};
  std::uint8_t ClampTable[767] = {};
  std::int32_t MCUCount = 0;

  // Writer internals (formats/jpeg_writer.cpp, jpeg_progressive_encode.cpp).
  void ConvertToYCbCr();
  void ConvertGrey();
  void WriteSequentialScans();
  // The writing pass from the symbols the counting pass kept.
  void WriteTokens(const JPEGScanTokens& tokens);
  void WriteProgressiveScans();
  // Sets up ScanComponents, Ss, Se, Ah, Al for one scan of the writer.
  void SelectScan(unsigned mask, int ss, int se, int ah, int al);
  // SOS table selectors: by frame index (sequential), by component id
  // (progressive), or none (DC refinement).
  enum { kSelectorsByFrameIndex = 0, kSelectorsById = 1, kSelectorsNone = 2 };
  void WriteScanHeader(int selector_rule);
  void WriteJFIFHeader();
  void WriteComment();
  void WriteFrameHeader();
  void SetCodingAll(bool emit, int scan_kind);
  std::unique_ptr<JPEGBitWriter> Bits;
  // Writer, sequential files: makes the coefficients of MCU row i for
  // EncodeScan (MakeRow), on this thread or ahead of it on a helper.
  JPEGBandFeed* Bands = nullptr;
  // Writer: true keeps the documented order literally (whole-resolution
  // buffers for every component, Downsample, then TransformAll); false (the
  // default) makes each MCU row from the picture whenever a pass of a
  // sequential file needs it, and averages subsampled components row by row
  // during the colour conversion of a progressive one. Both give the same
  // file (the tests compare them); the second needs far less memory.
  bool PlainPipeline = false;

protected:
  void DecodeImage() override;
  void EncodeImage() override;
  bool FileBigEndian() const override { return true; }
  // The entropy coder's messages reach whoever asked for the save.
  bool PassesWriteExceptions() const override { return true; }
};
