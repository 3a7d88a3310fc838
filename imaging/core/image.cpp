#include "vexImage.h"

#include "platform/rounding.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pf = vex::platform;

namespace {

std::int32_t abs32(std::int32_t v) {
  return v < 0 ? -v : v;
}

} // namespace

TvexImage::TvexImage() : header_(std::make_unique<BitmapInfo>()) {
  Clear();
}

TvexImage::~TvexImage() {
  Clear();
}

void TvexImage::ReleaseCanvasDC() {
  if (canvas_) canvas_->ReleaseDC();
}

void TvexImage::DeleteMask() {
  mask_.reset();
}

void TvexImage::Clear() {
  ReleaseCanvasDC();
  if (owner_count_ > 0 && !pf::is_null(dib_)) pf::DeleteDIBSection(dib_);
  dib_ = DibHandle::Null;
  if (!pf::is_null(palette_)) pf::DeletePalette(palette_);
  palette_ = PaletteHandle::Null;
  image_info_.reset();
  section_ = pf::DibSection{};
  bits_ = nullptr;
  // The 40-byte header and the first colour-table entry.
  std::memset(static_cast<void*>(header_.get()), 0, 44);
  header_->bmiHeader.biSize = 40;
  header_->bmiHeader.biPlanes = 1;
  bit_count_ = 0;
  line_width_ = 0;
  log_palette_ = LogPalette{};
  log_palette_.palVersion = 0;
  canvas_.reset();
  transparent_ = false;
  transparent_color_ = 0xFFFFFF;
  DeleteMask();
  origin_x_ = origin_y_ = 0;
  owner_count_ = 0;
  image_format_ = IF_NONE;
}

std::int32_t TvexImage::ColourCount() const {
  const int bpp = header_->bmiHeader.biBitCount;
  if (bpp >= 1 && bpp <= 8) return 1 << bpp;
  return static_cast<std::int32_t>(std::min<std::uint32_t>(header_->bmiHeader.biClrUsed, 256));
}

void TvexImage::MakePaletteFromSection() {
  if (!pf::is_null(palette_)) pf::DeletePalette(palette_);
  palette_ = PaletteHandle::Null;
  const unsigned n = pf::GetDIBColorTable(dib_, 0, 256, header_->bmiColors);
  if (n == 0) return;
  log_palette_.palVersion = 0x300;
  log_palette_.palNumEntries = static_cast<std::uint16_t>(n);
  for (unsigned i = 0; i < n; ++i) {
    const RgbQuad& q = header_->bmiColors[i];
    log_palette_.palPalEntry[i] = {q.rgbRed, q.rgbGreen, q.rgbBlue, 0};
  }
  palette_ = pf::CreatePalette(&log_palette_);
}

DibHandle TvexImage::GetDibHandle() {
  ReleaseCanvasDC();
  return dib_;
}

void TvexImage::SetDibHandle(DibHandle handle) {
  Clear();
  if (!pf::is_null(handle)) {
    pf::DibSection ds;
    if (pf::GetDIBSection(handle, &ds)) {
      ds.dsBmih.biCompression = 0;
      dib_ = handle;
      section_ = ds;
      header_->bmiHeader = ds.dsBmih;
      bits_ = static_cast<std::uint8_t*>(ds.bmBits);
      bit_count_ = header_->bmiHeader.biPlanes * header_->bmiHeader.biBitCount;
      line_width_ =
          static_cast<std::int32_t>(pf::dib_line_width(header_->bmiHeader.biWidth, bit_count_));
      header_->bmiHeader.biSizeImage =
          static_cast<std::uint32_t>(line_width_) *
          static_cast<std::uint32_t>(abs32(header_->bmiHeader.biHeight));
      if (ColourCount() > 0) MakePaletteFromSection();
      owner_count_ = 1;
    } else {
      Clear();
    }
  }
  Changed();
}

DibHandle TvexImage::ReleaseHandle() {
  owner_count_ = 0;
  ReleaseCanvasDC();
  return dib_;
}

