// Private to the JPEG reader (formats/jpeg_reader.cpp, formats/jpeg_progressive_decode.cpp,
// codecs/ycc_rgb.cpp) and to their tests. Nothing else includes it.
//
// Hazards of hostile files this layer is built against: entropy-coded data that
// ends without a marker (truncation), markers inside the data (DNL, stray RSTn),
// Huffman tables whose code counts over-subscribe the code space, DC categories
// above 15, predictors that run out of 16 bits, sampling factors that make huge
// MCUs, and frames whose sizes overflow 32 bits.
#pragma once

#include "format_kit.h"
#include "jpeg_internal.h"
#include "vexDCT.h"
#include "vexImageFile.h"

#include "platform/cpu_features.h"
#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vex::jpeg {

// Limits, each with its reason.
// A progressive file may hold any number of scans and each scan walks every
// block of a component: cap them so that a small hostile file cannot keep the
// reader busy for minutes. Real encoders write 10 to 20.
inline constexpr int kMaxScans = 256;
// What the reader allocates for itself (the coefficients of a frame, the
// sample rows of a component) is refused beyond the formats' common cap.
inline constexpr std::int64_t kMaxAllocation = vex::kit::kMaxAllocation;
// Bytes the entropy decoder pulls from the buffered stream at a time.
inline constexpr std::int32_t kBitChunk = 16384;

// The messages the entropy decoder raises (the reader turns them into codes;
// kMsgValueOutOfRange is the coders' common one).
inline constexpr const char* kMsgUnexpectedDNL = "JPEG, Unexpected DNL marker.";
inline constexpr const char* kMsgProgressiveScan = "JPEG Error in progressive scan.";
inline constexpr const char* kMsgInvalidValue = "JPEG Invalid value in input stream.";

// Bit reader of entropy-coded data: a 64-bit reservoir filled from byte chunks
// pulled out of the buffered stream, removing stuffed zero bytes and stopping at
// markers. Once a marker (or the end of the data) is reached it delivers zero
// bits and leaves the marker where the marker loop will find it.
class BitReader {
public:
  // Pulls up to `n` bytes into `dst`; returns how many arrived (0 at the end).
  using Pull = std::int32_t (*)(void* ctx, std::uint8_t* dst, std::int32_t n);

  void Begin(Pull pull, void* ctx) {
    pull_ = pull;
    ctx_ = ctx;
    Drop();
  }

