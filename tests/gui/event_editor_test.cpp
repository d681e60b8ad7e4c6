// The event manager, its name prompt, the popup window and the print notice, driven
// through their controls; modal questions are answered from the test's queues.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAccessible>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "events/event_list.h"
#include "events/real_event_actions.h"
#include "gui/event_editor_dialog.h"
#include "gui/event_editor_pages.h"
#include "gui/event_name_prompt.h"
#include "gui/message_popup.h"
#include "gui/modal_answers.h"
#include "model/frontend.h"
#include "platform/date_time.h"
#include "platform/settings_store.h"
#include "qt_printers.h"
#include "scan/http_post.h"
#include "support/http_receiver.h"
#include "support/recording_command.h"
#include "support/scripted_smtp_server.h"
#include "support/test_env.h"
#include "ui_event_editor_dialog.h"
#include "ui_event_name_prompt.h"

namespace sentrel::test {
namespace {

using gui::EventEditorDialog;
using gui::ModalAnswers;

QStringList Names(const EventList& list) {
  QStringList names;
  for (int i = 0; i < list.Count(); ++i) names << QString::fromStdString(list.Items(i)->name);
  return names;
}

// The popup and the print notice go to the real windows.
struct WindowFrontend : Frontend {
  gui::MessagePopup popup;
  void ShowPopupMessage(const std::string& m) override {
    popup.AddMessage(QString::fromStdString(m));
  }
  void ShowNotice(const std::string& t) override {
    gui::ShowPrintNotice(nullptr, QString::fromStdString(t));
  }
  bool AskYesNo(const std::string&) override { return false; }
};

class EventEditorTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    ModalAnswers::ClearAsked();
    SetCurrentSettings(&settings_);
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    ASSERT_EQ(chdir(dir_->Path().c_str()), 0);  // mail.log and serial.log land here
    path_ = dir_->File("events.ini");
    events_.AddDefault();
    events_.Items(events_.Add("Page ops"))->count[0] = 5;
    events_.Add("Mail ops");
    events_.context.actions = &actions_;
    form_ = std::make_unique<EventEditorDialog>(events_, prompt_);
  }
  void TearDown() override {
    EXPECT_EQ(ModalAnswers::Pending(), 0);
    form_.reset();
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    CoreFixture::TearDown();
  }
  // Opens the dialog on the event of this index, runs `inside` while it is open, then
  // closes it with OK or Cancel; returns what EditEvents returned.
  int Run(int index, const std::function<void()>& inside, bool ok = true) {
    QTimer::singleShot(0, form_.get(), [&] {
      inside();
      ok ? form_->accept() : form_->reject();
    });
    return form_->EditEvents(index, path_);
  }
  const gui::EventEditorDialog::Pages& P() const { return form_->pages(); }
  const Ui::EventEditorDialog& U() const { return form_->ui(); }
  QString Shown() const { return U().namecombo->currentText(); }

  SettingsStore settings_;
  std::string oldCwd_;
  std::string path_;
  EventList events_;
  WindowFrontend frontend_;
  ClientHttpPoster poster_;
  RealEventActions actions_{frontend_, nullptr, &poster_};
  gui::EventNamePrompt prompt_;
  std::unique_ptr<EventEditorDialog> form_;
};

