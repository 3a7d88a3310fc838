#include "vexImage.h"

void TvexImageInfo::Clear() {
  artist_.clear();
  rights_notice_.clear();
  description_.clear();
  document_name_.clear();
  host_computer_.clear();
  make_.clear();
  model_.clear();
  software_.clear();
  version_ = 0;
  file_name_.clear();
  file_format_ = FF_BMP;
  file_size_ = 0;
  date_time_ = 0;
  resolution_unit_ = RU_METER;
  x_resolution_ = y_resolution_ = x_position_ = y_position_ = 0;
  page_name_.clear();
  page_number_ = 1;
  aspect_numerator_ = aspect_denominator_ = 1;
  orientation_ = 1;
  modified_ = false;
}

void TvexImageInfo::Assign(const TvexImageInfo& source) {
  if (&source != this) *this = source;
  modified_ = true;
}

void TvexImageInfo::SetText(std::string& field, const std::string& v) {
  if (field != v) {
    field = v;
    modified_ = true;
  }
}

// Stored values are per metre. Units 2 to 4 are per pica, point and twip, so
// that reading gives back what was written.
double TvexImageInfo::FromStored(double stored) const {
  const long double v = stored;
  switch (resolution_unit_) {
  case RU_INCH:
    return static_cast<double>(v * 0.0254L);
  case RU_CENTIMETER:
    return static_cast<double>(v / 100.0L);
  case RU_PICA:
    return static_cast<double>(v * 0.0254L / 6.0L);
  case RU_POINT:
    return static_cast<double>(v * 0.0254L / 72.0L);
  case RU_TWIP:
    return static_cast<double>(v * 0.0254L / 1440.0L);
  case RU_METER:
    return stored;
  default:
    return 0;
  }
}

void TvexImageInfo::SetStored(double& field, double value) {
  const long double x = value;
  double stored = 0;
  switch (resolution_unit_) {
  case RU_INCH:
    stored = static_cast<double>(x / 0.0254L);
    break;
  case RU_CENTIMETER:
    stored = static_cast<double>(x * 100.0L);
    break;
  case RU_PICA:
    stored = static_cast<double>(x * 6.0L / 0.0254L);
    break;
  case RU_POINT:
    stored = static_cast<double>(x * 72.0L / 0.0254L);
    break;
  case RU_TWIP:
    stored = static_cast<double>(x * 1440.0L / 0.0254L);
    break;
  case RU_METER:
    stored = value;
    break;
  default:
    stored = 0;
    break;
  }
  if (stored != field) {
    field = stored;
    modified_ = true;
  }
}
