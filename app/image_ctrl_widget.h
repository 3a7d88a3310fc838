// The image view control inside a Qt window: the widget keeps the control's
// size in step with its own and paints it double-buffered.
#pragma once

#include "vexImageCtrl.h"

#include <QWidget>

class ImageCtrlWidget : public QWidget {
  Q_OBJECT

public:
  explicit ImageCtrlWidget(QWidget* parent = nullptr);

  TvexImageCtrl& Ctrl() { return ctrl_; }
  TvexImage* Image() { return ctrl_.Image(); }
  // A text shown over the (empty) picture, such as why it could not be read.
  void SetMessage(const QString& message);
  const QString& Message() const { return message_; }

signals:
  void doubleClicked();

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
  void SyncBounds();

  TvexImageCtrl ctrl_;
  QString message_;
};
