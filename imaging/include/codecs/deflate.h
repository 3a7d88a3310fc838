// Deflate coding: the Huffman table of deflate streams, the inflater and the
// deflater of zlib streams (deflate data, 32 KiB window, Adler-32).
//
// Both coders are independent of any file format. The inflater reads from
// one buffer or from a sequence of pieces pulled through a callback (the PNG
// reader hands it IDAT chunk data that way, the TIFF reader one strip); the
// deflater pulls its input through a callback and hands its output on in
// pieces of 8192 bytes (the PNG writer turns each into an IDAT chunk).
#pragma once

#include "vexHuffmanJPEG.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Table of one deflate code (288 symbols, codes of at most 15 bits). The
// decoder is set up from code lengths, the encoder builds lengths limited to
// MaxLength and codes bit-reversed for least-significant-first output.
class TvexHuffmanPNG : public TvexHuffmanBase {
public:
  // Stream bits looked up at once by DecodeFast.
  static constexpr int kLookaheadBits = 10;

  TvexHuffmanPNG(int SymbolCount = 288, int MaxCodeLength = 15);

  // Decoder from CodeLength[0 .. Count-1] (canonical codes); entries are
  // sorted by length and symbol into Values. Tables that are over-subscribed
  // or incomplete are accepted: what they decode is what DecodeSymbol gives.
  TvexErrorCode BeginTable(int Count) override;
  // Lengths (at most MaxLength) and reversed codes from Frequency[0..287].
  // Status 23 when no symbol is used. Inconsistent results throw
  // std::range_error.
  TvexErrorCode BuildCodes(int MaxLength) override;

  // DecodeSymbol without a callback: bit k of `bits` is the k-th next bit of
  // the stream. Returns what DecodeSymbol would and sets `used` to the bits
  // it would have read (16 for a code that matches nothing).
  std::int32_t DecodeFast(std::uint64_t bits, int& used) const {
    const std::uint32_t entry = lookahead_[bits & ((1u << kLookaheadBits) - 1)];
    if (entry != 0) {
      used = static_cast<int>(entry >> 16);
      return static_cast<std::int16_t>(entry & 0xFFFF);
    }
    return DecodeSlow(bits, used);
  }

private:
  std::int32_t DecodeSlow(std::uint64_t bits, int& used) const;
  void BuildLookahead();

  // Per prefix of kLookaheadBits stream bits: (bits used << 16) | symbol
  // (0xFFFF for -1); 0 when the answer needs more bits.
  std::vector<std::uint32_t> lookahead_;
};

namespace vex::deflate {

inline constexpr std::uint32_t kWindowSize = 32768;
inline constexpr std::size_t kChunkSize = 8192; // output piece of the deflater
inline constexpr std::uint32_t kAdlerBase = 65521;

// Adler-32 of `size` more bytes, starting from `adler` (1 for a new stream).
std::uint32_t UpdateAdler(std::uint32_t adler, const std::uint8_t* data, std::size_t size);

// Deflate level 0..3 of a quality 0..100 and the chain limit of a level.
int LevelFromQuality(int quality);
std::uint32_t ChainLimit(int level);

} // namespace vex::deflate

// Inflater of one zlib stream. Every failure sets Error and throws
// vex::EPNGException: 13 "PNG, Bad code" for a bad header, bad block or bad
// code, and for data that ends early (the source has no more pieces);
// 8 / 16 "PNG, Bad code" from FinishInflate for data left over; 22
// "PNG, Bad CRC" for an Adler-32 mismatch; 2 when memory runs out.
//
//   TvexInflater z;
//   z.SetInput(data, size);          // or SetInput(first, size, next_piece)
//   z.StartInflate();                // header and first block header
//   z.Inflate(row, row_bytes);       // as often as needed
//   z.FinishInflate();               // end of the data and Adler-32
class TvexInflater {
public:
  // Gives the next piece of input; false when there is none. Empty pieces
  // are skipped. May throw; the exception passes through the inflater.
  using NextPieceProc = std::function<bool(const std::uint8_t*& data, std::size_t& size)>;

  TvexInflater();
  ~TvexInflater();
  TvexInflater(const TvexInflater&) = delete;
  TvexInflater& operator=(const TvexInflater&) = delete;

  // The input: one buffer, or a first piece and a callback for the rest.
  // The data must stay valid until the inflater has moved past it.
  void SetInput(const std::uint8_t* data, std::size_t size, NextPieceProc next = nullptr);

