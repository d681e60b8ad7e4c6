#include "scan/ping_check.h"

#include <sys/stat.h>

#include "model/last_activity.h"
#include "platform/error.h"
#include "platform/icmp_echo.h"
#include "platform/process.h"
#include "support/netns.h"
#include "support/network_fixture.h"
#include "support/web_servers.h"

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
  std::string data = Pinger::EchoData();
  ASSERT_EQ(data.size(), 56u);
  EXPECT_EQ(data.substr(0, 45), Pinger::kGreeting);
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
  Server* s = AddServer("localhost");  // no ip: the name is pinged
  Monitor* m = AddMonitor(s, "ping");
  ASSERT_EQ(m->port, 0);
  RunToCompletion(checks().DoAping(*m));
  auto lines = RecordLines(Log("localhost"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsWithNumber(lines[0], "localhost PING 0 OK ", "ms 56Bytes No error")) << lines[0];
  EXPECT_EQ(m->status, "green");
  EXPECT_EQ(LastActivity, "LogResult " + lines[0]);
}

TEST_F(PingCheckTest, UnresolvableNameGivesBothMessagesAndThenAFailure) {
  Server* s = AddServer("web1");
  s->name = "no such host";
  Monitor* m = AddMonitor(s, "ping");
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
    Server* s = AddServer("web1");
    s->ip = "127.0.0.1";
    Monitor* m = AddMonitor(s, "ping");
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
  InOrder();
  Server* s = AddServer("web1");
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
        loop.WaitUntil([&] { return program_->serverList.Items(1)->ports.Items(0)->check; },
                       20'000);
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

// IPv6: an address in the IP field is pinged over ICMPv6, and a name with addresses of
// both families is pinged at the first one the resolver gives.
TEST_F(PingCheckTest, Ipv6AddressesAndNamesOfBothFamilies) {
  std::string why;
  if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  Server* s = AddServer("web1");
  s->ip = "::1";
  Monitor* m = AddMonitor(s, "ping");
  RunToCompletion(checks().DoAping(*m));
  auto lines = RecordLines(Log("web1"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsWithNumber(lines[0], "web1 PING 0 OK ", "ms 56Bytes No error")) << lines[0];
  EXPECT_EQ(m->status, "green");
}

TEST_F(PingCheckTest, ANameWithAddressesOfBothFamiliesIsPingedAtTheFirst) {
  std::string why;
  if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  switch (WhereLocalhostIsOnBothFamilies(&why)) {
    case LocalhostOnBothFamilies::Unavailable:
      GTEST_SKIP() << why;
    case LocalhostOnBothFamilies::RanElsewhere:
      return;
    case LocalhostOnBothFamilies::Here:
      break;
  }
  Pinger ping;
  ping.timeout = 10000;
  ping.SetAddress("localhost");
  EXPECT_EQ(RunToCompletion(ping.Ping()), 1);
  EXPECT_EQ(ping.hostIp, "::1");
  EXPECT_EQ(ping.targets.size(), 2u);
}

// An ordinary user on a machine that lets nobody open ping sockets (the group range
// "1 0") and gives raw sockets only to root: the system's ping sends the echo. Each test
// runs in a network namespace of its own, so its settings stay there, with defaults other
// than 64 for the time to live, so that only what the check asks for gives 64.
class PingAsOrdinaryUserTest : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    // The child, as nobody, writes the records into our data directory.
    chmod(dir_->Path().c_str(), 0777);
  }
  // Runs body in the namespace as nobody; prepare runs before, still as root. The
  // result is the body's text, or "SKIP " and the reason.
  std::string Run(const std::function<void()>& prepare, const std::function<std::string()>& body) {
    std::string output;
    bool ran = RunInNetworkNamespace(
        [&]() -> std::string {
          if (!WriteProcSys("net/ipv4/ping_group_range", "1 0")) return "SKIP no ping_group_range";
          WriteProcSys("net/ipv4/ip_default_ttl", "99");
          WriteProcSys("net/ipv6/conf/all/hop_limit", "99");
          WriteProcSys("net/ipv6/conf/lo/hop_limit", "99");
          OwnLoop own(clock_, &errors_);
          prepare();
          std::string why;
          if (!BecomeNobody(&why)) return "SKIP " + why;
          if (IcmpAvailable()) return "this user may still open an ICMP socket";
          return body();
        },
        output);
    return ran ? output : "SKIP " + output;
  }
  static bool HasSystemPing() { return !FindProgram("ping").empty(); }
  std::string Messages() {
    std::string out;
    for (const auto& line : RecordLines(program_->messagePane))
      if (line.find("Ping checks ") != std::string::npos) out += line + "\n";
    return out;
  }
};

TEST_F(PingAsOrdinaryUserTest, TheSystemPingSends56BytesWithTtl64AndTheRecordsAreAsAlways) {
  if (!HasSystemPing()) GTEST_SKIP() << "no ping program (Debian package iputils-ping)";
  const bool ipv6 = LoopbackIpv6(nullptr);
  Server* v4 = AddServer("web1");
  v4->ip = "127.0.0.1";
  Server* v6 = AddServer("web2");
  v6->ip = "::1";
  std::unique_ptr<EchoRequestRecorder> seen4, seen6;
  std::string out = Run(
      [&] {
        seen4 = std::make_unique<EchoRequestRecorder>(AF_INET);
        if (ipv6) seen6 = std::make_unique<EchoRequestRecorder>(AF_INET6);
      },
      [&]() -> std::string {
        std::string result;
        for (Server* s : {v4, v6}) {
          if (s == v6 && !ipv6) continue;
          Monitor* m = AddMonitor(s, "ping");
          RunToCompletion(checks().DoAping(*m));
          EchoRequestRecorder& seen = s == v4 ? *seen4 : *seen6;
          CurrentLoop().WaitUntil([&] { return !seen.Seen().empty(); }, 2000);
          result += m->status + " " + (seen.Seen().empty() ? "-" : seen.Seen()[0]) + "; ";
        }
        return result + Messages();
      });
  if (out.rfind("SKIP ", 0) == 0) GTEST_SKIP() << out.substr(5);
  // The messages pane says once, for all checks of the run, that the system's ping sends.
  EXPECT_EQ(out, std::string(ipv6 ? "green ttl=64 data=56; green ttl=64 data=56; "
                                  : "green ttl=64 data=56; ") +
                     SystemPingMessage(sentrel::FindProgram("ping").value_or("")) + "\n");
  for (const char* server : {"web1", "web2"}) {
    if (std::string(server) == "web2" && !ipv6) continue;
    auto lines = RecordLines(Log(server));
    ASSERT_EQ(lines.size(), 1u) << server;
    EXPECT_TRUE(IsWithNumber(lines[0], std::string(server) + " PING 0 OK ", "ms 56Bytes No error"))
        << lines[0];
  }
  if (!ipv6) GTEST_SKIP() << "no IPv6 on loopback: only the IPv4 ping was checked";
}

TEST_F(PingAsOrdinaryUserTest, ASilentHostTimesOutAfterTenSecondsAndAnErrorGivesItsText) {
  if (!HasSystemPing()) GTEST_SKIP() << "no ping program (Debian package iputils-ping)";
  Server* silent = AddServer("web1");
  silent->ip = "127.0.0.1";
  Monitor* m1 = AddMonitor(silent, "ping");
  m1->status = "green";
  std::string out = Run([] { WriteProcSys("net/ipv4/icmp_echo_ignore_all", "1"); },
                        [&]() -> std::string {
                          RunToCompletion(checks().DoAping(*m1));
                          return m1->status;
                        });
  if (out.rfind("SKIP ", 0) == 0) GTEST_SKIP() << out.substr(5);
  EXPECT_EQ(out, "yellow");
  EXPECT_EQ(RecordLines(Log("web1")),
            std::vector<std::string>{"web1 PING 0 LOST 10000ms 56Bytes Request timed out"});

  Server* unreachable = AddServer("web2");
  unreachable->ip = "127.0.0.1";
  Monitor* m2 = AddMonitor(unreachable, "ping");
  m2->status = "green";
  std::unique_ptr<IcmpResponder> router;
  out = Run(
      [&] {
        WriteProcSys("net/ipv4/icmp_echo_ignore_all", "1");
        router = std::make_unique<IcmpResponder>(3, 1);
      },
      [&]() -> std::string {
        RunToCompletion(checks().DoAping(*m2));
        return m2->status;
      });
  EXPECT_EQ(out, "yellow");
  EXPECT_EQ(RecordLines(Log("web2")),
            std::vector<std::string>{"web2 PING 0 LOST 0ms 56Bytes Destination host unreachable"});
}

// Without the ping program as well, the check fails where the operator sees it: the
// reason in the record, the light red, and once per run the way to mend it.
TEST_F(PingAsOrdinaryUserTest, WithoutAPingProgramTheCheckFailsVisiblyAndSaysHowToMendItOnce) {
  Server* s = AddServer("web1");
  s->ip = "127.0.0.1";
  Monitor* m = AddMonitor(s, "ping");
  Server* s2 = AddServer("web2");
  s2->ip = "::1";
  Monitor* second = AddMonitor(s2, "ping");
  std::string out = Run([] {},
                        [&]() -> std::string {
                          setenv("PATH", "/nonexistent", 1);
                          RunToCompletion(checks().DoAping(*m));
                          RunToCompletion(checks().DoAping(*second));
                          RunToCompletion(checks().DoAping(*m));
                          return m->status + " " + second->status + "\n" + Messages() +
                                 std::to_string(errors_.size()) + " error(s)";
                        });
  if (out.rfind("SKIP ", 0) == 0) GTEST_SKIP() << out.substr(5);
  const std::string reason =
      "this user may open no ICMP socket and there is no ping program on the PATH";
  EXPECT_EQ(
      out,
      "red red\nPing checks cannot send any echo request (" + reason +
          "). Install the ping program (Debian: apt install iputils-ping), or let "
          "this user's group open ping sockets (sysctl net.ipv4.ping_group_range)\n0 error(s)");
  EXPECT_EQ(RecordLines(Log("web1")),
            (std::vector<std::string>{
                "web1 PING 0 DOWN 0ms 56Bytes Unable to get ping handle: " + reason + " (2 lost)",
                "web1 PING 0 LOST 0ms 56Bytes Unable to get ping handle: " + reason + " (2 lost)",
                "web1 PING 0 LOST 0ms 56Bytes Unable to get ping handle: " + reason + " (3 lost)",
            }));
}

}  // namespace
}  // namespace sentrel::test
