// The tray light as the desktop would show it: offscreen there is no tray, so the tests
// look at the icon and tooltip the tray would get.
#include "gui/tray_light.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QImage>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include "model/server_list.h"

namespace sentrel::gui {
namespace {

class TrayLightTest : public testing::Test {
 protected:
  Monitor* AddMonitor(const std::string& server, const std::string& status) {
    int index = -1;
    for (int i = 0; i < servers_.Count(); ++i)
      if (servers_.Items(i)->name == server) index = i;
    if (index < 0) index = servers_.Add(server);
    Server* s = servers_.Items(index);
    Monitor* monitor = s->ports.Items(s->ports.Add("ping"));
    monitor->status = status;
    return monitor;
  }

  // The colour in the middle of the 16-pixel tray image.
  static QColor Centre(const QIcon& icon) {
    QImage image = icon.pixmap(16, 16).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
  }

  ServerList servers_;
};

TEST_F(TrayLightTest, TheWorstLightWinsRedOverYellowOverGreenOverGrey) {
  TrayLight tray(servers_);
  EXPECT_EQ(tray.CurrentLight(), Light::Grey) << "no monitors";

  AddMonitor("db1", "");
  AddMonitor("db1", "?");
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Grey) << "not checked and stopped monitors are grey";

  Monitor* web = AddMonitor("web1", "green");
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Green);

  Monitor* mail = AddMonitor("mail", "yellow");
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Yellow);

  web->status = "red";
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Red) << "one red monitor anywhere makes the light red";

  mail->status = "green";
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Red) << "red outranks green";

  web->status = "green";
  tray.Refresh();
  EXPECT_EQ(tray.CurrentLight(), Light::Green) << "back to green when the red monitor recovers";
  EXPECT_EQ(tray.CurrentToolTip(), "Sentrel: 0 red, 0 yellow, 2 green, 2 not checked");
}

TEST_F(TrayLightTest, TheTooltipCountsTheMonitorsPerColour) {
  AddMonitor("a", "red");
  AddMonitor("a", "red");
  AddMonitor("b", "yellow");
  AddMonitor("b", "green");
  AddMonitor("c", "green");
  AddMonitor("c", "green");
  AddMonitor("d", "");
  servers_.Add("no monitors");
  TrayLight tray(servers_);
  EXPECT_EQ(tray.CurrentToolTip(), "Sentrel: 2 red, 1 yellow, 3 green, 1 not checked");
}

TEST_F(TrayLightTest, EachLightHasItsOwnColourInTheTrayImage) {
  const QColor red = Centre(LightIcon(Light::Red));
  const QColor yellow = Centre(LightIcon(Light::Yellow));
  const QColor green = Centre(LightIcon(Light::Green));
  const QColor grey = Centre(LightIcon(Light::Grey));
  EXPECT_GT(red.red(), 2 * red.green());
  EXPECT_GT(red.red(), 2 * red.blue());
  EXPECT_GT(yellow.red(), 2 * yellow.blue());
  EXPECT_GT(yellow.green(), 2 * yellow.blue());
  EXPECT_GT(green.green(), 2 * green.red());
  EXPECT_GT(green.green(), 2 * green.blue());
  EXPECT_LT(qAbs(grey.red() - grey.green()) + qAbs(grey.green() - grey.blue()), 10);
  // The corners stay clear, so the light reads as round on any panel colour.
  EXPECT_EQ(LightIcon(Light::Red).pixmap(16, 16).toImage().pixelColor(0, 0).alpha(), 0);

  AddMonitor("web1", "yellow");
  TrayLight tray(servers_);
  EXPECT_EQ(tray.CurrentIcon().pixmap(16, 16).toImage(), LightIcon(Light::Yellow).pixmap(16, 16).toImage());
}

TEST_F(TrayLightTest, TheMenuAsksTheWindowAndFollowsTheScanState) {
  TrayLight tray(servers_);
  QSignalSpy show(&tray, &TrayLight::ShowRequested);
  QSignalSpy start(&tray, &TrayLight::StartScanRequested);
  QSignalSpy stop(&tray, &TrayLight::StopScanRequested);
  QSignalSpy exit(&tray, &TrayLight::ExitRequested);

  QStringList texts;
  for (QAction* a : tray.Menu()->actions())
    if (!a->isSeparator()) texts << a->text();
  EXPECT_EQ(texts, (QStringList{"Show", "Start Scan", "Stop Scan", "Exit"}));

  EXPECT_TRUE(tray.StartScanAction()->isEnabled());
  EXPECT_FALSE(tray.StopScanAction()->isEnabled());
  tray.SetScanning(true);
  EXPECT_FALSE(tray.StartScanAction()->isEnabled());
  EXPECT_TRUE(tray.StopScanAction()->isEnabled());

  tray.ShowAction()->trigger();
  tray.StopScanAction()->trigger();
  tray.ExitAction()->trigger();
  EXPECT_EQ(show.count(), 1);
  EXPECT_EQ(start.count(), 0);
  EXPECT_EQ(stop.count(), 1);
  EXPECT_EQ(exit.count(), 1);
}

TEST_F(TrayLightTest, NothingIsShownWhereTheDesktopHasNoTray) {
  TrayLight tray(servers_);
  EXPECT_EQ(tray.Shown(), QSystemTrayIcon::isSystemTrayAvailable());
  if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
    EXPECT_FALSE(tray.Shown());
  }
  // scripts/check-tray.sh runs these tests on X with a tray host.
  if (qgetenv("SENTREL_EXPECT_TRAY") == "1") {
    EXPECT_TRUE(tray.Shown());
  }
}

}  // namespace
}  // namespace sentrel::gui
