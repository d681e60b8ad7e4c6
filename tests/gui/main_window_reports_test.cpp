// The report commands as the main window's menus reach them.
#include <gtest/gtest.h>

#include <QStatusBar>
#include <cstdio>

#include "gui/chart_window.h"
#include "gui/log_window.h"
#include "gui/modal_answers.h"
#include "gui/widgets/log_text_view.h"
#include "modal_windows.h"
#include "model/last_activity.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

const char* const kServers =
    "[www]\r\nIP=127.0.0.1\r\nLogfile=www.log\r\nGroup=web\r\n"
    "[www:http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1:9/\r\nintervall=3600\r\n"
    "[db]\r\nIP=127.0.0.1\r\nLogfile=db.log\r\nGroup=web\r\n";

class MainWindowReports : public WindowFixture {
 protected:
  std::string Record(double daysAgo, const std::string& word, int ms) const {
    return FormatDateTime(Now() - daysAgo) + " www HTTP 80 " + word + " " + std::to_string(ms) +
           "ms 512Bytes E0 200 OK\r\n";
  }
};

TEST_F(MainWindowReports, MenusAndPopupOpenTheLogWindowsAndTheChart) {
  Start(kServers);
  WriteFile(dir_->File("www.log"),
            Record(2, "OK", 120) + Record(1, "DOWN", 0) + Record(0.5, "UP", 80));

  Select("web/www");
  for (const char* action : {"ViewLogfile1", "ViewLogfile2"}) {
    int opened = RunWithModal<LogWindow>([&] { Trigger(action); },
                                         [](LogWindow& w) {
                                           EXPECT_EQ(w.windowTitle(), "Sentrel Logfile: www");
                                           EXPECT_EQ(w.Memo1()->LineCount(), 3u);
                                         });
    EXPECT_EQ(opened, 1) << action;
  }
  for (const char* action : {"ViewLogfileErrors1", "ViewLogfileErrors2"}) {
    int opened =
        RunWithModal<LogWindow>([&] { Trigger(action); },
                                [](LogWindow& w) {
                                  EXPECT_EQ(w.windowTitle(), "Sentrel Logfile: www (errors only)");
                                  EXPECT_EQ(w.Memo1()->LineCount(), 2u);
                                });
    EXPECT_EQ(opened, 1) << action;
  }

  // The popup's "View Request Times..." and the main menu's both chart the monitor.
  Select("web/www/http (http:80, 3600s)");
  for (const char* action : {"ViewRequestTimes2", "ViewRequestTimes1"}) {
    ModalAnswers::QueueText(QStringLiteral("4"));
    int opened = RunWithModal<ChartWindow>(
        [&] { Trigger(action); },
        [](ChartWindow& w) {
          EXPECT_EQ(w.windowTitle(), "Sentrel Request Times: www (http 80, last 4 days)");
          EXPECT_EQ(w.FooterText(), "Average: 100 ms, Good: 67%, Lost: 33%");
        });
    EXPECT_EQ(opened, 1) << action;
  }
  EXPECT_TRUE(errors_.empty());

  // A server that has no log yet: the errors log gets it, no window opens.
  Select("web/db");
  int opened = RunWithModal<LogWindow>([&] { Trigger("ViewLogfile1"); }, [](LogWindow&) {});
  EXPECT_EQ(opened, 0);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find("db.log: No such file or directory"), std::string::npos) << errors_[0];
}

TEST_F(MainWindowReports, DumpLogsShowsEachLogInTheStatusBarAndKeepsTheLast) {
  Start(kServers);
  const std::string old = Record(9, "OK", 1), recent = Record(1, "OK", 2);
  WriteFile(dir_->File("www.log"), old + recent);
  WriteFile(dir_->File("db.log"), "");

  ModalAnswers::QueueText(std::nullopt);
  Trigger("Dumplogs1");
  EXPECT_EQ(ReadFile(dir_->File("www.log")), old + recent);

  ModalAnswers::QueueText(QStringLiteral("7"));
  Trigger("Dumplogs1");
  EXPECT_EQ(ReadFile(dir_->File("www.log")), recent);
  EXPECT_EQ(form_->StatusPanelText(0), "Dumping Logile db.log");
  EXPECT_EQ(program_->StatusPanel(0), "Dumping Logile db.log");
  EXPECT_TRUE(errors_.empty());

  // An answer that is no number: a message, nothing touched, and no line in the errors
  // log (which would name whatever the scan did last as its cause).
  ModalAnswers::ClearAsked();
  ModalAnswers::QueueText(QStringLiteral("seven"));
  Trigger("Dumplogs1");
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(ModalAnswers::Asked().last(),
            "\"seven\" is not a whole number of days; no log was changed.");
  EXPECT_EQ(ReadFile(dir_->File("www.log")), recent);
  // A log that cannot be dumped is named in the errors log by its dump.
  WriteFile(dir_->File("www.log"), recent);
  std::remove(dir_->File("db.log").c_str());
  ModalAnswers::QueueText(QStringLiteral("7"));
  Trigger("Dumplogs1");
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(LastActivity, "Dumping Logile db.log");
}

}  // namespace
}  // namespace sentrel::gui::test
