// TIFF pixel data: the strip loop. Fax-coded strips go straight into the
// bilevel bitmap through the fax codecs; every other coding is pulled one
// strip row at a time (raw bytes, PackBits, LZW, Deflate), the predictor
// undone, 16-bit samples cut to their high bytes, and the row placed.
// Hazards: strips past the end of the file or longer than it (the read stops
// with end of file), strips that decode to more rows than their share of the
// picture (the rest is not used) or to fewer (end of data).
#include "codecs/deflate.h"
#include "codecs/fax.h"
#include "codecs/lzw.h"
#include "codecs/packbits.h"
#include "format_kit.h"
#include "vexImageFile.h"

#include "platform/exceptions.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace pf = vex::platform;

namespace {

// Undoes horizontal differencing on one strip row of `stride` samples per
// pixel: 8-bit samples, or 16-bit samples in the file's byte order.
void undo_predictor(std::uint8_t* row, std::int64_t bytes, std::int64_t stride, bool wide,
                    bool big) {
  if (!wide) {
    for (std::int64_t i = stride; i < bytes; ++i)
      row[i] = static_cast<std::uint8_t>(row[i] + row[i - stride]);
    return;
  }
  const std::int64_t values = bytes / 2;
  auto get = [&](std::int64_t k) {
    const std::uint8_t* p = row + 2 * k;
    return big ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
  };
  for (std::int64_t k = stride; k < values; ++k) {
    const auto v = static_cast<std::uint16_t>(get(k) + get(k - stride));
    std::uint8_t* p = row + 2 * k;
    p[big ? 0 : 1] = static_cast<std::uint8_t>(v >> 8);
    p[big ? 1 : 0] = static_cast<std::uint8_t>(v);
  }
}

} // namespace

// How the strips of a picture that is not fax coded map onto the bitmap.
struct TvexTIFFImage::Layout {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t samples = 1;     // per pixel
  std::int64_t row_samples = 1; // per pixel in one strip row (1 for planes)
  std::int64_t planes = 1;
  std::int64_t row_bytes = 0; // of one strip row as stored
  std::int64_t rows_per_strip = 0;
  std::int64_t strips_per_plane = 1;
  bool wide = false; // 16-bit samples, read by their high bytes
  bool big = false;  // the file's byte order, for 16-bit samples
  bool predict = false;
};

void TvexTIFFImage::DecodeImage() {
  struct Release {
    TvexTIFFImage& t;
    ~Release() {
      t.ClearDirectory();
      t.DataStream.Clear();
    }
  } release{*this};
  if (ReadTags() != EC_OK) return;

  const std::uint32_t bps = BitsPerSample, spp = SamplesPerPixel;
  const std::uint32_t sample_bits = bps == 16 ? 8 : bps;
  // Pictures of one sample of 1, 4 or 8 bits, or of three or four 8-bit
  // samples; 16-bit samples count as 8-bit ones (not for palettes).
  const bool depth_ok = (bps == 1 || bps == 4 || bps == 8 || bps == 16) &&
                        (spp == 1 || (sample_bits == 8 && (spp == 3 || spp == 4))) &&
                        !(bps == 16 && Photometric == 3);
  if (!depth_ok) {
    Error = EC_BITDEPTH;
    return;
  }
  const bool fax = Compression == CP_MODHUFF || Compression == CP_CCITTG3_1D ||
                   Compression == CP_CCITTG3_2D || Compression == CP_CCITTG4;
  if (fax && bps != 1) {
    Error = EC_COLORFORMAT;
    return;
  }
  if (Predictor != 1 && (fax || Predictor != 2 || bps < 8)) {
    Error = EC_PREDICTOR;
    return;
  }
  if (BitmapInfo->bmiHeader.biBitCount <= 8 && ReadColorMap() != EC_OK) return;
  if (!CreateDIB()) return;

  if (fax) {
    ReadFaxStrips();
    return;
  }
  Layout l;
  l.width = BitmapInfo->bmiHeader.biWidth;
  l.height = BitmapInfo->bmiHeader.biHeight;
  l.samples = spp;
  l.planes = PlanarConfig == 2 ? spp : 1;
  l.row_samples = l.planes > 1 ? 1 : spp;
  l.row_bytes = (l.width * bps * l.row_samples + 7) / 8;
  l.rows_per_strip = RowsPerStrip == 0 || RowsPerStrip > static_cast<std::uint64_t>(l.height)
                         ? l.height
                         : RowsPerStrip;
  l.strips_per_plane = (l.height + l.rows_per_strip - 1) / l.rows_per_strip;
  l.wide = bps == 16;
  l.big = BufferStream.GetBigEndian();
  l.predict = Predictor == 2;
  ReadStrips(l);
}

