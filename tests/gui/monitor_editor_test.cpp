// The monitor editor dialog, driven as the operator drives it: keys into the fields,
// focus moves, list choices, OK.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>

#include "events/event_list.h"
#include "gui/modal_answers.h"
#include "gui/monitor_editor_dialog.h"
#include "model/maintenance.h"
#include "model/server_list.h"
#include "qt_printers.h"
#include "support/test_env.h"
#include "ui_monitor_editor_dialog.h"

namespace sentrel::test {
namespace {

using gui::EditMode;
using gui::ModalAnswers;
using gui::MonitorEditorDialog;

class MonitorEditorTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    ModalAnswers::ClearAsked();
    events_.AddDefault();
    events_.Add("Page ops");
    events_.Add("Mail ops");
    web_ = servers_.Items(servers_.Add("web1"));
    web_->group = "Web";
    web_->logfile = "custom.log";
    db_ = servers_.Items(servers_.Add("db1"));
    db_->group = "DB";
    form_ = std::make_unique<MonitorEditorDialog>(servers_, events_, [this](int first) {
      editorCalls_.push_back(first);
      return editorAnswer_;
    });
    form_->show();
  }
  void TearDown() override {
    EXPECT_EQ(ModalAnswers::Pending(), 0);
    form_.reset();
    CoreFixture::TearDown();
  }
  const Ui::MonitorEditorDialog& ui() const { return form_->ui(); }
  // Types into a field and leaves it, as the operator does.
  void TypeInto(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, text);
  }
  void Leave(QLineEdit* field) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(field, &out);
  }
  void Pick(QComboBox* list, const QString& text) {
    list->setCurrentIndex(list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
  }

  ServerList servers_;
  EventList events_;
  Server* web_ = nullptr;
  Server* db_ = nullptr;
  std::unique_ptr<MonitorEditorDialog> form_;
  std::vector<int> editorCalls_;
  int editorAnswer_ = -1;
};

TEST_F(MonitorEditorTest, ServerNameIsCleanedOnLeavingAndTheLogFileFollowsIt) {
  form_->SetServer(web_);
  EXPECT_EQ(form_->windowTitle(), "Server: web1");
  EXPECT_EQ(ui().panels->currentWidget(), ui().panelserver);
  EXPECT_EQ(ui().Editlogfile->text(), "custom.log");  // filling is not a change of the name

  TypeInto(ui().Editname, "my server:1");
  EXPECT_EQ(ui().Editlogfile->text(), "my server:1.log");
  Leave(ui().Editname);
  EXPECT_EQ(ui().Editname->text(), "my_server_1");
  EXPECT_EQ(ui().Editlogfile->text(), "my_server_1.log");
  EXPECT_EQ(MonitorEditorDialog::CleanServerName("a b,c/d*e:f=g]h\ti"), "a_b_c_d_e_f_g_h_i");

  TypeInto(ui().Editgroup, "Front");
  TypeInto(ui().editip, "127.0.0.1");
  TypeInto(ui().Editnotes, "  spare  ");
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Accepted);
  EXPECT_TRUE(form_->Apply());  // the group changed: the tree has to be rebuilt
  EXPECT_EQ(web_->name, "my_server_1");
  EXPECT_EQ(web_->logfile, "my_server_1.log");
  EXPECT_EQ(web_->group, "Front");
  EXPECT_EQ(web_->ip, "127.0.0.1");
  EXPECT_EQ(web_->notes, "  spare  ");

  // Confirmed without touching the name: the custom log file stays, no group change.
  db_->logfile = "db-custom.log";
  form_->SetServer(db_);
  form_->accept();
  EXPECT_FALSE(form_->Apply());
  EXPECT_EQ(db_->logfile, "db-custom.log");
}

