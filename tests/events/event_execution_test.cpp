#include <string>
#include <vector>

#include "events/event_actions.h"
#include "events/event_list.h"
#include "events/placeholders.h"
#include "model/last_activity.h"
#include "model/text_pane.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

// Records the actions an execution runs, in order.
struct RecordingActions : EventActions {
  std::vector<std::string> calls;
  std::function<void(const std::string&)> during;  // runs inside each action
  std::string failOn;
  void Note(const std::string& what) {
    calls.push_back(what);
    if (during) during(what);
    if (what.rfind(failOn, 0) == 0 && !failOn.empty()) throw SentrelError("action failed");
  }
  void DoNetSend(const Event&, const std::string& m, const std::string&,
                 const std::string&) override {
    Note("netsend " + m);
  }
  void DoPopup(const Event&, const std::string& m) override { Note("popup " + m); }
  void DoExe(const Event&, const std::string& m, const std::string& s,
             const std::string& st) override {
    Note("exe " + m + "|" + s + "|" + st);
  }
  Task<void> DoMail(Event, std::string m, std::string, std::string) override {
    Note("mail " + m);
    co_return;
  }
  Task<void> DoShutdown(Event) override {
    Note("shutdown");
    co_return;
  }
  Task<void> DoSound(Event) override {
    Note("sound");
    co_return;
  }
  Task<void> DoSerial(Event) override {
    Note("serial");
    co_return;
  }
  void DoPrint(const Event&, const std::string& s, const std::string& st) override {
    Note("print " + s + " " + st);
  }
  void DoWebhook(const Event&, const std::string& m, const std::string&,
                 const std::string&) override {
    Note("webhook " + m);
  }
};

class EventExecutionTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    list_.context.actions = &actions_;
    list_.context.history = &pane_;
  }
  Event& AllActions(const std::string& name) {
    Event* ev = list_.Items(list_.Add(name));
    ev->UsePopup = ev->UseSound = ev->UseExe = ev->UseMail = ev->UseNetSend = true;
    ev->UseShutdown = ev->UsePrint = ev->UseSerial = ev->UseWebhook = true;
    return *ev;
  }
  EventList list_;
  RecordingActions actions_;
  TextPane pane_;
};

TEST_F(EventExecutionTest, ActionsRunInTheirFixedOrderAfterTheLatencyGate) {
  AllActions("E");
  list_.RunEvent("E", "msg", "web1", "DOWN (2)", 2);
  EXPECT_TRUE(actions_.calls.empty());
  list_.RunEvent("E", "msg", "web1", "DOWN (3)", 3);
  EXPECT_EQ(actions_.calls,
            (std::vector<std::string>{"netsend msg", "popup msg", "exe msg|web1|DOWN (3)",
                                      "webhook msg", "mail msg", "shutdown", "sound", "serial",
                                      "print web1 DOWN (3)"}));
  EXPECT_EQ(LastActivity, "IPEvent.Execute msg web1 DOWN (3)");
  actions_.calls.clear();
  list_.RunEvent("e", "msg", "web1", "DOWN (4)", 4);  // names match exactly
  list_.RunEvent("E", "msg", "web1", "DOWN (4)", 4);
  EXPECT_TRUE(actions_.calls.empty());
  list_.RunEvent("E", "up", "web1", "UP", 99999999);
  EXPECT_EQ(actions_.calls.size(), 9u);
}

// The gate counts each monitor's failure run: two monitors on one event neither silence
// nor repeat each other's alerts.
TEST_F(EventExecutionTest, LatencyCountThreeKeptPerMonitor) {
  Event* ev = list_.Items(list_.Add("Mail"));
  ev->UseMail = true;
  ev->count[kMail] = 3;
  constexpr uint64_t kOne = 11, kOther = 12;
  std::vector<int> sentAt;
  for (int n : {1, 2, 3, 4, 5, 6}) {
    size_t before = actions_.calls.size();
    list_.RunEvent("Mail", "m", "s", "x", n, kOne);
    if (actions_.calls.size() > before) sentAt.push_back(n);
  }
  EXPECT_EQ(sentAt, std::vector<int>{4});
  // The other monitor's outage while the first is still down: its own 4 fires, once.
  for (int n : {1, 2, 3, 4, 5}) list_.RunEvent("Mail", "m", "other", "x", n, kOther);
  EXPECT_EQ(actions_.calls.size(), 2u);
  // Its recovery reaches its own report only; the first monitor's outage goes on.
  list_.RunEvent("Mail", "up", "other", "UP", 99999999, kOther);
  EXPECT_EQ(actions_.calls.size(), 3u);
  list_.RunEvent("Mail", "m", "s", "x", 7, kOne);
  EXPECT_EQ(actions_.calls.size(), 3u);
  list_.RunEvent("Mail", "up", "s", "UP", 99999999, kOne);
  list_.RunEvent("Mail", "up", "s", "UP", 99999999, kOne);
  EXPECT_EQ(actions_.calls.size(), 5u);  // two recoveries in a row both fire
  // A monitor whose run never passed the gate reports no recovery.
  list_.RunEvent("Mail", "m", "third", "x", 1, 13);
  list_.RunEvent("Mail", "up", "third", "UP", 99999999, 13);
  EXPECT_EQ(actions_.calls.size(), 5u);
  EXPECT_FALSE(ev->notified[kMail]) << "the event's own flags are not the monitors'";
  EXPECT_TRUE(ev->NotifiedFor(kOne)[kMail]);
}

