// Alerts an operator can live with: servers reached through a router that is down raise
// no alert of their own, maintenance holds alerts back and raises what still fails when
// it ends, and reminders repeat what acted. The program with its real loop; the router
// tests with real port checks against loopback listeners.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "model/maintenance.h"
#include "platform/date_time.h"
#include "platform/event_loop.h"
#include "support/http_receiver.h"
#include "support/network_fixture.h"

namespace sentrel::test {
namespace {

// The popups' texts without the time the popup puts before each.
std::vector<std::string> Texts(const std::vector<std::string>& popups) {
  std::vector<std::string> texts;
  for (const std::string& p : popups) texts.push_back(p.substr(p.find(' ', 11) + 1));
  return texts;
}

// A port on 127.0.0.1 that accepts, refuses (closed) or stays silent (its queue full),
// and keeps its number through all three.
class Door {
 public:
  Door() { Open(); }
  ~Door() { Shut(); }
  uint16_t Port() const { return port_; }
  void Open() { Listen(128); }
  void Close() { Shut(); }
  void Silence() {
    Listen(0);
    CurrentLoop().Unwatch(fd_);
    // Two handshakes fill the queue of a backlog of 0: the next one is dropped.
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port_);
    for (int i = 0; i < 2; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      fillers_.push_back(fd);
    }
    usleep(20'000);
  }

