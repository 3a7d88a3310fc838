// TIFF reading. Hazards: directory chains that loop or leave the file,
// entry counts and value counts that promise more than the file holds,
// offsets past the end, strips that decode to more rows than the picture or
// to fewer, sizes whose products overflow. Every offset is relative to the
// header (StreamStart), so a TIFF inside a larger stream reads as a file.
#include "codecs/deflate.h"
#include "codecs/fax.h"
#include "codecs/lzw.h"
#include "codecs/packbits.h"
#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <unordered_set>

namespace pf = vex::platform;
using vex::kit::Be16;
using vex::kit::Be32;
using vex::kit::Le16;
using vex::kit::Le32;

namespace {

constexpr std::uint16_t kLittle = 0x4949; // "II"
constexpr std::uint16_t kBig = 0x4D4D;    // "MM"

// TIFF compression values.
enum : std::uint32_t {
  kNone = 1,
  kModifiedHuffman = 2,
  kT4 = 3,
  kT6 = 4,
  kLzw = 5,
  kDeflate = 8,
  kDeflateOld = 32946,
  kPackBits = 32773,
};

} // namespace

TvexTIFFImage::TvexTIFFImage() {
  CanAppend = 1;
  ClearDirectory();
}

TvexTIFFImage::~TvexTIFFImage() = default;

void TvexTIFFImage::ClearDirectory() {
  Entries.assign(1, TIFFTagEntry{0, kShort, 1, 0, 0, 0});
  Strings.clear();
  Rationals.clear();
  StripOffsets.clear();
  StripByteCounts.clear();
  NextIFD = 0;
}

void TvexTIFFImage::CloseFile(std::unique_ptr<Stream>& stream) {
  ClearDirectory();
  TvexImageFile::CloseFile(stream);
}

std::string TvexTIFFImage::GetString(std::uint16_t slot) const {
  return slot >= 1 && slot <= Strings.size() ? Strings[slot - 1u] : std::string();
}

TIFFRational TvexTIFFImage::GetRational(std::uint16_t slot) const {
  return slot >= 1 && slot <= Rationals.size() ? Rationals[slot - 1u] : TIFFRational{};
}

TvexErrorCode TvexTIFFImage::ReadHeader(Stream* stream) {
  if (TvexImageFile::ReadHeader(stream) == EC_FILENOTOPEN) return Error;
  try {
    std::uint8_t raw[8] = {};
    if (BufferStream.Read(raw, 8) != 8) return Error;
    const std::uint16_t order = Le16(raw);
    if (order != kLittle && order != kBig) return Error;
    const bool big = order == kBig;
    BufferStream.SetBigEndian(big);
    if ((big ? Be16(raw + 2) : Le16(raw + 2)) != 42) return Error;
    FirstIFD = big ? Be32(raw + 4) : Le32(raw + 4);
    Error = EC_OK;
  } catch (...) {
    Error = EC_EXCEPTION;
  }
  return Error;
}

std::vector<std::uint32_t> TvexTIFFImage::DirectoryChain(std::int32_t limit) {
  std::vector<std::uint32_t> chain;
  const std::int64_t saved = BufferStream.GetBufferSize();
  // Directories lie far apart: a small window does not read the data between.
  BufferStream.SetBufferSize(16);
  const std::int64_t size = BufferStream.GetSize();
  const bool big = BufferStream.GetBigEndian();
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t at = FirstIFD;
  while (at != 0 && static_cast<std::int32_t>(chain.size()) < limit) {
    if (StreamStart + at + 2 > size || !seen.insert(at).second) break;
    chain.push_back(at);
    SeekFromStart(at);
    std::uint8_t raw[4];
    if (BufferStream.Read(raw, 2) != 2) break;
    const std::uint32_t n = big ? Be16(raw) : Le16(raw);
    SeekFromStart(std::int64_t{at} + 2 + 12 * std::int64_t{n});
    if (BufferStream.Read(raw, 4) != 4) break;
    at = big ? Be32(raw) : Le32(raw);
  }
  BufferStream.SetBufferSize(saved);
  return chain;
}