TEST_F(EventEditorTest, AddRenameCopyAndDeleteKeepTheirNameRules) {
  const int result = Run(0, [&] {
    EXPECT_EQ(Shown(), "Default");
    ModalAnswers::QueueText(QStringLiteral("two words"));
    form_->AddClick();
    EXPECT_EQ(Shown(), "two_words");
    ModalAnswers::QueueText(QStringLiteral("a,b=c:d]"));
    form_->AddClick();  // Add keeps ":"
    EXPECT_EQ(Shown(), "a_b_c:d_");
    ModalAnswers::QueueText(QStringLiteral(""));
    form_->AddClick();
    ModalAnswers::QueueText(std::nullopt);
    form_->AddClick();
    ModalAnswers::QueueText(QStringLiteral("TWO_WORDS"));  // one section with "two_words"
    form_->AddClick();
    EXPECT_EQ(Names(events_),
              (QStringList{"Default", "Page ops", "Mail ops", "two_words", "a_b_c:d_"}));

    ModalAnswers::QueueText(QStringLiteral("x:y z"));
    form_->RenameClick();
    EXPECT_EQ(Shown(), "x_y_z");
    ModalAnswers::QueueText(QStringLiteral("x_y_z"));
    form_->RenameClick();  // unchanged: it exists
    ModalAnswers::QueueText(QStringLiteral("TWO_WORDS"));
    form_->RenameClick();
    ModalAnswers::QueueText(QStringLiteral("X_Y_Z"));
    form_->RenameClick();  // its own name in other letters is no clash
    EXPECT_EQ(Shown(), "X_Y_Z");

    events_.Items(4)->Sound = "/tmp/alarm.wav";
    events_.Items(4)->count[1] = 7;
    ModalAnswers::QueueText(QStringLiteral("copy: 1"));
    form_->CopyClick();  // Copy takes the text as it is
    EXPECT_EQ(Shown(), "copy: 1");
    EXPECT_EQ(events_.Items(5)->Sound, "/tmp/alarm.wav");
    EXPECT_EQ(P().sound.soundcount->value(), 7);
    ModalAnswers::QueueText(QStringLiteral("a]b"));
    form_->CopyClick();
    ModalAnswers::QueueText(QStringLiteral(" lead"));
    form_->CopyClick();
    ModalAnswers::QueueText(QStringLiteral("Copy: 1"));
    form_->CopyClick();

    U().namecombo->setCurrentIndex(0);
    ModalAnswers::QueueText(QStringLiteral("Default copy"));
    form_->CopyClick();  // the Default event can be copied
    U().namecombo->setCurrentIndex(0);
    form_->RenameClick();
    form_->DeleteClick();

    U().namecombo->setCurrentIndex(2);
    ModalAnswers::QueueButton(QMessageBox::No);
    form_->DeleteClick();
    ModalAnswers::QueueButton(QMessageBox::Yes);
    form_->DeleteClick();
    EXPECT_EQ(Shown(), "Page ops");  // the event before the deleted one
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ModalAnswers::Asked(),
            (QStringList{"Select the name for the new event.",
                         "Select the name for the new event.",
                         "Select the name for the new event.",
                         "Select the name for the new event.",
                         "Select the name for the new event.",
                         "TWO_WORDS already exists.",
                         "Select the new name for event \"a_b_c:d_\"",
                         "Select the new name for event \"x_y_z\"",
                         "\"x_y_z\" already exists.",
                         "Select the new name for event \"x_y_z\"",
                         "\"TWO_WORDS\" already exists.",
                         "Select the new name for event \"x_y_z\"",
                         "Select the name to copy \"X_Y_Z\" to.",
                         "Select the name to copy \"copy: 1\" to.",
                         "\"a]b\" cannot be an event name: the events file cannot keep \"]\", "
                         "control characters or blanks at the start or end of a name.",
                         "Select the name to copy \"copy: 1\" to.",
                         "\" lead\" cannot be an event name: the events file cannot keep \"]\", "
                         "control characters or blanks at the start or end of a name.",
                         "Select the name to copy \"copy: 1\" to.",
                         "\"Copy: 1\" already exists.",
                         "Select the name to copy \"Default\" to.",
                         "It is not possible to rename the Default event.",
                         "It is not possible to delete the Default event.",
                         "Delete \"Mail ops\" ?",
                         "Delete \"Mail ops\" ?"}));
  // OK saved the list as it stands.
  EventList saved;
  saved.LoadFromFile(path_);
  EXPECT_EQ(Names(saved),
            (QStringList{"Default", "Page ops", "two_words", "X_Y_Z", "copy: 1", "Default copy"}));
  EXPECT_EQ(saved.Items(4)->Sound, "/tmp/alarm.wav");
}

TEST_F(EventEditorTest, CancelPutsTheEventsBackAndNothingReportedIsRaisedAgain) {
  // An outage of monitor 7 has raised the Default event's popup at its third failure.
  auto failure = [&](int32_t n) { events_.RunEvent("Default", "www DOWN", "www", "DOWN", n, 7); };
  for (int32_t n : {1, 2, 3}) failure(n);
  const QStringList reported = frontend_.popup.Lines();
  ASSERT_EQ(reported.size(), 1);
  events_.Items(1)->Exe = "/bin/true";
  const int result = Run(
      1,
      [&] {
        EXPECT_EQ(Shown(), "Page ops");
        EXPECT_TRUE(ReadFile(path_).find("[Page ops]") != std::string::npos);  // saved on open
        P().execute.exename->setText("/bin/false");
        EXPECT_EQ(events_.Items(1)->Exe, "/bin/false");  // live at once
        ModalAnswers::QueueText(QStringLiteral("new one"));
        form_->AddClick();
        U().namecombo->setCurrentIndex(1);
        ModalAnswers::QueueButton(QMessageBox::Yes);
        form_->DeleteClick();
        EXPECT_EQ(Shown(), "Default");
        U().namecombo->setCurrentIndex(1);
        ModalAnswers::QueueButton(QMessageBox::Yes);
        form_->DeleteClick();
        EXPECT_EQ(Names(events_), (QStringList{"Default", "new_one"}));
      },
      false);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Names(events_), (QStringList{"Default", "Page ops", "Mail ops"}));
  EXPECT_EQ(events_.Items(1)->Exe, "/bin/true");
  EXPECT_EQ(events_.Items(1)->count[0], 5);
  // The outage goes on: what was reported is not raised again, after Cancel nor after OK.
  failure(4);
  EXPECT_EQ(Run(2, [] {}), 2);
  failure(5);
  EXPECT_EQ(frontend_.popup.Lines(), reported);
  // Its end reaches the popup that reported it, once.
  failure(99999999);
  EXPECT_EQ(frontend_.popup.Lines().size(), 2);
  // An index beyond the list opens the first.
  EXPECT_EQ(Run(9, [] {}), 0);

  // The file deleted while the manager is open: Cancel writes the events back into it.
  Run(1, [&] {
    P().execute.exename->setText("/bin/changed");
    std::remove(path_.c_str());
  }, false);
  EXPECT_EQ(Names(events_), (QStringList{"Default", "Page ops", "Mail ops"}));
  EXPECT_EQ(events_.Items(1)->Exe, "/bin/true");
  EventList saved;
  saved.LoadFromFile(path_);
  EXPECT_EQ(Names(saved), Names(events_));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(EventEditorTest, AnEventsFileThatCannotBeWrittenKeepsTheDialogClosed) {
  WriteFile(dir_->File("plain"), "x");
  bool shown = false;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    shown = true;
    form_->reject();
  });
  guard.start(0);
  EXPECT_EQ(form_->EditEvents(1, dir_->File("plain/events.ini")), -1);
  guard.stop();
  EXPECT_FALSE(shown);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0], "Unable to write to " + dir_->File("plain/events.ini"));
}

