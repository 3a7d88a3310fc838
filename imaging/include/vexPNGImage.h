// Portable Network Graphics files (format number 14, compression 26).
#pragma once

#include "vexImageFile.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <vector>

// Reads grey, palette, RGB, grey + alpha and RGBA files of 1, 2, 4 and 8
// bits per sample, plain or Adam7-interlaced, blending alpha against the
// bKGD colour (black without one); 16-bit samples are refused with 19. Reads
// PLTE, bKGD, pHYs, tEXt and tIME into the metadata. Writes 1-, 4-, 8-, 24-
// and 32-bit pictures non-interlaced with a filter chosen per row, pHYs,
// tIME and tEXt chunks, and IDAT chunks of 8192 bytes.
class TvexPNGImage : public TvexImageFile {
public:
  // The writer's clock (local time); tests fix it.
  using ClockProc = std::function<std::tm()>;

  TvexPNGImage();
  ~TvexPNGImage() override;

  TvexErrorCode ReadHeader(Stream* stream) override;

  // Filter types the writer may try (bit t = type t).
  std::uint32_t FilterMask = 0xFFFF;
  void SetClock(ClockProc clock) { Clock = std::move(clock); }

protected:
  void DecodeImage() override;
  void EncodeImage() override;
  bool FileBigEndian() const override { return true; }

private:
  // Reader.
  bool ReadChunk();
  bool ChunkIs(const char* type) const;
  bool ReadIHDR();
  void ReadPalette();
  void ReadBackground();
  void ReadPhys();
  void ReadTime();
  void ReadText();
  void DecodeRows();
  void PlaceRow(const std::uint8_t* row, std::int64_t y);
  void PlaceInterlacedRow(const std::uint8_t* row, std::int64_t y, std::int64_t x0,
                          std::int64_t step, std::int64_t count);

  // Writer.
  bool WriteIHDR();
  void WriteChunk(const char* type, const std::uint8_t* data, std::size_t size);
  void WritePalette();
  void WritePhys();
  void WriteTime();
  void WriteTexts();
  void NextFilteredRow(std::int64_t r);
  std::size_t FilteredBytes(std::uint8_t* dst, std::size_t max);

  // The chunk just read: type and data (the type's four bytes first).
  std::vector<std::uint8_t> Chunk;
  // A chunk the inflater read past the image data, to be handled next.
  bool ChunkPending = false;
  // The chunk is image data cut short by the end of the file.
  bool ChunkCut = false;
  // The header chunk is read: from here on, data that stops short is a cut
  // PNG file (10), not a file of another format (8).
  bool HeaderRead = false;
  bool ImageDone = false;

  std::uint32_t Width = 0, Height = 0;
  std::uint8_t BitDepth = 0, ColorType = 0, IHDRCompression = 0, FilterMethod = 0,
               InterlaceMethod = 0;
  std::uint32_t BytesPerPixel = 1;
  std::int64_t RowBytes = 0;
  std::uint16_t BackRed = 0, BackGreen = 0, BackBlue = 0, BackGrey = 0;

  // Writer state: the raw rows (current, previous), the candidates per
  // filter type, the row being handed to the deflater.
  std::vector<std::uint8_t> RawRows[2];
  std::vector<std::uint8_t> FilterBuffers[5];
  std::uint32_t ChosenFilter = 0;
  std::int64_t RowIndex = -1;
  std::int64_t RowPos = 0;
  bool DataEnded = false;
  ClockProc Clock;
};
