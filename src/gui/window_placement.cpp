#include "gui/window_placement.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QStringList>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

#include "gui/text.h"
#include "platform/settings_store.h"

namespace sentrel::gui {

namespace {

constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
constexpr int kFormVersion = 2;

QScreen* ScreenOf(const QWidget& window) {
  QScreen* s = window.screen();
  return s ? s : QGuiApplication::primaryScreen();
}

QString ScreenSuffix(const QWidget& window) {
  QScreen* s = ScreenOf(window);
  const QSize size = s ? s->size() : QSize(0, 0);
  return QStringLiteral("(%1x%2)").arg(size.width()).arg(size.height());
}

std::optional<QRect> ParseNormPos(const std::string& text) {
  const QStringList parts = ToQ(text).split(QLatin1Char(','));
  if (parts.size() != 4) return std::nullopt;
  int v[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    v[i] = parts[i].trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
  }
  if (v[2] <= v[0] || v[3] <= v[1]) return std::nullopt;
  return QRect(QPoint(v[0], v[1]), QSize(v[2] - v[0], v[3] - v[1]));
}

// The stored place, made to fit the screen's free area: a placement stored at another
// scale (QT_SCALE_FACTOR) or on a larger screen would leave the window's lower part, with
// its status bar, beyond the screen. The size shrinks to the area, then the window moves
// inside it; the frame the window manager adds is left out when it is known.
QRect FitToScreen(QRect r, const QWidget& window) {
  QScreen* screen = QGuiApplication::screenAt(r.center());
  if (!screen) screen = ScreenOf(window);
  if (!screen) return r;
  QRect area = screen->availableGeometry();
  if (const QWindow* handle = window.windowHandle()) {
    const QMargins frame = handle->frameMargins();
    area = area.marginsRemoved(frame);
  }
  if (area.isEmpty()) return r;
  r.setWidth(std::min(r.width(), std::max(area.width(), window.minimumWidth())));
  r.setHeight(std::min(r.height(), std::max(area.height(), window.minimumHeight())));
  if (r.right() > area.right()) r.moveRight(area.right());
  if (r.bottom() > area.bottom()) r.moveBottom(area.bottom());
  if (r.left() < area.left()) r.moveLeft(area.left());
  if (r.top() < area.top()) r.moveTop(area.top());
  return r;
}

}  // namespace

bool KeepFrameOnScreen(QWidget& window) {
  if (!window.isVisible() || window.isMinimized() || window.isMaximized() || window.isFullScreen())
    return false;
  QScreen* screen = ScreenOf(window);
  const QWindow* handle = window.windowHandle();
  if (!screen || !handle) return false;
  const QRect area = screen->availableGeometry();
  // The window system's own answer: the widget's frame geometry is what it learnt when the
  // window last moved, which may be before the frame was there.
  const QMargins margins = handle->frameMargins();
  const QRect client = window.geometry();
  QRect frame = client.marginsAdded(margins);
  if (area.isEmpty() || area.contains(frame)) return false;
  QSize size = client.size();
  size.setWidth(std::min(size.width(), std::max(area.width() - margins.left() - margins.right(),
                                                window.minimumWidth())));
  size.setHeight(std::min(size.height(), std::max(area.height() - margins.top() - margins.bottom(),
                                                  window.minimumHeight())));
  frame.setSize(size.grownBy(margins));
  // The right and lower edges first, then the left and upper ones, so that on a screen
  // too small for the window it is the title bar that stays on it.
  if (frame.right() > area.right()) frame.moveRight(area.right());
  if (frame.bottom() > area.bottom()) frame.moveBottom(area.bottom());
  if (frame.left() < area.left()) frame.moveLeft(area.left());
  if (frame.top() < area.top()) frame.moveTop(area.top());
  window.setGeometry(QRect(frame.topLeft() + QPoint(margins.left(), margins.top()), size));
  return true;
}

int ScreenPixelsPerInch(const QWidget& window) {
  QScreen* s = ScreenOf(window);
  return s ? static_cast<int>(std::lround(s->logicalDotsPerInchY())) : 96;
}

void SavePlacement(const QWidget& window, SettingsStore& settings) {
  const std::string w = kWindowSection;
  const std::string suffix = ToStd(ScreenSuffix(window));
  int showCmd = kShowNormal;
  if (window.isMinimized())
    showCmd = kShowMinimized;
  else if (window.isMaximized())
    showCmd = kShowMaximized;
  // A minimised window that was maximised before comes back maximised.
  const int flags = window.isMinimized() && (window.windowState() & Qt::WindowMaximized) ? 2 : 0;
  const QRect n = window.isMaximized() || window.isMinimized() || window.isFullScreen()
                      ? window.normalGeometry()
                      : window.geometry();
  const std::string normPos = ToStd(QStringLiteral("%1,%2,%3,%4")
                                        .arg(n.left())
                                        .arg(n.top())
                                        .arg(n.left() + n.width())
                                        .arg(n.top() + n.height()));
  const std::string minMaxPos = "-1,-1,-1,-1";
  for (const std::string& s : {std::string(), suffix}) {
    settings.WriteText(w, "Flags" + s, std::to_string(flags));
    settings.WriteText(w, "ShowCmd" + s, std::to_string(showCmd));
    settings.WriteText(w, "PixelsPerInch" + s, std::to_string(ScreenPixelsPerInch(window)));
    settings.WriteText(w, "MinMaxPos" + s, minMaxPos);
    settings.WriteText(w, "NormPos" + s, normPos);
  }
  settings.WriteText(w, "FormVersion", std::to_string(kFormVersion));
  settings.WriteText(w, "Visible", window.isVisible() ? "1" : "0");
}

void RestorePlacement(QWidget& window, const SettingsStore& settings) {
  const std::string w = kWindowSection;
  if (settings.ReadNumber(w, "FormVersion", 0) < kFormVersion) return;
  const std::string suffix = ToStd(ScreenSuffix(window));
  auto read = [&](const std::string& name) {
    std::string v = settings.ReadText(w, name + suffix, "");
    return v.empty() ? settings.ReadText(w, name, "") : v;
  };
  auto readNumber = [&](const std::string& name, int def) {
    const int v = settings.ReadNumber(w, name + suffix, INT_MIN);
    return v != INT_MIN ? v : settings.ReadNumber(w, name, def);
  };
  if (readNumber("PixelsPerInch", 0) == ScreenPixelsPerInch(window)) {
    if (auto rect = ParseNormPos(read("NormPos"))) window.setGeometry(FitToScreen(*rect, window));
  }
  switch (readNumber("ShowCmd", kShowNormal)) {
    case kShowMinimized:
      window.setWindowState(Qt::WindowMinimized);
      break;
    case kShowMaximized:
      window.setWindowState(Qt::WindowMaximized);
      break;
    default:
      window.setWindowState(Qt::WindowNoState);
      break;
  }
}

}  // namespace sentrel::gui