// Without a monitor (the event manager's tests) the event's own flags count, as always.
TEST_F(EventExecutionTest, LatencyCountThreeOnTheEventsOwnFlags) {
  Event* ev = list_.Items(list_.Add("Mail"));
  ev->UseMail = true;
  ev->count[kMail] = 3;
  for (int n : {1, 2, 3, 4, 5, 6}) list_.RunEvent("Mail", "m", "s", "x", n);
  EXPECT_EQ(actions_.calls.size(), 1u);
  list_.RunEvent("Mail", "up", "s", "UP", 99999999);
  EXPECT_EQ(actions_.calls.size(), 2u);
  EXPECT_TRUE(ev->notified[kMail]);
}

TEST_F(EventExecutionTest, ARecoveryOnlyEventNeverFires) {
  Event* ev = list_.Items(list_.Add("Back"));
  ev->UsePopup = true;
  list_.RunEvent("Back", "up", "s", "UP", 99999999);
  list_.RunEvent("Back", "up", "s", "UP", 99999999);
  EXPECT_TRUE(actions_.calls.empty());
}

// A mail server that refuses must not silence the sound, the serial script and the print
// notice after it, nor reach the check that raised the event.
TEST_F(EventExecutionTest, AFailingActionIsReportedAndTheOthersStillRun) {
  Event& ev = AllActions("E");
  actions_.failOn = "mail";
  EXPECT_NO_THROW(list_.RunEvent("E", "msg", "web1", "DOWN", 3));
  EXPECT_EQ(actions_.calls.size(), 9u);
  EXPECT_EQ(actions_.calls[4], "mail msg");
  EXPECT_EQ(actions_.calls.back(), "print web1 DOWN");
  EXPECT_EQ(errors_, std::vector<std::string>{"action failed"});
  // Tried once this run: its flag is set, so the next report of the run leaves it alone.
  EXPECT_TRUE(ev.notified[kMail]);
  EXPECT_TRUE(ev.notified[kSound]);
  list_.RunEvent("E", "msg", "web1", "DOWN", 4);
  EXPECT_EQ(actions_.calls.size(), 9u);
}

TEST_F(EventExecutionTest, TheEventListReplacedDuringAnActionIsNotTouched) {
  AllActions("E");
  actions_.during = [&](const std::string& what) {
    if (what.rfind("exe", 0) == 0) {
      // What the event editor's Cancel does while mail waits: every event is replaced.
      list_.Clear();
      list_.AddDefault();
    }
  };
  list_.RunEvent("E", "msg", "web1", "DOWN", 3);
  // The execution finished with the settings it started with, on no destroyed object.
  EXPECT_EQ(actions_.calls.size(), 9u);
  EXPECT_EQ(list_.Count(), 1);
  EXPECT_FALSE(list_.Items(0)->notified[kPopup]);
}

TEST_F(EventExecutionTest, PlaceholdersFillInTheirOrder) {
  clock_.SetNow(EncodeDate(2026, 12, 6) + EncodeTime(14, 3, 7));
  pane_.AddLine("2026-12-06 14:00:00 Sentrel 2.2 started");
  pane_.AddLine("2026-12-06 14:01:00 web1 PING 0 DOWN 10000ms 56Bytes Request timed out (2 lost)");
  pane_.AddLine("2026-12-06 14:01:30 Doing web1 things");
  pane_.AddLine("2026-12-06 14:02:00 db1 PORT 5432 DOWN 0ms 0Bytes  (2 lost)");
  EXPECT_EQ(ExpandPlaceholders("S=<#server> T=<#status> D=<#date> H=<#time> M=<#msg>.", "the msg",
                               "web1", "DOWN (2)", &pane_),
            "S=web1 T=DOWN (2) D=2026-12-06 H=14:03:07 M=the msg.");
  EXPECT_EQ(ExpandPlaceholders("<#msg><#msg>", "m", "s", "x", &pane_), "mm");
  EXPECT_EQ(ExpandPlaceholders("no placeholders", "m", "s", "x", &pane_), "no placeholders");
  EXPECT_EQ(ExpandPlaceholders("<#server>", "m", "a<#server>b", "x", &pane_), "a<#server>b");
  EXPECT_EQ(ExpandPlaceholders("<#server>", "m", "<#date>", "x", &pane_), "2026-12-06");
  EXPECT_EQ(ExpandPlaceholders("<#hist>", "m", "web1", "x", &pane_),
            "2026-12-06 14:01:00 web1 PING 0 DOWN 10000ms 56Bytes Request timed out (2 lost)\r\n");
  EXPECT_EQ(ExpandPlaceholders("<#hist>", "m", "nowhere", "x", &pane_), "");
  EXPECT_EQ(ExpandPlaceholders("<#hist>", "m", "", "x", &pane_), "");
  std::string all = ExpandPlaceholders("<#allhist>", "m", "s", "x", &pane_);
  EXPECT_EQ(all.rfind("2026-12-06 14:00:00 Sentrel 2.2 started\r\n", 0), 0u);
  EXPECT_EQ(all.find("Doing"), std::string::npos);
  // A message (which may come from a monitored server) is inserted as it is: history
  // placeholders inside it are not filled, those around it are.
  std::string hostile;
  for (int i = 0; i < 1000; ++i) hostile += "<#allhist>";
  std::string expanded = ExpandPlaceholders("<#msg>|<#hist>", hostile, "web1", "x", &pane_);
  EXPECT_EQ(expanded, hostile + "|" + ServerHistory(&pane_, "web1"));
  EXPECT_EQ(ExpandPlaceholders("a<#msg>b<#msg>c", "<#hist>", "web1", "x", &pane_),
            "a<#hist>b<#hist>c");
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

}  // namespace
}  // namespace sentrel::test