TEST_F(EventEditorTest, ShowingAnEventWritesBackWhatTheControlsShow) {
  Event* ev = events_.Items(2);
  ev->count[3] = 1500;
  ev->count[6] = 4000;  // the print page has no box; the bound holds all the same
  ev->Mailtext = "\"/tmp/template.txt\"";
  ev->SerialOptions = "bits=3,PORT=5,baud=12,parity=0,stop=2";
  Event* bad = events_.Items(events_.Add("Bad serial"));
  bad->SerialOptions = "port=x,bits=3";
  bad->count[0] = 9;
  Run(2, [&] {
    EXPECT_EQ(P().mail.mailcount->value(), 999);
    EXPECT_EQ(ev->count[3], 999);
    EXPECT_EQ(ev->count[6], 999);
    EXPECT_EQ(P().mail.mailtext->text(), "/tmp/template.txt");
    EXPECT_EQ(ev->Mailtext, "/tmp/template.txt");
    EXPECT_EQ(P().serial.oport->currentIndex(), -1);  // port index 5: no such entry
    EXPECT_EQ(P().serial.obaud->currentText(), "115200");
    EXPECT_EQ(P().serial.ostop->currentText(), "2");
    form_->SelectAction(7);
    EXPECT_EQ(U().pages->currentIndex(), 7);
    P().serial.oport->setCurrentIndex(1);  // "COM 2"
    EXPECT_EQ(ev->SerialOptions, "bits=3,port=1,baud=12,parity=0,stop=2");
    EXPECT_EQ(P().serial.oport->currentText(), "COM 2");
    EXPECT_EQ(P().serial.oportdevice->text(), "/dev/ttyS1");
    P().mail.mailtext->setText("\"/tmp/other.txt\"");
    EXPECT_EQ(ev->Mailtext, "/tmp/other.txt");

    // Options the serial action cannot read go to the errors log; the rest of the event
    // is shown all the same.
    U().namecombo->setCurrentIndex(3);
    EXPECT_EQ(P().popup.popupcount->value(), 9);
    EXPECT_EQ(P().serial.oport->currentIndex(), -1);
    EXPECT_EQ(P().serial.obits->currentText(), "8");
    P().serial.oparity->setCurrentIndex(2);
    EXPECT_EQ(bad->SerialOptions, "port=x,bits=3,parity=2");
  });
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find("port"), std::string::npos);
}