TvexErrorCode TvexTIFFImage::SeekDirectory(std::int32_t& index) {
  if (index == 0) {
    Chain.assign(1, FirstIFD);
    SeekFromStart(FirstIFD);
    return EC_OK;
  }
  if (!BufferStream.GetSource()) return EC_NOSUBIMAGE;
  BufferStream.SetWriteMode(false);
  if (FirstIFD == 0) {
    BufferStream.Seek(0);
    if (ReadHeader(BufferStream.GetSource()) != EC_OK) return EC_NOSUBIMAGE;
  }
  Chain = DirectoryChain(index < 0 ? kMaxDirectories : std::min(index, kMaxDirectories) + 1);
  if (index < 0 && !Chain.empty()) {
    index = static_cast<std::int32_t>(Chain.size());
    SeekFromStart(Chain.back());
    return EC_OK;
  }
  if (index < 0 || static_cast<std::int32_t>(Chain.size()) <= index) return EC_NOSUBIMAGE;
  SeekFromStart(Chain[static_cast<std::size_t>(index)]);
  return EC_OK;
}

TvexErrorCode TvexTIFFImage::ReadDirectory() {
  Error = EC_OK;
  ClearDirectory();
  std::int32_t index = ImageIndex;
  Error = SeekDirectory(index);
  if (Error != EC_OK) return Error;
  const bool big = BufferStream.GetBigEndian();
  vex::kit::FieldReader f(BufferStream);
  const std::uint32_t n = f.U16();
  std::vector<std::uint8_t> raw(std::size_t{n} * 12);
  f.Bytes(raw.data(), static_cast<std::int32_t>(raw.size()));
  Entries.reserve(std::size_t{n} + 24);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* p = raw.data() + 12 * i;
    TIFFTagEntry e;
    e.Tag = big ? Be16(p) : Le16(p);
    e.FieldType = big ? Be16(p + 2) : Le16(p + 2);
    e.Count = big ? Be32(p + 4) : Le32(p + 4);
    e.Value = big ? Be32(p + 8) : Le32(p + 8);
    // A single SHORT fills the first two bytes of the field: in a big-endian
    // file that is the upper half of the 32-bit value.
    if (e.FieldType == kShort && e.Count == 1) e.Value = big ? e.Value >> 16 : e.Value & 0xFFFF;
    Entries.push_back(e);
  }
  std::uint8_t next[4] = {};
  if (BufferStream.Read(next, 4) == 4) NextIFD = big ? Be32(next) : Le32(next);
  // Another image follows only when the link leads to a directory not yet
  // met inside the file.
  if (NextIFD != 0 && NumImages == 1 && StreamStart + NextIFD + 2 <= BufferStream.GetSize() &&
      std::find(Chain.begin(), Chain.end(), NextIFD) == Chain.end())
    NumImages = -1;

  const std::int64_t size = BufferStream.GetSize();
  for (std::size_t i = 1; i < Entries.size(); ++i) {
    TIFFTagEntry& e = Entries[i];
    if (e.FieldType == kAscii && Strings.size() < kMaxStrings && e.Count <= 4) {
      // Four bytes or fewer sit in the entry itself.
      std::uint8_t raw[4];
      if (big)
        vex::kit::PutBe32(raw, e.Value);
      else
        vex::kit::PutLe32(raw, e.Value);
      Strings.emplace_back(reinterpret_cast<const char*>(raw), e.Count);
      e.Slot = static_cast<std::uint16_t>(Strings.size());
    } else if (e.FieldType == kAscii && Strings.size() < kMaxStrings) {
      // Texts take what the file holds of them, up to kMaxText bytes.
      const std::int64_t at = StreamStart + e.Value;
      const std::int64_t len = std::clamp<std::int64_t>(std::min<std::int64_t>(e.Count, size - at),
                                                        0, std::int64_t{kMaxText});
      std::string text(static_cast<std::size_t>(len), '\0');
      if (len > 0) {
        BufferStream.Seek(at);
        text.resize(static_cast<std::size_t>(
            std::max(0, BufferStream.Read(text.data(), static_cast<std::int32_t>(len)))));
      }
      Strings.push_back(std::move(text));
      e.Slot = static_cast<std::uint16_t>(Strings.size());
    } else if (e.FieldType == kRational && Rationals.size() < kMaxRationals) {
      // A rational the file cuts short reads as 0/0 (no value).
      std::uint8_t r[8] = {};
      BufferStream.Seek(StreamStart + e.Value);
      TIFFRational q;
      if (BufferStream.Read(r, 8) == 8) {
        q.Numerator = big ? Be32(r) : Le32(r);
        q.Denominator = big ? Be32(r + 4) : Le32(r + 4);
        q.Quotient = q.Denominator ? q.Numerator / q.Denominator : 0;
      }
      Rationals.push_back(q);
      e.Slot = static_cast<std::uint16_t>(Rationals.size());
    }
  }
  return Error;
}

