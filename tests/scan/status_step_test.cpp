#include "model/text_pane.h"
#include "model/last_activity.h"
#include "events/event_actions.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "support/records.h"
#include "support/scan_fixture.h"

namespace sentrel::test {
namespace {

class StatusStepTest : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    web1_ = AddServer("web1");
  }
  Server* web1_;
};

TEST_F(StatusStepTest, PingGreenThroughRedAndBack) {
  Monitor* m = AddMonitor(web1_, "ping");
  m->status = "green";
  m->SetValue("GtoY", "Warn");
  m->SetValue("RYtoG", "Back");
  for (int i = 0; i < 3; ++i) scan().PingVerdict(*m, false, 10005, "Request timed out");
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(m->lostCount, 3);
  m->lastUp = Now() - 30.0 / 1440.0;
  scan().PingVerdict(*m, true, 12, "No error");
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(m->lostCount, 0);
  EXPECT_EQ(m->lastResponseMs, 12);

  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out",
                "web1 PING 0 DOWN 10005ms 56Bytes Request timed out (2 lost)",
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out (2 lost)",
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out (3 lost)",
                "web1 PING 0 OK 12ms 56Bytes No error",
                "web1 PING 0 UP 12ms 56Bytes No error Downtime=30 min",
            }));
  EXPECT_EQ(program_->events,
            (std::vector<std::string>{
                "Warn|web1 PING LOST (Request timed out)|web1|LOST|1",
                "Default|web1 PING DOWN (Request timed out)|web1|DOWN (2)|2",
                "Default|web1 PING DOWN (Request timed out)|web1|DOWN (3)|3",
                "Back|web1 PING UP (No error), Downtime=30 min|web1|UP|99999999",
            }));
  // LogError lines go to Messages/Errors, LogResult lines to the Activity log.
  auto messages = RecordLines(program_->messagePane);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1], "web1 PING 0 DOWN 10005ms 56Bytes Request timed out (2 lost)");
  EXPECT_EQ(messages[2], "web1 PING 0 UP 12ms 56Bytes No error Downtime=30 min");
  EXPECT_EQ(RecordLines(program_->activityPane).size(), 4u);
  EXPECT_EQ(LastActivity, "LogError web1 PING 0 UP 12ms 56Bytes No error Downtime=30 min");
}

// A step of the wall clock during an outage moves the time stamps, never the downtime:
// ten seconds down are "Downtime=0 min" whether the clock jumped an hour ahead or two back.
TEST_F(StatusStepTest, TheDowntimeIsMeasuredOnTheMonotonicClock) {
  Monitor* m = AddMonitor(web1_, "port", 22);
  for (double stepHours : {1.0, -2.0, 0.0}) {
    SCOPED_TRACE(stepHours);
    scan().PortVerdict(*m, true, 3);
    scan().PortVerdict(*m, false, 10000);
    scan().PortVerdict(*m, false, 10000);
    ASSERT_EQ(m->status, "red");
    clock_.SetWallClock(Now() + stepHours / 24.0);
    clock_.AdvanceMs(10'000);
    scan().PortVerdict(*m, true, 3);
    EXPECT_EQ(RecordLines(Log("web1")).back(), "web1 PORT 22 UP 3ms 0Bytes Downtime=0 min");
  }
  clock_.AdvanceMs(40'000);
  scan().PortVerdict(*m, false, 10000);
  scan().PortVerdict(*m, false, 10000);
  clock_.SetWallClock(Now() - 1.0);  // a day back
  clock_.AdvanceMs(20 * 60'000);
  scan().PortVerdict(*m, true, 3);
  EXPECT_EQ(RecordLines(Log("web1")).back(), "web1 PORT 22 UP 3ms 0Bytes Downtime=21 min");
}

TEST_F(StatusStepTest, HttpWritesLostBeforeTheColourStep) {
  Monitor* m = AddMonitor(web1_, "http");
  m->status = "green";
  m->lastUp = Now();
  for (int i = 0; i < 3; ++i)
    scan().HttpVerdict(*m, false, 40, 0, 0, 404, "Not Found (Received No Data)");
  scan().HttpVerdict(*m, true, 9999, 512, 0, 200, "OK");
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 HTTP 80 LOST 40ms 0Bytes 404 Not Found (Received No Data)",
                "web1 HTTP 80 LOST 40ms 0Bytes 404 Not Found (Received No Data)",
                "web1 HTTP 80 DOWN 40ms 0Bytes 404 Not Found (Received No Data) (2 lost)",
                "web1 HTTP 80 LOST 40ms 0Bytes 404 Not Found (Received No Data) (2 lost)",
                "web1 HTTP 80 OK 9999ms 512Bytes E0 200 OK",
                "web1 HTTP 80 UP 9999ms 512Bytes 200 OK Downtime=0 min",
            }));
  EXPECT_EQ(program_->events,
            (std::vector<std::string>{
                "Default|web1 HTTP DOWN (404 Not Found (Received No Data))|web1|DOWN (2)|2",
                "Default|web1 HTTP DOWN (404 Not Found (Received No Data))|web1|DOWN (3)|3",
            }));
  EXPECT_EQ(m->status, "green");  // 9999 ms is under the HTTP threshold
  m->status = "yellow";
  scan().HttpVerdict(*m, true, 10000, 1, 0, 200, "OK");
  EXPECT_EQ(m->status, "yellow");
}

