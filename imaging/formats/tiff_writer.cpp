// TIFF writing: one directory and its strips, as a new file or appended to
// an existing one. Offsets count from the header: StreamStart for a new file,
// the start of the stream when appending. An append writes the new image
// after the end of the file and links it from the last directory only once
// it is complete, so a failed append leaves the existing pages readable; it
// keeps the file's byte order throughout.
#include "codecs/fax.h"
#include "codecs/packbits.h"
#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"
#include "platform/rounding.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pf = vex::platform;

namespace {

// A grey palette of 2^bits entries whose steps are even, so that a reader's
// own ramp gives the same colours.
bool EvenRamp(const pf::RgbQuad* pal, int bits, bool white_first) {
  const int n = 1 << bits;
  for (int i = 0; i < n; ++i) {
    const int level = i * 255 / (n - 1);
    if (pal[i].rgbRed != (white_first ? 255 - level : level)) return false;
  }
  return true;
}

// A 24-bit copy of a 15- or 16-bit bitmap (five bits a channel unless the
// section carries its own masks); null when it cannot be made.
DibHandle WidenTo24(const pf::DibSection& section, const std::uint8_t* bits, std::int32_t width,
                    std::int32_t height, std::int32_t line_width) {
  pf::BitmapInfo info;
  info.bmiHeader = section.dsBmih;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biCompression = 0;
  info.bmiHeader.biClrUsed = 0;
  info.bmiHeader.biSizeImage = 0;
  void* out = nullptr;
  DibHandle dib = pf::CreateDIBSection(&info, &out);
  if (pf::is_null(dib) || !out) return DibHandle::Null;
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (section.dsBmih.biCompression == 3 && section.dsBitfields[0] && section.dsBitfields[1] &&
      section.dsBitfields[2])
    std::copy(section.dsBitfields, section.dsBitfields + 3, masks);
  int shift[3], size[3];
  for (int c = 0; c < 3; ++c) {
    shift[c] = 0;
    while (shift[c] < 16 && !(masks[c] >> shift[c] & 1)) ++shift[c];
    size[c] = 0;
    while (size[c] + shift[c] < 16 && (masks[c] >> (shift[c] + size[c]) & 1)) ++size[c];
  }
  const std::int64_t out_line = pf::dib_line_width(width, 24);
  const std::int64_t rows = std::abs(std::int64_t{height});
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::uint8_t* s = bits + y * line_width;
    std::uint8_t* d = static_cast<std::uint8_t*>(out) + y * out_line;
    for (std::int32_t x = 0; x < width; ++x, s += 2, d += 3) {
      const std::uint32_t v = std::uint32_t{s[0]} | std::uint32_t{s[1]} << 8;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t max = (1u << size[c]) - 1;
        const std::uint32_t part = (v & masks[c]) >> shift[c];
        // Blue, green, red in the DIB; masks are red, green, blue.
        d[2 - c] = static_cast<std::uint8_t>(max ? (part * 255 + max / 2) / max : 0);
      }
    }
  }
  return dib;
}

bool IsFax(TvexCompression c) {
  return c == CP_MODHUFF || c == CP_CCITTG3_1D || c == CP_CCITTG3_2D || c == CP_CCITTG4;
}

} // namespace

void TvexTIFFImage::AddTag(std::uint16_t tag, std::uint16_t type, const std::string& text,
                           std::uint32_t denominator, std::uint32_t numerator, std::uint32_t value,
                           std::uint32_t count) {
  TIFFTagEntry e;
  e.Tag = tag;
  e.FieldType = type;
  e.Count = count == 0 ? 1 : count;
  e.Value = value;
  if (type == kAscii) {
    Strings.push_back(text);
    e.Slot = static_cast<std::uint16_t>(Strings.size());
    e.Count = static_cast<std::uint32_t>(text.size());
  } else if (type == kRational) {
    Rationals.push_back({numerator, denominator, denominator ? numerator / denominator : 0});
    e.Slot = static_cast<std::uint16_t>(Rationals.size());
  }
  Entries.push_back(e);
}