std::int32_t TvexTIFFImage::FindTag(std::uint16_t tag) {
  for (std::size_t i = 1; i < Entries.size(); ++i)
    if (Entries[i].Tag == tag) return static_cast<std::int32_t>(i);
  TIFFTagEntry e{tag, kShort, 1, 0, 0, 0};
  auto rational = [&](std::uint32_t numerator) {
    e.FieldType = kRational;
    if (Rationals.size() < kMaxRationals) {
      Rationals.push_back({numerator, 1, numerator});
      e.Slot = static_cast<std::uint16_t>(Rationals.size());
    }
  };
  // 2^BitsPerSample, saturated.
  auto levels = [&]() -> std::uint32_t {
    const std::uint32_t bits = Entries[static_cast<std::size_t>(FindTag(kBitsPerSample))].Value;
    return bits < 32 ? std::uint32_t{1} << bits : std::numeric_limits<std::uint32_t>::max();
  };
  switch (tag) {
  case kBitsPerSample:
  case kCompression:
  case kPhotometric:
  case kThreshholding:
  case kFillOrder:
  case kOrientation:
  case kSamplesPerPixel:
  case kPlanarConfiguration:
  case kResolutionUnit:
  case kPredictor:
    e.Value = 1;
    break;
  case kMinSampleValue:
    break;
  case kXResolution:
  case kYResolution:
    rational(300);
    break;
  case kXPosition:
  case kYPosition:
    rational(0);
    break;
  case kGrayResponseCurve:
    e.Count = levels();
    break;
  case kTransferFunction:
  case kColorMap: {
    const std::uint32_t l = levels();
    e.Count = l <= std::numeric_limits<std::uint32_t>::max() / 3 ? 3 * l : l;
    break;
  }
  default:
    Error = EC_TIFFTAG;
    return 0;
  }
  Entries.push_back(e);
  return static_cast<std::int32_t>(Entries.size() - 1);
}

std::uint32_t TvexTIFFImage::ArrayValue(const TIFFTagEntry& e, std::uint32_t i) {
  if (e.Count == 1) return e.Value;
  const bool big = BufferStream.GetBigEndian();
  if (e.FieldType == kShort && e.Count == 2) {
    // Two SHORTs sit in the field itself, in the file's order.
    const std::uint32_t first = big ? e.Value >> 16 : e.Value & 0xFFFF;
    const std::uint32_t second = big ? e.Value & 0xFFFF : e.Value >> 16;
    return i == 0 ? first : second;
  }
  vex::kit::FieldReader f(BufferStream);
  const std::int64_t width = e.FieldType == kShort ? 2 : 4;
  BufferStream.Seek(StreamStart + e.Value + width * i);
  return e.FieldType == kShort ? f.U16() : f.U32();
}

void TvexTIFFImage::ReadStripTable(std::uint16_t tag, std::uint64_t limit,
                                   std::vector<std::uint32_t>& table) {
  table.clear();
  const std::int32_t at = FindTag(tag);
  if (at == 0) return;
  const TIFFTagEntry e = Entries[static_cast<std::size_t>(at)];
  const std::uint64_t n = std::min<std::uint64_t>(e.Count, limit);
  if (n <= 2) {
    for (std::uint32_t i = 0; i < n; ++i) table.push_back(ArrayValue(e, i));
    return;
  }
  // Read in order; a table the file cuts short ends the read (end of file).
  vex::kit::FieldReader f(BufferStream);
  BufferStream.Seek(StreamStart + e.Value);
  table.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, 1u << 16)));
  for (std::uint64_t i = 0; i < n; ++i) table.push_back(e.FieldType == kShort ? f.U16() : f.U32());
}