void TvexTIFFImage::ReadFaxStrips() {
  std::unique_ptr<TvexImageModifiedHuffman> codec;
  if (Compression == CP_MODHUFF) {
    codec = std::make_unique<TvexImageModifiedHuffman>();
  } else {
    auto ccitt = std::make_unique<TvexImageCCITT>();
    ccitt->SetMode(Compression == CP_CCITTG3_1D ? 0 : Compression == CP_CCITTG3_2D ? 1 : 2);
    ccitt->SetReverseBits(FillOrder != 1);
    codec = std::move(ccitt);
  }
  codec->SetImage(DIBHandle);
  const std::int64_t size = BufferStream.GetSize();
  bool cut = false;
  for (std::size_t s = 0; s < StripOffsets.size() && Error == EC_OK; ++s) {
    // Each strip holds its share of rows: one that decodes to fewer or more
    // does not move the strips after it.
    const std::int64_t height = BitmapInfo->bmiHeader.biHeight;
    std::int64_t rows = codec->GetLine() + 1; // the rows below the cursor
    if (RowsPerStrip > 0 && RowsPerStrip < height) {
      const std::int64_t top = static_cast<std::int64_t>(s) * RowsPerStrip;
      if (top >= height) break;
      rows = std::min<std::int64_t>(RowsPerStrip, height - top);
      std::memset(DIBBits + (height - top - rows) * LineWidth, 0,
                  static_cast<std::size_t>(rows * LineWidth));
      codec->SeekRow(static_cast<std::int32_t>(top));
      codec->SetRowLimit(static_cast<std::int32_t>(rows));
    } else if (codec->GetLine() < 0 || codec->GetLine() >= height) {
      break;
    }
    const std::int64_t at = StreamStart + StripOffsets[s];
    const std::int64_t left = std::max<std::int64_t>(0, size - at);
    const std::int64_t count =
        s < StripByteCounts.size() && StripByteCounts[s] ? StripByteCounts[s] : left;
    // No row takes more than 13 bits a pixel and an end-of-line: bytes past
    // what the strip's rows could use are not read.
    const std::int64_t most = rows * (2 * std::int64_t{BitmapInfo->bmiHeader.biWidth} + 64);
    std::int64_t want = std::min<std::int64_t>({count, most, vex::kit::kMaxAllocation});
    if (std::min(count, most) > left) {
      want = left;
      cut = true;
    }
    if (want == 0) continue;
    DataStream.SetSize(std::max<std::int64_t>(DataStream.Size(), want));
    BufferStream.Seek(at);
    std::int32_t got =
        BufferStream.Read(DataStream.MutableMemory(), static_cast<std::int32_t>(want));
    if (got < want) cut = true;
    std::int32_t produced = 0;
    Error = codec->Decompress(DataStream.Memory(), got, produced);
  }
  if (Error == EC_OK && cut) Error = EC_ENDOFFILE;
}