void TvexTIFFImage::EncodeImage() {
  Appending = ImageIndex == -1;
  Inverted = false;
  const DibHandle original = DIBHandle;
  DibHandle wide = DibHandle::Null;
  // Whatever happens, the caller's bitmap ends as it came and the directory
  // memory goes.
  struct Restore {
    TvexTIFFImage& t;
    DibHandle original;
    DibHandle& wide;
    ~Restore() {
      try {
        if (t.Inverted) {
          const TvexErrorCode kept = t.Error;
          t.InvertImage();
          t.Error = kept;
          t.Inverted = false;
        }
        if (!pf::is_null(wide)) {
          t.DIBHandle = original;
          pf::DeleteDIBSection(wide);
          t.AttachDIB();
        }
      } catch (...) {
      }
      t.ClearDirectory();
      t.StripRows.clear();
    }
  } restore{*this, original, wide};

  if (BitCount == 15 || BitCount == 16) {
    // One 16-bit sample of packed colour is no TIFF picture: store 24 bits.
    wide = WidenTo24(DIBSection, DIBBits, BitmapInfo->bmiHeader.biWidth,
                     BitmapInfo->bmiHeader.biHeight, LineWidth);
    if (pf::is_null(wide)) {
      Error = EC_NOMEMORY;
      return;
    }
    DIBHandle = wide;
    if (!AttachDIB()) return;
  }
  EncodePicture();
}

void TvexTIFFImage::EncodePicture() {
  Error = EC_OK;
  StreamStart = BufferStream.GetPosition();
  LinkPos = -1;
  // Refused codings and depths leave the stream untouched.
  const bool known = Compression == CP_NOCOMP || Compression == CP_PACKBITS || IsFax(Compression);
  if (!known || (IsFax(Compression) && BitCount != 1)) {
    Error = EC_BADCOMPRESS;
    return;
  }
  if (BitCount != 1 && BitCount != 4 && BitCount != 8 && BitCount != 24 && BitCount != 32) {
    Error = EC_BITDEPTH;
    return;
  }

  PlanarConfig = 1;
  Photometric = GetColorKind();
  if (BitCount <= 8 && Photometric <= CK_GREY_BLACK_MIN &&
      !EvenRamp(BitmapInfo->bmiColors, BitCount, Photometric == CK_GREY_WHITE_MIN))
    Photometric = CK_PALETTE; // an uneven grey keeps its own colours
  if (WhiteIsZero && BitCount == 1 && Photometric == CK_GREY_BLACK_MIN) {
    InvertImage();
    if (Error != EC_OK) return;
    Inverted = true;
    Photometric = CK_GREY_WHITE_MIN;
  }

  BuildDirectory();
  SwapRedBlue = BitCount >= 24;
  if (Error != EC_OK) return;
  if (Compression != CP_NOCOMP)
    WriteStrips();
  else
    WriteRows();
  BufferStream.Flush();
  if (Error == EC_OK && Appending && LinkPos >= 0) {
    // The new page is whole: link it from the last directory.
    const std::int64_t end = BufferStream.GetPosition();
    BufferStream.Seek(LinkPos);
    BufferStream.WriteLong(static_cast<std::uint32_t>(StreamStart));
    BufferStream.Flush();
    BufferStream.Seek(end);
  }
}

