#include "image_ctrl_widget.h"

#include "qt_draw_surface.h"

#include <QImage>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

ImageCtrlWidget::ImageCtrlWidget(QWidget* parent) : QWidget(parent) {
  resize(TvexImageCtrl::kDefaultSize, TvexImageCtrl::kDefaultSize);
  SyncBounds();
  ctrl_.OnInvalidate = [this](const vex::platform::Rect& r, bool) {
    // Qt repaints what lies beneath a non-opaque widget anyway, so "erase"
    // needs no separate handling.
    update(QRect(QPoint(r.left, r.top), QSize(r.width(), r.height())));
  };
}

void ImageCtrlWidget::SyncBounds() {
  ctrl_.SetBounds(x(), y(), width(), height());
}

void ImageCtrlWidget::resizeEvent(QResizeEvent* event) {
  SyncBounds();
  QWidget::resizeEvent(event);
}

void ImageCtrlWidget::moveEvent(QMoveEvent* event) {
  SyncBounds();
  QWidget::moveEvent(event);
}

// Paints the exposed part into an off-screen image first, then copies it in
// one go, so that the picture never flickers between background and image.
void ImageCtrlWidget::paintEvent(QPaintEvent* event) {
  const QRect area = event->rect();
  if (area.isEmpty()) return;
  const qreal ratio = devicePixelRatioF();
  QImage buffer(area.size() * ratio, QImage::Format_ARGB32_Premultiplied);
  if (buffer.isNull()) return;
  buffer.setDevicePixelRatio(ratio);
  buffer.fill(Qt::transparent);
  {
    QPainter painter(&buffer);
    painter.translate(-area.topLeft());
    QtDrawSurface surface(painter, width(), height(), area);
    ctrl_.PaintTo(surface);
  }
  QPainter painter(this);
  painter.drawImage(area.topLeft(), buffer);
  if (!message_.isEmpty()) {
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     message_);
  }
}

void ImageCtrlWidget::SetMessage(const QString& message) {
  if (message == message_) return;
  message_ = message;
  update();
}

void ImageCtrlWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  emit doubleClicked();
  QWidget::mouseDoubleClickEvent(event);
}

void ImageCtrlWidget::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  ctrl_.MouseMove(static_cast<std::uint32_t>(event->modifiers()), p.x(), p.y());
  QWidget::mouseMoveEvent(event);
}
