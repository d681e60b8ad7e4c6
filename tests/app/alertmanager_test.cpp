// Alerts for Alertmanager: what is posted when (against a receiver on the fake clock),
// then the real thing from Debian: one Alertmanager that shows the alert active and then
// resolved, and two clustered ones that, fed by two Sentrels, notify once per outage.
#include "app/alertmanager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "model/server_list.h"
#include "platform/date_time.h"
#include "scan/http_post.h"
#include "support/alertmanager_server.h"
#include "support/http_receiver.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;

const Json kLabels = {{"alertname", "SentrelMonitorDown"},
                      {"server", "db1"},
                      {"monitor", "postgres"},
                      {"type", "port"},
                      {"port", "5432"},
                      {"group", "Databases"},
                      {"severity", "critical"}};

class AlertmanagerNotifierTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    Server* s = servers_.Items(servers_.Add("db1"));
    s->group = "Databases";
    monitor_ = s->ports.Items(s->ports.Add("port"));
    monitor_->name = "postgres";
    monitor_->port = 5432;
    monitor_->status = "red";
    monitor_->lastErrorRecord = "2026-12-08 10:00:00 db1 PORT 5432 DOWN ()";
    // On the test's loop, which exists from here on.
    am_ = std::make_unique<HttpReceiver>(
        [this](const ReceivedRequest&) { return HttpReply(status_, "Answer"); });
    notifier_ = std::make_unique<AlertmanagerNotifier>(
        poster_, AlertmanagerNotifier::Host{[this](const Monitor&) { return held_; },
                                            [] { return std::string("http://mon1:8080/"); }});
  }
  void TearDown() override {
    notifier_.reset();
    am_.reset();
    CoreFixture::TearDown();
  }
  // The alerts of the receiver's requests since the one numbered `from`, in order.
  std::vector<Json> Alerts(size_t from = 0) {
    std::vector<Json> alerts;
    for (size_t i = from; i < am_->Requests().size(); ++i) {
      EXPECT_EQ(am_->Requests()[i].target, "/prefix/api/v2/alerts");
      for (const Json& a : Json::parse(am_->Requests()[i].body)) alerts.push_back(a);
    }
    return alerts;
  }
  double Seconds(const Json& time) const {
    std::string t = time.get<std::string>();
    auto date = ParseDate(t.substr(0, 10));
    auto clock = ParseTime(t.substr(11, 8));
    return (*date + *clock) * kSecondsPerDay + std::stod(t.substr(19, 4));
  }

  int status_ = 200;
  ServerList servers_;
  Monitor* monitor_ = nullptr;
  ClientHttpPoster poster_;
  bool held_ = false;
  std::unique_ptr<HttpReceiver> am_;
  std::unique_ptr<AlertmanagerNotifier> notifier_;
};

