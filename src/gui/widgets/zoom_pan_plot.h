#pragma once

#include <qcustomplot.h>

namespace sentrel::gui {

// A plot that zooms into a rectangle dragged with the left mouse button and pans while the
// right button is held. Dragging the rectangle leftwards or upwards undoes the zooming
// instead (back to the ranges given to SetHomeRanges). A click without a drag does
// nothing. Wheel zooming is on for the key axis only. The keys do the same without a
// mouse: + and - zoom the time axis about the middle, the arrows pan by a tenth of the
// view, Home goes back to the ranges given.
class ZoomPanPlot : public QCustomPlot {
  Q_OBJECT

 public:
  explicit ZoomPanPlot(QWidget* parent = nullptr);

  // The ranges that undoing the zoom goes back to.
  void SetHomeRanges(const QCPRange& key, const QCPRange& value);
  // What a left drag from `from` to `to` does (in widget pixels).
  void DragZoom(QPoint from, QPoint to);
  void UndoZoom();
  // Moves the view as a right drag by this many pixels does.
  void PanBy(QPoint pixels);

 signals:
  // After every zoom (by rectangle, by wheel, or undone), before the plot is redrawn.
  void Zoomed();
  // The mouse moved over the plot; key is the key axis coordinate under it.
  void CursorMoved(double key);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnRectAccepted(const QRect& rect, QMouseEvent* event);

  QCPRange homeKey_{0, 1};
  QCPRange homeValue_{0, 1};
  bool panning_ = false;
  QPoint panFrom_;
};

}  // namespace sentrel::gui