TEST_F(MonitorEditorTest, OkRefusesAServerNameThatDiffersFromAnotherOnlyInCase) {
  form_->SetServer(db_);
  form_->setResult(QDialog::Rejected);
  TypeInto(ui().Editname, "WEB1");
  // Enter on the field presses OK without leaving it: the name is cleaned all the same.
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Rejected);
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"\"WEB1\" already exists."});
  EXPECT_EQ(db_->name, "db1");

  TypeInto(ui().Editname, "db 1:a");
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Accepted);
  form_->Apply();
  EXPECT_EQ(db_->name, "db_1_a");

  // A server may change the case of its own name; a name too long for its log file is
  // refused.
  form_->SetServer(web_);
  form_->setResult(QDialog::Rejected);
  TypeInto(ui().Editname, "Web1");
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Accepted);
  form_->setResult(QDialog::Rejected);
  ui().Editname->setText(QString(300, QLatin1Char('n')));
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Rejected);
  EXPECT_TRUE(ModalAnswers::Asked().last().contains("too long"));
}

// The server file names a server's section after it: "[]" is no section, and the server
// and its monitors would be gone at the next start.
TEST_F(MonitorEditorTest, OkRefusesAnEmptyServerName) {
  form_->SetServer(db_);
  form_->setResult(QDialog::Rejected);
  ui().Editname->clear();
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Rejected);
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"A server needs a name."});
  EXPECT_EQ(db_->name, "db1");
}

// Records carry the server, the kind and the port: a monitor that agrees with another of
// its server on those is written only when the operator says so; the port field stops
// at 65535.
TEST_F(MonitorEditorTest, OkWarnsOfAMonitorThatWouldWriteTheSameRecords) {
  Monitor* first = web_->ports.Items(web_->ports.Add("http"));
  first->port = 0;
  Monitor* second = web_->ports.Items(web_->ports.Add("port"));
  second->port = 8080;
  form_->SetMonitor(second);
  ui().portport->setValue(70000);
  EXPECT_EQ(ui().portport->value(), 65535);
  Pick(ui().porttyp, "http");
  ui().portport->setValue(0);
  form_->setResult(QDialog::Rejected);
  ModalAnswers::QueueButton(QMessageBox::No);
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Rejected);
  ASSERT_EQ(ModalAnswers::Asked().size(), 1);
  EXPECT_TRUE(ModalAnswers::Asked()[0].startsWith(
      "The monitor \"http\" of this server is also http on port 0: the records of the two mix"))
      << ModalAnswers::Asked()[0].toStdString();
  // Another port: nothing to ask.
  ui().portport->setValue(8080);
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Accepted);
  EXPECT_EQ(ModalAnswers::Asked().size(), 1);
  // The same port again, and Yes: kept as the operator wants it.
  form_->setResult(QDialog::Rejected);
  ui().portport->setValue(0);
  ModalAnswers::QueueButton(QMessageBox::Yes);
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Accepted);
  form_->Apply();
  EXPECT_EQ(second->port, 0);
}