DibHandle TvexImage::CreateDib() {
  auto& h = header_->bmiHeader;
  if (h.biWidth == 0 || h.biHeight == 0 || h.biBitCount == 0) return DibHandle::Null;
  h.biSize = 40;
  h.biPlanes = 1;
  bit_count_ = h.biBitCount;
  // 64-bit arithmetic: an absurd size is refused by the platform below, it never wraps here.
  const std::int64_t line = pf::dib_line_width(h.biWidth, bit_count_);
  const std::int64_t size = line * abs32(h.biHeight);
  line_width_ =
      line <= std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(line) : 0;
  h.biSizeImage = size <= std::numeric_limits<std::uint32_t>::max() && size >= 0
                      ? static_cast<std::uint32_t>(size)
                      : 0;
  h.biCompression = 0;
  h.biClrUsed = 0;
  h.biClrImportant = 0;

  void* new_bits = nullptr;
  const DibHandle created = pf::CreateDIBSection(header_.get(), &new_bits);
  if (!new_bits) {
    if (pf::is_null(dib_)) {
      error_ = EC_WINDOWS;
      platform_error_ = pf::last_error();
    }
    return DibHandle::Null;
  }
  ReleaseCanvasDC();
  DeleteMask();
  if (owner_count_ > 0 && !pf::is_null(dib_)) pf::DeleteDIBSection(dib_);
  owner_count_ = 0;
  dib_ = created;
  bits_ = static_cast<std::uint8_t*>(new_bits);
  if (pf::GetDIBSection(dib_, &section_)) {
    owner_count_ = 1;
  } else {
    error_ = EC_INVALIDHANDLE;
  }
  if (pf::is_null(dib_)) {
    error_ = EC_WINDOWS;
    platform_error_ = pf::last_error();
  }
  return dib_;
}

void TvexImage::Assign(const TvexImage* source) {
  if (!source || source == this) return;
  ReleaseCanvasDC();
  Clear();
  section_ = source->section_;
  const std::int32_t colours = source->ColourCount();
  const std::size_t bytes =
      std::min<std::size_t>(static_cast<std::size_t>(colours) * 4 + 44, sizeof(BitmapInfo));
  std::memcpy(static_cast<void*>(header_.get()), source->header_.get(), bytes);
  if (!pf::is_null(CreateDib()) && source->bits_) {
    std::memcpy(bits_, source->bits_, header_->bmiHeader.biSizeImage);
  }
  if (source->image_info_) ImageInfo()->Assign(*source->image_info_);
  if (ColourCount() > 0 && !pf::is_null(dib_)) {
    pf::SetDIBColorTable(dib_, 0, static_cast<unsigned>(colours), header_->bmiColors);
    MakePaletteFromSection();
  }
  Changed();
}

void TvexImage::SetWidth(std::int32_t v) {
  if (v == header_->bmiHeader.biWidth) return;
  header_->bmiHeader.biWidth = v;
  if (!pf::is_null(CreateDib())) Changed();
}

void TvexImage::SetHeight(std::int32_t v) {
  const std::int32_t old = header_->bmiHeader.biHeight;
  if (v == old) return;
  header_->bmiHeader.biHeight = v;
  if (abs32(v) != abs32(old) && !pf::is_null(CreateDib())) Changed();
}

void TvexImage::SetBitCount(std::uint16_t v) {
  if (v == header_->bmiHeader.biBitCount) return;
  header_->bmiHeader.biBitCount = v;
  if (!pf::is_null(CreateDib())) Changed();
}

TvexImageFormat TvexImage::ImageFormat() {
  if (image_format_ != IF_NONE) return image_format_;
  auto all_grey = [this](int n) {
    for (int i = 0; i < n; ++i) {
      const RgbQuad& q = header_->bmiColors[i];
      if (q.rgbRed != q.rgbGreen || q.rgbGreen != q.rgbBlue) return false;
    }
    return true;
  };
  switch (header_->bmiHeader.biBitCount) {
  case 1:
    image_format_ = IF_BW;
    break;
  case 4:
    image_format_ = all_grey(16) ? IF_GREY4 : IF_PAL4;
    break;
  case 8:
    image_format_ = all_grey(256) ? IF_GREY8 : IF_PAL8;
    break;
  case 15:
    image_format_ = IF_RGB15;
    break;
  case 16:
    image_format_ = IF_RGB16;
    break;
  case 24:
    image_format_ = IF_RGB24;
    break;
  case 32:
    image_format_ = IF_RGB32;
    break;
  default:
    break;
  }
  return image_format_;
}

void TvexImage::SetImageFormat(TvexImageFormat v) {
  if (v == image_format_) return;
  image_format_ = v;
  static constexpr std::uint16_t kBits[10] = {1, 4, 4, 8, 8, 16, 16, 24, 32, 32};
  if (v <= IF_RGB32) SetBitCount(kBits[v]);
}

std::uint8_t* TvexImage::ScanLine(std::int32_t row) const {
  if (!bits_) return nullptr;
  const std::int32_t rows = abs32(header_->bmiHeader.biHeight);
  row = std::clamp(row, 0, rows - 1);
  return bits_ + static_cast<std::ptrdiff_t>(rows - 1 - row) * line_width_;
}