  // Allocates the window and tables, checks the zlib header and reads the
  // first block header.
  void StartInflate();
  // The next uncompressed byte.
  std::uint8_t InflateByte();
  // The next `count` uncompressed bytes (the same as `count` InflateByte).
  void Inflate(std::uint8_t* out, std::size_t count);
  // Bytes up to the end of the final block, at most `count`; returns how
  // many. A stream that ends before `count` is not an error here.
  std::size_t InflateUpTo(std::uint8_t* out, std::size_t count);
  // After the last wanted byte: the rest of the final block must be empty,
  // then the Adler-32 of all bytes must follow.
  void FinishInflate();
  // Frees the window and tables (the destructor does it too).
  void Release();

  // A whole stream from a buffer: at most `limit` bytes into `out`, then
  // FinishInflate. Returns Error; `out` keeps what was decoded.
  static TvexErrorCode InflateBuffer(const std::uint8_t* data, std::size_t size,
                                     std::vector<std::uint8_t>& out, std::size_t limit);

  TvexErrorCode Error = EC_OK;
  // From the zlib header.
  std::uint8_t CompressionMethod = 0;
  std::uint32_t WindowSize = 0;
  std::uint8_t Level = 0;
  // Adler-32 of the bytes given out so far.
  std::uint32_t Adler = 1;
  // Bytes given out so far, also when a call ended in a failure.
  std::uint64_t TotalOut = 0;
  bool FinalBlock = false;
  std::uint8_t BlockType = 0;

private:
  [[noreturn]] void Fail(TvexErrorCode code, const char* message);
  bool FetchPiece();
  // Makes at least `n` (<= 57) bits available; false when the input ends.
  bool Need(int n);
  void NeedOrFail(int n);
  // Loads whole bytes of the current piece only, up to 56..63 bits.
  void FillFromPiece();
  std::uint32_t GetBits(int n);
  std::uint8_t NextDataByte();
  std::int32_t Decode(const TvexHuffmanPNG& table);
  void ReadBlockHeader();
  void ReadCodeLengths(int lit_count, int dist_count);
  std::size_t Produce(std::uint8_t* out, std::size_t count, bool stop_at_end);
  std::size_t ProduceSome(std::uint8_t* out, std::size_t count, bool stop_at_end,
                          std::size_t& done);
  std::size_t FastLoop(std::uint8_t* out, std::size_t room);
  std::size_t CopyMatch(std::uint8_t* out, std::size_t room);
  void CopyStored(std::uint8_t* out, std::size_t n);

  const std::uint8_t* in_ = nullptr;
  std::size_t in_left_ = 0;
  NextPieceProc next_;
  std::uint64_t bitbuf_ = 0; // next stream bits, least significant first
  int bitcnt_ = 0;           // whole bytes loaded; bitcnt_ % 8 are left of a started byte

  std::unique_ptr<std::uint8_t[]> window_;
  std::uint32_t window_pos_ = 0;
  std::uint32_t copy_pos_ = 0;
  std::uint32_t copy_left_ = 0;
  bool stored_ = false;
  std::uint32_t stored_left_ = 0;
  bool ended_ = false;       // the final block's end has been read
  bool fixed_ready_ = false; // the tables hold the fixed code
  std::unique_ptr<TvexHuffmanPNG> lit_, dist_, codelen_;
};

// Deflater of one zlib stream with dynamic Huffman blocks.
//
//   TvexDeflater z;
//   TvexErrorCode e = z.Deflate(quality, read, write);
//
// `read` fills up to `max` bytes and returns how many, 0 at the end of the
// data; `write` receives the stream in pieces of kChunkSize bytes (the last
// one shorter, never empty). An exception from either ends the stream; it is
// turned into the returned code (55, 2 for memory, 14 for an inconsistent
// Huffman code).
class TvexDeflater {
public:
  using ReadProc = std::function<std::size_t(std::uint8_t* dst, std::size_t max)>;
  using WriteProc = std::function<void(const std::uint8_t* data, std::size_t size)>;

  TvexDeflater();
  ~TvexDeflater();
  TvexDeflater(const TvexDeflater&) = delete;
  TvexDeflater& operator=(const TvexDeflater&) = delete;

  TvexErrorCode Deflate(int quality, const ReadProc& read, const WriteProc& write);
  // A whole buffer into one zlib stream appended to `out`.
  static TvexErrorCode DeflateBuffer(const std::uint8_t* data, std::size_t size, int quality,
                                     std::vector<std::uint8_t>& out);

  TvexErrorCode Error = EC_OK;
  std::uint8_t Level = 0;
  std::uint32_t Adler = 1;

private:
  struct State;
  std::unique_ptr<State> s_;
};
