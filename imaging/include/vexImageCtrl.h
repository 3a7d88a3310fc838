// The image view control: shows one TvexImage at a scale, optionally fitted
// to the control and centred, with a transparent colour and a sunken border.
// This is the control's logic without any window system: a host (the Qt
// widget of the window, or a test) tells it its size, hands it a surface to
// paint on and learns through OnInvalidate which part needs repainting.
#pragma once

#include "vexImage.h"

#include "platform/draw_surface.h"

#include <cstdint>
#include <functional>
#include <memory>

using TvexBorderStyle = std::uint8_t;
enum : TvexBorderStyle {
  BS_NONE = 0,
  BS_SINGLE = 1,
};

class TvexImageCtrl {
public:
  using NotifyEvent = std::function<void(TvexImageCtrl* sender)>;
  using MouseMoveEvent =
      std::function<void(TvexImageCtrl* sender, std::uint32_t shift, int x, int y)>;
  // Asks the host to repaint `rect` (control coordinates); `erase` false
  // means the background need not be cleared first.
  using InvalidateEvent = std::function<void(const vex::platform::Rect& rect, bool erase)>;

  // "No colour": no background is painted.
  static constexpr TColor kNoColor = 0x1FFFFFFF;
  static constexpr int kDefaultSize = 64;

  TvexImageCtrl();
  virtual ~TvexImageCtrl();
  TvexImageCtrl(const TvexImageCtrl&) = delete;
  TvexImageCtrl& operator=(const TvexImageCtrl&) = delete;

  // The picture shown. Reading creates an empty image on first use; the
  // control keeps ownership either way.
  TvexImage* Image() { return GetImage(); }
  virtual TvexImage* GetImage();
  // Takes ownership of `image`; null only frees the current one.
  virtual void SetImage(TvexImage* image);
  bool HasImage() const { return image_ != nullptr; }

  // With ScaleToFit, reading recomputes the fit scale.
  double Scale() { return GetScale(); }
  virtual double GetScale();
  // Setting a different scale switches ScaleToFit off.
  virtual void SetScale(double v);
  bool ScaleToFit() const { return scale_to_fit_; }
  void SetScaleToFit(bool v);
  bool Center() const { return center_; }
  void SetCenter(bool v);
  TvexBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TvexBorderStyle v);
  bool Transparent() const;
  void SetTransparent(bool v);
  TColor Color() const { return color_; }
  void SetColor(TColor v);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);

  // Geometry in the parent's coordinates; the host keeps it in step with the
  // real widget.
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int left, int top, int width, int height);

  // The paint message with a surface: paints onto `dc` (control coordinates).
  void PaintTo(vex::platform::DrawSurface& dc);
  // Mouse movement over the control at (x, y), control coordinates.
  void MouseMove(std::uint32_t shift, int x, int y);
  // Repaints the whole control (the part inside the border with BS_SINGLE).
  void Invalidate();

  NotifyEvent OnChange;
  MouseMoveEvent OnMouseMove;
  InvalidateEvent OnInvalidate;

protected:
  virtual void ImageChanged(TvexImage* sender);
  virtual void Paint();
  virtual void FreeImage();

  vex::platform::DrawSurface* PaintDC() const { return paint_dc_; }

private:
  void InvalidateRect(bool erase);
  double FitScale() const;
  void Hook();

  vex::platform::DrawSurface* paint_dc_ = nullptr;
  std::unique_ptr<TvexImage> image_;
  bool center_ = false;
  double scale_ = 1.0;
  bool scale_to_fit_ = false;
  TvexBorderStyle border_style_ = BS_NONE;
  TColor color_ = kNoColor;
  bool visible_ = true;
  int left_ = 0, top_ = 0, width_ = kDefaultSize, height_ = kDefaultSize;
};
