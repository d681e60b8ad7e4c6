// What the window does for alerts that go elsewhere and for servers another Sentrel
// watches: Options > Alertmanager..., and the greyed rows of the other shards.
#include <QBrush>
#include <QPalette>
#include <QTreeWidget>

#include "app/alertmanager.h"
#include "gui/modal_answers.h"
#include "model/server_list.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

class AlertsElsewhere : public WindowFixture {};

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
      "[db1]\r\nIP=127.0.0.1\r\nGroup=data\r\n[db1:port]\r\nTyp=port\r\nPort=5432\r\nintervall=3600\r\n"
      "[web1]\r\nIP=127.0.0.1\r\nGroup=data\r\n[web1:port]\r\nTyp=port\r\nPort=80\r\nintervall=3600\r\n");
  form_->RefreshTree();
  const QBrush grey = form_->findChild<QTreeWidget*>("TreeView1")->palette().brush(QPalette::Disabled, QPalette::Text);
  for (const char* path : {"data/db1", "data/db1/port (port:5432, 3600s)"}) {
    EXPECT_EQ(Node(path)->foreground(0), grey) << path;
    EXPECT_EQ(Node(path)->data(0, Qt::ToolTipRole).toString(),
              "not watched here: shard 3/3 watches it, this is shard 2/3");
  }
  EXPECT_NE(Node("data/web1")->foreground(0), grey);
  EXPECT_EQ(Node("data/web1/port (port:80, 3600s)")->data(0, Qt::ToolTipRole).toString(),
            "not checked");
}

}  // namespace
}  // namespace sentrel::gui::test
