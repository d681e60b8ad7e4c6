#include "scan/http_check.h"

#include "model/last_activity.h"
#include "model/server_list.h"
#include "scan/http_client.h"
#include "scan/scanner.h"
#include "support/loopback_server.h"
#include "support/netns.h"
#include "support/records.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

using Reply = LoopbackServer::Reply;

// The scan engine around the HTTP check, with a host whose events a test can act on.
class HttpCheckTest : public CoreFixture, public ScanHost {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetAutoAdvance(false);
    scan_ = std::make_unique<Scanner>(servers_, *this);
    http_ = std::make_unique<HttpChecks>(*scan_);
    web1_ = servers_.Items(servers_.Add("web1"));
    web1_->logfile = "web1.log";
  }
  void TearDown() override {
    http_.reset();
    servers_.Clear();
    CoreFixture::TearDown();
  }

  bool ScanningActive() const override { return true; }
  void SetActivityPanel(const std::string&) override {}
  void ScreenUpdate() override {}
  void RunEvent(const std::string& name, const std::string& message, const std::string& server,
                const std::string& status, int32_t n, uint64_t) override {
    events_.push_back(name + "|" + message + "|" + server + "|" + status + "|" + std::to_string(n));
    // A copy: the hook may replace itself.
    if (auto hook = onEvent_) hook();
  }

  Monitor* MonitorFor(const std::string& url) {
    Monitor* m = web1_->ports.Items(web1_->ports.Add("http"));
    m->SetValue("url", url);
    return m;
  }
  // One check to its completion.
  void Check(Monitor* m) {
    size_t before = Records().size();
    RunToCompletion(http_->DoAHTTP(*m));
    ASSERT_TRUE(
        WaitReal([&] { return http_->InFlight() == 0 && Records().size() > before; }, 10000));
  }
  std::vector<std::string> Records() { return RecordLines(ReadFile(dir_->File("web1.log"))); }
  std::string Last() {
    auto r = Records();
    return r.empty() ? "" : r.back();
  }

  ServerList servers_;
  std::unique_ptr<Scanner> scan_;
  std::unique_ptr<HttpChecks> http_;
  Server* web1_ = nullptr;
  std::vector<std::string> events_;
  std::function<void()> onEvent_;
};

TEST_F(HttpCheckTest, VerdictsForTheUsualAnswers) {
  std::string next;
  LoopbackServer server([&](const std::string&) { return Reply::Bytes(next); });
  Monitor* m = MonitorFor(server.Url("/"));
  m->status = "green";

  next = "HTTP/1.0 200 OK\r\n\r\nHello world";
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 11Bytes E0 200 OK");
  EXPECT_EQ(LastActivity, "LogResult web1 HTTP 80 OK 0ms 11Bytes E0 200 OK");
  EXPECT_EQ(m->httpRequest, nullptr);

  next = "HTTP/1.0 404 Not Found\r\n\r\nbody never read";
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (Received No Data)");
  EXPECT_EQ(m->status, "yellow");

  next = "HTTP/1.0 204 No Content\r\n\r\n";
  Check(m);
  EXPECT_EQ(Records().at(2), "web1 HTTP 80 LOST 0ms 0Bytes 204 No Content (Received No Data)");
  EXPECT_EQ(Last(), "web1 HTTP 80 DOWN 0ms 0Bytes 204 No Content (Received No Data) (2 lost)");

  next = "HTTP/1.0 200 OK\r\n\r\n";
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 LOST 0ms 0Bytes 200 OK (Received No Data) (2 lost)");

  next = "";
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 LOST 0ms 0Bytes 0  (No Connection) (Received No Data) (3 lost)");
  EXPECT_EQ(events_.back(),
            "Default|web1 HTTP DOWN (0  (No Connection) (Received No Data))|web1|DOWN (4)|4");

  next = "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n\r\n";
  LoopbackServer target(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nthere"); });
  server.SetComplete([&](const std::string& r) {
    if (r.find("\r\n\r\n") == std::string::npos) return false;
    if (r.rfind("GET /elsewhere ", 0) == 0)
      next = "HTTP/1.0 301 Moved\r\nLocation: " + target.Url("/") + "\r\n\r\n";
    return true;
  });
  m->SetValue("RYtoG", "Back");
  Check(m);
  EXPECT_EQ(Records().at(Records().size() - 2), "web1 HTTP 80 OK 0ms 5Bytes E0 200 OK");
  EXPECT_EQ(Last(), "web1 HTTP 80 UP 0ms 5Bytes 200 OK Downtime=0 min");
  EXPECT_EQ(events_.back(), "Back|web1 HTTP UP (200 OK), Downtime=0 min|web1|OK|99999999");
  EXPECT_EQ(m->status, "green");
}

// What a server says reaches records, panes, events and the status page bounded: a
// 60 KB reason phrase is cut to 512 bytes, marked as cut, and a bare CR or another
// control character becomes a blank, so every record stays one line of its log.
TEST_F(HttpCheckTest, AServersWordsAreBoundedAndStayOnOneLine) {
  std::string next;
  LoopbackServer server([&](const std::string&) { return Reply::Bytes(next); });
  Monitor* m = MonitorFor(server.Url("/"));
  m->status = "green";
  m->SetValue("GtoY", "Warn");
  next = "HTTP/1.0 500 " + std::string(60 * 1024, 'R') + "\r\n\r\n";
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 LOST 0ms 0Bytes 500 " + std::string(512, 'R') +
                        " (cut) (Received No Data)");
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_LT(events_.back().size(), 700u);
  next = "HTTP/1.0 503 Bad\rThing\x01 here\tthere\r\n\r\n";
  Check(m);
  EXPECT_EQ(Records().at(1),
            "web1 HTTP 80 LOST 0ms 0Bytes 503 Bad Thing  here\tthere (Received No Data)");
  const std::string log = ReadFile(dir_->File("web1.log"));
  size_t lines = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] != '\r') continue;
    ASSERT_EQ(log[i + 1], '\n') << "a CR only ends a record";
    ++lines;
  }
  EXPECT_EQ(lines, 3u);
  // A cut never splits a character.
  EXPECT_EQ(BoundedServerText(std::string(511, 'a') + "\xc3\xa9" + "zz"),
            std::string(511, 'a') + " (cut)");
  EXPECT_EQ(BoundedServerText(std::string(512, 'a')), std::string(512, 'a'));
}