TEST_F(StatusStepTest, PortFailureAppliesTheStepTwice) {
  Monitor* m = AddMonitor(web1_, "port", 25);
  m->status = "green";
  m->SetValue("GtoY", "Warn");
  scan().PortVerdict(*m, false, 10000);
  scan().PortSocketError(*m, 10057);
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(m->lostCount, 2);
  EXPECT_EQ(m->lastResponseMs, 0);
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PORT 25 LOST 10000ms 0Bytes ",
                "web1 PORT 25 LOST 0ms 0Bytes Error=10057",
                "web1 PORT 25 DOWN 0ms 0Bytes Error=10057 (2 lost)",
            }));
  scan().PortVerdict(*m, false, 10000);
  scan().PortSocketError(*m, 10057);
  EXPECT_EQ(program_->events,
            (std::vector<std::string>{
                "Warn|web1 PORT 25 LOST|web1|LOST|1",
                "Default|web1 PORT 25 DOWN|web1|DOWN|2",
                "Default|web1 PORT 25 DOWN|web1|DOWN (3)|3",
                "Default|web1 PORT 25 DOWN|web1|DOWN|4",
            }));
  m->lastUp = Now() - 90.0 / 86400.0;
  scan().PortVerdict(*m, true, 6000);
  EXPECT_EQ(m->status, "yellow");
  EXPECT_EQ(RecordLines(Log("web1")).back(), "web1 PORT 25 UP 6000ms 0Bytes Downtime=2 min");
}

TEST_F(StatusStepTest, NeverCheckedMonitorsTurnRedAtOnceAndGreenStaysGreenWhenSlow) {
  Monitor* fresh = AddMonitor(web1_, "ping");
  scan().PingVerdict(*fresh, false, 10000, "Request timed out");
  EXPECT_EQ(fresh->status, "red");
  EXPECT_EQ(fresh->lostCount, 2);
  EXPECT_EQ(program_->events,
            std::vector<std::string>{"Default|web1 PING DOWN (Request timed out)|web1|DOWN (2)|2"});

  Monitor* stopped = AddMonitor(web1_, "ping");
  stopped->status = "?";
  stopped->SetValue("GYtoR", "none");
  scan().PingVerdict(*stopped, false, 10000, "Request timed out");
  EXPECT_EQ(stopped->status, "red");
  EXPECT_EQ(program_->events.size(), 1u);

  Monitor* green = AddMonitor(web1_, "ping");
  green->status = "green";
  scan().PingVerdict(*green, true, 6000, "No error");
  EXPECT_EQ(green->status, "green");
  Monitor* yellow = AddMonitor(web1_, "ping");
  yellow->status = "yellow";
  scan().PingVerdict(*yellow, true, 10, "No error");
  EXPECT_EQ(yellow->status, "green");
  EXPECT_EQ(RecordLines(Log("web1")).back(), "web1 PING 0 OK 10ms 56Bytes No error");
}

// A hand-written server file often names no Logfile: the monitor must still alert, and
// its records go to the name the editor would have proposed.
TEST_F(StatusStepTest, AServerWithoutLogfileTurnsRedAndRunsItsEvent) {
  WriteFile(dir_->File("hand.mcf"), "[db1]\nIP=127.0.0.1\n[db1:ping]\nTyp=ping\n");
  program_->serverList.LoadFromFile(dir_->File("hand.mcf"));
  Monitor* m = program_->serverList.Items(0)->ports.Items(0);
  m->status = "green";
  for (int i = 0; i < 2; ++i) scan().PingVerdict(*m, false, 10005, "Request timed out");
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(program_->events, std::vector<std::string>{
                                  "Default|db1 PING DOWN (Request timed out)|db1|DOWN (2)|2"});
  EXPECT_EQ(RecordLines(Log("db1")),
            (std::vector<std::string>{
                "db1 PING 0 LOST 10005ms 56Bytes Request timed out",
                "db1 PING 0 DOWN 10005ms 56Bytes Request timed out (2 lost)",
                "db1 PING 0 LOST 10005ms 56Bytes Request timed out (2 lost)",
            }));
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(program_->serverList.Items(0)->logfile, "");
}