  // Guarantees at least 57 bits in the reservoir (zero bits past a marker or the end).
  void Fill() { Fill(bits_, count_); }
  // The same on a reservoir the caller keeps in registers (see Take/Put):
  // eight bytes at hand and none of them 0xFF (no stuffing, no marker) go in
  // as whole bytes inline; anything else takes the careful byte loop.
  [[gnu::always_inline]] void Fill(std::uint64_t& bits, int& count) {
    if (end_ - ptr_ >= 8 && marker_ == 0 && !eof_ && count <= 56) {
      std::uint64_t v;
      std::memcpy(&v, ptr_, 8);
      const std::uint64_t x = ~v; // a 0xFF byte is a zero byte of x
      if (((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) == 0) {
        const int n = (64 - count) >> 3; // whole bytes that fit
        v = __builtin_bswap64(v) >> count;
        const int rest = 64 - count - 8 * n; // bits of a byte that does not fit whole
        bits |= rest > 0 ? v & ~((std::uint64_t{1} << rest) - 1) : v;
        ptr_ += n;
        count += 8 * n;
        return;
      }
    }
    bits_ = bits;
    count_ = count;
    FillBytes();
    bits = bits_;
    count = count_;
  }

  int Available() const { return count_; }
  // Bytes pulled from the stream and not yet taken into the reservoir.
  std::int32_t Buffered() const { return static_cast<std::int32_t>(end_ - ptr_); }
  // Forgets the reservoir and everything pulled (the caller moves the stream).
  void Drop() {
    bits_ = 0;
    count_ = 0;
    pad_ = 0;
    ptr_ = end_ = buf_;
    marker_ = 0;
    eof_ = false;
    skipped_ = false;
  }
  // The next n bits (1..32), most significant first, without consuming them.
  std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(bits_ >> (64 - n)); }
  void Skip(int n) {
    bits_ <<= n;
    count_ -= n;
  }
  // The next n bits (0..16), consumed.
  std::uint32_t Get(int n) {
    if (n == 0) return 0;
    if (count_ < n) Fill();
    const std::uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  std::uint32_t GetBit() {
    if (count_ < 1) Fill();
    const std::uint32_t v = static_cast<std::uint32_t>(bits_ >> 63);
    Skip(1);
    return v;
  }

  // The reservoir, for decoders that keep it in registers over a block: take
  // it, work on the copies, Fill through Put/Take, and put it back.
  void Take(std::uint64_t& bits, int& count) const {
    bits = bits_;
    count = count_;
  }
  void Put(std::uint64_t bits, int count) {
    bits_ = bits;
    count_ = count;
  }

  // True once more bits were consumed than the data held before the end of the
  // file (not before a marker): the data was cut short.
  bool Truncated() const { return eof_ && Overran(); }
  // True once more bits were consumed than the data held before a marker or
  // the end of the file.
  bool Overran() const { return pad_ > count_; }
  // True once a marker stopped the data; the marker's second byte.
  bool AtMarker() const { return marker_ != 0; }
  int Marker() const { return marker_; }

  // At a restart point: drops the reservoir, passes over anything up to the
  // next marker (see Skipped) and consumes it. Returns its number 0..7 for an
  // RSTn, -1 for anything else.
  int TakeRestart();
  // True when the last TakeRestart passed over data bytes before its marker.
  bool Skipped() const { return skipped_; }

  // Ends the entropy-coded segment: drops the reservoir and moves on to the
  // next marker that is not an RSTn (bytes before it belong to the segment).
  // Returns the number of bytes pulled from the stream beyond that marker,
  // which the caller gives back so that the marker loop reads the marker next.
  std::int32_t Finish();

private:
  bool Refill();
  void FillBytes();

  std::uint64_t bits_ = 0;
  int count_ = 0;
  std::int64_t pad_ = 0;
  const std::uint8_t* ptr_ = buf_;
  const std::uint8_t* end_ = buf_;
  int marker_ = 0;
  bool eof_ = false;
  bool skipped_ = false;
  Pull pull_ = nullptr;
  void* ctx_ = nullptr;
  std::uint8_t buf_[kBitChunk + 2];
};

// The sample value of every position of a block whose only non-zero
// coefficient is the DC term: both passes of the inverse transform carry the
// lone term through unchanged (every other input is zero), so the block is
// flat and equal to what InverseDCT gives.
inline std::uint8_t DCOnlySample(const TvexDCT& dct, std::int16_t dc) {
  const float x0 = static_cast<float>(dc) * dct.Multipliers[0];
  const float r = vex::round_half_even(x0 + dct.Bias);
  return r < 0.0f ? 0 : r > 255.0f ? 255 : static_cast<std::uint8_t>(r);
}

// YCbCr to RGB tables (built once per colour frame): x = i - 127.5 in single
// precision, each product rounded half to even.
struct YccTables {
  std::int32_t cb_to_b[256];
  std::int32_t cb_to_g[256];
  std::int32_t cr_to_r[256];
  std::int32_t cr_to_g[256];
  std::uint8_t clamp_store[767]; // -255 .. 511
  const std::uint8_t* clamp() const { return clamp_store + 255; }
  void Build();
};

// One image row: Y, Cb, Cr at full resolution to blue, green, red bytes.
void ycc_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                    const std::uint8_t* cr, std::uint8_t* bgr, int width);
void ycc_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                             const std::uint8_t* cr, std::uint8_t* bgr, int width);
#if defined(PARVULA_HAVE_SIMD) && defined(__SSE2__)
void ycc_to_bgr_row_sse2(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                         const std::uint8_t* cr, std::uint8_t* bgr, int width);
#endif
// The AVX2 kernels of each row function (only where the processor has AVX2;
// the portable one where the build lacks them).
void ycc_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y, const std::uint8_t* cb,
                         const std::uint8_t* cr, std::uint8_t* bgr, int width);
void ycc_terms_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                               const std::int16_t* tgb, const std::int16_t* tgr,
                               const std::int16_t* tr, std::uint8_t* bgr, int width);