TEST_F(MonitorEditorTest, TypeChangeActsAtOnceAndKeepsMonitorNamesUnique) {
  Monitor* ping = web_->ports.Items(web_->ports.Add("ping"));
  Monitor* port = web_->ports.Items(web_->ports.Add("port"));
  port->port = 8080;
  form_->SetMonitor(port);
  EXPECT_EQ(form_->windowTitle(), "Server: web1 Monitor:port");
  EXPECT_EQ(ui().portport->value(), 8080);
  EXPECT_TRUE(ui().portport->isVisible());
  EXPECT_FALSE(ui().Panelhttp->isVisible());
  EXPECT_EQ(ui().portport->maximum(), 65535);
  EXPECT_EQ(ui().portinterval->minimum(), 1);
  EXPECT_EQ(ui().portinterval->maximum(), 86400);

  Pick(ui().porttyp, "ping");
  EXPECT_EQ(port->typ, "ping");  // at once, before OK
  EXPECT_EQ(ui().portport->value(), 0);
  EXPECT_FALSE(ui().portport->isVisible());
  EXPECT_FALSE(ui().portlabel->isVisible());
  EXPECT_EQ(ui().portname->text(), "ping2");  // "ping" is taken by the other monitor
  EXPECT_EQ(form_->windowTitle(), "Server: web1 Monitor:ping2");  // the title follows
  Pick(ui().porttyp, "port");
  EXPECT_EQ(ui().portname->text(), "port");  // its own name back, not port2
  Pick(ui().porttyp, "ping");
  // Two pings of one server write the same records: OK asks first.
  ModalAnswers::QueueButton(QMessageBox::Yes);
  form_->accept();
  form_->Apply();
  EXPECT_EQ(port->port, 0);
  EXPECT_EQ(port->name, "ping2");
  EXPECT_NE(port->name, ping->name);

  // Cancel keeps the type change; the name waits for OK.
  form_->SetMonitor(ping);
  form_->show();  // as the caller shows it after filling
  Pick(ui().porttyp, "http");
  EXPECT_TRUE(ui().Panelhttp->isVisible());
  EXPECT_EQ(ui().portname->text(), "http");
  form_->reject();
  EXPECT_EQ(ping->typ, "http");
  EXPECT_EQ(ping->name, "ping");

  // A type none of the three words name is shown as it is and left alone.
  ping->typ = "snmp";
  form_->SetMonitor(ping);
  EXPECT_EQ(ui().porttyp->currentText(), "snmp");
  EXPECT_EQ(ping->typ, "snmp");
  EXPECT_EQ(ui().porttyp->count(), 4);
  form_->SetMonitor(port);
  EXPECT_EQ(ui().porttyp->count(), 3);
}

TEST_F(MonitorEditorTest, HttpFieldsFillFromDataAndAnEmptyFieldRemovesItsKey) {
  Monitor* http = web_->ports.Items(web_->ports.Add("http"));
  http->data = {"url=http://localhost/?a=b", "proxy=127.0.0.1", "proxyport=3128",
                "mustinclude=Welcome", "username=kept"};
  form_->SetMonitor(http);
  EXPECT_TRUE(ui().Panelhttp->isVisible());
  EXPECT_EQ(ui().httpurl->text(), "http://localhost/?a=b");
  EXPECT_EQ(ui().httpproxyport->text(), "3128");
  EXPECT_EQ(ui().httpmaynot->text(), "");
  TypeInto(ui().httpproxyport, "80a81");  // only digits get in
  EXPECT_EQ(ui().httpproxyport->text(), "8081");
  ui().httpproxy->clear();
  TypeInto(ui().httpmaynot, "Error page");
  ui().portinterval->setValue(30);
  form_->accept();
  form_->Apply();
  EXPECT_EQ(http->GetValue("proxy"), "");
  EXPECT_EQ(http->GetValue("proxyport"), "8081");
  EXPECT_EQ(http->GetValue("maynotinclude"), "Error page");
  EXPECT_EQ(http->GetValue("username"), "kept");
  EXPECT_EQ(http->interval, 30);

  // Another type leaves the HTTP keys as they were.
  Pick(ui().porttyp, "port");
  ui().httpurl->setText("http://changed/");
  form_->Apply();
  EXPECT_EQ(http->GetValue("url"), "http://localhost/?a=b");
}

