// The in-memory image (a device-independent bitmap section with its header,
// palette and metadata) and the metadata record that travels with files.
#pragma once

#include "vexImageTypeDef.h"

#include "platform/bitmap_types.h"
#include "platform/dib_section.h"
#include "platform/draw_surface.h"
#include "platform/palette.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using vex::platform::DibHandle;
using vex::platform::PaletteHandle;

// Units of TvexImageInfo beyond the four the formats use: resolutions per
// pica (1/6 inch), per point (1/72 inch) and per twip (1/1440 inch).
enum : TvexResolutionUnit {
  RU_PICA = 2,
  RU_POINT = 3,
  RU_TWIP = 4,
};

// Descriptive data of an image file. Resolutions and positions are stored as
// per-metre values and read and written in ResolutionUnit.
class TvexImageInfo {
public:
  TvexImageInfo() { Clear(); }

  void Clear();
  void Assign(const TvexImageInfo& source);

  const std::string& Artist() const { return artist_; }
  const std::string& RightsNotice() const { return rights_notice_; }
  const std::string& Description() const { return description_; }
  const std::string& DocumentName() const { return document_name_; }
  const std::string& HostComputer() const { return host_computer_; }
  const std::string& Make() const { return make_; }
  const std::string& Model() const { return model_; }
  const std::string& Software() const { return software_; }
  const std::string& FileName() const { return file_name_; }
  const std::string& PageName() const { return page_name_; }
  void SetArtist(const std::string& v) { SetText(artist_, v); }
  void SetRightsNotice(const std::string& v) { SetText(rights_notice_, v); }
  void SetDescription(const std::string& v) { SetText(description_, v); }
  void SetDocumentName(const std::string& v) { SetText(document_name_, v); }
  void SetHostComputer(const std::string& v) { SetText(host_computer_, v); }
  void SetMake(const std::string& v) { SetText(make_, v); }
  void SetModel(const std::string& v) { SetText(model_, v); }
  void SetSoftware(const std::string& v) { SetText(software_, v); }
  void SetFileName(const std::string& v) { SetText(file_name_, v); }
  void SetPageName(const std::string& v) { SetText(page_name_, v); }

  double Version() const { return version_; }
  TvexFileFormat FileFormat() const { return file_format_; }
  std::int32_t FileSize() const { return file_size_; }
  double DateTime() const { return date_time_; }
  TvexResolutionUnit ResolutionUnit() const { return resolution_unit_; }
  std::int32_t PageNumber() const { return page_number_; }
  std::int16_t AspectNumerator() const { return aspect_numerator_; }
  std::int16_t AspectDenominator() const { return aspect_denominator_; }
  void SetVersion(double v) { SetValue(version_, v); }
  void SetFileFormat(TvexFileFormat v) { SetValue(file_format_, v); }
  void SetFileSize(std::int32_t v) { SetValue(file_size_, v); }
  void SetDateTime(double v) {
    date_time_ = v;
    modified_ = true;
  }
  void SetResolutionUnit(TvexResolutionUnit v) { SetValue(resolution_unit_, v); }
  void SetPageNumber(std::int32_t v) { SetValue(page_number_, v); }
  void SetAspectNumerator(std::int16_t v) { SetValue(aspect_numerator_, v); }
  void SetAspectDenominator(std::int16_t v) { SetValue(aspect_denominator_, v); }
  // How the stored pixels are to be turned to stand upright (the Exif
  // orientation: 1 as stored, 2..8 mirrored and/or turned); 1 by default.
  std::uint8_t Orientation() const { return orientation_; }
  void SetOrientation(std::uint8_t v) { SetValue(orientation_, v); }

  // In ResolutionUnit.
  double XResolution() const { return FromStored(x_resolution_); }
  double YResolution() const { return FromStored(y_resolution_); }
  double XPosition() const { return FromStored(x_position_); }
  double YPosition() const { return FromStored(y_position_); }
  void SetXResolution(double v) { SetStored(x_resolution_, v); }
  void SetYResolution(double v) { SetStored(y_resolution_, v); }
  void SetXPosition(double v) { SetStored(x_position_, v); }
  void SetYPosition(double v) { SetStored(y_position_, v); }

  bool Modified() const { return modified_; }
  void SetModified(bool v) { modified_ = v; }

private:
  void SetText(std::string& field, const std::string& v);
  template <class T> void SetValue(T& field, T v) {
    if (field != v) {
      field = v;
      modified_ = true;
    }
  }
  double FromStored(double stored) const;
  void SetStored(double& field, double v);

  std::string artist_, rights_notice_, description_, document_name_, host_computer_, make_, model_,
      software_;
  double version_ = 0;
  std::string file_name_;
  TvexFileFormat file_format_ = FF_BMP;
  std::int32_t file_size_ = 0;
  double date_time_ = 0;
  TvexResolutionUnit resolution_unit_ = RU_METER;
  double x_resolution_ = 0, y_resolution_ = 0, x_position_ = 0, y_position_ = 0;
  std::string page_name_;
  std::int32_t page_number_ = 1;
  std::int16_t aspect_numerator_ = 1, aspect_denominator_ = 1;
  std::uint8_t orientation_ = 1;
  bool modified_ = false;
};

class TvexImage;

// Drawing surface over an image's pixels (the view control draws through it).
class TvexImageCanvas {
public:
  explicit TvexImageCanvas(TvexImage* image) : image_(image) {}
  virtual ~TvexImageCanvas() = default;
  // Lets go of the device context, so that the section is selected nowhere.
  virtual void ReleaseDC() {}
  TvexImage* Image() const { return image_; }

private:
  TvexImage* image_;
};

