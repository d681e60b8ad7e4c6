// Every monitor keeps its interval, whatever the others meet: web servers that accept
// and never answer, hundreds of silent hosts, a name server that never answers. The
// program object with its real checks on the loop, loopback peers, the fake clock.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/name_lookup.h"
#include "support/netns.h"
#include "support/network_fixture.h"

namespace sentrel::test {
namespace {

class CheckIntervalsTest : public NetworkCheckFixture {
 protected:
  Monitor* PortMonitor(const std::string& server, uint16_t port, int interval) {
    Server* s = AddServer(server);
    s->ip = "127.0.0.1";
    Monitor* m = AddMonitor(s, "port", port);
    m->interval = interval;
    return m;
  }

  // How often each watched monitor was checked, when first, and the largest time
  // between two of its checks.
  struct Checked {
    int times = 0;
    int64_t firstMs = -1;
    int64_t largestGapMs = 0;
  };
  std::map<const Monitor*, Checked> Watch(const std::vector<Monitor*>& monitors, int64_t forMs) {
    std::map<const Monitor*, Checked> seen;
    std::map<const Monitor*, int64_t> last;
    const int64_t start = clock_.MonotonicMs();
    for (Monitor* m : monitors) last[m] = start;
    loop_->WaitUntil(
        [&] {
          for (Monitor* m : monitors) {
            if (m->lastCheckMono <= last[m]) continue;
            Checked& c = seen[m];
            if (c.times++ == 0)
              c.firstMs = m->lastCheckMono - start;
            else
              c.largestGapMs = std::max(c.largestGapMs, m->lastCheckMono - last[m]);
            last[m] = m->lastCheckMono;
          }
          return clock_.MonotonicMs() - start >= forMs;
        },
        forMs + 1000);
    return seen;
  }
  int LongPassNotes() {
    int n = 0;
    for (const std::string& line : program_->messagePane.Lines())
      n += line.find("A scan pass took") != std::string::npos;
    return n;
  }
};

// Twenty web servers that take the request and never answer: each HTTP check waits five
// seconds after aborting the one before, and holds up nothing but itself. A port
// monitor of two seconds keeps its interval within a second, checks in order or not.
TEST_F(CheckIntervalsTest, HungWebServersNeverDelayAFastMonitor) {
  LoopbackServer hung([](const std::string&) { return LoopbackServer::Reply::Silent(); });
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "in parallel" : "in order");
    program_->serverList.Clear();
    scan().SetParallel(parallel);
    std::vector<Monitor*> web;
    for (int i = 0; i < 20; ++i) {
      Monitor* m = AddMonitor(AddServer("web" + std::to_string(i)), "http");
      m->SetValue("url", hung.Url("/"));
      m->interval = 10;
      web.push_back(m);
    }
    Monitor* fast = PortMonitor("fast", open.Port(), 2);
    program_->StartScan();
    auto seen = Watch({fast, web.front(), web.back()}, 120'000);
    program_->StopScan();
    EXPECT_GE(seen[fast].times, 38);
    EXPECT_LE(seen[fast].firstMs, 3000);
    EXPECT_LE(seen[fast].largestGapMs, 3000);
    EXPECT_GE(seen[web.back()].times, 7) << "the hung servers are checked all the same";
    EXPECT_EQ(LongPassNotes(), 0);
  }
  EXPECT_NE(Log("web19").find("Request Timed Out"), std::string::npos);
}

// 600 silent ports at an interval of ten seconds, and two fast monitors after them in
// the file: every monitor is checked within 30 s, the fast ones on time. When fewer may
// run at once than are due, the ones due longest go first and nobody is starved.
TEST_F(CheckIntervalsTest, HundredsOfSilentPortsStarveNobody) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  struct Case {
    int silentPorts;
    int limit;  // 0: the descriptor budget alone
    int64_t watchMs;
    int silentChecksAtLeast;
    int64_t fastFirstAtMostMs;  // the queue ahead of it when all are due at once
    int64_t fastGapAtMostMs;
  };
  for (const Case& c :
       {Case{600, 0, 30'000, 1, 3000, 3000}, Case{300, 100, 120'000, 2, 35'000, 25'000}}) {
    SCOPED_TRACE(std::to_string(c.silentPorts) + " silent, limit " + std::to_string(c.limit));
    program_->serverList.Clear();
    scan().SetParallel(true, c.limit);
    std::vector<Monitor*> all;
    for (int i = 0; i < c.silentPorts; ++i)
      all.push_back(PortMonitor("quiet" + std::to_string(i), silent.Port(), 10));
    Monitor* fast1 = PortMonitor("fast1", open.Port(), 2);
    Monitor* fast2 = PortMonitor("fast2", open.Port(), 2);
    all.push_back(fast1);
    all.push_back(fast2);
    program_->StartScan();
    auto seen = Watch(all, c.watchMs);
    program_->StopScan();
    int starved = 0;
    for (int i = 0; i < c.silentPorts; ++i) starved += seen[all[i]].times < c.silentChecksAtLeast;
    EXPECT_EQ(starved, 0);
    for (Monitor* f : {fast1, fast2}) {
      EXPECT_GE(seen[f].times, 2);
      EXPECT_LE(seen[f].firstMs, c.fastFirstAtMostMs);
      EXPECT_LE(seen[f].largestGapMs, c.fastGapAtMostMs);
    }
    // Ending the scan ends the checks still waiting.
    ASSERT_TRUE(loop_->WaitUntil([&] { return scan().ChecksRunning() == 0; }, 20'000));
  }
}

// A name server that never answers, in a network and mount namespace of the test's own:
// /etc/resolv.conf there names a loopback UDP port that takes the queries and says
// nothing. Fifty monitors of names it is asked about fail at the end of their check's
// ten seconds, "name lookup timed out", while an HTTP monitor of "localhost" (the hosts
// file) stays green throughout.
TEST_F(CheckIntervalsTest, ASilentNameServerDelaysNoOtherName) {
  const std::string conf = dir_->File("resolv.conf");
  WriteFile(conf, "nameserver 127.0.0.1\n");
  std::string output;
  const bool ran = RunInNetworkNamespace(
      [&]() -> std::string {
        if (unshare(CLONE_NEWNS) < 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) < 0)
          return std::string("SKIP no private resolv.conf: ") + std::strerror(errno);
        std::vector<std::string> errors;
        OwnLoop own(clock_, &errors);
        // The namespace has a loopback of its own: the test's web server stays outside.
        LoopbackServer inside([](const std::string&) {
          return LoopbackServer::Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nfine");
        });
        uint16_t dnsPort = 53;
        const int dns = BindLoopback(SOCK_DGRAM, &dnsPort);
        Monitor* local = AddMonitor(AddServer("local"), "http");
        local->SetValue("url", "http://localhost:" + std::to_string(inside.Port()) + "/");
        local->interval = 5;
        std::vector<Monitor*> named;
        for (int i = 0; i < 50; ++i) {
          Monitor* m = AddMonitor(AddServer("silent" + std::to_string(i) + ".test"), "port", 80);
          m->interval = 10;
          named.push_back(m);
        }
        program_->StartScan();
        const int64_t start = clock_.MonotonicMs();
        own.loop().WaitUntil([&] { return clock_.MonotonicMs() - start >= 60'000; }, 61'000);
        program_->StopScan();
        int queries = 0;
        char packet[512];
        while (recv(dns, packet, sizeof packet, MSG_DONTWAIT) > 0) ++queries;
        close(dns);
        std::string out =
            "queries " + std::string(queries >= 50 ? ">= 50" : std::to_string(queries));
        int ok = 0, other = 0;
        for (const std::string& line : RecordLines(Log("local")))
          (line.find(" OK ") != std::string::npos ? ok : other) += 1;
        out += "; localhost " + std::string(ok >= 10 ? ">= 10 OK" : std::to_string(ok) + " OK") +
               ", " + std::to_string(other) + " other";
        int timedOut = 0, checked = 0;
        for (Monitor* m : named) {
          const auto lines = RecordLines(Log(m->server->name));
          checked += !lines.empty();
          timedOut += !lines.empty() &&
                      lines.front() ==
                          m->server->name + " PORT 80 LOST 10000ms 0Bytes name lookup timed out";
        }
        out += "; named " + std::to_string(checked) + " checked, " + std::to_string(timedOut) +
               " timed out at 10 s";
        return out;
      },
      output);
  if (!ran || output.rfind("SKIP", 0) == 0) GTEST_SKIP() << output;
  EXPECT_EQ(output,
            "queries >= 50; localhost >= 10 OK, 0 other; named 50 checked, 50 timed out at 10 s");
}

}  // namespace
}  // namespace sentrel::test