PaletteHandle TvexImage::GetPalette() {
  const int bpp = header_->bmiHeader.biBitCount;
  if (bpp < 1 || bpp > 8) return PaletteHandle::Null;
  ReleaseCanvasDC();
  const unsigned n = pf::GetDIBColorTable(dib_, 0, 256, header_->bmiColors);
  if (n == 0) return PaletteHandle::Null;
  LogPalette lp;
  lp.palNumEntries = static_cast<std::uint16_t>(n);
  for (unsigned i = 0; i < n; ++i) {
    const RgbQuad& q = header_->bmiColors[i];
    lp.palPalEntry[i] = {q.rgbRed, q.rgbGreen, q.rgbBlue, 0};
  }
  return pf::CreatePalette(&lp);
}

void TvexImage::SetPalette(PaletteHandle palette) {
  if (pf::is_null(palette)) {
    Changed();
    return;
  }
  ReleaseCanvasDC();
  canvas_.reset();
  if (!pf::is_null(palette_) && palette_ != palette) pf::DeletePalette(palette_);
  palette_ = palette;
  pf::PaletteEntry entries[256];
  const unsigned n = pf::GetPaletteEntries(palette, 0, 256, entries);
  for (unsigned i = 0; i < n; ++i)
    header_->bmiColors[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
  SetColorTable(header_->bmiColors, static_cast<std::int32_t>(n));
  palette_replaced_ = true;
  Changed();
}

std::int32_t TvexImage::GetPaletteEntries(LogPalette* palette) const {
  if (pf::is_null(palette_)) return 0;
  const int bpp = section_.dsBmih.biBitCount;
  const std::int64_t count = bpp >= 1 && bpp <= 8 ? (1 << bpp) : section_.dsBmih.biClrUsed;
  if (count < 1 || count > 256) return 0;
  if (!palette) return static_cast<std::int32_t>(count);
  palette->palVersion = 0x300;
  palette->palNumEntries = static_cast<std::uint16_t>(count);
  for (std::int64_t i = 0; i < count; ++i) {
    const RgbQuad& q = header_->bmiColors[i];
    palette->palPalEntry[i] = {q.rgbRed, q.rgbGreen, q.rgbBlue, 0};
  }
  return static_cast<std::int32_t>(count);
}

void TvexImage::SetPaletteEntries(const LogPalette* palette) {
  if (!palette) return;
  const unsigned n = std::min<unsigned>(palette->palNumEntries, 256);
  for (unsigned i = 0; i < n; ++i) {
    const pf::PaletteEntry& e = palette->palPalEntry[i];
    header_->bmiColors[i] = {e.peBlue, e.peGreen, e.peRed, 0};
  }
  SetColorTable(header_->bmiColors, static_cast<std::int32_t>(n));
  if (!pf::is_null(dib_)) MakePaletteFromSection();
  palette_replaced_ = true;
  Changed();
}

void TvexImage::SetColorTable(const RgbQuad* entries, std::int32_t count) {
  ReleaseCanvasDC();
  if (!pf::is_null(dib_) && entries && count >= 1 && count <= 256)
    pf::SetDIBColorTable(dib_, 0, static_cast<unsigned>(count), entries);
  image_format_ = IF_NONE;
}

std::int32_t TvexImage::NearestIndex(TColor colour) const {
  const int bpp = header_->bmiHeader.biBitCount;
  if (bpp != 1 && bpp != 4 && bpp != 8) return -1;
  const int r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
  std::int32_t best = 0;
  std::int64_t best_d = std::numeric_limits<std::int64_t>::max();
  for (int i = 0; i < (1 << bpp); ++i) {
    const RgbQuad& q = header_->bmiColors[i];
    const std::int64_t dr = q.rgbRed - r, dg = q.rgbGreen - g, db = q.rgbBlue - b;
    const std::int64_t d = dr * dr + dg * dg + db * db;
    if (d < best_d) {
      best_d = d;
      best = i;
    }
  }
  return best;
}

void TvexImage::FillBytes(std::uint8_t value) {
  if (pf::is_null(dib_) || !bits_) return;
  std::memset(bits_, value, header_->bmiHeader.biSizeImage);
}

void TvexImage::FillColor(TColor colour) {
  if (pf::is_null(dib_) || !bits_) return;
  const std::uint8_t r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
  const std::size_t size = header_->bmiHeader.biSizeImage;
  switch (ImageFormat()) {
  case IF_GREY8:
    std::memset(bits_, (r + g + b) / 3, size);
    break;
  case IF_PAL8:
    std::memset(bits_, NearestIndex(colour), size);
    break;
  case IF_RGB24:
  case IF_RGBA32:
  case IF_RGB32: {
    if (r == g && g == b) {
      std::memset(bits_, r, size);
      break;
    }
    // Pixels are stored blue, green, red: the colour goes in that order.
    const int step = BitCount() == 24 ? 3 : 4;
    std::uint8_t* top = ScanLine(0);
    for (std::int32_t x = 0; x < Width(); ++x) {
      std::uint8_t* p = top + static_cast<std::ptrdiff_t>(x) * step;
      p[0] = b;
      p[1] = g;
      p[2] = r;
      if (step == 4) p[3] = 0;
    }
    for (std::int32_t y = 1; y < abs32(Height()); ++y)
      std::memcpy(ScanLine(y), top, static_cast<std::size_t>(line_width_));
    break;
  }
  default:
    break;
  }
}

void TvexImage::Changed() {
  if (OnChange) OnChange(this);
}

void TvexImage::SetOrigin(int x, int y) {
  origin_x_ = x;
  origin_y_ = y;
}

void TvexImage::SetTransparent(bool v) {
  if (v == transparent_) return;
  transparent_ = v;
  DeleteMask();
}

TvexImageInfo* TvexImage::ImageInfo() {
  if (!image_info_) {
    image_info_ = std::make_unique<TvexImageInfo>();
    image_info_->SetResolutionUnit(RU_METER);
    image_info_->SetXResolution(header_->bmiHeader.biXPelsPerMeter);
    image_info_->SetYResolution(header_->bmiHeader.biYPelsPerMeter);
  }
  return image_info_.get();
}

TvexImageCanvas* TvexImage::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TvexImageCanvas>(this);
  return canvas_.get();
}

