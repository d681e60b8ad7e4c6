#include "gui/status_lights.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <array>

namespace sentrel::gui {

namespace {

QColor LightColour(int image) {
  switch (image) {
    case kImageGreen:
      return QColor(0x1e, 0xb4, 0x3c);
    case kImageYellow:
      return QColor(0xf2, 0xc8, 0x1e);
    case kImageRed:
      return QColor(0xdc, 0x28, 0x1e);
    // Both darker than red and grey (and the one darker than the other), so that they
    // keep apart from them in grey scale as well as in hue.
    case kImageUnreachable:
      return QColor(0x30, 0x08, 0x54);
    case kImageMaintenance:
      return QColor(0x18, 0x4c, 0x98);
    default:
      return QColor(0x9a, 0x9a, 0x9a);
  }
}

// One light: a dark rim, the colour with a highlight toward the upper left, so the four
// states differ in hue and still read as lamps on a light or dark background.
void PaintLight(QPainter& p, const QRectF& r, const QColor& colour) {
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient g(r.left() + r.width() * 0.35, r.top() + r.height() * 0.35, r.width() * 0.7);
  g.setColorAt(0.0, colour.lighter(170));
  g.setColorAt(0.45, colour);
  g.setColorAt(1.0, colour.darker(160));
  p.setBrush(g);
  p.setPen(QPen(colour.darker(250), r.width() / 16.0));
  p.drawEllipse(r);
}

// The mark inside a light, so the lights differ by more than their hue: an operator who
// cannot tell red from green, and a grey-scale screen, still see a tick, an exclamation
// mark and a cross. The marks are drawn for the 16 x 16 light; other sizes scale them.
void PaintMark(QPainter& p, const QRectF& r, int image) {
  const qreal u = r.width() / 13.0;  // one unit of the 13-pixel light
  auto at = [&](qreal x, qreal y) { return QPointF(r.left() + x * u, r.top() + y * u); };
  QPen pen(Qt::white, 2.0 * u, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setBrush(Qt::NoBrush);
  switch (image) {
    case kImageGreen: {
      p.setPen(pen);
      QPainterPath tick;
      tick.moveTo(at(3.3, 6.8));
      tick.lineTo(at(5.6, 9.1));
      tick.lineTo(at(9.8, 4.2));
      p.drawPath(tick);
      break;
    }
    case kImageYellow: {
      // Dark on the light yellow: white would vanish into it.
      pen.setColor(QColor(0x40, 0x30, 0x00));
      p.setPen(pen);
      p.drawLine(at(6.5, 2.9), at(6.5, 7.0));
      p.setPen(Qt::NoPen);
      p.setBrush(pen.color());
      p.drawEllipse(at(6.5, 9.9), 1.15 * u, 1.15 * u);
      break;
    }
    case kImageRed:
      p.setPen(pen);
      p.drawLine(at(4.0, 4.0), at(9.0, 9.0));
      p.drawLine(at(9.0, 4.0), at(4.0, 9.0));
      break;
    case kImageUnreachable: {
      // A chevron pointing up: the fault is further up, in what the server is reached
      // through.
      p.setPen(pen);
      QPainterPath chevron;
      chevron.moveTo(at(3.6, 8.4));
      chevron.lineTo(at(6.5, 5.0));
      chevron.lineTo(at(9.4, 8.4));
      p.drawPath(chevron);
      break;
    }
    case kImageMaintenance:
      // A pause sign: the alerts pause for planned work.
      pen.setCapStyle(Qt::FlatCap);
      p.setPen(pen);
      p.drawLine(at(5.0, 3.6), at(5.0, 9.4));
      p.drawLine(at(8.0, 3.6), at(8.0, 9.4));
      break;
    default:
      break;
  }
}

}  // namespace

int StatusImage(const std::string& status) {
  if (status == "green") return kImageGreen;
  if (status == "yellow") return kImageYellow;
  if (status == "red") return kImageRed;
  return kImageNotChecked;
}

int MonitorImage(const std::string& status, MonitorHold hold) {
  switch (hold) {
    case MonitorHold::Maintenance:
      return kImageMaintenance;
    case MonitorHold::Unreachable:
      return kImageUnreachable;
    default:
      return StatusImage(status);
  }
}

int ImageRank(int image) {
  switch (image) {
    case kImageGreen: return 1;
    case kImageMaintenance: return 2;
    case kImageUnreachable: return 3;
    case kImageYellow: return 4;
    case kImageRed: return 5;
    default: return 0;
  }
}

int WorseImage(int a, int b) {
  return ImageRank(b) > ImageRank(a) ? b : a;
}

QPixmap StatusLightPixmap(int image, int scale) {
  QPixmap pm(16 * scale, 16 * scale);
  pm.setDevicePixelRatio(scale);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  const QRectF light(1.5, 1.5, 13, 13);
  PaintLight(p, light, LightColour(image));
  PaintMark(p, light, image);
  return pm;
}

const QIcon& StatusLight(int image) {
  static std::array<QIcon, kImageCount> icons;
  if (image < 0 || image >= kImageCount) image = kImageNotChecked;
  QIcon& icon = icons[static_cast<size_t>(image)];
  if (icon.isNull()) {
    // Drawn for double-density screens too (QT_SCALE_FACTOR=2), where a scaled-up 16-pixel
    // picture would blur the mark inside the light.
    icon.addPixmap(StatusLightPixmap(image, 1));
    icon.addPixmap(StatusLightPixmap(image, 2));
  }
  return icon;
}

QPixmap SentrelPicture(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  // The screen: a dark round face with rings and a sweep.
  QRectF face(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
  QRadialGradient bg(face.center(), face.width() / 2);
  bg.setColorAt(0.0, QColor(0x12, 0x3a, 0x4a));
  bg.setColorAt(1.0, QColor(0x06, 0x16, 0x20));
  p.setBrush(bg);
  p.setPen(QPen(QColor(0x40, 0x70, 0x80), s / 40));
  p.drawEllipse(face);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0x2f, 0x8f, 0x7f, 160), s / 90));
  for (qreal f : {0.3, 0.6}) {
    QRectF ring(0, 0, face.width() * f, face.height() * f);
    ring.moveCenter(face.center());
    p.drawEllipse(ring);
  }
  p.drawLine(QPointF(face.center().x(), face.top()), QPointF(face.center().x(), face.bottom()));
  p.drawLine(QPointF(face.left(), face.center().y()), QPointF(face.right(), face.center().y()));
  QPainterPath sweep;
  sweep.moveTo(face.center());
  sweep.arcTo(face, 20, 55);
  sweep.closeSubpath();
  QConicalGradient cg(face.center(), 75);
  cg.setColorAt(0.0, QColor(0x60, 0xf0, 0xb0, 170));
  cg.setColorAt(0.16, QColor(0x60, 0xf0, 0xb0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(cg);
  p.drawPath(sweep);
  // Three lights on the screen, one per colour.
  const qreal d = s * 0.17;
  PaintLight(p, QRectF(s * 0.58, s * 0.22, d, d), LightColour(kImageGreen));
  PaintLight(p, QRectF(s * 0.24, s * 0.52, d, d), LightColour(kImageYellow));
  PaintLight(p, QRectF(s * 0.60, s * 0.62, d, d), LightColour(kImageRed));
  return pm;
}

}  // namespace sentrel::gui