TEST_F(HttpCheckTest, ContentTestsIgnoreCaseAndQuoteTheUpperCaseWords) {
  LoopbackServer server([](const std::string&) {
    return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\n<h1>Welcome</h1> Error 42");
  });
  Monitor* m = MonitorFor(server.Url("/"));
  m->status = "green";
  m->SetValue("mustinclude", "welcome");
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 25Bytes E0 200 OK");

  m->SetValue("maynotinclude", "error");
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 LOST 0ms 25Bytes 200 String \"ERROR\" found in HTML ");

  m->SetValue("mustinclude", "goodbye");
  Check(m);
  EXPECT_EQ(Records().at(2),
            "web1 HTTP 80 LOST 0ms 25Bytes 200 String \"ERROR\" found in HTML String \"GOODBYE\" "
            "not found in HTML ");

  // Not applied when the status is not 200.
  LoopbackServer notFound(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 404 Gone\r\n\r\n"); });
  m->SetValue("url", notFound.Url("/"));
  Check(m);
  EXPECT_EQ(Records().at(4), "web1 HTTP 80 LOST 0ms 0Bytes 404 Gone (Received No Data) (2 lost)");
}

TEST_F(HttpCheckTest, BodyTextStopsAtNulAndAtTheMemoryBound) {
  LoopbackServer nul([](const std::string&) {
    return Reply::Bytes(std::string("HTTP/1.0 200 OK\r\n\r\nabc\0MARKER", 29));
  });
  Monitor* m = MonitorFor(nul.Url("/"));
  m->SetValue("mustinclude", "marker");
  Check(m);
  EXPECT_EQ(Last(),
            "web1 HTTP 80 DOWN 0ms 10Bytes 200 String \"MARKER\" not found in HTML  (2 lost)");

  // An endless body: the bytes all count, only the first 16 MB are kept as text.
  const size_t filler = HttpChecks::kMaxBodyText + 8 * 1024 * 1024;
  LoopbackServer stream([&](const std::string&) {
    return Reply::Stream("HTTP/1.0 200 OK\r\n\r\nSTART", filler, "THE END");
  });
  m->SetValue("url", stream.Url("/"));
  m->SetValue("mustinclude", "start");
  Check(m);
  const std::string total = std::to_string(5 + filler + 7);
  EXPECT_EQ(Records().at(Records().size() - 2), "web1 HTTP 80 OK 0ms " + total + "Bytes E0 200 OK");
  m->SetValue("mustinclude", "the end");
  Check(m);
  EXPECT_EQ(Last(),
            "web1 HTTP 80 LOST 0ms " + total + "Bytes 200 String \"THE END\" not found in HTML ");
}

