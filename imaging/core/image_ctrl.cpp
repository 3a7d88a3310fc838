#include "vexImageCtrl.h"

#include "platform/rounding.h"

namespace pf = vex::platform;

TvexImageCtrl::TvexImageCtrl() = default;

TvexImageCtrl::~TvexImageCtrl() {
  FreeImage();
}

void TvexImageCtrl::Hook() {
  image_->OnChange = [this](TvexImage* sender) { ImageChanged(sender); };
}

TvexImage* TvexImageCtrl::GetImage() {
  if (!image_) image_ = std::make_unique<TvexImage>();
  // Every read re-points the notification, in case someone else took it.
  Hook();
  return image_.get();
}

void TvexImageCtrl::SetImage(TvexImage* image) {
  if (image && image == image_.get()) {
    // Handing the control its own image must not free it.
    Hook();
    Invalidate();
    return;
  }
  FreeImage();
  if (!image) return;
  image_.reset(image);
  Hook();
  Invalidate();
}

void TvexImageCtrl::FreeImage() {
  if (!image_) return;
  // No notification may reach this control from an image on its way out.
  image_->OnChange = nullptr;
  image_.reset();
}

void TvexImageCtrl::ImageChanged(TvexImage*) {
  if (OnChange) OnChange(this);
  InvalidateRect(false);
}

void TvexImageCtrl::InvalidateRect(bool erase) {
  if (!OnInvalidate) return;
  pf::Rect r{0, 0, width_, height_};
  if (border_style_ == BS_SINGLE) r = pf::Rect{2, 2, width_ - 2, height_ - 2};
  OnInvalidate(r, erase);
}

void TvexImageCtrl::Invalidate() {
  if (OnInvalidate) OnInvalidate(pf::Rect{0, 0, width_, height_}, true);
}

// Largest scale at which the whole picture fits the area inside the border.
double TvexImageCtrl::FitScale() const {
  const int inset = border_style_ == BS_SINGLE ? 4 : 0;
  const long double usable_w = width_ - inset, usable_h = height_ - inset;
  const int pw = image_->Width();
  const int ph = image_->Height() < 0 ? -image_->Height() : image_->Height();
  const long double sx = pw > 0 ? usable_w / pw : 1.0L;
  const long double sy = ph > 0 ? usable_h / ph : 1.0L;
  return vex::to_double(sx >= sy ? sy : sx);
}

double TvexImageCtrl::GetScale() {
  if (!image_)
    scale_ = 1.0;
  else if (scale_to_fit_)
    scale_ = FitScale();
  return scale_;
}

void TvexImageCtrl::SetScale(double v) {
  if (v == scale_) return;
  scale_ = v;
  scale_to_fit_ = false;
  Invalidate();
}

void TvexImageCtrl::SetScaleToFit(bool v) {
  scale_to_fit_ = v;
  if (!image_) return;
  if (v) {
    const double fit = FitScale();
    if (fit != scale_) {
      scale_ = fit;
      Invalidate();
    }
  } else {
    Invalidate();
  }
}

void TvexImageCtrl::SetCenter(bool v) {
  if (v != center_) {
    center_ = v;
    Invalidate();
  }
  if (!center_ && image_) image_->SetOrigin(0, 0);
}

void TvexImageCtrl::SetBorderStyle(TvexBorderStyle v) {
  if (v == border_style_) return;
  border_style_ = v;
  Invalidate();
}

bool TvexImageCtrl::Transparent() const {
  return image_ ? image_->Transparent() : false;
}

void TvexImageCtrl::SetTransparent(bool v) {
  if (!image_ || image_->Transparent() == v) return;
  image_->SetTransparent(v);
  Invalidate();
}

void TvexImageCtrl::SetColor(TColor v) {
  if (v == color_) return;
  color_ = v;
  Invalidate();
}

void TvexImageCtrl::SetVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  Invalidate();
}

void TvexImageCtrl::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  Invalidate();
}

void TvexImageCtrl::PaintTo(pf::DrawSurface& dc) {
  paint_dc_ = &dc;
  struct Reset {
    pf::DrawSurface*& dc;
    ~Reset() { dc = nullptr; }
  } reset{paint_dc_};
  Paint();
}

void TvexImageCtrl::Paint() {
  if (!paint_dc_ || !visible_) return;
  pf::DrawSurface& dc = *paint_dc_;
  const int w = width_, h = height_;
  if (color_ != kNoColor) dc.FillRect(pf::Rect{0, 0, w, h}, color_ & 0xFFFFFF);
  if (image_) {
    if (scale_to_fit_) GetScale();
    if (center_) {
      const int ph = image_->Height() < 0 ? -image_->Height() : image_->Height();
      const long double s = scale_;
      image_->SetOrigin(vex::round_to_int32((w - image_->Width() * s) / 2),
                        vex::round_to_int32((h - ph * s) / 2));
    }
    image_->Draw(dc, scale_);
  }
  if (border_style_ == BS_SINGLE) {
    // A sunken frame: dark lines top and left, light ones bottom and right.
    dc.SetPen(pf::rgb(128, 128, 128), 1);
    dc.MoveTo(w - 1, 0);
    dc.LineTo(0, 0);
    dc.LineTo(0, h - 1);
    dc.SetPen(pf::rgb(0, 0, 0), 1);
    dc.MoveTo(w - 2, 1);
    dc.LineTo(1, 1);
    dc.LineTo(1, h - 2);
    dc.SetPen(pf::rgb(255, 255, 255), 1);
    dc.MoveTo(w - 1, 0);
    dc.LineTo(w - 1, h - 1);
    dc.LineTo(0, h - 1);
    dc.SetPen(pf::rgb(192, 192, 192), 1);
    dc.MoveTo(w - 2, 1);
    dc.LineTo(w - 2, h - 2);
    dc.LineTo(1, h - 2);
  }
}

void TvexImageCtrl::MouseMove(std::uint32_t shift, int x, int y) {
  if (!OnMouseMove) return;
  if (center_ && image_) {
    x -= image_->OriginX();
    y -= image_->OriginY();
  }
  OnMouseMove(this, shift, x, y);
}
