// Editing from the main window: the editor dialog behind the tree commands, the event
// manager behind "Events...", the popup and the print notice behind the front end, and
// the window served while a dialog, a sound or a mail test waits.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "events/real_event_actions.h"
#include "gui/desktop_dialogs.h"
#include "gui/event_editor_dialog.h"
#include "gui/event_editor_pages.h"
#include "gui/message_popup.h"
#include "gui/modal_answers.h"
#include "gui/monitor_editor_dialog.h"
#include "model/server_list.h"
#include "platform/ini_file.h"
#include "qt_printers.h"
#include "support/recording_command.h"
#include "support/scripted_smtp_server.h"
#include "ui_event_editor_dialog.h"
#include "ui_monitor_editor_dialog.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[www2]\r\nIP=127.0.0.1\r\nLogfile=www2.log\r\nGroup=web\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroup=data\r\n";

class EditingInWindow : public WindowFixture {
 protected:
  void StartWithDialogs() {
    Start(kServers);
    dialogs_ = &DesktopDialogs::Attach(form_.get(), *program_, *frontend_);
  }
  MonitorEditorDialog& Editor() const { return *dialogs_->editor; }
  const Ui::MonitorEditorDialog& E() const { return dialogs_->editor->ui(); }
  EventEditorDialog& Events() const { return *dialogs_->eventManager; }
  // Runs `inside` once the next modal dialog is up, then `inside` closes it.
  void WhenOpen(QDialog* dialog, std::function<void()> inside) {
    auto* poll = new QTimer(form_.get());
    QObject::connect(poll, &QTimer::timeout, form_.get(), [dialog, poll, inside] {
      if (!dialog->isVisible()) return;
      poll->deleteLater();
      poll->stop();
      inside();
    });
    poll->start(5);
  }
  DesktopDialogs* dialogs_ = nullptr;
};

TEST_F(EditingInWindow, ChangingAServersGroupRebuildsTheTreeAndARenameMovesOnlyItsServers) {
  StartWithDialogs();
  Select("web/www2");
  WhenOpen(&Editor(), [&] {
    EXPECT_EQ(Editor().windowTitle(), "Server: www2");
    E().Editgroup->setText("data");
    Editor().accept();
  });
  Trigger("ServerEdit1");
  ASSERT_NE(Node("data/www2"), nullptr);  // rebuilt: moved under its new group
  EXPECT_EQ(Node("web/www2"), nullptr);

  // The group "data" now has two servers; one of them leaves it while the dialog is open.
  Select("data");
  WhenOpen(&Editor(), [&] {
    EXPECT_EQ(E().numservers->text(), "2");
    program_->serverList.Items(2)->group = "elsewhere";  // db
    E().groupname->setText("storage");
    Editor().accept();
  });
  Trigger("GroupEdit1");
  EXPECT_EQ(ServerAt(1)->group, "storage");
  EXPECT_EQ(ServerAt(2)->group, "elsewhere");
}

TEST_F(EditingInWindow, AddingAServerAndAMonitorThroughTheDialogsEndsUpInTheFile) {
  StartWithDialogs();
  Select("web");
  WhenOpen(&Editor(), [&] {
    EXPECT_EQ(E().Editname->text(), "new");
    E().Editname->setFocus();
    E().Editname->selectAll();
    QTest::keyClicks(E().Editname, "my server:1");
    E().editip->setFocus();  // leaving the name cleans it
    QTest::keyClicks(E().editip, "127.0.0.1");
    Editor().accept();
  });
  Trigger("ServerAdd1");
  ASSERT_NE(Node("web/my_server_1"), nullptr);
  Select("web/my_server_1");
  WhenOpen(&Editor(), [&] {
    E().porttyp->setCurrentIndex(E().porttyp->findText("http"));
    E().httpurl->setText("http://127.0.0.1:9/status");
    E().Combogyr->setCurrentIndex(0);  // no event for turning red
    Editor().accept();
  });
  Trigger("MonitorAdd1");
  ASSERT_NE(Node("web/my_server_1/http"), nullptr);
  ASSERT_TRUE(program_->Save());
  const std::string text = ReadFile(serverFile_);
  EXPECT_NE(text.find("[my_server_1]\r\nIP=127.0.0.1\r\nLocation=\r\nNotes=\r\n"
                      "Logfile=my_server_1.log\r\nGroup=web\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("[my_server_1:http]\r\nTyp=http\r\nPort=80\r\n"
                      "Data=GYtoR=none,url=http://127.0.0.1:9/status\r\n"),
            std::string::npos);
}

TEST_F(EditingInWindow, TheLoopGoesOnWhileTheEventManagerIsOpenAndItsChoiceReachesTheEditor) {
  StartWithDialogs();
  program_->eventList.Add("Page ops");
  bool ticked = false;
  WhenOpen(&Events(), [&] {
    // A core timer (the scan timer's kind) falls due while the dialog is open.
    loop_->AddTimer(10, [&] { ticked = true; });
    ServeUntil([&] { return ticked; }, 2000);
    Events().ui().namecombo->setCurrentIndex(1);
    Events().accept();
  });
  Trigger("Events1");
  EXPECT_TRUE(ticked);
  EXPECT_TRUE(ReadFile(dir_->File("events.ini")).find("[Page ops]") != std::string::npos);

  // The editor's "Edit event" opens the same manager and takes its choice.
  Select("web/www/http");
  WhenOpen(&Editor(), [&] {
    WhenOpen(&Events(), [&] {
      Events().ui().namecombo->setCurrentIndex(1);
      Events().accept();
    });
    QTest::mouseClick(E().editeventryg, Qt::LeftButton);
    EXPECT_EQ(E().Comboryg->currentText(), "Page ops");
    Editor().accept();
  });
  Trigger("MonitorEdit1");
  EXPECT_EQ(MonitorAt(0, 0)->GetValue("RYtoG"), "Page ops");
}