TEST_F(HttpCheckTest, AnEndlessBodyKeepsItsTextBoundedUntilTheNextCheckAbortsIt) {
  LoopbackServer endless(
      [](const std::string&) { return Reply::Stream("HTTP/1.0 200 OK\r\n\r\n", SIZE_MAX, ""); });
  Monitor* m = MonitorFor(endless.Url("/"));
  m->status = "green";
  RunToCompletion(http_->DoAHTTP(*m));
  auto* r = dynamic_cast<HttpRequest*>(m->httpRequest);
  ASSERT_NE(r, nullptr);
  const int64_t beyond = static_cast<int64_t>(HttpChecks::kMaxBodyText) * 2;
  ASSERT_TRUE(WaitReal([&] { return r->rcvdCount > beyond; }, 20000));
  EXPECT_EQ(r->bodyText.size(), HttpChecks::kMaxBodyText);
  EXPECT_GE(r->bodyText.capacity(), r->bodyText.size());
  EXPECT_LT(r->bodyText.capacity(), HttpChecks::kMaxBodyText * 2);

  clock_.SetAutoAdvance(true);
  RunToCompletion(http_->DoAHTTP(*m));
  auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("web1 HTTP 80 LOST 0ms ", 0), 0u) << records[0];
  EXPECT_EQ(records[0].substr(records[0].size() - 27), "Bytes 404 Request Timed Out") << records[0];
}

TEST_F(HttpCheckTest, TheNextCheckAbortsASilentRequestAsTimedOut) {
  LoopbackServer silent([](const std::string&) { return Reply::Silent(); });
  Monitor* m = MonitorFor(silent.Url("/"));
  m->status = "green";
  RunToCompletion(http_->DoAHTTP(*m));
  HttpRequest* first = dynamic_cast<HttpRequest*>(m->httpRequest);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(WaitReal([&] { return first->state() == HttpRequest::State::WaitingHeader; }));

  clock_.AdvanceMs(60000);  // one interval later the monitor is due again
  clock_.SetAutoAdvance(true);
  const int64_t before = clock_.MonotonicMs();
  RunToCompletion(http_->DoAHTTP(*m));
  EXPECT_EQ(clock_.MonotonicMs() - before, 5000) << "the abort is followed by a 5 s wait";
  EXPECT_EQ(Records(),
            std::vector<std::string>{
                "web1 HTTP 80 LOST 60000ms 0Bytes 404 Request Timed Out (Received No Data)"});
  EXPECT_EQ(events_, std::vector<std::string>{});
  EXPECT_EQ(m->status, "yellow");
  // The new request is the monitor's now; the old completion did not clear it.
  auto* second = dynamic_cast<HttpRequest*>(m->httpRequest);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second->state(), HttpRequest::State::Ready);
  EXPECT_EQ(http_->InFlight(), 1u);
  clock_.SetAutoAdvance(false);
  EXPECT_TRUE(WaitReal([&] { return silent.Connections().size() == 2; }));
}

