#include "gui/tray_light.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>
#include <QSystemTrayIcon>

#include "model/server_list.h"

namespace sentrel::gui {

Light LightOfStatus(const std::string& status) {
  if (status == "red") return Light::Red;
  if (status == "yellow") return Light::Yellow;
  if (status == "green") return Light::Green;
  return Light::Grey;
}

LightCounts CountLights(const ServerList& servers) {
  LightCounts counts;
  for (int i = 0; i < servers.Count(); ++i) {
    const Server* server = servers.Items(i);
    for (int j = 0; j < server->ports.Count(); ++j) {
      switch (LightOfStatus(server->ports.Items(j)->status)) {
        case Light::Red: ++counts.red; break;
        case Light::Yellow: ++counts.yellow; break;
        case Light::Green: ++counts.green; break;
        case Light::Grey: ++counts.grey; break;
      }
    }
  }
  return counts;
}

Light WorstLight(const LightCounts& counts) {
  if (counts.red) return Light::Red;
  if (counts.yellow) return Light::Yellow;
  if (counts.green) return Light::Green;
  return Light::Grey;
}

QString TrayToolTip(const LightCounts& counts) {
  return QStringLiteral("Sentrel: %1 red, %2 yellow, %3 green, %4 not checked")
      .arg(counts.red)
      .arg(counts.yellow)
      .arg(counts.green)
      .arg(counts.grey);
}

namespace {

QPixmap DrawLight(Light light, int size) {
  struct Shades {
    QColor high, mid, low;
  };
  Shades shades;
  switch (light) {
    case Light::Red: shades = {QColor(0xff, 0xb0, 0xa8), QColor(0xe0, 0x20, 0x18), QColor(0x80, 0x08, 0x04)}; break;
    case Light::Yellow: shades = {QColor(0xff, 0xf6, 0xb0), QColor(0xf0, 0xc8, 0x10), QColor(0x8a, 0x6c, 0x00)}; break;
    case Light::Green: shades = {QColor(0xc0, 0xf8, 0xb0), QColor(0x38, 0xc0, 0x30), QColor(0x10, 0x6a, 0x0c)}; break;
    case Light::Grey: shades = {QColor(0xf0, 0xf0, 0xf0), QColor(0xa8, 0xa8, 0xa8), QColor(0x5c, 0x5c, 0x5c)}; break;
  }
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal margin = size / 16.0;
  const QRectF disc(margin, margin, size - 2 * margin, size - 2 * margin);
  QRadialGradient gradient(disc.center() - QPointF(disc.width() * 0.15, disc.height() * 0.18),
                           disc.width() * 0.65);
  gradient.setColorAt(0.0, shades.high);
  gradient.setColorAt(0.45, shades.mid);
  gradient.setColorAt(1.0, shades.low);
  p.setBrush(gradient);
  p.setPen(QPen(shades.low.darker(130), qMax(1.0, size / 16.0)));
  p.drawEllipse(disc);
  return pixmap;
}

}  // namespace

QIcon LightIcon(Light light) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(DrawLight(light, size));
  return icon;
}

TrayLight::TrayLight(const ServerList& servers, QObject* parent)
    : QObject(parent), servers_(servers), menu_(std::make_unique<QMenu>()) {
  show_ = menu_->addAction(QStringLiteral("Show"));
  menu_->addSeparator();
  startScan_ = menu_->addAction(QStringLiteral("Start Scan"));
  stopScan_ = menu_->addAction(QStringLiteral("Stop Scan"));
  menu_->addSeparator();
  exit_ = menu_->addAction(QStringLiteral("Exit"));
  connect(show_, &QAction::triggered, this, &TrayLight::ShowRequested);
  connect(startScan_, &QAction::triggered, this, &TrayLight::StartScanRequested);
  connect(stopScan_, &QAction::triggered, this, &TrayLight::StopScanRequested);
  connect(exit_, &QAction::triggered, this, &TrayLight::ExitRequested);
  SetScanning(false);
  Refresh();
  // A desktop without a tray gets nothing: no icon, and no window that depends on one.
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(icon_, this);
    tray_->setToolTip(toolTip_);
    tray_->setContextMenu(menu_.get());
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
      if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) emit ShowRequested();
    });
    tray_->show();
  }
}

TrayLight::~TrayLight() {
  // The tray icon refers to the menu; it goes first.
  delete tray_;
  tray_ = nullptr;
}

void TrayLight::Refresh() {
  const LightCounts counts = CountLights(servers_);
  const Light light = WorstLight(counts);
  // The icon is drawn again only when the light changes: refreshes come with every check.
  if (light != light_ || !refreshed_) {
    light_ = light;
    icon_ = LightIcon(light);
    if (tray_) tray_->setIcon(icon_);
  }
  refreshed_ = true;
  const QString tip = TrayToolTip(counts);
  if (tip != toolTip_) {
    toolTip_ = tip;
    if (tray_) tray_->setToolTip(toolTip_);
  }
}

void TrayLight::SetScanning(bool active) {
  startScan_->setEnabled(!active);
  stopScan_->setEnabled(active);
}

}  // namespace sentrel::gui