// Popups that come while the operator types in the editor take none of the keys; the
// popup takes the focus only when no window of the program has it.
TEST_F(EditingInWindow, APopupNeverTakesTheKeysTypedIntoAnotherWindow) {
  StartWithDialogs();
  Select("web/www");
  QString typed;
  WhenOpen(&Editor(), [&] {
    QApplication::setActiveWindow(&Editor());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Editor()));
    E().Editnotes->setFocus();
    E().Editnotes->clear();
    for (int i = 0; i < 60; ++i) {
      if (i % 3 == 0) frontend_->ShowPopupMessage("www PORT 80 DOWN " + std::to_string(i));
      QTest::qWait(1);  // the window system has its say between two keys
      const char c = i % 10 == 9 ? ' ' : static_cast<char>('a' + i % 26);
      QTest::keyClick(QGuiApplication::focusWindow(), c);
      typed += QLatin1Char(c);
    }
    EXPECT_EQ(E().Editnotes->text(), typed);
    EXPECT_EQ(QApplication::activeWindow(), &Editor());
    EXPECT_TRUE(dialogs_->popup->isVisible());
    EXPECT_EQ(dialogs_->popup->Lines().size(), 20);
    Editor().reject();
  });
  Trigger("ServerEdit1");
  EXPECT_EQ(typed.size(), 60);
  // With no window of ours active, the popup takes the focus: Enter acknowledges it.
  QApplication::setActiveWindow(nullptr);
  QTest::qWait(5);
  frontend_->ShowPopupMessage("db PORT 5432 DOWN");
  EXPECT_TRUE(QTest::qWaitForWindowActive(dialogs_->popup));
  EXPECT_TRUE(dialogs_->popup->OkButton()->hasFocus());
}

TEST_F(EditingInWindow, PopupAndPrintNoticeComeThroughTheFrontEnd) {
  StartWithDialogs();
  frontend_->ShowPopupMessage("one");
  frontend_->ShowPopupMessage("two");
  EXPECT_EQ(dialogs_->popup->Lines(), (QStringList{"one", "two"}));
  EXPECT_TRUE(dialogs_->popup->isVisible());
  frontend_->ShowNotice("printer\r\nwww\r\nDOWN (2)");
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"printer\nwww\nDOWN (2)"});
  QTest::mouseClick(dialogs_->popup->OkButton(), Qt::LeftButton);
  EXPECT_FALSE(dialogs_->popup->isVisible());
}

TEST_F(EditingInWindow, TheWindowIsServedWhileASoundPlaysAndAMailTestWaits) {
  StartWithDialogs();
  // "mail.log" goes to the current directory.
  const std::string oldCwd = QDir::currentPath().toStdString();
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir_->Path())));
  sentrel::test::RecordingCommand player(dir_->Path(), "player", 0, 0.3);
  settings_->Ini().WriteString(kSentrelSection, kSoundCommandKey, player.Path() + " <#file>");
  sentrel::test::ScriptedSmtpServer smtp;
  WriteFile(dir_->File("mail.txt"),
            "127.0.0.1:" + std::to_string(smtp.Port()) + "\r\nmon@localhost\r\nTest\r\n<#msg>\r\n");
  Event* ev = program_->eventList.Items(0);
  ev->Sound = "alarm.wav";
  ev->MailAddress = "ops@localhost";
  ev->Mailtext = dir_->File("mail.txt");

  int servedDuringSound = 0, servedDuringMail = 0;
  WhenOpen(&Events(), [&] {
    const auto& pages = Events().pages();
    // The click starts the test and returns; a window event queued after it runs while
    // the sound still plays and while the mail still waits for its server.
    QTest::mouseClick(pages.sound.soundtest, Qt::LeftButton);
    QTimer::singleShot(0, [&] { servedDuringSound = player.Done() ? -1 : 1; });
    EXPECT_FALSE(Events().isEnabled());
    ASSERT_TRUE(ServeUntil([&] { return Events().isEnabled(); }, 10'000));
    EXPECT_TRUE(player.Done());
    QTest::mouseClick(pages.mail.mailtest, Qt::LeftButton);
    QTimer::singleShot(0, [&] { servedDuringMail = Events().isEnabled() ? -1 : 1; });
    ASSERT_TRUE(ServeUntil([&] { return Events().isEnabled(); }, 10'000));
    EXPECT_NE(smtp.received.find("RCPT TO:<ops@localhost>"), std::string::npos);
    Events().reject();
  });
  Trigger("Events1");
  QDir::setCurrent(QString::fromStdString(oldCwd));
  EXPECT_EQ(servedDuringSound, 1);
  EXPECT_EQ(servedDuringMail, 1);
  EXPECT_EQ(errors_, std::vector<std::string>{});
}

}  // namespace
}  // namespace sentrel::gui::test
