#include "gui/widgets/zoom_pan_plot.h"

#include <QAccessibleWidget>
#include <cstdlib>

namespace sentrel::gui {

namespace {
// A drag shorter than this is a click.
constexpr int kMinDragPixels = 4;
}  // namespace

namespace {

// Screen readers call the plot a chart; its name and description come from the window
// that fills it.
QAccessibleInterface* ChartAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("sentrel::gui::ZoomPanPlot") && object && object->isWidgetType())
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Chart);
  return nullptr;
}

}  // namespace

ZoomPanPlot::ZoomPanPlot(QWidget* parent) : QCustomPlot(parent) {
  static const bool accessible = [] {
    QAccessible::installFactory(&ChartAccessible);
    return true;
  }();
  (void)accessible;
  setMouseTracking(true);
  // The rectangle is ours to interpret (zoom, or undo when dragged backwards).
  setSelectionRectMode(QCP::srmCustom);
  connect(selectionRect(), &QCPSelectionRect::accepted, this, &ZoomPanPlot::OnRectAccepted);
  setInteraction(QCP::iRangeZoom, true);
  axisRect()->setRangeZoom(Qt::Horizontal);
}

void ZoomPanPlot::SetHomeRanges(const QCPRange& key, const QCPRange& value) {
  homeKey_ = key;
  homeValue_ = value;
  xAxis->setRange(key);
  yAxis->setRange(value);
}

void ZoomPanPlot::DragZoom(QPoint from, QPoint to) {
  QPoint d = to - from;
  if (std::abs(d.x()) < kMinDragPixels && std::abs(d.y()) < kMinDragPixels) return;
  if (d.x() < 0 || d.y() < 0) return UndoZoom();
  QRect rect = QRect(from, to).normalized().intersected(axisRect()->rect());
  if (rect.width() < 1 || rect.height() < 1) return;
  xAxis->setRange(xAxis->pixelToCoord(rect.left()), xAxis->pixelToCoord(rect.right()));
  yAxis->setRange(yAxis->pixelToCoord(rect.bottom()), yAxis->pixelToCoord(rect.top()));
  emit Zoomed();
  replot(rpQueuedReplot);
}

void ZoomPanPlot::UndoZoom() {
  xAxis->setRange(homeKey_);
  yAxis->setRange(homeValue_);
  emit Zoomed();
  replot(rpQueuedReplot);
}

void ZoomPanPlot::PanBy(QPoint pixels) {
  if (pixels.isNull()) return;
  double dx = xAxis->pixelToCoord(0) - xAxis->pixelToCoord(pixels.x());
  double dy = yAxis->pixelToCoord(0) - yAxis->pixelToCoord(pixels.y());
  xAxis->moveRange(dx);
  yAxis->moveRange(dy);
  replot(rpQueuedReplot);
}

void ZoomPanPlot::OnRectAccepted(const QRect& rect, QMouseEvent*) {
  // The rectangle runs from where the button went down to where it came up.
  DragZoom(rect.topLeft(), rect.bottomRight());
}

void ZoomPanPlot::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    panning_ = true;
    panFrom_ = event->position().toPoint();
    event->accept();
    return;
  }
  if (event->button() == Qt::LeftButton) QCustomPlot::mousePressEvent(event);
}

void ZoomPanPlot::mouseMoveEvent(QMouseEvent* event) {
  QPoint at = event->position().toPoint();
  if (panning_) {
    PanBy(at - panFrom_);
    panFrom_ = at;
  }
  QCustomPlot::mouseMoveEvent(event);
  emit CursorMoved(xAxis->pixelToCoord(at.x()));
}

void ZoomPanPlot::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    panning_ = false;
    event->accept();
    return;
  }
  QCustomPlot::mouseReleaseEvent(event);
}

void ZoomPanPlot::keyPressEvent(QKeyEvent* event) {
  const QCPRange keys = xAxis->range(), values = yAxis->range();
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      xAxis->scaleRange(0.8, keys.center());
      break;
    case Qt::Key_Minus:
      xAxis->scaleRange(1.25, keys.center());
      break;
    case Qt::Key_Left:
      xAxis->moveRange(-keys.size() / 10);
      break;
    case Qt::Key_Right:
      xAxis->moveRange(keys.size() / 10);
      break;
    case Qt::Key_Up:
      yAxis->moveRange(values.size() / 10);
      break;
    case Qt::Key_Down:
      yAxis->moveRange(-values.size() / 10);
      break;
    case Qt::Key_Home:
      UndoZoom();
      return;
    default:
      QCustomPlot::keyPressEvent(event);
      return;
  }
  event->accept();
  emit Zoomed();
  replot(rpQueuedReplot);
}

void ZoomPanPlot::wheelEvent(QWheelEvent* event) {
  QCustomPlot::wheelEvent(event);
  emit Zoomed();
}

}  // namespace sentrel::gui