void ycc_half_terms_to_bgr_row_avx2(const YccTables& t, const std::uint8_t* y,
                                    const std::int16_t* tb, const std::int16_t* tgb,
                                    const std::int16_t* tgr, const std::int16_t* tr,
                                    std::uint8_t* bgr, int width);

// Subsampled chroma: the two table terms of each sample of a chroma row
// (Cb: CbToB and CbToG; Cr: CrToR and CrToG), each repeated `factor` times,
// into out_width entries of a and b. Worked out once per chroma row and used
// by every image row that shares it.
void chroma_terms(const YccTables& t, bool cr, const std::uint8_t* c, int factor, int out_width,
                  std::int16_t* a, std::int16_t* b);
// One image row from Y and the chroma terms: blue = Y + tb, green = Y - tgb -
// tgr, red = Y + tr, each clamped; the bytes of ycc_to_bgr_row.
void ycc_terms_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                          const std::int16_t* tgb, const std::int16_t* tgr, const std::int16_t* tr,
                          std::uint8_t* bgr, int width);
void ycc_terms_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y,
                                   const std::int16_t* tb, const std::int16_t* tgb,
                                   const std::int16_t* tgr, const std::int16_t* tr,
                                   std::uint8_t* bgr, int width);

// The same with chroma at half width (both chroma components sampled 2:1
// across): term entry x / 2 serves pixel x. The arrays hold (width + 1) / 2
// entries plus 8 spare.
void ycc_half_terms_to_bgr_row(const YccTables& t, const std::uint8_t* y, const std::int16_t* tb,
                               const std::int16_t* tgb, const std::int16_t* tgr,
                               const std::int16_t* tr, std::uint8_t* bgr, int width);
void ycc_half_terms_to_bgr_row_portable(const YccTables& t, const std::uint8_t* y,
                                        const std::int16_t* tb, const std::int16_t* tgb,
                                        const std::int16_t* tgr, const std::int16_t* tr,
                                        std::uint8_t* bgr, int width);

// One image row of four components to blue, green, red bytes: C, M, Y, K, or
// with `ycck` Y, Cb, Cr (the complements of C, M, Y) and K; `inverted` when
// the file stores 255 - ink (as files with an Adobe segment do).
void cmyk_to_bgr_row(const YccTables* ycck, bool inverted, const std::uint8_t* c0,
                     const std::uint8_t* c1, const std::uint8_t* c2, const std::uint8_t* k,
                     std::uint8_t* bgr, int width);

// One image row of R, G, B components to blue, green, red bytes.
void rgb_to_bgr_row(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                    std::uint8_t* bgr, int width);

// Horizontal replication: out_width samples, each source sample repeated
// `factor` times.
// The orientation (1..8) held in the TIFF structure of an Exif segment (the
// bytes after "Exif\0\0"), or 0 when it has none or the structure is broken.
int ExifOrientation(const std::uint8_t* tiff, std::size_t size);

// The standard table of class `cls` (0 DC, 1 AC) for luminance (id 0) or
// chrominance (other ids), as a DHT segment would give it: fills the code
// counts and the values, returns the number of values.
int StandardHuffmanTable(int cls, int id, std::uint8_t counts[16], std::uint8_t values[256]);

void upsample_row(const std::uint8_t* src, std::uint8_t* dst, int factor, int out_width);