TEST_F(EventEditorTest, EditsGoIntoTheEventAsTheOperatorMakesThem) {
  Event* ev = events_.Items(1);
  Run(1, [&] {
    form_->SelectAction(1);
    P().sound.soundfile->setFocus();
    QTest::keyClicks(P().sound.soundfile, "/tmp/a.wav");
    EXPECT_EQ(ev->Sound, "/tmp/a.wav");
    ModalAnswers::QueueFile(QStringLiteral("/tmp/b.wav"));
    QTest::mouseClick(P().sound.soundbrowse, Qt::LeftButton);
    EXPECT_EQ(ev->Sound, "/tmp/b.wav");
    ModalAnswers::QueueFile(QString());  // cancelled: nothing changes
    QTest::mouseClick(P().sound.soundbrowse, Qt::LeftButton);
    EXPECT_EQ(ev->Sound, "/tmp/b.wav");

    U().eventchecklist->item(3)->setCheckState(Qt::Checked);
    EXPECT_TRUE(ev->UseMail);
    U().eventchecklist->item(0)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(ev->UsePopup);
    P().mail.mailcount->setValue(12);
    EXPECT_EQ(ev->count[3], 12);
    EXPECT_EQ(P().mail.mailcount->minimum(), 2);
    EXPECT_EQ(P().mail.mailcount->maximum(), 999);
    P().netsend.netsendtext->setText("down: <#server>\r\nnext");
    EXPECT_EQ(ev->NetSendText, "down: <#server>  next");
    P().shutdown.reboot->setText("db1");
    EXPECT_EQ(ev->Shutdown, "db1");
    U().eventchecklist->item(8)->setCheckState(Qt::Checked);
    EXPECT_TRUE(ev->UseWebhook);
    P().webhook.webhookurl->setText("https://ntfy.example.com/ops");
    P().webhook.webhookbody->setText("{\"text\": \"<#msg>\"}");
    P().webhook.webhookheaders->setText("Title: <#server>");
    P().webhook.webhookcount->setValue(4);
    EXPECT_EQ(ev->WebhookURL, "https://ntfy.example.com/ops");
    EXPECT_EQ(ev->WebhookBody, "{\"text\": \"<#msg>\"}");
    EXPECT_EQ(ev->WebhookHeaders, "Title: <#server>");
    EXPECT_EQ(ev->count[8], 4);

    // The print page has only its title and text.
    EXPECT_EQ(P().print.printtitle->text(), "Print a message");
    EXPECT_EQ(P().print.printhelp->text(), "Future feature...");
    EXPECT_EQ(U().pages->widget(6)->findChildren<QPushButton*>().size(), 0);
    EXPECT_EQ(U().pages->widget(6)->findChildren<QSpinBox*>().size(), 0);
  });
  EXPECT_EQ(ModalAnswers::Asked(), (QStringList{"Sound file", "Sound file"}));
  EXPECT_EQ(U().eventchecklist->count(), 9);
  EXPECT_EQ(U().eventchecklist->item(5)->text(), "Shutdown");
  EXPECT_EQ(U().eventchecklist->item(8)->text(), "Webhook");

  // Every control can be reached by Tab, in the order of the page, and says what it is.
  for (QWidget* w : form_->findChildren<QWidget*>()) {
    if (!(w->focusPolicy() & Qt::TabFocus) || w->objectName().startsWith("qt_")) continue;
    EXPECT_FALSE(AccessibleName(w).isEmpty()) << w->objectName().toStdString();
  }
  form_->show();
  QStringList unnamed;
  const std::string buttons =
      ",repeatminutes,okbutton,cancelbutton,addbutton,renamebutton,copybutton,deletebutton";
  form_->SelectAction(3);
  EXPECT_EQ(
      TabChain(U().namecombo, &unnamed),
      "namecombo,eventchecklist,mailaddress,mailtext,mailbrowse,mailcount,mailtest" + buttons);
  form_->SelectAction(7);
  EXPECT_EQ(TabChain(U().namecombo, &unnamed),
            "namecombo,eventchecklist,oport,obaud,obits,oparity,ostop,oserialfile,serialbrowse,"
            "serialcount,serialtest" +
                buttons);
  form_->SelectAction(5);
  EXPECT_EQ(TabChain(U().namecombo, &unnamed),
            "namecombo,eventchecklist,reboot,rebootcount,reboottest,rebootcancel" + buttons);
  form_->SelectAction(8);
  EXPECT_EQ(TabChain(U().namecombo, &unnamed),
            "namecombo,eventchecklist,webhookurl,webhookbody,webhookheaders,webhookcount,"
            "webhooktest" +
                buttons);
  form_->hide();
  EXPECT_EQ(unnamed, QStringList{});
  EXPECT_EQ(P().sound.soundfile->accessibleName(), "Sound file");
  EXPECT_EQ(P().serial.oport->accessibleName(), "Port");
}

