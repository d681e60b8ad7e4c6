#include "scan/port_check.h"

#include "model/last_activity.h"
#include "support/netns.h"
#include "support/network_fixture.h"

namespace sentrel::test {
namespace {

class PortCheckTest : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    web1_ = AddServer("web1");
    web1_->ip = "127.0.0.1";
  }
  Monitor* MonitorFor(int port) {
    Monitor* m = AddMonitor(web1_, "port", port);
    m->SetValue("GtoY", "Warn");
    return m;
  }
  std::string P(int port) { return std::to_string(port); }
  Server* web1_;
};

TEST_F(PortCheckTest, OpenPortIsGreenAndThePeerGetsTheProbeThenAnOrderlyClose) {
  LoopbackServer peer([](const std::string&) { return LoopbackServer::Reply{}; });
  peer.SetComplete([](const std::string&) { return false; });
  Monitor* m = MonitorFor(peer.Port());
  const int64_t before = clock_.MonotonicMs();
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_LT(clock_.MonotonicMs() - before, 1000) << "an open port does not wait";
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"web1 PORT " + P(peer.Port()) + " OK 0ms 0Bytes "});
  ASSERT_TRUE(loop_->WaitUntil(
      [&] { return !peer.Connections().empty() && peer.Connections()[0]->peerClosed; }, 2000));
  EXPECT_EQ(peer.Connections()[0]->received, "Sentrel Test");
  EXPECT_FALSE(peer.Connections()[0]->reset);
  EXPECT_TRUE(errors_.empty());
}

// A refusal ends the check when it arrives, with the time it really took; the records,
// colours and events are those of any failed connection.
TEST_F(PortCheckTest, ClosedPortOnAGreenMonitorEndsAtTheRefusalAndAppliesTheFailureTwice) {
  ClosedPort closed;
  Monitor* m = MonitorFor(closed.Port());
  m->status = "green";
  const int64_t before = clock_.MonotonicMs();
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(clock_.MonotonicMs() - before, 0);
  const std::string p = P(closed.Port());
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PORT " + p + " LOST 0ms 0Bytes ",
                "web1 PORT " + p + " LOST 0ms 0Bytes Error=10057",
                "web1 PORT " + p + " DOWN 0ms 0Bytes Error=10057 (2 lost)",
            }));
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(m->lostCount, 2);
  EXPECT_EQ(m->lastResponseMs, 0);
  EXPECT_EQ(program_->events, (std::vector<std::string>{
                                  "Warn|web1 PORT " + p + " LOST|web1|LOST|1",
                                  "Default|web1 PORT " + p + " DOWN|web1|DOWN|2",
                              }));

  // Once red, each failed check adds two to the lost count.
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(m->lostCount, 4);
  EXPECT_EQ(program_->events.back(), "Default|web1 PORT " + p + " DOWN|web1|DOWN|4");
}

TEST_F(PortCheckTest, SilentPeerTimesOutAfterTenSeconds) {
  SilentPort silent;
  Monitor* m = MonitorFor(silent.Port());
  const int64_t before = clock_.MonotonicMs();
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(clock_.MonotonicMs() - before, 10000);
  const std::string p = P(silent.Port());
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PORT " + p + " LOST 10000ms 0Bytes ",
                "web1 PORT " + p + " DOWN 10000ms 0Bytes  (2 lost)",
                "web1 PORT " + p + " LOST 0ms 0Bytes Error=10057 (2 lost)",
            }));
  EXPECT_EQ(m->lostCount, 3);
}

TEST_F(PortCheckTest, UnresolvableNameIsLoggedAsAnErrorAndCountsAsAFailedCheck) {
  web1_->ip = "";
  web1_->name = "no such host";
  web1_->logfile = "web1.log";
  Monitor* m = MonitorFor(80);
  m->status = "green";
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(errors_,
            std::vector<std::string>{"SetAddr: Cannot convert host address 'no such host'"});
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"no such host PORT 80 LOST 0ms 0Bytes Error=11001"});
  EXPECT_EQ(m->status, "yellow");
  EXPECT_EQ(LastActivity, "LogResult no such host PORT 80 LOST 0ms 0Bytes Error=11001");
}

TEST_F(PortCheckTest, MonitorDeletedDuringTheWaitEndsTheCheckQuietly) {
  SilentPort silent;
  Monitor* m = MonitorFor(silent.Port());
  loop_->AddTimer(3000, [&] { web1_->ports.Delete(web1_->ports.IndexOf(m)); });
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(web1_->ports.Count(), 0);
  EXPECT_EQ(Log("web1"), "");
}

TEST_F(PortCheckTest, AScanPassRunsTheCheckAndSetsLastCheck) {
  LoopbackServer peer([](const std::string&) { return LoopbackServer::Reply{}; });
  peer.SetComplete([](const std::string&) { return false; });
  Monitor* m = MonitorFor(peer.Port());
  program_->StartScan();
  ASSERT_TRUE(WaitForChecks(5000));
  EXPECT_EQ(m->status, "green");
  EXPECT_NE(m->lastCheck, 0);
  program_->StopScan();
}

// IPv6: an address written in the IP field, and a name whose first address (::1) refuses
// while its second (127.0.0.1) answers, all within the one check.
class PortCheckIpv6Test : public PortCheckTest {
 protected:
  void SetUp() override {
    PortCheckTest::SetUp();
    std::string why;
    if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  }
};

TEST_F(PortCheckIpv6Test, AnIpv6AddressInTheIpFieldIsConnectedTo) {
  LoopbackServer peer([](const std::string&) { return LoopbackServer::Reply{}; }, AF_INET6);
  peer.SetComplete([](const std::string&) { return false; });
  Monitor* m = MonitorFor(peer.Port());
  for (const char* ip : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
    web1_->ip = ip;
    RunToCompletion(checks().DoAPort(*m));
    EXPECT_EQ(m->status, "green") << ip;
  }
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>(3, "web1 PORT " + P(peer.Port()) + " OK 0ms 0Bytes "));
  ASSERT_TRUE(loop_->WaitUntil(
      [&] { return peer.Connections().size() == 3 && peer.Connections()[2]->peerClosed; }, 2000));
  EXPECT_EQ(peer.Connections()[0]->received, "Sentrel Test");
  EXPECT_TRUE(errors_.empty());
}

TEST_F(PortCheckIpv6Test, ANameWhoseIpv6AddressRefusesIsCheckedAtItsIpv4Address) {
  std::string why;
  switch (WhereLocalhostIsOnBothFamilies(&why)) {
    case LocalhostOnBothFamilies::Unavailable:
      GTEST_SKIP() << why;
    case LocalhostOnBothFamilies::RanElsewhere:
      return;
    case LocalhostOnBothFamilies::Here:
      break;
  }
  // The IPv4 listener, and its port on ::1 closed.
  LoopbackServer peer([](const std::string&) { return LoopbackServer::Reply{}; });
  peer.SetComplete([](const std::string&) { return false; });
  ClosedPort closed(AF_INET6, peer.Port());
  web1_->ip = "localhost";
  Monitor* m = MonitorFor(peer.Port());
  clock_.SetAutoAdvance(false);
  RunToCompletion(checks().DoAPort(*m));
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"web1 PORT " + P(peer.Port()) + " OK 0ms 0Bytes "});
  ASSERT_TRUE(loop_->WaitUntil([&] { return !peer.Connections().empty(); }, 2000));
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace sentrel::test