void TvexTIFFImage::BuildDirectory() {
  ClearDirectory();
  StripRows.clear();
  if (Appending) {
    // Find the last directory's link field without writing anything.
    BufferStream.Flush();
    BufferStream.SetWriteMode(false);
    BufferStream.Seek(0);
    FirstIFD = 0;
    if (ReadHeader(BufferStream.GetSource()) != EC_OK) {
      Error = EC_BADFORMAT;
      return;
    }
    std::int32_t index = -1;
    Error = SeekDirectory(index);
    if (Error != EC_OK) return;
    const std::uint32_t c = BufferStream.ReadWord();
    LinkPos = BufferStream.GetPosition() + 12 * std::int64_t{c};
    ImageIndex = index;
    std::int64_t end = BufferStream.GetSize();
    BufferStream.SetWriteMode(true);
    BufferStream.Seek(end);
    if (end & 1) {
      // Directories start on a word boundary.
      const std::uint8_t pad = 0;
      BufferStream.Write(&pad, 1);
      ++end;
    }
    StreamStart = end;
    if (end > 0xFFFFFFFFll - 0x10000) {
      Error = EC_WRITETOFILE;
      return;
    }
  } else {
    BufferStream.SetBigEndian(false);
  }

  const pf::BitmapInfoHeader& h = BitmapInfo->bmiHeader;
  const std::uint32_t width = static_cast<std::uint32_t>(h.biWidth);
  const std::uint32_t height = static_cast<std::uint32_t>(std::abs(h.biHeight));
  std::string bits_text;
  if (BitCount == 24 || BitCount == 32) {
    SamplesPerPixel = BitCount / 8;
    Photometric = 2;
    BitsPerSample = 8;
  } else {
    SamplesPerPixel = 1;
    BitsPerSample = static_cast<std::uint32_t>(BitCount);
  }
  BytesPerRow = (std::int64_t{width} * BitCount + 7) / 8;
  ResolutionUnit = 2;

  std::uint32_t coding = 1;
  switch (Compression) {
  case CP_PACKBITS:
    coding = 32773;
    break;
  case CP_MODHUFF:
    coding = 2;
    break;
  case CP_CCITTG3_1D:
  case CP_CCITTG3_2D:
    coding = 3;
    break;
  case CP_CCITTG4:
    coding = 4;
    break;
  default:
    break;
  }
  AddTag(kNewSubfileType, kLong, {}, 0, 0, 2, 1);
  AddTag(kImageWidth, kLong, {}, 0, 0, width, 1);
  AddTag(kImageLength, kLong, {}, 0, 0, height, 1);
  AddTag(kBitsPerSample, kShort, {}, 0, 0, BitsPerSample, SamplesPerPixel);
  AddTag(kSamplesPerPixel, kShort, {}, 0, 0, SamplesPerPixel, 1);
  AddTag(kFillOrder, kShort, {}, 0, 0, 1, 1);
  AddTag(kCompression, kShort, {}, 0, 0, coding, 1);
  AddTag(kPhotometric, kShort, {}, 0, 0, Photometric, 1);
  if (Compression == CP_CCITTG3_1D || Compression == CP_CCITTG3_2D)
    AddTag(kT4Options, kLong, {}, 0, 0, Compression == CP_CCITTG3_2D ? 1 : 0, 1);
  if (Compression == CP_CCITTG4) AddTag(kT6Options, kLong, {}, 0, 0, 0, 1);
  AddTag(kResolutionUnit, kShort, {}, 0, 0, 2, 1);
  auto per_inch = [](std::int32_t per_metre) {
    return static_cast<std::uint32_t>(std::max<std::int64_t>(per_metre, 0) * 254 & 0xFFFFFFFF);
  };
  AddTag(kXResolution, kRational, {}, 10000, per_inch(h.biXPelsPerMeter), 0, 1);
  AddTag(kYResolution, kRational, {}, 10000, per_inch(h.biYPelsPerMeter), 0, 1);
  AddTag(kXPosition, kRational, {}, 1, 0, 0, 1);
  AddTag(kYPosition, kRational, {}, 1, 0, 0, 1);
  auto text = [&](std::uint16_t tag, const std::string& s) {
    if (!s.empty()) AddTag(tag, kAscii, s.substr(0, kMaxText), 0, 0, 0, 0);
  };
  if (ImageInfo) {
    text(kDocumentName, ImageInfo->DocumentName());
    text(kImageDescription, ImageInfo->Description());
    text(kMake, ImageInfo->Make());
    text(kModel, ImageInfo->Model());
    text(kPageName, ImageInfo->PageName());
  }
  // The page and the page count, 0 for not known: readers drop a page
  // number without its count.
  if (ImageIndex >= 0)
    AddTag(kPageNumber, kShort, {}, 0, 0, static_cast<std::uint32_t>(ImageIndex) & 0xFFFF, 2);
  if (ImageInfo) {
    text(kSoftware, ImageInfo->Software());
    text(kArtist, ImageInfo->Artist());
    const double stamp = ImageInfo->DateTime();
    if (std::isfinite(stamp) && stamp > 0 && stamp < 2958466) { // before the year 10000
      const auto days = static_cast<std::int64_t>(std::floor(stamp));
      std::int64_t seconds =
          vex::round_to_int64((static_cast<long double>(stamp) - days) * 86400.0L);
      std::int64_t y;
      unsigned m, d;
      vex::kit::civil_from_days(days + seconds / 86400, y, m, d);
      seconds %= 86400;
      char when[32];
      std::snprintf(when, sizeof when, "%04d:%02u:%02u %02d:%02d:%02d", static_cast<int>(y), m, d,
                    static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                    static_cast<int>(seconds % 60));
      if (std::strlen(when) == 19) text(kDateTime, when);
    }
    text(kHostComputer, ImageInfo->HostComputer());
    text(kRightsNotice, ImageInfo->RightsNotice());
  }

  RowsPerStrip = 16;
  std::uint32_t strips = 1;
  if (height > RowsPerStrip && Compression != CP_NOCOMP && Compression != CP_CCITTG3_1D &&
      Compression != CP_CCITTG3_2D && Compression != CP_CCITTG4)
    strips = height / RowsPerStrip + (height % RowsPerStrip ? 1 : 0);
  else
    RowsPerStrip = height;
  StripOffsets.assign(strips, 0);
  StripByteCounts.assign(strips, 0);
  StripRows.resize(strips);
  for (std::uint32_t i = 0; i < strips; ++i)
    StripRows[i] = std::uint64_t{height} >= std::uint64_t{i + 1} * RowsPerStrip
                       ? RowsPerStrip
                       : height - i * RowsPerStrip;
  AddTag(kStripOffsets, kLong, {}, 0, 0, 0, strips);
  AddTag(kStripByteCounts, kLong, {}, 0, 0, 0, strips);
  AddTag(kRowsPerStrip, kLong, {}, 0, 0, RowsPerStrip, 1);
  // The fourth sample of a 32-bit picture is its alpha, not a colour.
  if (SamplesPerPixel == 4) AddTag(kExtraSamples, kShort, {}, 0, 0, 2, 1);
  if (SamplesPerPixel == 1 && Photometric != 2)
    AddTag(kColorMap, kShort, {}, 0, 0, 0, 3u << BitsPerSample);

  if (Error == EC_OK) WriteDirectory(!Appending);
}