// A record that cannot be written is an error for the errors log, but the colour step and
// the events of the check go on; the next record is written once the log can take it.
TEST_F(StatusStepTest, ARecordThatCannotBeWrittenStopsNeitherColourNorEvents) {
  Monitor* m = AddMonitor(web1_, "port", 25);
  m->status = "green";
  m->SetValue("GtoY", "Warn");
  m->lastUp = Now();
  web1_->logfile = "missing-dir/web1.log";
  scan().PortVerdict(*m, false, 10);
  scan().PortVerdict(*m, false, 10);
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(m->lostCount, 2);
  EXPECT_EQ(program_->events,
            (std::vector<std::string>{"Warn|web1 PORT 25 LOST|web1|LOST|1",
                                      "Default|web1 PORT 25 DOWN|web1|DOWN (2)|2"}));
  // LOST, LOST and DOWN: each one reported, each one still shown in its pane.
  ASSERT_EQ(errors_.size(), 3u);
  EXPECT_NE(errors_[0].find("missing-dir/web1.log"), std::string::npos) << errors_[0];
  EXPECT_EQ(RecordLines(program_->messagePane).back(), "web1 PORT 25 DOWN 10ms 0Bytes  (2 lost)");
  EXPECT_EQ(RecordLines(program_->activityPane).size(), 2u);

  web1_->logfile = "web1.log";
  scan().PortVerdict(*m, true, 10);
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(RecordLines(Log("web1")).back(), "web1 PORT 25 UP 10ms 0Bytes Downtime=0 min");
}

// An event whose action fails (a mail template that is gone) is an errors-log line; the
// check still writes its records and changes colour. Otherwise a recovered monitor would
// stay red, writing UP and raising its event again at every check.
TEST_F(StatusStepTest, AFailingEventActionStopsNeitherRecordsNorColour) {
  Event* ev = program_->eventList.Items(0);
  ev->UsePopup = false;
  ev->UseMail = true;
  ev->Mailtext = dir_->File("no-such-template.txt");
  Monitor* m = AddMonitor(web1_, "ping");
  m->status = "green";
  m->lastUp = Now();
  m->SetValue("GtoY", "Default");
  m->SetValue("RYtoG", "Default");
  for (int i = 0; i < 3; ++i) scan().PingVerdict(*m, false, 10005, "Request timed out");
  EXPECT_EQ(m->status, "red");
  scan().PingVerdict(*m, true, 12, "No error");
  scan().PingVerdict(*m, true, 12, "No error");
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out",
                "web1 PING 0 DOWN 10005ms 56Bytes Request timed out (2 lost)",
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out (2 lost)",
                "web1 PING 0 LOST 10005ms 56Bytes Request timed out (3 lost)",
                "web1 PING 0 OK 12ms 56Bytes No error",
                "web1 PING 0 UP 12ms 56Bytes No error Downtime=0 min",
                "web1 PING 0 OK 12ms 56Bytes No error",
            }));
  ASSERT_FALSE(errors_.empty());
  EXPECT_NE(errors_[0].find("no-such-template.txt"), std::string::npos) << errors_[0];
}

TEST_F(StatusStepTest, AnEventThatDeletesTheMonitorEndsTheStepQuietly) {
  Monitor* m = AddMonitor(web1_, "ping");
  m->status = "yellow";
  // A popup action whose pump runs the operator's "delete server".
  Event* ev = program_->eventList.Items(0);
  ASSERT_EQ(ev->name, "Default");
  ev->count[kPopup] = 2;
  struct Deleting : EventActions {
    ServerList* list;
    void DoNetSend(const Event&, const std::string&, const std::string&,
                   const std::string&) override {}
    void DoPopup(const Event&, const std::string&) override { list->Delete(0); }
    void DoExe(const Event&, const std::string&, const std::string&, const std::string&) override {}
    Task<void> DoMail(Event, std::string, std::string, std::string) override { co_return; }
    Task<void> DoShutdown(Event) override { co_return; }
    Task<void> DoSound(Event) override { co_return; }
    Task<void> DoSerial(Event) override { co_return; }
    void DoPrint(const Event&, const std::string&, const std::string&) override {}
  } deleting;
  deleting.list = &program_->serverList;
  program_->eventList.context.actions = &deleting;
  program_->eventList.RunEvent("Default", "m", "web1", "x", 1);  // arm nothing, clear flag
  m->lostCount = 2;
  m->status = "red";
  scan().PingVerdict(*m, false, 10, "Request timed out");  // 3 > 2: the popup deletes
  EXPECT_EQ(program_->serverList.Count(), 0);
  program_->eventList.context.actions = nullptr;
}

// Two monitors on one event: each outage raises its own popup once, whatever the other
// monitor's outage did before or does meanwhile.
TEST_F(StatusStepTest, EachMonitorsOutageRaisesItsOwnAlertOnce) {
  Monitor* a = AddMonitor(web1_, "ping");
  Monitor* b = AddMonitor(AddServer("db1"), "ping");
  a->status = b->status = "green";
  auto fail = [&](Monitor* m, int times) {
    for (int i = 0; i < times; ++i) scan().PingVerdict(*m, false, 10005, "Request timed out");
  };
  fail(a, 3);  // web1 down past the latency: one popup
  ASSERT_EQ(frontend_.popups.size(), 1u);
  fail(b, 2);
  fail(a, 1);  // web1 still down: nothing again
  fail(b, 1);  // db1's own outage passes the gate: its popup comes
  ASSERT_EQ(frontend_.popups.size(), 2u);
  EXPECT_NE(frontend_.popups[1].find("db1 PING DOWN"), std::string::npos);
  fail(a, 2);
  fail(b, 2);
  EXPECT_EQ(frontend_.popups.size(), 2u);
}

}  // namespace
}  // namespace sentrel::test