void TvexTIFFImage::ReadResolution() {
  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biXPelsPerMeter = h.biYPelsPerMeter = 0;
  h.biClrUsed = h.biClrImportant = 0;
  if (!ImageInfo) return;
  TIFFRational r[4];
  const std::uint16_t tags[4] = {kXResolution, kYResolution, kXPosition, kYPosition};
  for (int i = 0; i < 4; ++i)
    r[i] = GetRational(Entries[static_cast<std::size_t>(FindTag(tags[i]))].Slot);
  TvexResolutionUnit unit = RU_INCH;
  if (ResolutionUnit == 3) {
    unit = RU_CENTIMETER;
  } else if (ResolutionUnit != 2) {
    for (TIFFRational& q : r) q = {0, 1, 0};
  }
  double v[4];
  for (int i = 0; i < 4; ++i)
    v[i] = r[i].Denominator > 0 ? static_cast<double>(static_cast<long double>(r[i].Numerator) /
                                                      static_cast<long double>(r[i].Denominator))
                                : 0.0;
  ImageInfo->SetResolutionUnit(unit);
  ImageInfo->SetXResolution(v[0]);
  ImageInfo->SetYResolution(v[1]);
  ImageInfo->SetXPosition(v[2]);
  ImageInfo->SetYPosition(v[3]);
  ImageInfo->SetResolutionUnit(RU_METER);
  // Rationals reach 2^32 per centimetre: the header's fields saturate.
  auto per_metre = [](double v) {
    return vex::round_to_int32(std::min<long double>(v, std::numeric_limits<std::int32_t>::max()));
  };
  h.biXPelsPerMeter = per_metre(ImageInfo->XResolution());
  h.biYPelsPerMeter = per_metre(ImageInfo->YResolution());
}

void TvexTIFFImage::ReadTexts() {
  if (!ImageInfo) return;
  const TvexErrorCode kept = Error;
  try {
    auto text = [&](std::uint16_t tag, void (TvexImageInfo::*set)(const std::string&)) {
      const std::int32_t i = FindTag(tag);
      if (i > 0 && Entries[static_cast<std::size_t>(i)].FieldType == kAscii)
        (ImageInfo->*set)(GetString(Entries[static_cast<std::size_t>(i)].Slot));
    };
    text(kDocumentName, &TvexImageInfo::SetDocumentName);
    text(kImageDescription, &TvexImageInfo::SetDescription);
    text(kMake, &TvexImageInfo::SetMake);
    text(kModel, &TvexImageInfo::SetModel);
    text(kPageName, &TvexImageInfo::SetPageName);
    if (const std::int32_t i = FindTag(kPageNumber); i > 0)
      ImageInfo->SetPageNumber(static_cast<std::int32_t>(Entries[std::size_t(i)].Value));
    text(kSoftware, &TvexImageInfo::SetSoftware);
    text(kArtist, &TvexImageInfo::SetArtist);
    text(kHostComputer, &TvexImageInfo::SetHostComputer);
    text(kRightsNotice, &TvexImageInfo::SetRightsNotice);
  } catch (...) {
    // Texts are informative: a failure here does not stop the read.
  }
  Error = kept;
}

