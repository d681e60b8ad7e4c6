#pragma once

#include <QImage>
#include <QWidget>

namespace sentrel::bench {

// Paints the widget as a screen update would, into an image kept between calls so that
// only the painting is timed.
inline void Paint(QWidget* w) {
  static QImage image;
  if (image.size() != w->size()) image = QImage(w->size(), QImage::Format_ARGB32_Premultiplied);
  w->render(&image);
}

}  // namespace sentrel::bench