TEST_F(AlertmanagerNotifierTest, FiresAtOnceRepeatsEveryMinuteAndResolvesWhatEnds) {
  EXPECT_EQ(notifier_->SetUrls(am_->Url("/prefix/") + " , ftp://x  http://"),
            (std::vector<std::string>{"ftp://x: scheme ftp: the check speaks only http and https",
                                      "http://: no host"}));
  EXPECT_EQ(notifier_->Endpoints(), std::vector<std::string>{am_->Url("/prefix/api/v2/alerts")});

  notifier_->Fire(*monitor_, "db1 PORT 5432 DOWN ()");
  notifier_->Fire(*monitor_, "db1 PORT 5432 DOWN () again");  // the minute's repeat carries it
  ASSERT_TRUE(loop_->WaitUntil([&] { return notifier_->PostsUnderWay() == 0; }, 10'000));
  std::vector<Json> alerts = Alerts();
  ASSERT_EQ(alerts.size(), 1u) << ::testing::PrintToString(errors_);
  EXPECT_EQ(alerts[0]["labels"], kLabels);
  EXPECT_EQ(alerts[0]["annotations"]["summary"], "db1 PORT 5432 DOWN ()");
  EXPECT_EQ(alerts[0]["annotations"]["record"], monitor_->lastErrorRecord);
  EXPECT_EQ(alerts[0]["generatorURL"], "http://mon1:8080/");
  const double starts = Seconds(alerts[0]["startsAt"]);
  EXPECT_NEAR(Seconds(alerts[0]["endsAt"]) - starts, 240, 0.01);

  // A minute on: again, valid for four more minutes, with the latest message.
  clock_.AdvanceMs(AlertmanagerNotifier::kRepeatMs);
  ASSERT_TRUE(loop_->WaitUntil([&] { return am_->Requests().size() == 2; }, 10'000));
  alerts = Alerts(1);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(Seconds(alerts[0]["startsAt"]), starts);
  EXPECT_NEAR(Seconds(alerts[0]["endsAt"]) - starts, 300, 0.01);
  EXPECT_EQ(alerts[0]["annotations"]["summary"], "db1 PORT 5432 DOWN () again");

  // Whatever ends it (green, held back, deleted) posts it resolved, ending now.
  const std::vector<std::function<void()>> endings = {
      [&] { monitor_->status = "green"; },
      [&] { held_ = true; },
      [&] { servers_.Items(0)->ports.Delete(0); },
  };
  for (const auto& end : endings) {
    // The first ends the alert that fires since the start; the others fire a new one.
    const bool firing = notifier_->FiringCount() == 1;
    monitor_->status = "red";
    held_ = false;
    const size_t before = am_->Requests().size();
    notifier_->Fire(*monitor_, "down");
    end();
    notifier_->Sweep();
    EXPECT_EQ(notifier_->FiringCount(), 0u);
    ASSERT_TRUE(loop_->WaitUntil([&] { return notifier_->PostsUnderWay() == 0; }, 10'000));
    alerts = Alerts(before);
    ASSERT_EQ(alerts.size(), firing ? 1u : 2u);
    EXPECT_EQ(alerts.back()["labels"], kLabels);
    EXPECT_NEAR(Seconds(alerts.back()["endsAt"]),
                Now() * kSecondsPerDay - LocalUtcOffsetMinutes() * 60.0, 0.01);
  }
  clock_.AdvanceMs(5 * AlertmanagerNotifier::kRepeatMs);
  EXPECT_EQ(am_->Requests().size(), 7u) << "nothing fires, nothing is repeated";
}

// An Alertmanager that turns the alerts away is said once, and once when it takes them.
TEST_F(AlertmanagerNotifierTest, AnAlertmanagerThatFailsIsReportedOnceAndAgainWhenItWorks) {
  notifier_->SetUrls(am_->Url("/prefix"));
  status_ = 503;
  notifier_->Fire(*monitor_, "down");
  for (size_t posts = 1; posts <= 5; ++posts) {
    if (posts == 5) status_ = 200;
    if (posts > 1) clock_.AdvanceMs(AlertmanagerNotifier::kRepeatMs);
    ASSERT_TRUE(loop_->WaitUntil([&] { return notifier_->PostsUnderWay() == 0; }, 10'000));
    ASSERT_EQ(am_->Requests().size(), posts);
  }
  ASSERT_EQ(errors_.size(), 2u);
  EXPECT_THAT(errors_[0], HasSubstr("Alertmanager " + am_->Url("/prefix/api/v2/alerts") +
                                    " did not take the alerts: HTTP 503 Answer"));
  EXPECT_THAT(errors_[1], HasSubstr("takes the alerts again"));
}

// The real program against real Alertmanagers: a port monitor on a loopback port that
// refuses (bound, not listening) until the test lets it listen.
class AlertmanagerE2eTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetAutoAdvance(false);  // everything here runs in real time
    fd_ = BindLoopback(SOCK_STREAM, &port_);
    WriteFile(dir_->File("servers.mcf"),
              "[db1]\r\nIP=127.0.0.1\r\nLogfile=db1.log\r\nGroup=Databases\r\n[db1:postgres]\r\n"
              "Typ=port\r\nPort=" +
                  std::to_string(port_) + "\r\nData=RYtoG=Default\r\nintervall=1\r\n");
  }
  void TearDown() override {
    close(fd_);
    CoreFixture::TearDown();
  }
  // A headless Sentrel of its own data directory and settings, posting to these URLs.
  std::unique_ptr<ChildProcess> Sentrel(const std::string& name, const std::string& urls,
                                        const std::vector<std::string>& web = {"--no-web"}) {
    mkdir(dir_->File(name).c_str(), 0755);
    WriteFile(dir_->File(name + "/settings.ini"), "[Sentrel]\r\nAlertmanagerURLs=" + urls + "\r\n");
    std::vector<std::string> argv = {SENTREL_BINARY, "--headless",
                                     "--data-dir",   dir_->File(name),
                                     "--settings",   dir_->File(name + "/settings.ini")};
    argv.insert(argv.end(), web.begin(), web.end());
    argv.push_back(dir_->File("servers.mcf"));
    return std::make_unique<ChildProcess>(argv, dir_->File(name));
  }
  static Json Active(const AlertmanagerServer& am) {
    const std::string body = am.Get("/api/v2/alerts");
    return body.empty() ? Json::array() : Json::parse(body);
  }
  // The alerts of the notifications the receiver got with this status.
  static std::vector<Json> Notified(const HttpReceiver& hook, const std::string& status) {
    std::vector<Json> alerts;
    for (const ReceivedRequest& r : hook.Requests()) {
      const Json n = Json::parse(r.body);
      if (n["status"] == status)
        for (const Json& a : n["alerts"]) alerts.push_back(a);
    }
    return alerts;
  }
  Json Labels() const {
    Json labels = kLabels;
    labels["monitor"] = "postgres";
    labels["port"] = std::to_string(port_);
    return labels;
  }

  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST_F(AlertmanagerE2eTest, TheAlertIsActiveWithItsLabelsThenResolvedAfterTheRecovery) {
  HttpReceiver hook;
  AlertmanagerServer am(hook.Url("/notify"));
  if (!am.Ok()) GTEST_SKIP() << am.Why();
  const uint16_t web = FreeLoopbackPort();
  auto sentrel =
      Sentrel("one", am.BaseUrl(), {"--web-ports", std::to_string(web), "--web-bind", "127.0.0.1"});

  Json alerts;
  ASSERT_TRUE(WaitReal([&] { return (alerts = Active(am)).size() == 1; }, 60'000))
      << sentrel->Stderr();
  EXPECT_EQ(alerts[0]["labels"], Labels());
  EXPECT_EQ(alerts[0]["status"]["state"], "active");
  EXPECT_THAT(alerts[0]["annotations"]["summary"].get<std::string>(),
              HasSubstr("db1 PORT " + std::to_string(port_) + " DOWN"));
  EXPECT_THAT(alerts[0]["annotations"]["record"].get<std::string>(), HasSubstr(" DOWN "));
  EXPECT_EQ(alerts[0]["generatorURL"], "http://127.0.0.1:" + std::to_string(web) + "/");
  ASSERT_TRUE(WaitReal([&] { return Notified(hook, "firing").size() == 1; }, 30'000));

  ASSERT_EQ(listen(fd_, 64), 0);  // the database is back
  ASSERT_TRUE(WaitReal([&] { return Active(am).empty(); }, 30'000)) << sentrel->Stderr();
  ASSERT_TRUE(WaitReal([&] { return Notified(hook, "resolved").size() == 1; }, 30'000));
  EXPECT_EQ(Notified(hook, "resolved")[0]["labels"], Labels());
  sentrel->Signal(SIGTERM);
  EXPECT_EQ(sentrel->Wait(15'000), 0) << sentrel->Stderr();
}

// Redundancy: two Sentrels watch the same file and post to both Alertmanagers of a
// cluster; the receiver hears of the outage once.
TEST_F(AlertmanagerE2eTest, TwoSentrelsAndAClusterOfTwoNotifyOncePerOutage) {
  HttpReceiver hook;
  const uint16_t gossip1 = FreeLoopbackPort(), gossip2 = FreeLoopbackPort();
  AlertmanagerServer am1(hook.Url("/notify"), gossip1);
  if (!am1.Ok()) GTEST_SKIP() << am1.Why();
  AlertmanagerServer am2(hook.Url("/notify"), gossip2, "127.0.0.1:" + std::to_string(gossip1));
  ASSERT_TRUE(am2.Ok()) << am2.Why();
  ASSERT_TRUE(WaitReal([&] { return am1.ClusterReady(2) && am2.ClusterReady(2); }, 30'000));

  const std::string both = am1.BaseUrl() + " " + am2.BaseUrl();
  auto a = Sentrel("a", both);
  auto b = Sentrel("b", both);
  ASSERT_TRUE(WaitReal([&] { return Active(am1).size() == 1 && Active(am2).size() == 1; }, 60'000))
      << a->Stderr() << b->Stderr();
  ASSERT_TRUE(WaitReal([&] { return !hook.Requests().empty(); }, 30'000));
  // Long enough for the second Alertmanager's turn (its peer timeout) and a repeat.
  WaitReal([] { return false; }, 8'000);
  a->Signal(SIGTERM);
  b->Signal(SIGTERM);
  EXPECT_EQ(a->Wait(15'000), 0) << a->Stderr();
  EXPECT_EQ(b->Wait(15'000), 0) << b->Stderr();

  EXPECT_EQ(hook.Requests().size(), 1u);
  const std::vector<Json> firing = Notified(hook, "firing");
  ASSERT_EQ(firing.size(), 1u);
  EXPECT_EQ(firing[0]["labels"], Labels());
}

}  // namespace
}  // namespace sentrel::test
