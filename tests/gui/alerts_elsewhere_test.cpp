// What the window does for alerts that go elsewhere and for servers another Sentrel
// watches: the desktop's notifications of the events' popups (a notification service of
// the test's own on the tests' private session bus), Options > Alertmanager..., and the
// greyed rows of the other shards.
#include <sys/socket.h>
#include <unistd.h>

#include <QBrush>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QPalette>
#include <QTreeView>
#include <QVariantMap>

#include "app/alertmanager.h"
#include "gui/desktop_dialogs.h"
#include "gui/desktop_notifier.h"
#include "gui/message_popup.h"
#include "gui/modal_answers.h"
#include "model/server_list.h"
#include "support/loopback_server.h"
#include "window_fixture.h"

namespace sentrel::gui::test {

// The desktop's notification service as the freedesktop Desktop Notifications standard
// has it, as far as Sentrel uses it: Notify is recorded and numbered.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Call {
    QString app, icon, summary, body;
    QStringList actions;
    QVariantMap hints;
  };
  std::vector<Call> calls;

 public Q_SLOTS:
  uint Notify(const QString& app, uint, const QString& icon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int) {
    calls.push_back({app, icon, summary, body, actions, hints});
    return static_cast<uint>(calls.size() + 40);
  }
  QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
};