 private:
  void Listen(int backlog) {
    Shut();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port_);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(fd_, backlog) < 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    CurrentLoop().Watch(fd_, EPOLLIN, [this](uint32_t) {
      for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(c);
    });
  }
  void Shut() {
    for (int fd : fillers_) close(fd);
    fillers_.clear();
    if (fd_ < 0) return;
    if (CurrentLoop().IsWatched(fd_)) CurrentLoop().Unwatch(fd_);
    close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// A router and twenty servers reached through it, each with one port monitor. The
// children come first in the file, so that in order a pass meets them before the router.
class RouterTest : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    // Made on the test's own loop, and gone before it.
    routerDoor_ = std::make_unique<Door>();
    backAgain_ = std::make_unique<Door>();
    stayDown_ = std::make_unique<Door>();
    for (int i = 0; i < 20; ++i) {
      Server* s = AddServer("c" + std::to_string(i + 1));
      s->ip = "127.0.0.1";
      s->parents = {"router"};
      children_.push_back(AddMonitor(s, "port", (i < 17 ? backAgain_ : stayDown_)->Port()));
      children_.back()->interval = 10;
    }
    Server* r = AddServer("router");
    r->ip = "127.0.0.1";
    router_ = AddMonitor(r, "port", routerDoor_->Port());
    router_->interval = 10;
  }
  void TearDown() override {
    program_->StopScan();
    routerDoor_.reset();
    backAgain_.reset();
    stayDown_.reset();
    NetworkCheckFixture::TearDown();
  }
  bool AllChildren(const char* status) {
    return std::all_of(children_.begin(), children_.end(),
                       [&](const Monitor* m) { return m->status == status; });
  }
  // Serves the loop (on the fake clock) until the router has failed this often.
  void UntilRouterLost(int lost) {
    ASSERT_TRUE(loop_->WaitUntil([&] { return router_->lostCount >= lost; }, 600'000));
    ASSERT_TRUE(loop_->WaitUntil(
        [&] { return !program_->scanner.PassRunning() && program_->scanner.ChecksRunning() == 0; },
        60'000));
  }
  std::vector<std::string> Popups() const { return Texts(frontend_.popups); }
  std::string RouterDown() const {
    return "router PORT " + std::to_string(routerDoor_->Port()) + " DOWN";
  }

  std::unique_ptr<Door> routerDoor_, backAgain_, stayDown_;
  std::vector<Monitor*> children_;
  Monitor* router_ = nullptr;
};

TEST_F(RouterTest, OneAlertForTheRouterAndTheChildrenThatStayDownWhenItIsBack) {
  program_->StartScan();
  ASSERT_TRUE(
      loop_->WaitUntil([&] { return AllChildren("green") && router_->status == "green"; }, 60'000));
  routerDoor_->Close();
  backAgain_->Close();
  stayDown_->Close();
  UntilRouterLost(6);
  ASSERT_TRUE(AllChildren("red"));
  EXPECT_EQ(Popups(), std::vector<std::string>{RouterDown()});
  // Their checks and records go on as ever.
  EXPECT_NE(Log("c1").find("c1 PORT " + std::to_string(backAgain_->Port()) + " DOWN"),
            std::string::npos);
  for (const Monitor* child : children_) EXPECT_TRUE(child->alertRun.held) << child->server->name;

  // The router comes back; seventeen children with it, three stay down: their alerts
  // come as for a new outage, when their failures pass the latency counts again.
  routerDoor_->Open();
  backAgain_->Open();
  ASSERT_TRUE(loop_->WaitUntil([&] { return router_->status == "green"; }, 60'000));
  ASSERT_TRUE(loop_->WaitUntil([&] { return Popups().size() >= 4; }, 120'000));
  ASSERT_TRUE(loop_->WaitUntil([&] { return !program_->scanner.PassRunning(); }, 60'000));
  std::vector<std::string> expected{RouterDown()};
  for (int i = 18; i <= 20; ++i)
    expected.push_back("c" + std::to_string(i) + " PORT " + std::to_string(stayDown_->Port()) +
                       " DOWN");
  std::vector<std::string> popups = Popups();
  std::sort(popups.begin() + 1, popups.end());
  EXPECT_EQ(popups, expected);
  EXPECT_EQ(std::count_if(children_.begin(), children_.end(),
                          [](const Monitor* m) { return m->status == "green"; }),
            17);
  program_->StopScan();
}

// Checks in parallel: the children's refusals arrive at once, the silent router's
// verdict ten seconds later. The children's events wait for it and are then held back.
TEST_F(RouterTest, InParallelTheChildrenWaitForTheRoutersVerdict) {
  program_->scanner.SetParallel(true, 256);
  program_->StartScan();
  ASSERT_TRUE(
      loop_->WaitUntil([&] { return AllChildren("green") && router_->status == "green"; }, 60'000));
  routerDoor_->Silence();
  backAgain_->Close();
  stayDown_->Close();
  ASSERT_TRUE(loop_->WaitUntil([&] { return program_->scanner.Alerts().Waiting() == 20; }, 60'000));
  EXPECT_EQ(router_->status, "green") << "the router's verdict has not come yet";
  EXPECT_TRUE(AllChildren("red"));
  UntilRouterLost(5);
  for (const Monitor* child : children_) EXPECT_TRUE(child->alertRun.held) << child->server->name;
  EXPECT_EQ(Popups(), std::vector<std::string>{RouterDown()});
  program_->StopScan();
}

// Maintenance with the fake clock, checks scripted to fail: a weekly window and a one-off
// window hold every alert back; a monitor still red when its window ends alerts then,
// after its latency count as a new outage would.
class MaintenanceTest : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    clock_.SetAutoAdvance(false);
  }
  // Moves the clock a second at a time, serving the loop at each: passes, reminders.
  void RunUntil(const std::function<bool()>& done, int maxSeconds) {
    for (int i = 0; i < maxSeconds && !done(); ++i) {
      clock_.AdvanceMs(1000);
      for (int k = 0; k < 4; ++k) loop_->Pump();
    }
  }
};

TEST_F(MaintenanceTest, NothingActsInsideAndWhatStillFailsAlertsWhenTheWindowEnds) {
  // 2026-12-06 14:00, a Sunday.
  struct Case {
    const char* server;
    const char* window;
    double end;
  } cases[] = {
      {"weekly", "weekly Sat,Sun 13:00-14:30", EncodeDate(2026, 12, 6) + EncodeTime(14, 30, 0)},
      {"once", "2026-12-06 13:50..2026-12-06 14:45",
       EncodeDate(2026, 12, 6) + EncodeTime(14, 45, 0)}};
  for (const Case& c : cases) {
    Server* s = AddServer(c.server);
    std::vector<std::string> errors;
    s->maintenance = ParseMaintenance(c.window, &errors);
    ASSERT_TRUE(errors.empty());
    AddMonitor(s, "ping")->interval = 60;
  }
  checks_.fallback = [this](Monitor& m) {
    scan().PingVerdict(m, false, 10005, "Request timed out");
  };
  program_->StartScan();
  RunUntil([&] { return frontend_.popups.size() == 2; }, 7200);
  program_->StopScan();
  ASSERT_EQ(frontend_.popups.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(Texts(frontend_.popups)[i],
              std::string(cases[i].server) + " PING DOWN (Request timed out)");
    // The window's end, then the failure that passes the latency count.
    EXPECT_GT(frontend_.popupTimes[i], cases[i].end);
    EXPECT_LE(frontend_.popupTimes[i], cases[i].end + 3.0 / 1440);
  }
  // The failures inside were recorded and counted as ever.
  EXPECT_GE(program_->serverList.Items(1)->ports.Items(0)->lostCount, 45);
}

// RepeatMinutes=5 over an outage of 22 minutes: the act, four reminders, the recovery;
// the webhook with the popup.
TEST_F(MaintenanceTest, RemindersRepeatWhatActedUntilTheRecovery) {
  HttpReceiver hook;
  Event& page = *program_->eventList.Items(program_->eventList.Add("Page"));
  page.UsePopup = true;
  page.UseWebhook = true;
  page.WebhookURL = hook.Url("/page");
  page.WebhookBody = "<#msg>";
  page.RepeatMinutes = 5;
  Monitor* m = AddMonitor(AddServer("db1"), "ping");
  m->SetValue("GYtoR", "Page");
  m->SetValue("RYtoG", "Page");
  m->interval = 30;
  m->lastUp = Now();  // its last success: the start of the outage
  const std::string since = FormatDateTime(m->lastUp);
  bool down = true;
  checks_.fallback = [&](Monitor& p) {
    scan().PingVerdict(p, !down, down ? 10005 : 3, down ? "Request timed out" : "No error");
  };
  program_->StartScan();
  RunUntil([&] { return frontend_.popups.size() == 1; }, 600);
  ASSERT_EQ(frontend_.popups.size(), 1u);
  const double acted = frontend_.popupTimes[0];
  RunUntil([&] { return Now() >= acted + 22.0 / 1440; }, 3600);
  down = false;
  RunUntil([&] { return m->status == "green"; }, 600);
  RunUntil([] { return false; }, 15 * 60);  // nothing after the recovery
  program_->StopScan();

  const std::vector<std::string> texts = Texts(frontend_.popups);
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[0], "db1 PING DOWN (Request timed out)");
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(texts[static_cast<size_t>(i)],
              "Reminder: db1 PING DOWN (Request timed out), down since " + since);
    EXPECT_NEAR((frontend_.popupTimes[static_cast<size_t>(i)] - acted) * 1440, 5.0 * i, 0.01);
  }
  EXPECT_EQ(texts[5].rfind("db1 PING UP (No error), Downtime=", 0), 0u);
  EXPECT_EQ(program_->eventList.Reminders(), 0u);
  std::vector<std::string> posted;
  for (const ReceivedRequest& r : hook.Requests()) posted.push_back(r.body);
  EXPECT_EQ(posted, texts);
}

}  // namespace
}  // namespace sentrel::test
