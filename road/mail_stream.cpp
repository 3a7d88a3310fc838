#include "mail_stream.h"

#include "channel_stretch.h"
#include "orientation.h"
#include "vexImageFile.h"
#include "vexImageTransform.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Takes the stored rows of a colour JPEG and resizes the upright picture.
// Orientations that keep the sides feed rows in upright order (from the
// bottom when the picture stands upside down), mirrored when needed. Those
// that swap the sides resize the stored picture with the axes exchanged (the
// row weights of the upright picture on the stored columns and the other way
// round); the cubic sums are exact integers, so their order does not matter,
// and the small result is turned afterwards.
class MailSink final : public TvexRowSink {
public:
  MailSink(const TvexImageInfo& info, std::int32_t size, const MailOptions& options)
      : info_(info), size_(size), keep_(options.keep_orientation), helpers_(options.helpers) {}

  bool Begin(std::int32_t w, std::int32_t h, std::int32_t bit_count) override {
    // Grey pictures keep their palette through the whole-bitmap road.
    if (bit_count != 24) return false;
    orientation_ = keep_ ? 1 : info_.Orientation();
    if (orientation_ < 1 || orientation_ > 8) orientation_ = 1;
    swap_ = SwapsSides(orientation_);
    upright_w_ = swap_ ? h : w;
    upright_h_ = swap_ ? w : h;
    if (std::max(upright_w_, upright_h_) <= size_) return false;
    std::int32_t rw = 0, rh = 0;
    MailSize(upright_w_, upright_h_, rw, rh, size_);
    result_.SetWidth(rw);
    result_.SetHeight(rh);
    result_.SetImageFormat(IF_RGB24);
    if (!result_.Bits()) return false;
    // Where stored row 0 and stored column 0 land.
    std::int32_t sx = 0, sy = 0;
    UprightSource(orientation_, w, h, 0, 0, sx, sy);
    bottom_up_ = sy != 0;
    mirror_ = sx != 0;
    height_ = h;
    width_ = w;
    std::uint8_t* top;
    std::ptrdiff_t stride;
    const std::int32_t prw = swap_ ? rh : rw, prh = swap_ ? rw : rh;
    if (swap_) {
      turned_.assign(static_cast<std::size_t>(prw) * prh * 3, 0);
      top = turned_.data();
      stride = static_cast<std::ptrdiff_t>(prw) * 3;
    } else {
      top = result_.ScanLine(0);
      stride = rh > 1 ? result_.ScanLine(1) - result_.ScanLine(0) : 0;
    }
    if (resize_.Begin(w, h, 3, prw, prh, top, stride, bottom_up_) != EC_OK) return false;
    if (mirror_) mirrored_.assign(static_cast<std::size_t>(w) * 3, 0);
    began_ = true;
    return true;
  }

  int Helpers() const override { return helpers_; }

  bool Wants(std::int32_t y) const override { return resize_.Wants(Upright(y)); }

  std::uint8_t* RowBuffer(std::int32_t y) override {
    return mirror_ ? nullptr : resize_.RowBuffer(Upright(y));
  }

  void Row(std::int32_t y, const std::uint8_t* pixels) override {
    if (mirror_) {
      std::uint8_t* out = mirrored_.data();
      for (std::int32_t x = 0; x < width_; ++x)
        std::memcpy(out + 3 * static_cast<std::size_t>(x),
                    pixels + 3 * static_cast<std::size_t>(width_ - 1 - x), 3);
      pixels = out;
    }
    resize_.Push(Upright(y), pixels);
  }

  bool Began() const { return began_; }
  bool Done() const { return resize_.Done(); }
  int Orientation() const { return orientation_; }
  std::int32_t UprightWidth() const { return upright_w_; }
  std::int32_t UprightHeight() const { return upright_h_; }

  // The resized upright picture.
  TvexImage& Result() {
    if (swap_) {
      // Result row y, column x is row x, column y of the resize.
      const std::int32_t rw = result_.Width(), rh = std::abs(result_.Height());
      for (std::int32_t y = 0; y < rh; ++y) {
        std::uint8_t* out = result_.ScanLine(y);
        for (std::int32_t x = 0; x < rw; ++x)
          std::memcpy(out + 3 * static_cast<std::size_t>(x),
                      turned_.data() + (static_cast<std::size_t>(x) * rh + y) * 3, 3);
      }
      swap_ = false;
    }
    return result_;
  }

private:
  std::int32_t Upright(std::int32_t y) const { return bottom_up_ ? height_ - 1 - y : y; }

  const TvexImageInfo& info_;
  std::int32_t size_;
  bool keep_;
  int helpers_;
  int orientation_ = 1;
  bool swap_ = false, bottom_up_ = false, mirror_ = false, began_ = false;
  std::int32_t width_ = 0, height_ = 0, upright_w_ = 0, upright_h_ = 0;
  TvexImage result_;
  TvexStreamResize resize_;
  std::vector<std::uint8_t> turned_;
  std::vector<std::uint8_t> mirrored_;
};

} // namespace

bool StreamMailPicture(const std::string& file_name, TvexImageFileMgr& manager, std::int32_t size,
                       TvexImage& picture, const MailOptions& options, ConvertResult& result) {
  if (!options.stream || LoadFormatFromName(file_name) != FF_JPEG) return false;
  TvexImageInfo& info = manager.GetImageInfo();
  MailSink sink(info, size, options);
  try {
    if (!manager.StreamImage(file_name, FF_JPEG, sink)) return false;
  } catch (...) {
    return false;
  }
  // An orientation that arrived after the frame, or rows that never came,
  // leave it to the whole-bitmap road.
  if (!sink.Began() || !sink.Done()) return false;
  const int orientation = options.keep_orientation ? 1 : info.Orientation();
  if (orientation != sink.Orientation() && !(orientation < 1 || orientation > 8)) return false;

  ConvertResult r;
  r.load_error = manager.GetLastError();
  if (r.load_error == EC_NOMEMORY) {
    // The reader found no memory for the picture: what it delivered is blank,
    // not what the file holds, so nothing is written.
    r.error = EC_NOMEMORY;
    r.message = vexErrorMessage(EC_NOMEMORY);
    r.load_error = EC_OK;
    result = r;
    return true;
  }
  if (r.load_error != EC_OK) r.load_message = vexErrorMessage(r.load_error);
  if (!options.keep_orientation && info.Orientation() != 1) {
    TurnMetadataUpright(info, info.Orientation());
    info.SetOrientation(1);
  }
  manager.SetCompression(CP_JPEG_STD);
  manager.SetQuality(kMailQuality);
  r.source_width = sink.UprightWidth();
  r.source_height = sink.UprightHeight();
  picture.SetDibHandle(sink.Result().ReleaseHandle());
  StretchChannels(picture);
  r.converted = true;
  result = r;
  return true;
}
