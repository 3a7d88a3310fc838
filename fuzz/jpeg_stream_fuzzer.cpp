// seeds: jpeg jpeg-progressive
// The JPEG reader delivering rows to a sink (the streaming e-mail road) on
// arbitrary bytes from memory, on one thread or two, into a stream resize.
// Every wanted row must come exactly once, in order, inside the picture.
#include "vexImageFile.h"
#include "vexImageTransform.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

class CheckingSink final : public TvexRowSink {
public:
  explicit CheckingSink(int helpers) : helpers_(helpers) {}

  bool Begin(std::int32_t w, std::int32_t h, std::int32_t bits) override {
    if (began_ || w <= 0 || h <= 0 || (bits != 8 && bits != 24)) std::abort();
    began_ = true;
    // Huge frames are refused to keep a replay fast (the reader stops there).
    if (std::int64_t{w} * h > 4096 * 4096) return false;
    w_ = w, h_ = h, bpp_ = bits / 8;
    const std::int32_t rw = w > 64 ? w / 7 + 1 : w, rh = h > 64 ? h / 5 + 1 : h;
    result_.assign(static_cast<std::size_t>(rw) * rh * bpp_, 0);
    if (resize_.Begin(w, h, bpp_, rw, rh, result_.data(), std::ptrdiff_t{rw} * bpp_) != EC_OK)
      std::abort();
    return true;
  }
  bool Wants(std::int32_t y) const override { return resize_.Wants(y); }
  void Row(std::int32_t y, const std::uint8_t* pixels) override {
    if (!began_ || y <= last_ || y >= h_ || !Wants(y)) std::abort();
    last_ = y;
    resize_.Push(y, pixels);
  }
  int Helpers() const override { return helpers_; }
  // After a load that began: every result row was written.
  void Check() const {
    if (began_ && w_ > 0 && !resize_.Done()) std::abort();
  }

private:
  int helpers_;
  bool began_ = false;
  std::int32_t w_ = 0, h_ = 0, bpp_ = 0, last_ = -1;
  std::vector<std::uint8_t> result_;
  TvexStreamResize resize_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vex::platform::MemoryStream stream(data, size);
  TvexJPEGImage reader;
  TvexImageInfo info;
  reader.SetImageInfo(&info);
  CheckingSink sink(static_cast<int>(size & 1));
  reader.SetRowSink(&sink);
  const DibHandle dib = reader.LoadFromStream(stream);
  if (dib != DibHandle::Null) std::abort(); // rows, never a bitmap
  sink.Check();
  return 0;
}
