#include "scan/ping_check.h"

#include "model/last_activity.h"
#include "platform/error.h"
#include "platform/icmp_echo.h"
#include "support/netns.h"
#include "support/network_fixture.h"

namespace sentrel::test {
namespace {

bool IcmpAvailable() {
  try {
    IcmpEcho probe;
    return true;
  } catch (const SentrelError&) {
    return false;
  }
}

TEST(PingObjectTest, EchoDataIsTheGreetingPaddedWithBlanks) {
  std::string data = tmyicmp::EchoData();
  ASSERT_EQ(data.size(), 56u);
  EXPECT_EQ(data.substr(0, 45), tmyicmp::kGreeting);
  EXPECT_EQ(data.substr(45), std::string(11, ' '));
}

class PingCheckTest : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    if (!IcmpAvailable()) GTEST_SKIP() << "this machine allows no ICMP socket (ping or raw)";
  }
};

TEST_F(PingCheckTest, LocalhostAnswersAndGoesGreen) {
  TServer* s = AddServer("localhost");  // no ip: the name is pinged
  TPort* m = AddMonitor(s, "ping");
  ASSERT_EQ(m->port, 0);
  RunToCompletion(checks().DoAping(*m));
  auto lines = RecordLines(Log("localhost"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsWithNumber(lines[0], "localhost PING 0 OK ", "ms 56Bytes No error")) << lines[0];
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(LastActivity, "LogResult " + lines[0]);
}

TEST_F(PingCheckTest, UnresolvableNameGivesBothMessagesAndThenAFailure) {
  TServer* s = AddServer("web1");
  s->name = "no such host";
  TPort* m = AddMonitor(s, "ping");
  m->status = "green";
  RunToCompletion(checks().DoAping(*m));
  EXPECT_EQ(RecordLines(Log("web1")), (std::vector<std::string>{
                                          "Ping:Unable to resolve no such host",
                                          "Ping:Invalid host address",
                                          "no such host PING 0 LOST 0ms 56Bytes Bad Destination",
                                      }));
  auto pane = RecordLines(program_->activityPane);
  ASSERT_GE(pane.size(), 2u);
  EXPECT_EQ(pane[pane.size() - 3], "Unable to resolve no such host");
  EXPECT_EQ(pane[pane.size() - 2], "Invalid host address");
  EXPECT_EQ(m->status, "yellow");
  EXPECT_TRUE(errors_.empty());
}

// The outcomes that need a network of our own: inside a namespace made by the test, the
// kernel answers no echo, and a responder of the test plays a router that reports the
// host unreachable.
class PingCheckNamespaceTest : public PingCheckTest {
 protected:
  // Runs one ping check of a green monitor inside the namespace; the child writes the
  // records to the server's log file in our data directory.
  std::string RunInNamespace(bool unreachable) {
    TServer* s = AddServer("web1");
    s->ip = "127.0.0.1";
    TPort* m = AddMonitor(s, "ping");
    m->status = "green";
    std::string output;
    bool ran = RunInNetworkNamespace(
        [&]() -> std::string {
          if (!WriteProcSys("net/ipv4/icmp_echo_ignore_all", "1")) return "no echo switch";
          EventLoop loop;
          SetCurrentLoop(&loop);
          std::unique_ptr<IcmpResponder> responder;
          if (unreachable) responder = std::make_unique<IcmpResponder>(3, 1);
          RunToCompletion(checks().DoAping(*m));
          return m->status;
        },
        output);
    if (!ran) return "SKIP " + output;
    EXPECT_EQ(output, "yellow");
    return "";
  }
};

TEST_F(PingCheckNamespaceTest, NoReplyWithinTenSecondsIsARequestTimedOut) {
  std::string skip = RunInNamespace(false);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"web1 PING 0 LOST 10000ms 56Bytes Request timed out"});
}

TEST_F(PingCheckNamespaceTest, UnreachableAnswerIsAFailureWithItsText) {
  std::string skip = RunInNamespace(true);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"web1 PING 0 LOST 0ms 56Bytes Destination host unreachable"});
}

// A ping that waits for a reply that never comes ends at once when its monitor is
// deleted or the program quits: no record, nothing left waiting, no ten seconds.
TEST_F(PingCheckNamespaceTest, ADeletedMonitorOrAQuitEndsTheWaitAtOnce) {
  TServer* s = AddServer("web1");
  s->ip = "127.0.0.1";
  AddMonitor(s, "ping");
  AddMonitor(AddServer("db1"), "ping")->interval = 3600;
  program_->serverList.Items(1)->ip = "127.0.0.1";
  std::string output;
  bool ran = RunInNetworkNamespace(
      [&]() -> std::string {
        if (!WriteProcSys("net/ipv4/icmp_echo_ignore_all", "1")) return "no echo switch";
        EventLoop loop;
        SetCurrentLoop(&loop);
        clock_.AttachLoop(&loop);
        std::string out;
        // Deleted three seconds into its wait: the pass goes on to db1 at once.
        const int64_t start = clock_.MonotonicMs();
        loop.AddTimer(3000, [&] { s->ports.Delete(0); });
        program_->StartScan();
        loop.WaitUntil([&] { return program_->serverList.Items(1)->ports.Items(0)->check; }, 20'000);
        out += "deleted after " + std::to_string(clock_.MonotonicMs() - start) + " ms; ";
        // db1's ping now waits; the program quits two seconds into it.
        loop.AddTimer(2000, [&] { program_->RequestQuit(); });
        loop.WaitUntil([&] { return !program_->scanner.PassRunning(); }, 20'000);
        out += "quit after " + std::to_string(clock_.MonotonicMs() - start) + " ms; watched " +
               std::to_string(loop.WatchCount());
        return out;
      },
      output);
  if (!ran) GTEST_SKIP() << output;
  EXPECT_EQ(output, "deleted after 3000 ms; quit after 5000 ms; watched 0");
  EXPECT_EQ(Log("web1"), "");
  EXPECT_EQ(Log("db1"), "");
}

}  // namespace
}  // namespace sentrel::test
