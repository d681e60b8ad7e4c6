// Held alerts in the main window: the lights and words of a server reached through a
// router that is down and of one in maintenance, "Maintenance..." and "End maintenance"
// in the tree's pop-up menu, and SIGHUP while the window holds unsaved changes.
#include <QCheckBox>
#include <QRadioButton>
#include <QTimer>

#include "gui/maintenance_dialog.h"
#include "gui/status_lights.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/clock.h"
#include "ui_maintenance_dialog.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

const char* const kServers =
    "[router]\r\nIP=127.0.0.1\r\nGroup=net\r\n[router:ping]\r\nTyp=ping\r\nintervall=3600\r\n"
    "[web]\r\nIP=127.0.0.1\r\nGroup=net\r\nParent=router\r\n"
    "[web:port]\r\nTyp=port\r\nPort=80\r\nintervall=3600\r\n"
    "[db]\r\nIP=127.0.0.1\r\nGroup=data\r\n[db:port]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n"
    "[db2]\r\nIP=127.0.0.1\r\nGroup=data\r\n[db2:port]\r\nTyp=port\r\nPort=5433\r\nintervall="
    "3600\r\n";

class HeldAlerts : public WindowFixture {
 protected:
  // Answers the next maintenance dialog: `choose` sets its fields, then OK.
  void AnswerMaintenance(std::function<void(const Ui::MaintenanceDialog&)> choose) {
    auto* poll = new QTimer(form_.get());
    QObject::connect(poll, &QTimer::timeout, form_.get(), [poll, choose] {
      auto* dialog = qobject_cast<MaintenanceDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      poll->stop();
      poll->deleteLater();
      choose(dialog->ui());
      dialog->accept();
    });
    poll->start(5);
  }
  QString Words(const char* path) const { return Node(path)->data(0, Qt::ToolTipRole).toString(); }
  bool Said(const std::string& text) const {
    for (const std::string& line : program_->messagePane.Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(HeldAlerts, TheMenuSetsAndEndsMaintenanceAndTheLightsSaySo) {
  Start(kServers);
  for (int s = 0; s < 4; ++s) MonitorAt(s, 0)->status = "red";
  MonitorAt(0, 0)->status = "red";
  form_->RefreshTree();
  EXPECT_EQ(Node("net/web/port (port:80, 3600s)")->image(), kImageUnreachable);
  EXPECT_TRUE(
      Words("net/web/port (port:80, 3600s)").startsWith("unreachable through router, down"));
  EXPECT_EQ(Node("net/web")->image(), kImageUnreachable);
  EXPECT_EQ(Words("net/web"), "unreachable: 1 of 1 monitor");
  EXPECT_EQ(Node("net")->image(), kImageRed) << "the router's own red comes first";

  // A group: the window goes on each of its servers.
  Select("data");
  form_->PreparePopup();
  EXPECT_TRUE(Action("Maintenance1")->isVisible());
  EXPECT_FALSE(Action("EndMaintenance1")->isEnabled());
  AnswerMaintenance([](const Ui::MaintenanceDialog& d) { d.for60->setChecked(true); });
  Trigger("Maintenance1");
  for (int s : {2, 3}) {
    ASSERT_EQ(ServerAt(s)->maintenance.size(), 1u);
    EXPECT_NEAR(ServerAt(s)->MaintenanceEnd(Now()), Now() + 1.0 / 24, 1.0 / 1440);
  }
  EXPECT_EQ(Node("data")->image(), kImageMaintenance);
  EXPECT_TRUE(Words("data/db/port (port:5432, 3600s)").startsWith("in maintenance until "));

  // A window of the server is unsaved: SIGHUP does not read the file over it.
  form_->ReloadForSignal();
  EXPECT_TRUE(Said("SIGHUP: the files were not read again, since the window holds changes"));

  // One server: a weekly window beside it; then End maintenance ends the one that holds now.
  Select("data/db");
  AnswerMaintenance([](const Ui::MaintenanceDialog& d) {
    d.weekly->setChecked(true);
    d.day0->setChecked(true);
    d.weeklyFrom->setTime(QTime(1, 0));
    d.weeklyTo->setTime(QTime(0, 0));
  });
  Trigger("Maintenance1");
  ASSERT_EQ(ServerAt(2)->maintenance.size(), 2u);
  EXPECT_EQ(FormatMaintenanceWindow(ServerAt(2)->maintenance[1]).rfind("weekly Mon,", 0), 0u);
  EXPECT_EQ(FormatMaintenanceWindow(ServerAt(2)->maintenance[1])
                .substr(FormatMaintenanceWindow(ServerAt(2)->maintenance[1]).size() - 12),
            " 01:00-24:00");
  Select("data");
  form_->PreparePopup();
  ASSERT_TRUE(Action("EndMaintenance1")->isEnabled());
  Trigger("EndMaintenance1");
  for (int s : {2, 3}) EXPECT_FALSE(ServerAt(s)->InMaintenance(Now())) << s;
  EXPECT_EQ(ServerAt(2)->maintenance.size(), 1u) << "the weekly schedule stays";
  EXPECT_EQ(Node("data")->image(), kImageRed);

  // Saved, the window reads the file again on SIGHUP.
  ASSERT_TRUE(program_->Save());
  form_->ReloadForSignal();
  EXPECT_TRUE(Said("Reloaded "));
}

// The two new lights differ from red and grey in hue and in grey scale.
TEST(HeldLights, DifferFromRedAndGreyAlsoInGreyScale) {
  auto meanGrey = [](int image) {
    const QImage light = StatusLightPixmap(image).toImage().convertToFormat(QImage::Format_ARGB32);
    long sum = 0, n = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x)
        if (qAlpha(light.pixel(x, y)) == 255) sum += qGray(light.pixel(x, y)), ++n;
    return static_cast<int>(sum / n);
  };
  for (int held : {kImageUnreachable, kImageMaintenance}) {
    for (int other : {kImageRed, kImageNotChecked})
      EXPECT_GE(std::abs(meanGrey(held) - meanGrey(other)), 25) << held << " vs " << other;
  }
  EXPECT_GE(std::abs(meanGrey(kImageUnreachable) - meanGrey(kImageMaintenance)), 25);
}

}  // namespace
}  // namespace sentrel::gui::test