void TvexTIFFImage::ReadStrips(const Layout& l) {
  if (l.row_bytes > vex::kit::kMaxAllocation) {
    Error = EC_NOMEMORY;
    return;
  }
  const std::int64_t size = BufferStream.GetSize();
  std::vector<std::uint8_t> row(static_cast<std::size_t>(l.row_bytes));
  std::vector<std::uint8_t> narrow(l.wide ? static_cast<std::size_t>(l.width * l.row_samples) : 0);
  bool cut = false, damaged = false, short_data = false;
  // Strips hold RowsPerStrip rows each, plane after plane: a strip that
  // decodes to fewer or more does not move the others. Without a strip size
  // each strip goes on where the one before ended.
  const bool by_index = l.planes > 1 || l.rows_per_strip < l.height;
  std::int64_t next_row = 0;

  vex::codec::PackBitsReader packbits;
  vex::codec::LzwDecoder lzw;
  std::unique_ptr<TvexInflater> inflater;
  const std::size_t strips = StripOffsets.size();
  for (std::size_t s = 0; s < strips && Error == EC_OK; ++s) {
    std::int64_t plane = 0, top = next_row;
    if (by_index) {
      plane = static_cast<std::int64_t>(s) / l.strips_per_plane;
      if (plane >= l.planes) break;
      top = static_cast<std::int64_t>(s) % l.strips_per_plane * l.rows_per_strip;
    }
    if (top >= l.height) break;
    const std::int64_t rows = std::min(l.rows_per_strip, l.height - top);
    const std::int64_t need = rows * l.row_bytes;
    const std::int64_t at = StreamStart + StripOffsets[s];
    const std::int64_t left = std::max<std::int64_t>(0, size - at);
    const std::uint32_t declared = s < StripByteCounts.size() ? StripByteCounts[s] : 0;

    // The strip's rows, one at a time: bytes given (fewer at the end).
    std::function<std::int64_t(std::uint8_t*, std::int64_t)> next;
    std::int64_t budget = 0;
    if (Compression == CP_NOCOMP) {
      // A missing byte count means the rows the strip should hold; a short
      // one still gives its last row whole.
      budget = declared ? std::min<std::int64_t>(declared, need) : need;
      BufferStream.Seek(at);
      next = [&](std::uint8_t* out, std::int64_t n) -> std::int64_t {
        if (budget <= 0) return 0;
        budget -= n;
        const std::int32_t got = BufferStream.Read(out, static_cast<std::int32_t>(n));
        if (got < n) cut = true;
        return got;
      };
    } else {
      // A strip's coded rows take at most about twice their size (LZW codes
      // of 12 bits with clear codes, PackBits literals of one byte): bytes
      // past that are not read, so strips that share data cost no more
      // than their rows.
      const std::int64_t whole =
          std::min<std::int64_t>(declared ? declared : left, 2 * need + 1024);
      std::int64_t want = std::min<std::int64_t>(whole, vex::kit::kMaxAllocation);
      if (whole > left) {
        want = left;
        cut = true;
      }
      DataStream.SetSize(std::max<std::int64_t>(DataStream.Size(), want));
      BufferStream.Seek(at);
      const std::int32_t got =
          want > 0 ? BufferStream.Read(DataStream.MutableMemory(), static_cast<std::int32_t>(want))
                   : 0;
      if (got < want) cut = true;
      const std::uint8_t* data = DataStream.Memory();
      const std::size_t length = static_cast<std::size_t>(got);
      if (Compression == CP_PACKBITS) {
        packbits.Start(data, length);
        next = [&](std::uint8_t* out, std::int64_t n) {
          return static_cast<std::int64_t>(packbits.Read(out, static_cast<std::size_t>(n)));
        };
      } else if (Compression == CP_LZW) {
        lzw.Start(data, length);
        next = [&](std::uint8_t* out, std::int64_t n) {
          const auto r = static_cast<std::int64_t>(lzw.Read(out, static_cast<std::size_t>(n)));
          if (lzw.Damaged()) damaged = true;
          return r;
        };
      } else {
        inflater = std::make_unique<TvexInflater>();
        inflater->SetInput(data, length);
        bool started = false;
        next = [&, started](std::uint8_t* out, std::int64_t n) mutable -> std::int64_t {
          try {
            if (!started) {
              started = true;
              inflater->StartInflate();
            }
            return static_cast<std::int64_t>(
                inflater->InflateUpTo(out, static_cast<std::size_t>(n)));
          } catch (const vex::EPNGException&) {
            damaged = true;
            return 0;
          }
        };
      }
    }

    std::int64_t done = 0;
    for (; done < rows; ++done) {
      const std::int64_t got = next(row.data(), l.row_bytes);
      if (got <= 0) break;
      if (got < l.row_bytes)
        std::memset(row.data() + got, 0, static_cast<std::size_t>(l.row_bytes - got));
      if (l.predict) undo_predictor(row.data(), l.row_bytes, l.row_samples, l.wide, l.big);
      const std::uint8_t* src = row.data();
      if (l.wide) {
        const std::size_t high = l.big ? 0 : 1;
        for (std::size_t k = 0; k < narrow.size(); ++k) narrow[k] = row[2 * k + high];
        src = narrow.data();
      }
      // File rows run from the top: the top row is the bitmap's last.
      std::uint8_t* dib = DIBBits + (l.height - 1 - (top + done)) * std::int64_t{LineWidth};
      if (l.planes > 1) {
        // Planes red, green, blue (alpha) into blue, green, red (alpha).
        const std::int64_t channel = plane < 3 ? 2 - plane : plane;
        for (std::int64_t x = 0; x < l.width; ++x) dib[x * l.samples + channel] = src[x];
      } else if (l.samples == 3) {
        vex::kit::RgbToBgr(src, l.width, dib);
      } else if (l.samples == 4) {
        vex::kit::RgbaToBgra(src, l.width, dib);
      } else {
        std::memcpy(dib, src, static_cast<std::size_t>(l.wide ? l.width : l.row_bytes));
      }
      if (got < l.row_bytes) {
        ++done;
        break;
      }
    }
    if (done < rows) short_data = true;
    next_row = top + done;
  }
  // Every row of every plane must have come from a strip.
  if (by_index ? strips < static_cast<std::size_t>(l.planes * l.strips_per_plane)
               : next_row < l.height)
    short_data = true;
  if (Error != EC_OK) return;
  if (cut)
    Error = EC_ENDOFFILE;
  else if (damaged)
    Error = EC_DECOMPRESSION;
  else if (short_data)
    Error = EC_ENDOFDATA;
}