TEST_F(MonitorEditorTest, EventChoicesApplyAtOnceAndComeFromTheEventEditor) {
  Monitor* m = web_->ports.Items(web_->ports.Add("ping"));
  m->SetValue("RYtoG", "Mail ops");
  form_->SetMonitor(m);
  // Rows: green/yellow -> red first, red -> green second; the two others stay hidden.
  EXPECT_TRUE(ui().Combogyr->isVisible());
  EXPECT_TRUE(ui().Comboryg->isVisible());
  EXPECT_FALSE(ui().Combogy->isVisible());
  EXPECT_FALSE(ui().Combory->isVisible());
  EXPECT_EQ(ui().Combogyr->currentText(), "Default");  // no GYtoR key
  EXPECT_EQ(ui().Comboryg->currentText(), "Mail ops");
  EXPECT_EQ(ui().Combogyr->count(), 4);
  EXPECT_EQ(ui().Combogyr->itemText(0), "");

  ui().Combogyr->setCurrentIndex(0);
  EXPECT_EQ(m->GetValue("GYtoR"), "none");
  form_->reject();  // Cancel does not undo a choice
  EXPECT_EQ(m->GetValue("GYtoR"), "none");

  m->SetValue("RYtoG", "Gone event");
  form_->SetMonitor(m);
  EXPECT_EQ(ui().Combogyr->currentIndex(), 0);
  EXPECT_EQ(ui().Comboryg->currentIndex(), -1);  // names no event: no selection

  // "Edit event" starts at the selected event; the chosen one is selected and stored.
  Pick(ui().Combogyr, "Mail ops");
  editorAnswer_ = 1;
  QTest::mouseClick(ui().editeventgyr, Qt::LeftButton);
  EXPECT_EQ(editorCalls_, std::vector<int>{2});
  EXPECT_EQ(ui().Combogyr->currentText(), "Page ops");
  EXPECT_EQ(m->GetValue("GYtoR"), "Page ops");
  editorAnswer_ = -1;
  QTest::mouseClick(ui().editeventryg, Qt::LeftButton);
  EXPECT_EQ(editorCalls_, (std::vector<int>{2, 0}));
  EXPECT_EQ(m->GetValue("RYtoG"), "Gone event");
}

TEST_F(MonitorEditorTest, GroupRenameMovesOnlyTheServersThatCarryTheOldName) {
  Server* other = servers_.Items(servers_.Add("web2"));
  other->group = "Web";
  form_->SetGroup("Web", {web_, other});
  EXPECT_EQ(form_->windowTitle(), "Group: Web");
  EXPECT_EQ(ui().numservers->text(), "2");
  EXPECT_EQ(ui().panels->currentWidget(), ui().panelgroup);
  other->group = "Elsewhere";  // changed while the dialog was open
  TypeInto(ui().groupname, "Frontends");
  form_->accept();
  EXPECT_FALSE(form_->Apply());
  EXPECT_EQ(web_->group, "Frontends");
  EXPECT_EQ(other->group, "Elsewhere");
  EXPECT_EQ(db_->group, "DB");
}

TEST_F(MonitorEditorTest, ASubjectDeletedWhileTheDialogIsOpenIsNotTouched) {
  Monitor* m = db_->ports.Items(db_->ports.Add("port"));
  form_->SetMonitor(m);
  servers_.Delete(servers_.IndexOf(db_));
  Pick(ui().porttyp, "http");
  ui().Combogyr->setCurrentIndex(1);
  EXPECT_FALSE(form_->Apply());
  form_->SetServer(web_);
  servers_.Delete(servers_.IndexOf(web_));
  EXPECT_FALSE(form_->Apply());
}

TEST_F(MonitorEditorTest, TabWalksTheShownControlsInOrderAndEachHasAName) {
  QStringList unnamed;
  auto tabChain = [&](QWidget* first) { return TabChain(first, &unnamed); };
  form_->SetServer(web_);
  EXPECT_EQ(tabChain(ui().Editname),
            "Editname,editip,Editgroup,Editlocation,Editlogfile,Editnotes,Editparents,Editmaintenance,"
            "OKBtn,CancelBtn");
  Monitor* http = web_->ports.Items(web_->ports.Add("http"));
  form_->SetMonitor(http);
  EXPECT_EQ(tabChain(ui().portname),
            "portname,porttyp,portport,portinterval,httpurl,httpproxy,httpproxyport,httpmust,"
            "httpmaynot,Combogyr,editeventgyr,Comboryg,editeventryg,OKBtn,CancelBtn");
  EXPECT_EQ(unnamed, QStringList{});
  EXPECT_EQ(ui().Editname->accessibleName(), "Servername");
  EXPECT_EQ(ui().Combogyr->accessibleName(), "Event when the monitor turns red");
}