// Code and magnitude bits of the common short symbols in one lookup. Each
// kBits-bit prefix gives (value << 16) | (step << 8) | bits, where bits is
// what the entry consumes and step says what it is:
//   0 (DC) or run + 1 (AC, 1..16): a symbol that carries a value (or a DC
//     difference of 0) and fits with its magnitude bits in kValueBits bits;
//   kEndOfBlock: the AC end of block (value 0);
//   kSymbolOnly: a symbol whose code fits but whose magnitude bits (or
//     meaning) do not; value is the symbol, bits its code length;
//   kCareful: no code within the prefix, or a corrupt symbol; the table's own
//     DecodeFast decides (bits 0).
// The AC steps past the end of a block all exceed 63, so that a decoder at
// position k tests k + step > 63 once. Built from DecodeFast, so both give
// the same results.
struct FastTable {
  // 11 bits save under 1% of the instructions on photographs and cost a
  // quarter more first-level cache misses (four tables of twice the size).
  static constexpr int kBits = 10;
  // Value entries hold at most this many bits: decoders refill before such a
  // symbol below 16 bits, before any other below 32, and where refills come
  // decides whether a DNL marker just after the data is met.
  static constexpr int kValueBits = 10;
  static constexpr int kEndOfBlock = 64;
  static constexpr int kSymbolOnly = 128;
  static constexpr int kCareful = 192;
  static int Step(std::int32_t e) { return (e >> 8) & 0xFF; }
  std::int32_t entry[1 << kBits];
  // AC tables: where entry[p] is a value entry and the symbol after it is a
  // value entry that also lies whole within the prefix p, both at once: the
  // second value, the two steps summed and the two lengths summed; entry[p]
  // itself otherwise. A decoder takes it where neither a refill nor the end
  // of the block can come between the two, storing the first value from
  // entry[p] (where there is no second, the same value goes to the same
  // place twice).
  std::int32_t second[1 << kBits];
  // dc: symbols are magnitude categories (no run).
  void Build(const TvexHuffmanJPEG& table, bool dc);
};

// A DC difference (T.81 F.2.2.1); corrupt data raises.
std::int32_t DecodeDCDifference(BitReader& br, const TvexHuffmanJPEG& table, const FastTable& fast);
// One sequential block (T.81 F.2.2) into 64 zeroed coefficients (natural
// order), updating the component's DC predictor. Returns true when the block
// has AC coefficients.
bool DecodeBlockSequential(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_dc,
                           const FastTable& fast_ac, std::int16_t* blk);

// Progressive block decoders (T.81 G.1.2) on the whole-component buffer.
void DecodeDCFirst(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_dc, int al,
                   std::int16_t* blk);
void DecodeDCRefine(BitReader& br, int al, std::int16_t* blk);
void DecodeACFirst(BitReader& br, TvexJPEGComponent& c, const FastTable& fast_ac, int ss, int se,
                   int al, std::int16_t* blk);
void DecodeACRefine(BitReader& br, TvexJPEGComponent& c, int ss, int se, int al, std::int16_t* blk);

// For tests of two-core scans with restart intervals: the helper decodes rows
// ahead whenever it may (not only while it waits for rows), and the count of
// rows the reader took from it.
inline std::atomic<bool> g_rows_ahead_always{false};
inline std::atomic<long> g_rows_ahead_taken{0};

// Reader-side state of one frame component.
struct ReaderComponent {
  TvexJPEGComponent* c = nullptr;
  int h = 1, v = 1;   // sampling factors as decoded (1 and 1 in a one-component frame)
  int hf = 1, vf = 1; // replication factors Hmax / h, Vmax / v
  int quant = 0;      // quantisation table id of the frame
  // Blocks of the whole component (MCU-padded) and of a one-component scan.
  std::int32_t blocks_per_line = 0, blocks_down = 0;
  std::int32_t scan_cols = 0, scan_rows = 0;
  // One MCU row of samples at the component's own resolution.
  std::vector<std::uint8_t> rows;
  std::int64_t stride = 0;
  // One image row replicated to full width (components with hf > 1).
  std::vector<std::uint8_t> wide;
  // Chroma table terms of one row at full width (two arrays of width + 16).
  std::vector<std::int16_t> terms;
  bool scanned = false;
  FastTable fast_dc, fast_ac;
  // Coefficients of the whole component (progressive frames, separate
  // sequential scans): 64 per block, natural order, one 16-bit value per
  // sample. Zeroed pages straight from the system, so that the pages a
  // decoder never writes cost nothing and the others cost one fault each.
  struct FreeDeleter {
    void operator()(std::int16_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::int16_t[], FreeDeleter> coefficients;
  std::int16_t* BlockAt(int row, int col) {
    return coefficients.get() + (static_cast<std::int64_t>(row) * blocks_per_line + col) * 64;
  }
  // Coefficients of the block being decoded (sequential frames decoded
  // straight to the bitmap).
  alignas(16) std::int16_t block[64] = {};
};

// One ReadImage of a TvexJPEGImage: the marker loop, the segments, the scans
// and the output of decoded rows into the bitmap.
class Reader {
public:
  explicit Reader(TvexJPEGImage& img) : img_(img), sink_(img.GetRowSink()) {}