void TvexTIFFImage::WriteDirectory(bool with_header) {
  auto pos = [&] { return BufferStream.GetPosition() - HeaderBase(); };
  if (with_header) {
    const std::uint8_t order[2] = {'I', 'I'};
    BufferStream.Write(order, 2);
    BufferStream.WriteWord(42);
    BufferStream.WriteLong(8);
  }
  const std::size_t n = Entries.size() - 1;
  BufferStream.WriteWord(static_cast<std::uint16_t>(n));
  std::int64_t p = pos() + 12 * static_cast<std::int64_t>(n) + 4;
  // Values of more than four bytes follow the directory in entry order.
  auto outside = [](const TIFFTagEntry& e) {
    switch (e.FieldType) {
    case kAscii:
      return e.Count > 4;
    case kShort:
      return e.Count > 2;
    case kLong:
      return e.Count > 1;
    default:
      return true;
    }
  };
  const bool compressed = Compression != CP_NOCOMP;
  for (std::size_t i = 1; i <= n; ++i) {
    TIFFTagEntry& e = Entries[i];
    if (!outside(e)) continue;
    e.Value = static_cast<std::uint32_t>(p);
    p += e.FieldType == kAscii   ? e.Count
         : e.FieldType == kShort ? 2 * std::int64_t{e.Count}
         : e.FieldType == kLong  ? 4 * std::int64_t{e.Count}
                                 : 8;
  }
  const std::size_t strips = StripOffsets.size();
  StripOffsets[0] = static_cast<std::uint32_t>(p);
  for (std::size_t i = 0; i < strips; ++i) {
    StripByteCounts[i] = compressed ? 0 : static_cast<std::uint32_t>(StripRows[i] * BytesPerRow);
    if (i > 0) StripOffsets[i] = StripOffsets[i - 1] + StripByteCounts[i - 1];
  }
  for (std::size_t i = 1; i <= n; ++i) {
    TIFFTagEntry& e = Entries[i];
    if (e.Count == 1 && e.Tag == kStripOffsets) e.Value = StripOffsets[0];
    if (e.Count == 1 && e.Tag == kStripByteCounts) e.Value = StripByteCounts[0];
    e.FilePos = static_cast<std::int32_t>(BufferStream.GetPosition());
    BufferStream.WriteWord(e.Tag);
    BufferStream.WriteWord(e.FieldType);
    BufferStream.WriteLong(e.Count);
    if (outside(e)) {
      BufferStream.WriteLong(e.Value);
    } else if (e.FieldType == kAscii) {
      std::uint8_t inline_text[4] = {};
      const std::string s = GetString(e.Slot);
      std::memcpy(inline_text, s.data(), std::min<std::size_t>(s.size(), 4));
      BufferStream.Write(inline_text, 4);
    } else if (e.FieldType == kShort) {
      BufferStream.WriteWord(static_cast<std::uint16_t>(e.Value));
      BufferStream.WriteWord(0);
    } else {
      BufferStream.WriteLong(e.Value);
    }
  }
  BufferStream.WriteLong(0);
  for (std::size_t i = 1; i <= n; ++i) {
    const TIFFTagEntry& e = Entries[i];
    if (!outside(e)) continue;
    if (e.FieldType == kAscii) {
      const std::string s = GetString(e.Slot);
      WriteData(nullptr, s.data(), static_cast<std::int64_t>(s.size()));
    } else if (e.Tag == kColorMap) {
      WriteColorMap();
    } else if (e.Tag == kBitsPerSample) {
      for (std::uint32_t k = 0; k < e.Count; ++k) BufferStream.WriteWord(8);
    } else if (e.Tag == kStripOffsets || e.Tag == kStripByteCounts) {
      for (std::uint32_t v : e.Tag == kStripOffsets ? StripOffsets : StripByteCounts)
        BufferStream.WriteLong(v);
    } else if (e.FieldType == kRational) {
      const TIFFRational r = GetRational(e.Slot);
      BufferStream.WriteLong(r.Numerator);
      BufferStream.WriteLong(r.Denominator);
    }
  }
}

