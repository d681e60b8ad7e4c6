#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace sentrel {
class ServerList;
}

namespace sentrel::gui {

// The lights of the tree's state images, numbered as they are: a higher number outranks
// a lower one.
enum class Light { Grey = 1, Green = 2, Yellow = 3, Red = 4 };

// How many monitors show each light.
struct LightCounts {
  int grey = 0;
  int green = 0;
  int yellow = 0;
  int red = 0;
};

Light LightOfStatus(const std::string& status);
LightCounts CountLights(const ServerList& servers);
// The highest light among the monitors; grey when there is none.
Light WorstLight(const LightCounts& counts);
// "Sentrel: 1 red, 2 yellow, 3 green, 4 not checked"
QString TrayToolTip(const LightCounts& counts);
// A round status light of that colour, drawn at the usual tray sizes.
QIcon LightIcon(Light light);

// The system-tray light: the worst light of all monitors, the counts per light in its
// tooltip, a click to raise the main window and a menu with Show, Start Scan, Stop Scan
// and Exit. Where the desktop has no tray, nothing is shown; the icon and tooltip are
// still kept, so that they can be looked at.
class TrayLight : public QObject {
  Q_OBJECT

 public:
  explicit TrayLight(const ServerList& servers, QObject* parent = nullptr);
  ~TrayLight() override;

  // Whether the tray icon is shown (the desktop had a tray when the light was made).
  bool Shown() const { return tray_ != nullptr; }
  // Reads the monitors' states again; the main window calls it with every tree refresh.
  void Refresh();
  // Enables Start Scan and Stop Scan as the toolbar's buttons are.
  void SetScanning(bool active);

  Light CurrentLight() const { return light_; }
  const QIcon& CurrentIcon() const { return icon_; }
  const QString& CurrentToolTip() const { return toolTip_; }
  QMenu* Menu() const { return menu_.get(); }
  QAction* ShowAction() const { return show_; }
  QAction* StartScanAction() const { return startScan_; }
  QAction* StopScanAction() const { return stopScan_; }
  QAction* ExitAction() const { return exit_; }

 signals:
  void ShowRequested();
  void StartScanRequested();
  void StopScanRequested();
  void ExitRequested();

 private:
  const ServerList& servers_;
  std::unique_ptr<QMenu> menu_;
  QAction* show_ = nullptr;
  QAction* startScan_ = nullptr;
  QAction* stopScan_ = nullptr;
  QAction* exit_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  Light light_ = Light::Grey;
  QIcon icon_;
  QString toolTip_;
  bool refreshed_ = false;
};

}  // namespace sentrel::gui