namespace {

class AlertsElsewhere : public WindowFixture {};

std::string Summaries(const FakeNotifications& fake) {
  std::string all;
  for (const auto& c : fake.calls) all += c.summary.toStdString() + "\n";
  return all;
}

// A port monitor on a loopback port that refuses until the test lets it listen: its DOWN
// and its UP run the event Default, whose popup goes to the desktop too.
TEST_F(AlertsElsewhere, ThePopupIsADesktopNotificationWhoseShowSelectsTheMonitor) {
  QDBusConnection service = QDBusConnection::connectToBus(
      QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("service"));
  if (!service.isConnected()) GTEST_SKIP() << "no private session bus (dbus-daemon missing)";
  FakeNotifications fake;
  ASSERT_TRUE(service.registerObject(QString::fromLatin1(DesktopNotifier::kPath), &fake,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService(QString::fromLatin1(DesktopNotifier::kService)));

  uint16_t port = 0, webPort = 0;
  const int fd = sentrel::test::BindLoopback(SOCK_STREAM, &port);
  // web1 answers, so that db1's are the only notifications.
  const int web = sentrel::test::BindLoopback(SOCK_STREAM, &webPort);
  ASSERT_EQ(listen(web, 16), 0);
  Settings("[Corvane]\r\n[Sentrel]\r\nPopupWindow=0\r\n");
  Start("[db1]\r\nIP=127.0.0.1\r\nGroup=data\r\n[db1:postgres]\r\nTyp=port\r\nPort=" +
        std::to_string(port) +
        "\r\nData=RYtoG=Default\r\nintervall=1\r\n[web1]\r\nIP=127.0.0.1\r\n"
        "Group=data\r\n[web1:port]\r\nTyp=port\r\nPort=" +
        std::to_string(webPort) + "\r\nintervall=3600\r\n");
  EXPECT_FALSE(Action("PopupWindow1")->isChecked());
  DesktopDialogs::Attach(form_.get(), *program_, *frontend_);
  Select("data/web1");
  program_->StartScan();
  ASSERT_TRUE(ServeUntil([&] { return fake.calls.size() == 1; }, 20'000));
  const FakeNotifications::Call down = fake.calls[0];
  EXPECT_EQ(down.app, "Sentrel");
  EXPECT_EQ(down.summary, "db1 postgres DOWN");
  EXPECT_TRUE(down.body.startsWith("db1 PORT " + QString::number(port) + " DOWN"))
      << down.body.toStdString();
  EXPECT_EQ(down.hints.value("urgency").toInt(), 2);
  EXPECT_TRUE(down.actions.contains("show") && down.actions.contains("Show"));
  // The desktop shows it, and the operator chose so: our own window stays away.
  MessagePopup* popup = DesktopDialogs::Current()->popup;
  EXPECT_FALSE(popup->isVisible());

  // "Show" on it: the window comes, the monitor selected.
  QDBusMessage show = QDBusMessage::createSignal(QString::fromLatin1(DesktopNotifier::kPath),
                                                 QStringLiteral("org.freedesktop.Notifications"),
                                                 QStringLiteral("ActionInvoked"));
  show << uint(41) << QStringLiteral("show");
  ASSERT_TRUE(service.send(show));
  ASSERT_TRUE(ServeUntil([&] {
    return form_->SelectedNode() ==
           Node("data/db1/postgres (port:" + QString::number(port) + ", 1s)");
  }));

  // The recovery: normal urgency. Then, with the service gone, the window shows popups
  // again, whatever the setting says.
  ASSERT_EQ(listen(fd, 16), 0);
  ASSERT_TRUE(ServeUntil([&] { return fake.calls.size() == 2; }, 20'000)) << Summaries(fake);
  EXPECT_EQ(fake.calls[1].summary, "db1 postgres UP");
  EXPECT_EQ(fake.calls[1].hints.value("urgency").toInt(), 1);
  EXPECT_FALSE(popup->isVisible());
  service.unregisterService(QString::fromLatin1(DesktopNotifier::kService));
  ASSERT_TRUE(ServeUntil([&] { return !DesktopDialogs::Current()->notifier->ServiceRunning(); }));
  close(fd);  // down again
  ASSERT_TRUE(ServeUntil([&] { return popup->isVisible(); }, 20'000));
  EXPECT_EQ(fake.calls.size(), 2u) << Summaries(fake);
  EXPECT_TRUE(popup->Lines().last().contains(" DOWN")) << popup->Lines().join('|').toStdString();
  program_->StopScan();
  close(web);
  QDBusConnection::disconnectFromBus(QStringLiteral("service"));
}

TEST_F(AlertsElsewhere, TheAlertmanagerUrlsAreAskedForAndTakenAtOnce) {
  Start();
  ModalAnswers::QueueText(QStringLiteral(" http://am1.example:9093, http://am2.example:9093/x/ "));
  Trigger("Alertmanager1");
  EXPECT_EQ(program_->AlertmanagerUrls(), "http://am1.example:9093, http://am2.example:9093/x/");
  EXPECT_EQ(program_->Alertmanager().Endpoints(),
            (std::vector<std::string>{"http://am1.example:9093/api/v2/alerts",
                                      "http://am2.example:9093/x/api/v2/alerts"}));
  // Cancel keeps them; an empty answer ends them.
  ModalAnswers::QueueText(std::nullopt);
  Trigger("Alertmanager1");
  EXPECT_TRUE(program_->Alertmanager().Enabled());
  ModalAnswers::QueueText(QString());
  Trigger("Alertmanager1");
  EXPECT_FALSE(program_->Alertmanager().Enabled());
  EXPECT_EQ(ModalAnswers::Asked().size(), 3);
}

// db1 falls to shard 3 of 3, web1 to shard 2: this window is shard 2/3.
TEST_F(AlertsElsewhere, ServersOfAnotherShardAreGreyedAndSaySo) {
  shard_ = Shard{2, 3};
  Start(
      "[db1]\r\nIP=127.0.0.1\r\nGroup=data\r\n[db1:port]\r\nTyp=port\r\nPort=5432\r\nintervall="
      "3600\r\n"
      "[web1]\r\nIP=127.0.0.1\r\nGroup=data\r\n[web1:port]\r\nTyp=port\r\nPort=80\r\nintervall="
      "3600\r\n");
  form_->RefreshTree();
  const QBrush grey = Tree()->palette().brush(QPalette::Disabled, QPalette::Text);
  for (const char* path : {"data/db1", "data/db1/port (port:5432, 3600s)"}) {
    EXPECT_EQ(Node(path)->data(0, Qt::ForegroundRole).value<QBrush>(), grey) << path;
    EXPECT_EQ(Node(path)->data(0, Qt::ToolTipRole).toString(),
              "not watched here: shard 3/3 watches it, this is shard 2/3");
  }
  EXPECT_NE(Node("data/web1")->data(0, Qt::ForegroundRole).value<QBrush>(), grey);
  EXPECT_EQ(Node("data/web1/port (port:80, 3600s)")->data(0, Qt::ToolTipRole).toString(),
            "not checked");
}

}  // namespace
}  // namespace sentrel::gui::test

#include "alerts_elsewhere_test.moc"