void TvexTIFFImage::WriteColorMap() {
  // As many entries as the sample can index; entries the bitmap does not
  // have are black.
  const int n = 1 << BitsPerSample;
  const pf::RgbQuad* pal = BitmapInfo->bmiColors;
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < n; ++i) {
      const std::uint8_t b = i < std::max(NumColors, 0) ? (c == 0   ? pal[i].rgbRed
                                                           : c == 1 ? pal[i].rgbGreen
                                                                    : pal[i].rgbBlue)
                                                        : 0;
      BufferStream.WriteWord(static_cast<std::uint16_t>((Inverted ? 255 - b : b) << 8));
    }
}

void TvexTIFFImage::PatchStrips(std::uint16_t tag) {
  const std::vector<std::uint32_t>& table = tag == kStripOffsets ? StripOffsets : StripByteCounts;
  for (std::size_t i = 1; i < Entries.size(); ++i) {
    TIFFTagEntry& e = Entries[i];
    if (e.Tag != tag) continue;
    if (e.Count == 1) {
      e.Value = table[0];
      BufferStream.Seek(e.FilePos);
      BufferStream.WriteWord(e.Tag);
      BufferStream.WriteWord(e.FieldType);
      BufferStream.WriteLong(e.Count);
      BufferStream.WriteLong(e.Value);
    } else {
      BufferStream.Seek(HeaderBase() + e.Value);
      for (std::uint32_t v : table) BufferStream.WriteLong(v);
    }
    return;
  }
}