TvexErrorCode TvexTIFFImage::ReadTags() {
  Error = EC_OK;
  ReadDirectory();
  if (Error != EC_OK) return Error;
  if (FindTag(kNewSubfileType) == 0) FindTag(kSubfileType);
  if (Error == EC_TIFFTAG) Error = EC_OK;

  // BitsPerSample: one value, or one per sample, all 8 (or all 16).
  TIFFTagEntry& bits = Entries[static_cast<std::size_t>(FindTag(kBitsPerSample))];
  if (bits.Count != 1) {
    std::uint32_t first = 0;
    bool same = bits.Count >= 1 && bits.Count <= 8;
    for (std::uint32_t i = 0; same && i < bits.Count; ++i) {
      const std::uint32_t b = ArrayValue(bits, i);
      if (i == 0) first = b;
      same = b == first && (b == 8 || b == 16);
    }
    if (!same) Error = EC_UNKNOWNFORMAT;
    TIFFTagEntry& again = Entries[static_cast<std::size_t>(FindTag(kBitsPerSample))];
    again.Count = 1;
    again.Value = same ? first : 8;
  }
  BitsPerSample = TagValue(kBitsPerSample);
  SamplesPerPixel = TagValue(kSamplesPerPixel);
  const std::uint32_t width = TagValue(kImageWidth);
  const std::uint32_t height = TagValue(kImageLength);
  PhotometricValue = TagValue(kPhotometric);
  Photometric = static_cast<std::uint8_t>(PhotometricValue);
  // Only bilevel, grey, RGB and palette pictures are read.
  if (PhotometricValue > 3) Fail(EC_IMAGEFORMAT);
  FileCompression = TagValue(kCompression);
  T4Options = T6Options = 0;
  switch (FileCompression) {
  case kNone:
    Compression = CP_NOCOMP;
    break;
  case kModifiedHuffman:
    Compression = CP_MODHUFF;
    break;
  case kT4: {
    const TvexErrorCode kept = Error;
    const std::int32_t i = FindTag(kT4Options);
    T4Options = i > 0 ? Entries[std::size_t(i)].Value : 0;
    Error = kept;
    Compression = (T4Options & 1) ? CP_CCITTG3_2D : CP_CCITTG3_1D;
    break;
  }
  case kT6: {
    const TvexErrorCode kept = Error;
    const std::int32_t i = FindTag(kT6Options);
    T6Options = i > 0 ? Entries[std::size_t(i)].Value : 0;
    Error = kept;
    Compression = CP_CCITTG4;
    break;
  }
  case kLzw:
    Compression = CP_LZW;
    break;
  case kDeflate:
  case kDeflateOld:
    Compression = CP_DEFLATE;
    break;
  case kPackBits:
    Compression = CP_PACKBITS;
    break;
  default:
    Fail(EC_BADCOMPRESS);
    break;
  }
  if (Error != EC_OK) return Error;

  pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  h.biWidth = static_cast<std::int32_t>(std::min<std::uint32_t>(width, INT32_MAX));
  h.biHeight = static_cast<std::int32_t>(std::min<std::uint32_t>(height, INT32_MAX));
  h.biPlanes = 1;
  // 16-bit samples become their high bytes.
  const std::uint64_t sample_bits = BitsPerSample == 16 ? 8 : BitsPerSample;
  h.biBitCount = static_cast<std::uint16_t>(std::min<std::uint64_t>(
      sample_bits * SamplesPerPixel, std::numeric_limits<std::uint16_t>::max()));

  PlanarConfig = TagValue(kPlanarConfiguration);
  ResolutionUnit = TagValue(kResolutionUnit);
  if (ResolutionUnit <= 1) ResolutionUnit = 2;
  ReadResolution();
  ReadTexts();

  FillOrder = TagValue(kFillOrder);
  if (FillOrder != 1 && Compression != CP_CCITTG3_1D && Compression != CP_CCITTG3_2D &&
      Compression != CP_CCITTG4)
    Error = EC_BITORDER;
  Predictor = TagValue(kPredictor);

  {
    const TvexErrorCode kept = Error;
    const std::int32_t i = FindTag(kRowsPerStrip);
    RowsPerStrip = i > 0 ? Entries[std::size_t(i)].Value : 0;
    // Strips beyond one per row (and plane) can hold nothing.
    const std::uint64_t planes =
        PlanarConfig == 2 ? std::max<std::uint32_t>(SamplesPerPixel, 1) : 1;
    const std::uint64_t limit = std::max<std::uint64_t>(height, 1) * planes;
    if (FindTag(kStripOffsets) == 0) {
      // No strips: there is no picture to read.
      Error = kept != EC_OK ? kept : TvexErrorCode{EC_TIFFTAG};
      return Error;
    }
    ReadStripTable(kStripOffsets, limit, StripOffsets);
    ReadStripTable(kStripByteCounts, limit, StripByteCounts);
    Error = kept;
  }
  return Error;
}

TvexErrorCode TvexTIFFImage::ReadColorMap() {
  if (Photometric <= 1 || Photometric == 3) CreateGreyPalette(Photometric);
  const TIFFTagEntry map = Entries[static_cast<std::size_t>(FindTag(kColorMap))];
  if (map.Value == 0) return Error;
  const std::uint32_t third = map.Count / 3;
  const std::uint32_t n =
      std::min<std::uint32_t>(third, std::uint32_t{1} << BitmapInfo->bmiHeader.biBitCount);
  vex::kit::FieldReader f(BufferStream);
  for (int channel = 0; channel < 3; ++channel) {
    BufferStream.Seek(StreamStart + map.Value + 2 * std::int64_t{third} * channel);
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto v = static_cast<std::uint8_t>(f.U16() >> 8);
      pf::RgbQuad& q = BitmapInfo->bmiColors[i];
      (channel == 0 ? q.rgbRed : channel == 1 ? q.rgbGreen : q.rgbBlue) = v;
      q.rgbReserved = 0;
    }
  }
  return Error;
}

std::int32_t TvexTIFFImage::GetNumImages() {
  if (NumImages != 1 && NumImages != -1) return NumImages;
  if (!BufferStream.GetSource()) return NumImages;
  const std::int64_t at = BufferStream.GetPosition();
  NumImages =
      std::max<std::int32_t>(1, static_cast<std::int32_t>(DirectoryChain(kMaxDirectories).size()));
  BufferStream.Seek(at);
  return NumImages;
}