// A test runs as a task of the dialog: the dialog takes no input until it has ended,
// while the loop goes on.
TEST_F(EventEditorTest, TestButtonsRunTheActionsWithTheSampleInputs) {
  RecordingCommand prog(dir_->Path(), "notify");
  ScriptedSmtpServer smtp;
  WriteFile(dir_->File("mail.txt"), "127.0.0.1:" + std::to_string(smtp.Port()) +
                                        "\r\nmon@localhost\r\nTest from <#server>\r\n"
                                        "<#msg> <#status>\r\n");
  Event* ev = events_.Items(1);
  ev->count[0] = 50;  // a test bypasses the latency count
  ev->Exe = prog.Path();
  ev->ExePara = "<#server> <#status> <#msg>";
  ev->MailAddress = "ops@localhost";
  ev->Mailtext = dir_->File("mail.txt");
  ev->SerialText = dir_->File("no-such-script");
  int answers = 0;
  HttpReceiver hook([&](const ReceivedRequest&) {
    return ++answers == 1 ? HttpReply(200, "OK") : HttpReply(403, "Forbidden");
  });
  ev->WebhookURL = hook.Url("/alerts");
  ev->WebhookBody = "{\"text\": \"<#msg>\", \"server\": \"<#server>\"}";
  Run(1, [&] {
    QTest::mouseClick(P().popup.popuptest, Qt::LeftButton);
    QTest::mouseClick(P().execute.exetest, Qt::LeftButton);
    EXPECT_TRUE(form_->isEnabled()) << "these two do not wait";
    QTest::mouseClick(P().mail.mailtest, Qt::LeftButton);
    EXPECT_FALSE(form_->isEnabled()) << "the mail test waits for its server";
    ASSERT_TRUE(loop_->WaitUntil([&] { return form_->isEnabled(); }, 30'000));
    QTest::mouseClick(P().serial.serialtest, Qt::LeftButton);  // fails: no script
    EXPECT_TRUE(form_->isEnabled());
    // The webhook test sends one, waits for the answer and shows it.
    for (const char* shown : {"Sent: HTTP 200 OK", "Failed: "}) {
      QTest::mouseClick(P().webhook.webhooktest, Qt::LeftButton);
      EXPECT_EQ(P().webhook.webhookresult->text(), "Sending...");
      ASSERT_TRUE(loop_->WaitUntil([&] { return form_->isEnabled(); }, 30'000));
      EXPECT_TRUE(P().webhook.webhookresult->text().startsWith(shown))
          << P().webhook.webhookresult->text().toStdString();
    }
  });
  ASSERT_EQ(hook.Requests().size(), 2u);
  EXPECT_EQ(hook.Requests()[0].body,
            "{\"text\": \"This is just a test.\", \"server\": \"www.example.com\"}");
  EXPECT_EQ(
      frontend_.popup.Lines(),
      (QStringList{QString::fromStdString(FormatDateTime(Now())) + " This is just a test."}));
  EXPECT_FALSE(ev->notified[0]);
  ASSERT_TRUE(prog.WaitDone());
  EXPECT_EQ(prog.Args(),
            (std::vector<std::string>{"www.example.com", "OK", "This is just a test."}));
  EXPECT_NE(smtp.received.find("Subject: Test from www.example.com\r\n"), std::string::npos);
  EXPECT_NE(smtp.received.find("This is just a test. OK\r\n"), std::string::npos);
  ASSERT_EQ(errors_.size(), 2u);
  EXPECT_NE(errors_[0].find("no-such-script"), std::string::npos);
  EXPECT_NE(errors_[1].find("HTTP 403 Forbidden"), std::string::npos);
}

TEST(MessagePopupTest, LinesPileUpUntilOkClearsThemAndTheTitleBarOnlyHides) {
  ModalAnswers::ClearAsked();
  gui::MessagePopup popup;
  EXPECT_EQ(popup.windowTitle(), "Sentrel Message(s)");
  EXPECT_TRUE(popup.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(popup.Pane()->isReadOnly());
  EXPECT_FALSE(popup.isVisible());
  popup.AddMessage("first");
  popup.AddMessage("second");
  EXPECT_TRUE(popup.isVisible());
  EXPECT_EQ(popup.Lines(), (QStringList{"first", "second"}));

  QTest::mouseClick(popup.OkButton(), Qt::LeftButton);
  EXPECT_FALSE(popup.isVisible());
  EXPECT_EQ(popup.Lines(), QStringList{});
  popup.AddMessage("third");
  EXPECT_EQ(popup.Lines(), QStringList{"third"});

  popup.close();  // the title bar's close box
  EXPECT_FALSE(popup.isVisible());
  popup.AddMessage("fourth");
  EXPECT_EQ(popup.Lines(), (QStringList{"third", "fourth"}));

  gui::ShowPrintNotice(nullptr, "printer\r\ndb1\r\nDOWN (2)");
  EXPECT_EQ(ModalAnswers::Asked(), QStringList{"printer\ndb1\nDOWN (2)"});
}

// A message that comes while a modal dialog is open (the editor) can be read and
// acknowledged at once, and its lines are shown from their start.
TEST(MessagePopupTest, StaysUsableAboveAModalDialogAndShowsTheStartOfItsLines) {
  QWidget main;
  main.show();
  gui::MessagePopup popup(&main);
  // A click as the window system delivers it, which a modal dialog may hold back.
  auto pressOk = [&] {
    QPushButton* ok = popup.OkButton();
    QTest::mouseClick(popup.windowHandle(), Qt::LeftButton, {},
                      ok->mapTo(&popup, ok->rect().center()));
    QTest::qWait(10);
  };
  QDialog editor(&main);
  editor.setWindowModality(Qt::ApplicationModal);  // as exec() opens it
  editor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  popup.AddMessage(QStringLiteral("2024-05-02 17:10:02 web1 HTTP DOWN ") + QString(400, 'x'));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&popup));
  QTest::qWait(20);
  QScrollBar* sideways = popup.Pane()->horizontalScrollBar();
  EXPECT_GT(sideways->maximum(), 0);
  EXPECT_EQ(sideways->value(), 0);
  pressOk();
  EXPECT_FALSE(popup.isVisible()) << "the popup's OK waits for the dialog";
  editor.hide();

  // A modal dialog opened while the popup is up does not shut it out either.
  popup.AddMessage(QStringLiteral("second"));
  QDialog later(&main);
  later.setWindowModality(Qt::ApplicationModal);
  later.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&later));
  popup.AddMessage(QString(400, 'y'));
  QTest::qWait(20);
  EXPECT_EQ(sideways->value(), 0);
  pressOk();
  EXPECT_FALSE(popup.isVisible());
}

TEST(EventNamePromptTest, ShowsCaptionPromptAndTextWithTheFocusInTheField) {
  gui::EventNamePrompt prompt;
  QTimer::singleShot(0, &prompt, [&] {
    EXPECT_EQ(prompt.windowTitle(), "Rename event");
    EXPECT_EQ(prompt.ui().Label1->text(), "Select the new name for event \"x\"");
    EXPECT_TRUE(prompt.ui().Label1->wordWrap());
    EXPECT_EQ(prompt.ui().Edit1->text(), "x");
    EXPECT_TRUE(prompt.ui().Edit1->hasFocus() || !prompt.isActiveWindow());
    QTest::keyClicks(prompt.ui().Edit1, "yz");
    prompt.accept();
  });
  EXPECT_EQ(prompt.Show("Rename event", "Select the new name for event \"x\"", "x").value_or(""),
            "yz");
  QTimer::singleShot(0, &prompt, [&] { prompt.reject(); });
  EXPECT_FALSE(prompt.Show("New event", "p", "").has_value());
}

}  // namespace
}  // namespace sentrel::test
