#include <algorithm>

#include "model/text_pane.h"
#include "model/last_activity.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "support/scan_fixture.h"

namespace sentrel::test {
namespace {

class ScanPassTest : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    web1_ = AddServer("web1");
  }
  void Due(Monitor* m) { m->ResetLastCheck(); }
  void CheckedAgo(Monitor* m, int64_t ms) {
    m->MarkChecked(Now() - static_cast<double>(ms) / 86'400'000.0, clock_.MonotonicMs() - ms);
  }
  void Pass() {
    frontend_.panel0.clear();
    checks_.calls.clear();
    program_->StartScan();  // starts one pass at once
    ASSERT_TRUE(loop_->WaitUntil([&] { return !program_->scanner.PassRunning(); }, 60'000));
  }
  Server* web1_;
};

TEST_F(ScanPassTest, ActivityTextsOfAPass) {
  Monitor* m = AddMonitor(web1_, "http");
  m->interval = 60;
  CheckedAgo(m, 35'000);
  Pass();
  EXPECT_EQ(frontend_.panel0,
            (std::vector<std::string>{"Next check for web1 in -25 s", "All Servers done, idle"}));
  EXPECT_EQ(LastActivity, "All Servers done, idle");
  EXPECT_TRUE(checks_.calls.empty());

  program_->StopScan();
  CheckedAgo(m, 60'000);  // exactly the interval: not due yet
  Pass();
  EXPECT_TRUE(checks_.calls.empty());
  program_->StopScan();
  CheckedAgo(m, 60'001);
  Pass();
  EXPECT_EQ(checks_.calls, std::vector<std::string>{"http web1:http"});
  EXPECT_EQ(frontend_.panel0.front(), "web1 http");
}

TEST_F(ScanPassTest, AMonitorOfAnUnknownTypeIsVisitedButNotChecked) {
  Monitor* m = AddMonitor(web1_, "Ping");
  Pass();
  EXPECT_TRUE(checks_.calls.empty());
  EXPECT_EQ(frontend_.panel0, (std::vector<std::string>{"web1 Ping", "All Servers done, idle"}));
  EXPECT_DOUBLE_EQ(m->lastCheck, Now());
  EXPECT_EQ(m->status, "");
}

TEST_F(ScanPassTest, SwitchedOffAPassChecksNothing) {
  AddMonitor(web1_, "ping");
  program_->scanner.Execute();
  EXPECT_TRUE(checks_.calls.empty());
  EXPECT_EQ(program_->StatusPanel(0), "All Servers done, idle");
}

TEST_F(ScanPassTest, StoppingInsideAServerEndsThePassThere) {
  InOrder();
  Monitor* a = AddMonitor(web1_, "ping");
  AddMonitor(web1_, "ping");
  Server* db = AddServer("db1");
  AddMonitor(db, "ping");
  checks_.Queue(a, [&](Monitor&) { program_->StopScan(); });
  Pass();
  // Stop means stop: not even the rest of that server is checked, and no pass follows.
  EXPECT_EQ(checks_.calls, (std::vector<std::string>{"ping web1:ping"}));
  EXPECT_FALSE(program_->ScanTimerEnabled());
  EXPECT_FALSE(program_->scanner.PassRunning());
  for (int i = 0; i < 3; ++i) clock_.AdvanceMs(1000);
  EXPECT_EQ(checks_.calls.size(), 1u);
  EXPECT_EQ(a->status, "?");
}

TEST_F(ScanPassTest, APassNeverVisitsWhatAPumpDeleted) {
  Monitor* a = AddMonitor(web1_, "port");
  Monitor* b = AddMonitor(web1_, "port");
  Server* db = AddServer("db1");
  AddMonitor(db, "port");
  Server* mail = AddServer("mail1");
  AddMonitor(mail, "port");
  // The first check's wait runs the operator's commands: delete monitor b, delete db1.
  checks_.Queue(a, [&](Monitor&) {
    web1_->ports.Delete(web1_->ports.IndexOf(b));
    program_->serverList.Delete(program_->serverList.IndexOf(db));
  });
  Pass();
  EXPECT_EQ(checks_.calls, (std::vector<std::string>{"port web1:port", "port mail1:port"}));
}

TEST_F(ScanPassTest, AMonitorDeletedByItsOwnCheckIsNotTouchedAfterwards) {
  Monitor* a = AddMonitor(web1_, "ping");
  AddServer("db1");
  checks_.Queue(a, [&](Monitor&) { program_->serverList.Delete(0); });
  Pass();  // under the sanitizers a touch of the deleted monitor would be reported
  EXPECT_EQ(checks_.calls.size(), 1u);
}

TEST_F(ScanPassTest, ALoadedConfigurationEndsThePass) {
  Monitor* a = AddMonitor(web1_, "ping");
  AddMonitor(AddServer("db1"), "ping");
  std::string file = dir_->File("other.mcf");
  WriteFile(file, "[other]\r\n[other:ping]\r\n");
  checks_.Queue(a, [&](Monitor&) { program_->serverList.LoadFromFile(file); });
  Pass();
  EXPECT_EQ(checks_.calls, std::vector<std::string>{"ping web1:ping"});
}

TEST_F(ScanPassTest, AnErrorInOneCheckDoesNotStarveTheRest) {
  Monitor* broken = AddMonitor(web1_, "port");
  AddMonitor(web1_, "ping");
  checks_.Queue(broken, [](Monitor&) {
    LastActivity = "DoAPort web1";
    throw SentrelError("SetAddr: Cannot convert host address 'no such host'");
  });
  Pass();
  EXPECT_EQ(checks_.calls, (std::vector<std::string>{"port web1:port", "ping web1:ping"}));
  EXPECT_EQ(errors_, std::vector<std::string>{"SetAddr: Cannot convert host address 'no such host'"});
  EXPECT_DOUBLE_EQ(broken->lastCheck, Now());
}

TEST_F(ScanPassTest, TheTimerStartsTheNextPassASecondAfterThePassEnded) {
  AddMonitor(web1_, "port");
  // The check takes three seconds of its own (the port check's wait).
  checks_.fallback = [&](Monitor&) { clock_.JumpMs(3000); };
  auto passes = [&] {
    return std::count(frontend_.panel0.begin(), frontend_.panel0.end(), "All Servers done, idle");
  };
  Pass();
  EXPECT_EQ(passes(), 1);
  clock_.AdvanceMs(999);
  EXPECT_EQ(passes(), 1);
  clock_.AdvanceMs(1);
  EXPECT_EQ(passes(), 2);
  clock_.AdvanceMs(1000);
  EXPECT_EQ(passes(), 3);
  EXPECT_EQ(checks_.calls.size(), 1u);
}

TEST_F(ScanPassTest, AClockStepNeitherStopsNorFloodsTheChecks) {
  Monitor* m = AddMonitor(web1_, "ping");
  m->interval = 60;
  Pass();
  ASSERT_EQ(checks_.calls.size(), 1u);
  // The wall clock is set back an hour, as at the end of daylight-saving time.
  clock_.SetWallClock(Now() - 1.0 / 24.0);
  for (int i = 0; i < 61; ++i) clock_.AdvanceMs(1000);
  EXPECT_EQ(checks_.calls.size(), 2u);
  // And forward two hours: nothing becomes due early.
  clock_.SetWallClock(Now() + 2.0 / 24.0);
  for (int i = 0; i < 10; ++i) clock_.AdvanceMs(1000);
  EXPECT_EQ(checks_.calls.size(), 2u);
}

TEST_F(ScanPassTest, StopStartAndScanNow) {
  Monitor* m = AddMonitor(web1_, "ping");
  m->status = "green";
  program_->ScanNow();  // scanning stopped: only the times are reset
  EXPECT_TRUE(checks_.calls.empty());
  Pass();
  EXPECT_EQ(checks_.calls.size(), 1u);
  program_->ScanNow();
  EXPECT_EQ(checks_.calls.size(), 2u);
  program_->StopScan();
  EXPECT_EQ(m->status, "?");
  EXPECT_EQ(m->lastCheck, 0);
  EXPECT_FALSE(program_->ScanTimerEnabled());
  Pass();
  EXPECT_EQ(checks_.calls.size(), 1u);
}

// Switching scanning off and on from inside a check ends the pass under way there (it
// starts nothing more), and the next one follows at once, not a second later: every
// monitor is checked once.
TEST_F(ScanPassTest, SwitchingOffAndOnDuringACheckRunsTheNextPassRightAfter) {
  Monitor* a = AddMonitor(web1_, "ping");
  Monitor* b = AddMonitor(web1_, "ping");
  b->interval = 1;
  checks_.Queue(a, [&](Monitor&) {
    program_->StopScan();
    program_->StartScan();
  });
  const uint64_t before = program_->scanner.PassNumber();
  Pass();
  EXPECT_EQ(checks_.calls, (std::vector<std::string>{"ping web1:ping", "ping web1:ping2"}));
  EXPECT_EQ(program_->scanner.PassNumber(), before + 2) << "the second pass ran at once";
}

TEST_F(ScanPassTest, PanesKeepAtMost1001Lines) {
  TextPane& pane = program_->activityPane;
  pane.Clear();
  for (int i = 0; i < 1000; ++i) pane.AddLine("line " + std::to_string(i));
  pane.AddLine("line 1000");
  EXPECT_EQ(pane.Count(), 1001u);
  EXPECT_EQ(pane.Lines().front(), "line 0");
  scan().recordText = "newest";
  scan().AddActivityLine();
  EXPECT_EQ(pane.Count(), 1001u);
  EXPECT_EQ(pane.Lines().front(), "line 1");
  EXPECT_EQ(pane.Lines().back(), FormatDateTime(Now()) + " newest");
}

TEST_F(ScanPassTest, PingMessagesGoToTheLogAndThePane) {
  scan().PingDisplay(*web1_, "Unable to resolve no such host");
  EXPECT_EQ(Log("web1"), FormatDateTime(Now()) + " Ping:Unable to resolve no such host\r\n");
  EXPECT_EQ(program_->activityPane.Lines().back(),
            FormatDateTime(Now()) + " Unable to resolve no such host");
  EXPECT_EQ(LastActivity, "PingDisplay Unable to resolve no such host");
}

}  // namespace
}  // namespace sentrel::test