// The in-memory raster image: one bitmap section, rows bottom-up, each padded
// to a multiple of 4 bytes.
class TvexImage {
public:
  using ChangeEvent = std::function<void(TvexImage* sender)>;
  using BitmapInfo = vex::platform::BitmapInfo;
  using RgbQuad = vex::platform::RgbQuad;
  using LogPalette = vex::platform::LogPalette;

  static constexpr TColor kNoTransparentColor = 0x1FFFFFFF;

  TvexImage();
  virtual ~TvexImage();
  TvexImage(const TvexImage&) = delete;
  TvexImage& operator=(const TvexImage&) = delete;

  void Clear();
  // Copies another image: header, used colours, pixels, metadata.
  void Assign(const TvexImage* source);

  // The section. Setting adopts the handle: the image owns it from then on.
  DibHandle GetDibHandle();
  void SetDibHandle(DibHandle handle);
  // Gives up ownership: the caller now owns the section; the image still shows it.
  DibHandle ReleaseHandle();
  // Makes a new zero-filled section of the current Width, Height and bit count.
  DibHandle CreateDib();

  std::int32_t Width() const { return header_->bmiHeader.biWidth; }
  std::int32_t Height() const { return header_->bmiHeader.biHeight; }
  std::int32_t BitCount() const { return bit_count_; }
  std::int32_t LineWidth() const { return line_width_; }
  std::uint8_t* Bits() const { return bits_; }
  void SetWidth(std::int32_t v);
  void SetHeight(std::int32_t v);
  void SetBitCount(std::uint16_t v);
  TvexImageFormat ImageFormat();
  void SetImageFormat(TvexImageFormat v);
  // Row 0 is the top row of the picture; rows outside are clamped.
  std::uint8_t* ScanLine(std::int32_t row) const;
  std::int32_t XResolution() const { return header_->bmiHeader.biXPelsPerMeter; }
  std::int32_t YResolution() const { return header_->bmiHeader.biYPelsPerMeter; }
  void SetXResolution(std::int32_t v) { header_->bmiHeader.biXPelsPerMeter = v; }
  void SetYResolution(std::int32_t v) { header_->bmiHeader.biYPelsPerMeter = v; }

  // The header record: the 40-byte header and the 256-entry colour table.
  BitmapInfo* Header() const { return header_.get(); }
  const vex::platform::DibSection& Section() const { return section_; }

  // A new platform palette from the colour table (the caller owns it); Null
  // above 8 bits.
  PaletteHandle GetPalette();
  // Takes ownership of `palette` and copies its entries into the colour table.
  void SetPalette(PaletteHandle palette);
  // The palette the image keeps for drawing (owned by the image).
  PaletteHandle OwnPalette() const { return palette_; }
  bool PaletteReplaced() const { return palette_replaced_; }
  std::int32_t GetPaletteEntries(LogPalette* palette) const;
  void SetPaletteEntries(const LogPalette* palette);
  void SetColorTable(const RgbQuad* entries, std::int32_t count);
  std::int32_t NearestIndex(TColor colour) const;

  void FillBytes(std::uint8_t value);
  void FillColor(TColor colour);

  virtual void Changed();
  virtual void SetOrigin(int x, int y);
  int OriginX() const { return origin_x_; }
  int OriginY() const { return origin_y_; }
  virtual void Draw(vex::platform::DrawSurface& dc, double scale);

  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v);
  TColor TransparentColor() const { return transparent_color_; }
  void SetTransparentColor(TColor v) { transparent_color_ = v; }
  std::uint32_t StretchMode() const { return stretch_mode_; }
  void SetStretchMode(std::uint32_t v) { stretch_mode_ = v; }

  TvexImageInfo* ImageInfo();
  bool HasImageInfo() const { return image_info_ != nullptr; }
  TvexImageCanvas* Canvas();

  TvexErrorCode Error() const { return error_; }
  void SetError(TvexErrorCode e) { error_ = e; }
  std::uint32_t PlatformError() const { return platform_error_; }
  bool OwnsHandle() const { return owner_count_ > 0; }

  ChangeEvent OnChange;

private:
  void ReleaseCanvasDC();
  void MakePaletteFromSection();
  void DeleteMask();
  void BuildMask();
  std::int32_t ColourCount() const;

  bool palette_replaced_ = false;
  std::unique_ptr<TvexImageInfo> image_info_;
  TvexErrorCode error_ = EC_OK;
  std::uint32_t platform_error_ = 0;
  std::uint32_t stretch_mode_ = vex::platform::COLORONCOLOR;
  std::int32_t owner_count_ = 0;
  DibHandle dib_ = DibHandle::Null;
  vex::platform::DibSection section_;
  std::uint8_t* bits_ = nullptr;
  std::unique_ptr<BitmapInfo> header_;
  LogPalette log_palette_;
  PaletteHandle palette_ = PaletteHandle::Null;
  std::int32_t bit_count_ = 0;
  std::int32_t line_width_ = 0;
  TvexImageFormat image_format_ = IF_NONE;
  bool transparent_ = false;
  TColor transparent_color_ = 0xFFFFFF;
  std::unique_ptr<std::uint8_t[]> mask_;
  int origin_x_ = 0, origin_y_ = 0;
  std::unique_ptr<TvexImageCanvas> canvas_;
};