  // After the SOI: markers up to the EOI or the first error, then the rows of
  // a frame held as coefficients.
  void Run();

private:
  using Bs = TvexBufferStream;

  TvexErrorCode err() const { return img_.GetError(); }
  void fail(TvexErrorCode e) { img_.SetError(e); }
  // Damage the reader passes over: reported when the file is done, unless a
  // worse error ends it first.
  void Damaged(TvexErrorCode e) {
    if (damage_ == EC_OK) damage_ = e;
  }

  // Marker loop helpers.
  std::uint8_t ReadByte();
  std::uint16_t ReadWord();
  bool ReadMarker(std::uint16_t& marker);
  bool SegmentLength(std::int64_t& end);
  void SkipTo(std::int64_t end);

  // Segments.
  void ReadFrame(std::uint16_t marker, std::int64_t end);
  void ReadQuantTables(std::int64_t end);
  void ReadHuffmanTables(std::int64_t end);
  void ReadApp(std::uint16_t marker, std::int64_t end);
  void ReadComment(std::int64_t end);
  void ReadScan(std::int64_t end);
  bool SetupScan(std::int64_t end);

  // Scans.
  void SequentialScan();
  // The interleaved direct scan on two threads: this one decodes the
  // coefficients of MCU row i while a helper turns row i - 1 into image rows.
  // False, before anything is decoded, when no thread can be started.
  bool PipelinedScan(int rows, int cols);
  void ProgressiveScan();
  bool Restart();
  // After a row of a scan: false (with the code) when the data ran out.
  bool DataLeft();
  bool Progress(int row, int rows);
  void ResetPredictors();
  bool AllocateCoefficients();

  // Output.
  void InverseBlock(ReaderComponent& rc, const std::int16_t* blk, bool dc_only, int row, int col);
  void OutputMCURow(int mcu_row);
  // Image row r of the current MCU row into dst (wide_row: the chroma rows
  // whose replication or terms are at hand).
  void OutputRow(int r, std::uint8_t* dst, int wide_row[3]);
  void OutputAll();
  // With a row sink: the wanted rows no scan filled, as zero bytes.
  void FinishRows();

  TvexJPEGImage& img_;
  BitReader bits_;
  bool exif_seen_ = false;
  bool dht_seen_ = false;
  ReaderComponent comps_[4];
  int ncomp_ = 0;
  int scan_[4] = {}; // frame indexes of the current scan's components
  int nscan_ = 0;
  int ss_ = 0, se_ = 63, ah_ = 0, al_ = 0;
  bool frame_seen_ = false;
  bool app0_seen_ = false;
  bool progressive_ = false;
  bool buffered_ = false; // coefficients kept for the whole frame
  bool direct_ = false;   // a sequential frame decoded straight into the bitmap
  // Whether the SIMD inverse transform may run, asked once rather than per block.
  bool simd_idct_ = vex::platform::simd_enabled();
  bool coefficients_ready_ = false;
  bool quant_defined_[4] = {};
  int scans_ = 0;
  bool cancelled_ = false;
  TvexErrorCode damage_ = EC_OK;
  bool rgb_ = false;         // colour components stored as R, G, B (no YCbCr transform)
  int adobe_transform_ = -1; // transform byte of an Adobe APP14 segment
  bool ycck_ = false;        // four components, the first three Y, Cb, Cr
  std::int32_t width_ = 0, height_ = 0;
  int hmax_ = 1, vmax_ = 1;
  std::int32_t mcus_across_ = 0, mcus_down_ = 0;
  std::uint8_t* dib_bits_ = nullptr;
  std::int64_t dib_line_ = 0;
  // Rows go to the sink (through row_) instead of a bitmap.
  TvexRowSink* sink_ = nullptr;
  bool sink_began_ = false;
  std::int32_t rows_out_ = 0; // rows handed over so far, from the top
  std::vector<std::uint8_t> row_;
  YccTables ycc_;
};

} // namespace vex::jpeg
