// An event carried out by the real actions, from a failed check through the scan engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "events/real_event_actions.h"
#include "platform/date_time.h"
#include "platform/process.h"
#include "support/recording_command.h"
#include "support/scan_fixture.h"
#include "support/scripted_smtp_server.h"

namespace sentrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class EventActionsEndToEndTest : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    SetCurrentSettings(&settings_);
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    oldCwd_ = buf;
    ASSERT_EQ(chdir(dir_->Path().c_str()), 0);  // mail.log goes to the current directory
    smtp_ = std::make_unique<ScriptedSmtpServer>();
  }
  void TearDown() override {
    EXPECT_TRUE(PumpUntil([] { return RunningChildren() == 0; }));
    EXPECT_EQ(CountZombieChildren(), 0);
    smtp_.reset();
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
    ScanFixture::TearDown();
  }
  std::string oldCwd_;
  std::unique_ptr<ScriptedSmtpServer> smtp_;
};

TEST_F(EventActionsEndToEndTest, TheProgramWiresItsActionsAndHistory) {
  EXPECT_NE(dynamic_cast<RealEventActions*>(program_->eventList.context.actions), nullptr);
  EXPECT_EQ(program_->eventList.context.history, &program_->messagePane);
}

TEST_F(EventActionsEndToEndTest, PopupExeAndMailFireInOrderOnceTheLatencyIsPassed) {
  RecordingCommand exe(dir_->Path(), "notify");
  WriteFile(dir_->File("alarm.txt"), "127.0.0.1:" + std::to_string(smtp_->Port()) +
                                         ":sentrel\r\nmon@x.test\r\n<#server> <#status>\r\n"
                                         "<#msg>\r\nHistory:\r\n<#hist>");
  EventList& events = program_->eventList;
  events.Clear();
  Event& alarm = *events.Items(events.Add("Alarm"));
  alarm.UsePopup = alarm.UseExe = alarm.UseMail = true;
  alarm.Exe = exe.Path();
  alarm.ExePara = "<#server> <#status>";
  alarm.MailAddress = "ops@x.test";
  alarm.Mailtext = dir_->File("alarm.txt");

  Server* db1 = AddServer("db1");
  Monitor* m = AddMonitor(db1, "port", 5432);
  m->status = "green";
  m->SetValue("GtoY", "Alarm");
  m->SetValue("GYtoR", "Alarm");
  m->SetValue("RYtoG", "Alarm");
  // A refused connection, as the port check reports it: the failure step runs twice.
  checks_.fallback = [this](Monitor& port) {
    scan().PortVerdict(port, false, 10000);
    scan().PortSocketError(port, 10061);
  };
  // When the mail's connection arrives, the popup has been shown and the program started.
  std::vector<std::string> atMail;
  smtp_->onConnect = [&] {
    atMail.push_back(std::to_string(frontend_.popups.size()) + " popups, exe " +
                     (RunningChildren() > 0 || exe.Done() ? "started" : "not started"));
  };

  auto settled = [&] {
    return loop_->WaitUntil(
        [&] { return !program_->scanner.PassRunning() && events.RunsUnderWay() == 0; }, 30'000);
  };
  // First failed check: failure numbers 1 and 2, both within the latency count 2.
  program_->StartScan();
  ASSERT_TRUE(settled());
  EXPECT_EQ(m->status, "red");
  EXPECT_THAT(frontend_.popups, ElementsAre());
  EXPECT_EQ(smtp_->connections, 0);
  EXPECT_FALSE(exe.Done());
  EXPECT_EQ(RunningChildren(), 0u);

  // Second failed check: number 3 passes the gate, 4 does not fire again.
  program_->ScanNow();
  ASSERT_TRUE(settled());
  EXPECT_THAT(atMail, ElementsAre("1 popups, exe started"));
  ASSERT_EQ(frontend_.popups.size(), 1u);
  EXPECT_EQ(frontend_.popups[0], FormatDateTime(Now()) + " db1 PORT 5432 DOWN");
  ASSERT_TRUE(exe.WaitDone());
  EXPECT_THAT(exe.Args(), ElementsAre("db1", "DOWN (3)"));
  EXPECT_EQ(smtp_->connections, 1);
  EXPECT_THAT(smtp_->received, HasSubstr("HELO sentrel\r\n"));
  EXPECT_THAT(smtp_->received, HasSubstr("Subject: db1 DOWN (3)\r\n"));
  EXPECT_THAT(smtp_->received, HasSubstr("\r\n\r\ndb1 PORT 5432 DOWN\r\nHistory:\r\n"));
  // The history is the Messages/Errors pane: the DOWN record of this outage is in it.
  EXPECT_THAT(smtp_->received,
              HasSubstr(" db1 PORT 5432 DOWN 0ms 0Bytes Error=10061 (2 lost)\r\n"));
  EXPECT_THAT(ReadFile("mail.log"),
              HasSubstr(" DONE ops@x.test db1 db1 PORT 5432 DOWN DOWN (3)"));

  // The recovery reaches exactly the actions that reported the outage.
  checks_.fallback = [this](Monitor& port) { scan().PortVerdict(port, true, 5); };
  program_->ScanNow();
  ASSERT_TRUE(settled());
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(frontend_.popups.size(), 2u);
  EXPECT_EQ(smtp_->connections, 2);
  EXPECT_THAT(errors_, ElementsAre());
}

}  // namespace
}  // namespace sentrel::test