void TvexTIFFImage::WriteStrips() {
  std::unique_ptr<TvexImageCompress> codec;
  if (Compression == CP_PACKBITS) {
    codec = std::make_unique<TvexImagePackBits>();
  } else if (Compression == CP_MODHUFF) {
    codec = std::make_unique<TvexImageModifiedHuffman>();
  } else {
    auto fax = std::make_unique<TvexImageCCITT>();
    fax->SetMode(static_cast<std::uint8_t>(Compression - CP_CCITTG3_1D));
    codec = std::move(fax);
  }
  codec->SetImage(DIBHandle);
  const std::int64_t size =
      std::int64_t{LineWidth} * std::abs(std::int64_t{BitmapInfo->bmiHeader.biHeight});
  std::int64_t total = 0;
  std::size_t strip = 0;
  try {
    while (Error == EC_OK && total < size && strip < StripRows.size()) {
      StripOffsets[strip] = static_cast<std::uint32_t>(BufferStream.GetPosition() - HeaderBase());
      const std::uint8_t* data = nullptr;
      std::int32_t count = 0;
      std::int32_t raw = static_cast<std::int32_t>(std::int64_t{StripRows[strip]} * LineWidth);
      const TvexErrorCode err = codec->Compress(data, count, raw);
      if (err != EC_OK) {
        Error = err;
        break;
      }
      if (raw <= 0) {
        Error = EC_EXCEPTION;
        break;
      }
      WriteData(nullptr, data, count);
      total += raw;
      StripByteCounts[strip] = static_cast<std::uint32_t>(count);
      ++strip;
    }
  } catch (...) {
    Error = EC_EXCEPTION;
  }
  if (Error != EC_OK) return;
  BufferStream.Flush();
  const std::int64_t end = BufferStream.GetPosition();
  PatchStrips(kStripOffsets);
  BufferStream.Flush();
  PatchStrips(kStripByteCounts);
  BufferStream.Flush();
  BufferStream.Seek(end);
}

void TvexTIFFImage::WriteRows() {
  std::vector<std::uint8_t> row;
  if (SwapRedBlue) {
    try {
      row.resize(static_cast<std::size_t>(LineWidth));
    } catch (...) {
      Error = EC_NOMEMORY;
      return;
    }
  }
  const std::int64_t height = std::abs(std::int64_t{BitmapInfo->bmiHeader.biHeight});
  const int pixel = BitCount / 8;
  const std::int32_t width = BitmapInfo->bmiHeader.biWidth;
  for (std::int64_t y = height - 1; y >= 0; --y) {
    const std::uint8_t* src = DIBBits + y * LineWidth;
    if (SwapRedBlue) {
      std::memcpy(row.data(), src, row.size());
      for (std::int32_t x = 0; x < width; ++x)
        std::swap(row[std::size_t(x) * pixel], row[std::size_t(x) * pixel + 2]);
      src = row.data();
    }
    WriteData(nullptr, src, BytesPerRow);
  }
}