TEST_F(HttpCheckTest, ACompletionClearsOnlyItsOwnRequest) {
  LoopbackServer server(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 500 Broken\r\n\r\n"); });
  Monitor* m = MonitorFor(server.Url("/"));
  m->status = "green";
  m->SetValue("GtoY", "Warn");
  // The GtoY event starts the monitor's next check while the first verdict is still
  // being handed out, as a pump inside an event action can.
  HttpRequest* second = nullptr;
  onEvent_ = [&] {
    onEvent_ = nullptr;
    RunToCompletion(http_->DoAHTTP(*m));
    second = dynamic_cast<HttpRequest*>(m->httpRequest);
  };
  RunToCompletion(http_->DoAHTTP(*m));
  ASSERT_TRUE(WaitReal([&] { return second != nullptr; }));
  EXPECT_EQ(m->httpRequest, second) << "the first completion left the second request alone";
  ASSERT_TRUE(WaitReal([&] { return http_->InFlight() == 0; }));
  EXPECT_EQ(m->httpRequest, nullptr);
  EXPECT_EQ(Records().size(), 3u);  // LOST; then LOST and DOWN of the second check
}

TEST_F(HttpCheckTest, AMonitorDeletedWhileItsRequestIsInFlight) {
  LoopbackServer silent([](const std::string&) { return Reply::Silent(); });
  Monitor* m = MonitorFor(silent.Url("/"));
  RunToCompletion(http_->DoAHTTP(*m));
  ASSERT_TRUE(WaitReal([&] { return !silent.Connections().empty(); }));
  web1_->ports.Delete(0);
  EXPECT_TRUE(WaitReal([&] { return http_->InFlight() == 0; }));
  EXPECT_TRUE(WaitReal([&] { return silent.Connections().at(0)->peerClosed; }));
  EXPECT_TRUE(Records().empty());

  // Deleted by an event action during its own verdict.
  LoopbackServer failing(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 503 Busy\r\n\r\n"); });
  Monitor* n = MonitorFor(failing.Url("/"));
  onEvent_ = [&] { web1_->ports.Delete(web1_->ports.IndexOf(n)); };
  RunToCompletion(http_->DoAHTTP(*n));
  EXPECT_TRUE(WaitReal([&] { return http_->InFlight() == 0; }));
  EXPECT_EQ(web1_->ports.Count(), 0);
}

TEST_F(HttpCheckTest, ProxySettingsOfTheMonitor) {
  LoopbackServer proxy(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nvia proxy"); });
  Monitor* m = MonitorFor("http://webhost:8080/status");
  m->SetValue("proxy", "127.0.0.1");
  m->SetValue("proxyport", std::to_string(proxy.Port()));
  m->SetValue("username", "joe");
  m->SetValue("password", "pw");
  Check(m);
  EXPECT_EQ(proxy.Requests().at(0),
            "GET http://webhost:8080/status HTTP/1.0\r\nHost: webhost\r\nPragma: no-cache\r\n"
            "Authorization: Basic am9lOnB3\r\n\r\n");
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 9Bytes E0 200 OK");
}

TEST_F(HttpCheckTest, AnUnstartableRequestWaitsForTheNextCheck) {
  Monitor* m = MonitorFor("/no/host/here");
  RunToCompletion(http_->DoAHTTP(*m));
  EXPECT_EQ(http_->InFlight(), 1u);
  EXPECT_NE(m->httpRequest, nullptr);
  EXPECT_TRUE(errors_.empty());
  clock_.SetAutoAdvance(true);
  RunToCompletion(http_->DoAHTTP(*m));
  EXPECT_EQ(Records().at(0),
            "web1 HTTP 80 LOST 0ms 0Bytes 404 Request Timed Out (Received No Data)");
}

// IPv6: a URL with an address in brackets, a proxy at an IPv6 address (the target is
// only named to it, never contacted), and a name whose IPv6 address refuses while its
// IPv4 address answers.
class HttpCheckIpv6Test : public HttpCheckTest {
 protected:
  void SetUp() override {
    HttpCheckTest::SetUp();
    std::string why;
    if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  }
};

TEST_F(HttpCheckIpv6Test, BracketedAddressesAndAProxyAtAnIpv6Address) {
  LoopbackServer server(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nsix"); }, AF_INET6);
  Monitor* m = MonitorFor("http://[::1]:" + std::to_string(server.Port()) + "/status");
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 3Bytes E0 200 OK");
  EXPECT_EQ(server.Requests().at(0),
            "GET /status HTTP/1.0\r\nHost: [::1]\r\nPragma: no-cache\r\n\r\n");

  // The proxy is the loopback server on ::1; the target is a documentation address.
  m->SetValue("url", "http://[2001:db8::5]:8080/status");
  m->SetValue("proxy", "::1");
  m->SetValue("proxyport", std::to_string(server.Port()));
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 3Bytes E0 200 OK");
  EXPECT_EQ(server.Requests().at(1),
            "GET http://[2001:db8::5]:8080/status HTTP/1.0\r\nHost: [2001:db8::5]\r\n"
            "Pragma: no-cache\r\n\r\n");
  m->SetValue("proxy", "[::1]:" + std::to_string(server.Port()));
  m->SetValue("proxyport", "1");
  Check(m);
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 3Bytes E0 200 OK");
}

TEST_F(HttpCheckIpv6Test, ANameWhoseIpv6AddressRefusesIsFetchedFromItsIpv4Address) {
  std::string why;
  switch (WhereLocalhostIsOnBothFamilies(&why)) {
    case LocalhostOnBothFamilies::Unavailable:
      GTEST_SKIP() << why;
    case LocalhostOnBothFamilies::RanElsewhere:
      return;
    case LocalhostOnBothFamilies::Here:
      break;
  }
  LoopbackServer server(
      [](const std::string&) { return Reply::Bytes("HTTP/1.0 200 OK\r\n\r\nfour"); });
  ClosedPort closed(AF_INET6, server.Port());
  Monitor* m = MonitorFor("http://localhost:" + std::to_string(server.Port()) + "/");
  Check(m);
  EXPECT_EQ(Last(), "web1 HTTP 80 OK 0ms 4Bytes E0 200 OK");
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
}  // namespace sentrel::test