TEST_F(MonitorEditorTest, HostileTextsEnteredInTheEditorSurviveTheServerFile) {
  const QString hostile[] = {"  [x] = y, z; #w  ", "\"quoted\"", "'single'", "\xC3\xA4\xE2\x82\xAC",
                             QString(3000, QLatin1Char('q'))};
  Monitor* http = web_->ports.Items(web_->ports.Add("http"));
  int i = 0;
  for (const QString& text : hostile) {
    form_->SetServer(web_);
    ui().Editname->setText("srv[" + QString::number(i) + "]" + text.left(40));
    ui().editip->setText(text);
    ui().Editlocation->setText(text);
    ui().Editnotes->setText(text + "\nsecond line");
    ui().Editgroup->setText(text);
    form_->accept();
    ASSERT_EQ(form_->result(), QDialog::Accepted);
    form_->Apply();
    form_->SetMonitor(http);
    ui().httpurl->setText(text);
    ui().httpmust->setText(text);
    ui().httpproxy->setText(text);
    form_->accept();
    form_->Apply();

    const std::string path = dir_->File("hostile.mcf");
    servers_.SaveToFile(path);
    ServerList back;
    back.LoadFromFile(path);
    ASSERT_EQ(back.Count(), 2) << i;
    const Server* b = back.Items(0);
    EXPECT_EQ(b->name, web_->name);
    EXPECT_EQ(b->name.find_first_of(" ,/*:=]"), std::string::npos);
    EXPECT_EQ(b->ip, text.toStdString());
    EXPECT_EQ(b->location, text.toStdString());
    EXPECT_EQ(b->notes, (text + " second line").toStdString());
    EXPECT_EQ(b->group, text.toStdString());
    EXPECT_EQ(b->logfile, web_->name + ".log");
    ASSERT_EQ(b->ports.Count(), 1);
    EXPECT_EQ(b->ports.Items(0)->data, http->data);
    EXPECT_EQ(b->ports.Items(0)->GetValue("url"), text.toStdString());
    ++i;
  }
}

// "Reached through" lists the other servers, ticked as Parent names them; a name of no
// server stays. Maintenance windows that are not understood are refused with why; a
// server renamed takes the servers reached through it along.
TEST_F(MonitorEditorTest, ReachedThroughAndMaintenanceOfAServer) {
  Server* router = servers_.Items(servers_.Add("router"));
  web_->parents = {"ROUTER", "gone"};
  db_->parents = {"web1"};
  form_->SetServer(web_);
  ASSERT_EQ(ui().Editparents->count(), 2);
  EXPECT_EQ(ui().Editparents->item(0)->text(), "db1");
  EXPECT_EQ(ui().Editparents->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(ui().Editparents->item(1)->checkState(), Qt::Checked);
  ui().Editparents->item(0)->setCheckState(Qt::Checked);
  ui().Editparents->item(1)->setCheckState(Qt::Unchecked);

  ui().Editmaintenance->setText("weekly Sun 02:00-04:00; at noon");
  form_->accept();
  EXPECT_EQ(form_->result(), QDialog::Rejected) << "still open";
  EXPECT_NE(ModalAnswers::Asked().back().indexOf("\"at noon\" is not understood"), -1);

  ui().Editmaintenance->setText("weekly Sun 02:00-04:00");
  TypeInto(ui().Editname, "web2");
  form_->accept();
  form_->Apply();
  EXPECT_EQ(web_->name, "web2");
  EXPECT_EQ(web_->parents, (std::vector<std::string>{"db1", "gone"}));
  EXPECT_EQ(FormatMaintenance(web_->maintenance), "weekly Sun 02:00-04:00");
  EXPECT_EQ(db_->parents, std::vector<std::string>{"web2"});
  EXPECT_TRUE(router->parents.empty());
}

}  // namespace
}  // namespace sentrel::test
