// Tag Image File Format files (format numbers 2 and 17).
#pragma once

#include "vexImageFile.h"

#include <cstdint>
#include <string>
#include <vector>

// One entry of an image file directory.
struct TIFFTagEntry {
  std::uint16_t Tag = 0;
  std::uint16_t FieldType = 0;
  std::uint32_t Count = 0;
  std::uint32_t Value = 0; // the value itself, or the absolute offset of the values
  std::uint16_t Slot = 0;  // ASCII: index into the texts; RATIONAL: into the rationals
  std::int32_t FilePos = 0;
};

struct TIFFRational {
  std::uint32_t Numerator = 0;
  std::uint32_t Denominator = 0;
  std::uint32_t Quotient = 0; // Numerator div Denominator (0 when that is 0)
};

// Reads bilevel, 4- and 8-bit grey or palette, 24-bit RGB and 32-bit
// four-sample images (16-bit samples by their high bytes), uncompressed or
// coded with PackBits, Modified Huffman, CCITT Group 3 and 4, LZW or
// Deflate, with or without the horizontal predictor, in strips, samples
// contiguous or in planes. A file holds several images: ImageIndex picks one.
class TvexTIFFImage : public TvexImageFile {
public:
  // Tags the reader interprets.
  enum : std::uint16_t {
    kNewSubfileType = 254,
    kSubfileType = 255,
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kThreshholding = 263,
    kFillOrder = 266,
    kDocumentName = 269,
    kImageDescription = 270,
    kMake = 271,
    kModel = 272,
    kStripOffsets = 273,
    kOrientation = 274,
    kSamplesPerPixel = 277,
    kRowsPerStrip = 278,
    kStripByteCounts = 279,
    kMinSampleValue = 280,
    kXResolution = 282,
    kYResolution = 283,
    kPlanarConfiguration = 284,
    kPageName = 285,
    kXPosition = 286,
    kYPosition = 287,
    kGrayResponseCurve = 291,
    kT4Options = 292,
    kT6Options = 293,
    kResolutionUnit = 296,
    kPageNumber = 297,
    kTransferFunction = 301,
    kSoftware = 305,
    kDateTime = 306,
    kArtist = 315,
    kHostComputer = 316,
    kPredictor = 317,
    kColorMap = 320,
    kExtraSamples = 338,
    kRightsNotice = 33432,
  };
  enum : std::uint16_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5 };
  // Texts and rationals a directory resolves; further ones stay unresolved
  // (Slot 0). Entries: every one of the directory (its count is 16-bit) and
  // the defaults FindTag appends.
  static constexpr int kMaxStrings = 50;
  static constexpr int kMaxRationals = 50;
  // Bytes kept of one text.
  static constexpr std::uint32_t kMaxText = 65536;
  // Directories a walk follows at most.
  static constexpr std::int32_t kMaxDirectories = 65536;

  TvexTIFFImage();
  ~TvexTIFFImage() override;

  std::int32_t GetNumImages() override;
  void CloseFile(std::unique_ptr<Stream>& stream) override;
  TvexErrorCode ReadHeader(Stream* stream) override;

  // Positions the stream at directory `index` (0 the first); -1 asks for the
  // last one and sets `index` to the number after it. 44 when there is no
  // such directory (a chain that ends, loops back or leaves the file).
  TvexErrorCode SeekDirectory(std::int32_t& index);
  // Reads directory ImageIndex into the entry table.
  TvexErrorCode ReadDirectory();
  // Index of the first entry with `tag`; an absent tag with a default gets
  // the default appended, any other absent tag gives 0 and Error 20.
  std::int32_t FindTag(std::uint16_t tag);
  // Interprets the directory: picture, coding, resolution, texts, strips.
  TvexErrorCode ReadTags();
  // Grey ramp by the photometric interpretation, then the colour map.
  TvexErrorCode ReadColorMap();

  void SetWhiteIsZero(bool v) { WhiteIsZero = v ? 1 : 0; }
  bool GetWhiteIsZero() const { return WhiteIsZero != 0; }
  std::int32_t GetEntryCount() const { return static_cast<std::int32_t>(Entries.size()) - 1; }
  const TIFFTagEntry& GetEntry(std::int32_t i) const { return Entries.at(std::size_t(i)); }
  // Text or rational of a Slot (1-based); empty / zero for 0 or past the count.
  std::string GetString(std::uint16_t slot) const;
  TIFFRational GetRational(std::uint16_t slot) const;
  std::uint32_t GetNumStrips() const { return static_cast<std::uint32_t>(StripOffsets.size()); }

protected:
  void DecodeImage() override;
  void EncodeImage() override;
  bool FileBigEndian() const override { return true; }

private:
  struct Layout;
  void ClearDirectory();
  // Offsets (relative) of the directories from the first on, at most
  // `limit`, stopping where the chain ends, loops or leaves the file.
  std::vector<std::uint32_t> DirectoryChain(std::int32_t limit);
  // Value i of a SHORT or LONG entry (inline when the values fit in four bytes).
  std::uint32_t ArrayValue(const TIFFTagEntry& e, std::uint32_t i);
  std::uint32_t TagValue(std::uint16_t tag) { return Entries[std::size_t(FindTag(tag))].Value; }
  void ReadStripTable(std::uint16_t tag, std::uint64_t limit, std::vector<std::uint32_t>& table);
  void ReadResolution();
  void ReadTexts();
  void ReadFaxStrips();
  void ReadStrips(const Layout& layout);

  // Writing.
  void AddTag(std::uint16_t tag, std::uint16_t type, const std::string& text,
              std::uint32_t denominator, std::uint32_t numerator, std::uint32_t value,
              std::uint32_t count);
  void BuildDirectory();
  void WriteDirectory(bool with_header);
  void WriteColorMap();
  void PatchStrips(std::uint16_t tag);
  void WriteRows();
  void WriteStrips();
  void EncodePicture();
  // Position of the header the offsets count from.
  std::int64_t HeaderBase() const { return Appending ? 0 : StreamStart; }

  std::vector<TIFFTagEntry> Entries; // slot 0 the placeholder
  std::vector<std::string> Strings;
  std::vector<TIFFRational> Rationals;
  std::uint32_t FirstIFD = 0;
  std::uint32_t NextIFD = 0;
  // Directories seen on the way to the current one (relative offsets).
  std::vector<std::uint32_t> Chain;
  std::vector<std::uint32_t> StripOffsets;
  std::vector<std::uint32_t> StripByteCounts;
  std::uint32_t BitsPerSample = 1;
  std::uint32_t SamplesPerPixel = 1;
  std::uint8_t Photometric = 1;
  std::uint32_t PhotometricValue = 1;
  std::uint32_t PlanarConfig = 1;
  std::uint32_t ResolutionUnit = 2;
  std::uint32_t FillOrder = 1;
  std::uint32_t T4Options = 0;
  std::uint32_t T6Options = 0;
  std::uint32_t Predictor = 1;
  std::uint32_t RowsPerStrip = 0; // 0: one strip holds every row
  std::uint32_t FileCompression = 1;
  std::uint8_t WhiteIsZero = 1;
  // Writer state.
  std::vector<std::uint32_t> StripRows;
  std::int64_t BytesPerRow = 0;
  std::int64_t LinkPos = -1; // appending: the last directory's next-directory field
  bool Appending = false;
  bool Inverted = false;
  bool SwapRedBlue = false;
};