// Mask for transparent drawing: 1 where the pixel has the transparent colour.
void TvexImage::BuildMask() {
  const std::int32_t w = Width(), h = abs32(Height());
  const auto line = pf::dib_line_width(w, 1);
  mask_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(line * h));
  std::memset(mask_.get(), 0, static_cast<std::size_t>(line * h));
  if (transparent_color_ == kNoTransparentColor) return;
  const pf::Colour key = transparent_color_ & 0xFFFFFF;
  BitmapInfo info = *header_;
  info.bmiHeader.biHeight = h;
  const pf::DibSource src{&info, bits_};
  for (std::int32_t y = 0; y < h; ++y) {
    std::uint8_t* mrow = mask_.get() + line * (h - 1 - y);
    for (std::int32_t x = 0; x < w; ++x)
      if (pf::dib_pixel(src, x, y) == key)
        mrow[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
  }
}

void TvexImage::Draw(pf::DrawSurface& dc, double scale) {
  if (pf::is_null(dib_) || !bits_ || !header_) return;
  const std::int32_t w = Width(), h = abs32(Height());
  if (w <= 0 || h <= 0 || line_width_ <= 0) return;
  dc.SetStretchMode(stretch_mode_);
  if (stretch_mode_ == pf::HALFTONE) dc.SetBrushOrigin(0, 0);
  PaletteHandle previous = PaletteHandle::Null;
  const bool has_palette = !pf::is_null(palette_);
  if (has_palette) {
    previous = dc.SelectPalette(palette_, false);
    dc.RealizePalette();
  }
  const long double s = scale;
  if (transparent_) {
    if (!mask_) BuildMask();
    const pf::Rect dest{origin_x_, origin_y_, origin_x_ + vex::round_to_int32(s * w),
                        origin_y_ + vex::round_to_int32(s * h)};
    BitmapInfo info = *header_;
    info.bmiHeader.biHeight = h;
    dc.MaskedStretch(dest, pf::DibSource{&info, bits_}, mask_.get());
  } else {
    // Bands keep every single transfer under 65520 bytes of source rows.
    std::int32_t band =
        scale > 1 ? 65520 / std::max<std::int32_t>(vex::round_to_int32(s * line_width_ + 0.49L), 1)
                  : 65520 / line_width_;
    band = std::clamp(band, 1, h);
    auto& hdr = header_->bmiHeader;
    const std::int32_t saved_height = hdr.biHeight;
    const std::uint32_t saved_size = hdr.biSizeImage;
    for (std::int32_t done = 0; done < h; done += band) {
      const std::int32_t rows = std::min(band, h - done);
      // Bottom-up memory: the band's lowest picture row comes first.
      const std::uint8_t* band_bits =
          bits_ + static_cast<std::ptrdiff_t>(h - done - rows) * line_width_;
      hdr.biHeight = rows;
      hdr.biSizeImage = static_cast<std::uint32_t>(rows) * static_cast<std::uint32_t>(line_width_);
      const pf::DibSource src{header_.get(), band_bits};
      if (scale != 1) {
        const std::int32_t y = vex::round_to_int32(s * done + origin_y_);
        const pf::Rect dest{origin_x_, y, origin_x_ + vex::round_to_int32(s * w),
                            y + vex::round_to_int32(s * rows + 0.49L)};
        dc.StretchDIBits(dest, src);
      } else {
        dc.SetDIBitsToDevice(origin_x_, origin_y_ + done, src);
      }
    }
    hdr.biHeight = saved_height;
    hdr.biSizeImage = saved_size;
  }
  if (has_palette) dc.SelectPalette(previous, true);
}
