// The status web server beyond the page: gzip, /metrics, /status.json, its built-in files,
// clients that read slowly, and both address families.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/date_time.h"
#include "reports/status_assets.h"
#include "reports/status_web_server.h"
#include "status_test_util.h"
#include "support/loop_client.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::LoopClient;
using test::ServeUntil;

// A blocking exchange with the server on the test's own loop: the client runs on a
// thread of its own while this thread serves the loop. family AF_INET6 talks to ::1.
std::string FetchOverLoopback(int family, int port, const std::string& request,
                              int* connectError = nullptr) {
  std::atomic<bool> done{false};
  std::string reply;
  int error = 0;
  std::thread client([&] {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr{};
    socklen_t len;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a->sin_port = htons(static_cast<uint16_t>(port));
      len = sizeof *a;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) < 0) {
      error = errno;
    } else {
      [[maybe_unused]] ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      char buf[65536];
      pollfd p{fd, POLLIN, 0};
      while (poll(&p, 1, 10000) > 0) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
      }
    }
    close(fd);
    done = true;
  });
  ServeUntil([&] { return done.load(); }, 15000);
  client.join();
  if (connectError) *connectError = error;
  return reply;
}

// Whether this machine has IPv6 on its loopback interface (a container may not).
bool HaveIpv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

class StatusWebServerHttpTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetAutoAdvance(false);
    clock_.SetNow(EncodeDate(2024, 5, 1) + EncodeTime(8, 0, 0));
    list_.messagePane = &pane_;
    pane_.AddLine("2024-05-01 07:59:59 Sentrel 2.2 started");
    web_ = AddServer("web", "Main");
    http_ = AddMonitor(web_, "http", 80, "green");
    http_->SetValue("url", "http://localhost/");
    http_->lastResponseMs = http_->lastCheckMs = 12;
    // Texts a careless exporter breaks: quotes, backslashes, a line break, a byte of a
    // server file written on Windows (u umlaut in Windows-1252).
    odd_ = AddServer("M\xfcnchen \"DC\" \\2", "Remote\nsite");
    Monitor* port = AddMonitor(odd_, "port", 22, "red");
    port->lostCount = port->lastRecordLost = 4;
    port->lastResponseMs = port->lastCheckMs = 10000;
    port->lastUp = port->lastSuccess = EncodeDate(2024, 4, 30) + EncodeTime(23, 5, 0);
    port->lastCheck = EncodeDate(2024, 5, 1) + EncodeTime(7, 59, 58);
    AddMonitor(odd_, "ping", 0, "");
    AddMonitor(odd_, "port", 25, "yellow");
    server_ = std::make_unique<StatusWebServer>(list_, [](const std::string&) {});
    server_->SetPorts({0});
    server_->SetCountersSource([this] { return counters_; });
    counters_.checksDone = 1234;
    counters_.recordsWritten = 1300;
    counters_.httpChecksQueued = 7;
    counters_.startTime = EncodeDate(2024, 5, 1) + EncodeTime(7, 59, 59);
  }
  void TearDown() override {
    server_.reset();
    CoreFixture::TearDown();
  }
  Server* AddServer(const std::string& name, const std::string& group) {
    Server* s = list_.Items(list_.Add(name));
    s->group = group;
    return s;
  }
  Monitor* AddMonitor(Server* s, const std::string& typ, int port, const std::string& status) {
    Monitor* m = s->ports.Items(s->ports.Add(typ));
    m->port = port;
    m->status = status;
    return m;
  }
  std::string Ask(const std::string& bytes) {
    LoopClient c(server_->Port());
    c.Send(bytes);
    EXPECT_TRUE(ServeUntil([&] { return c.Finished(); }));
    EXPECT_TRUE(c.Eof());
    return c.Received();
  }
  // The body of a reply, checked against its Content-Length and unpacked when gzipped.
  std::string Body(const std::string& reply) {
    auto [head, body] = test::SplitReply(reply);
    EXPECT_EQ(test::HeaderValue(head, "Content-Length"), std::to_string(body.size())) << head;
    if (test::HeaderValue(head, "Content-Encoding") == "gzip") return test::Gunzip(body);
    return body;
  }
  std::string Metrics(bool gzip = false) {
    const std::string reply = Ask(std::string("GET /metrics HTTP/1.1\r\nHost: localhost\r\n") +
                                  (gzip ? "Accept-Encoding: gzip\r\n" : "") + "\r\n");
    EXPECT_EQ(test::HeaderValue(test::SplitReply(reply).first, "Content-Type"),
              "text/plain; version=0.0.4; charset=utf-8");
    return Body(reply);
  }

  ServerList list_;
  TextPane pane_{"Messages/Errors"};
  Server* web_ = nullptr;
  Monitor* http_ = nullptr;
  Server* odd_ = nullptr;
  ProgramCounters counters_;
  std::unique_ptr<StatusWebServer> server_;
};

// The page in gzip reads back as the very page, with the clock of the second it is
// asked in; a refusing or silent Accept-Encoding gets it plain.
TEST_F(StatusWebServerHttpTest, GzipPageReadsBackAsThePage) {
  for (int i = 0; i < 1200; ++i) pane_.AddLine("2024-05-01 07:00:00 line " + std::to_string(i));
  server_->StartWebserver();
  for (int second = 0; second < 3; ++second) {
    const std::string page = GetStatusHTML(list_, StatusPageAddresses{});
    const std::string reply =
        Ask("GET / HTTP/1.1\r\nHost: localhost\r\nAccept-Encoding: gzip, deflate, br\r\n\r\n");
    auto [head, body] = test::SplitReply(reply);
    EXPECT_EQ(
        head.rfind("HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\n", 0),
        0u);
    EXPECT_EQ(test::HeaderValue(head, "Content-Encoding"), "gzip");
    EXPECT_EQ(test::HeaderValue(head, "Vary"), "Accept-Encoding");
    EXPECT_LT(body.size(), page.size() / 4);
    EXPECT_EQ(Body(reply), page.substr(2)) << "second " << second;
    clock_.SetNow(clock_.Now() + 1.0 / 86400);
    clock_.AdvanceMs(StatusWebServer::kRefreshMs);
  }
  http_->status = "red";
  clock_.AdvanceMs(StatusWebServer::kRefreshMs);
  EXPECT_EQ(Body(Ask("GET / HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n")),
            GetStatusHTML(list_, StatusPageAddresses{}).substr(2));
  for (const char* plain :
       {"GET / HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\r\nAccept-Encoding: gzip;q=0\r\n\r\n"})
    EXPECT_EQ(Ask(plain), test::StatusPageReply(list_)) << plain;
  EXPECT_TRUE(errors_.empty());
}

TEST_F(StatusWebServerHttpTest, MetricsFollowTheModelWithEscapedLabels) {
  server_->StartWebserver();
  const std::string m = Metrics();
  const std::string web =
      "{server=\"web\",monitor=\"http\",type=\"http\",port=\"80\",group=\"Main\"}";
  const std::string odd =
      "{server=\"M\xc3\xbcnchen \\\"DC\\\" \\\\2\",monitor=\"port\",type=\"port\",port=\"22\","
      "group=\"Remote\\nsite\"}";
  for (const std::string& line : std::vector<std::string>{
           "# HELP sentrel_monitor_up ",
           "# TYPE sentrel_monitor_up gauge\n",
           "\nsentrel_monitor_up" + web + " 1\n",
           "\nsentrel_monitor_up" + odd + " 0\n",
           "\nsentrel_monitor_colour" + web + " 1\n",
           "\nsentrel_monitor_colour" + odd + " 3\n",
           "\nsentrel_monitor_last_request_duration_seconds" + web + " 0.012\n",
           "\nsentrel_monitor_last_request_duration_seconds" + odd + " 10\n",
           "\nsentrel_monitor_lost_checks" + odd + " 4\n",
           "\nsentrel_monitor_last_check_timestamp_seconds" + web + " 0\n",
           "\nsentrel_monitor_last_check_timestamp_seconds" + odd + " " +
               std::to_string(static_cast<int64_t>(
                   UnixSecondsFromDateTime(EncodeDate(2024, 5, 1) + EncodeTime(7, 59, 58)))) +
               "\n",
           "\nsentrel_monitor_last_success_timestamp_seconds" + web + " 0\n",
           "\nsentrel_monitors{colour=\"unchecked\"} 1\n",
           "\nsentrel_monitors{colour=\"green\"} 1\n",
           "\nsentrel_monitors{colour=\"yellow\"} 1\n",
           "\nsentrel_monitors{colour=\"red\"} 1\n",
           "# TYPE sentrel_checks_total counter\nsentrel_checks_total 1234\n",
           "# TYPE sentrel_records_written_total counter\nsentrel_records_written_total 1300\n",
           "# TYPE sentrel_http_checks_queued gauge\nsentrel_http_checks_queued 7\n",
           "# TYPE sentrel_web_requests_total counter\nsentrel_web_requests_total 1\n",
           "# TYPE sentrel_web_client_disconnects_total counter\n",
           "\nsentrel_build_info{version=\"2.2\"} 1\n"})
    EXPECT_NE(m.find(line), std::string::npos) << line << "\n" << m;
  // Local 07:59:58 in seconds since 1970: the time zone is the machine's.
  EXPECT_EQ(UnixSecondsFromDateTime(DateTimeFromUnix(1714550398)), 1714550398.0);

  // Kept for a second, then the model as it is now.
  http_->status = "red";
  counters_.checksDone = 1240;
  EXPECT_NE(Metrics().find("\nsentrel_monitor_up" + web + " 1\n"), std::string::npos);
  clock_.AdvanceMs(StatusWebServer::kRefreshMs);
  const std::string later = Metrics(true);
  EXPECT_NE(later.find("\nsentrel_monitor_up" + web + " 0\n"), std::string::npos) << later;
  EXPECT_NE(later.find("\nsentrel_checks_total 1240\n"), std::string::npos);
  EXPECT_NE(later.find("\nsentrel_monitors{colour=\"red\"} 2\n"), std::string::npos);
}

// The real Prometheus tool reads the metrics without a complaint, odd names and all.
TEST_F(StatusWebServerHttpTest, PromtoolAcceptsTheMetrics) {
  if (access("/usr/bin/promtool", X_OK) != 0)
    GTEST_SKIP() << "promtool is not installed (apt-get install prometheus): the metrics are "
                    "not checked by the real tool";
  for (int i = 0; i < 50; ++i) {
    Server* s = AddServer("host" + std::to_string(i) + "\xe9", "Group " + std::to_string(i % 3));
    AddMonitor(s, "http", 8080, i % 2 ? "green" : "?")->lastResponseMs = i;
  }
  server_->StartWebserver();
  test::WriteFile(dir_->File("metrics.txt"), Metrics());
  std::string out, err;
  const int code = test::RunProcess(
      {"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + dir_->File("metrics.txt")},
      dir_->Path(), &out, &err);
  EXPECT_EQ(code, 0) << out << err;
  EXPECT_EQ(out + err, "") << "promtool has remarks";
}

// The JSON document, read by Python's own parser (which insists on valid UTF-8), holds
// the model: groups in tree order, servers, monitors with colours, times and counts.
TEST_F(StatusWebServerHttpTest, StatusJsonHoldsTheModel) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "python3 is not installed";
  server_->StartWebserver();
  const std::string reply = Ask("GET /status.json HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n");
  EXPECT_EQ(test::HeaderValue(test::SplitReply(reply).first, "Content-Type"), "application/json");
  test::WriteFile(dir_->File("status.json"), Body(reply));
  // One line per monitor, fields apart by "|"; the names travel as JSON escapes.
  const std::string script =
      "import json,sys\n"
      "d=json.loads(open(sys.argv[1],'rb').read().decode('utf-8'))\n"
      "print(d['product'],d['version'],d['alarm'],d['monitors'],d['checks'],d['records'],"
      "d['httpChecksQueued'],d['startTime'],len(d['history']),d['history'][0],sep='|')\n"
      "for g in d['groups']:\n"
      " for s in g['servers']:\n"
      "  for m in s['monitors']:\n"
      "   print(json.dumps(g['name']),json.dumps(s['name']),m['name'],m['type'],m['port'],"
      "m.get('url'),repr(m['status']),m['colour'],m['up'],m['lastResponseMs'],m['lostCount'],"
      "m['lastCheck'],m['lastSuccess'],sep='|')\n";
  test::WriteFile(dir_->File("read.py"), script);
  std::string out, err;
  ASSERT_EQ(test::RunProcess({"/usr/bin/python3", dir_->File("read.py"), dir_->File("status.json")},
                             dir_->Path(), &out, &err),
            0)
      << err << Body(reply);
  const auto unix = [](double dt) {
    return std::to_string(static_cast<int64_t>(UnixSecondsFromDateTime(dt)));
  };
  const std::string expected =
      "Sentrel|2.2|True|{'unchecked': 1, 'green': 1, 'yellow': 1, 'red': 1}|1234|1300|7|" +
      unix(counters_.startTime) + "|1|2024-05-01 07:59:59 Sentrel 2.2 started\n" +
      "\"Main\"|\"web\"|http|http|80|http://localhost/|'green'|1|True|12|0|None|None\n" +
      "\"Remote\\nsite\"|\"M\\u00fcnchen \\\"DC\\\" "
      "\\\\2\"|port|port|22|None|'red'|3|False|10000|4|" +
      unix(EncodeDate(2024, 5, 1) + EncodeTime(7, 59, 58)) + "|" +
      unix(EncodeDate(2024, 4, 30) + EncodeTime(23, 5, 0)) + "\n" +
      "\"Remote\\nsite\"|\"M\\u00fcnchen \\\"DC\\\" "
      "\\\\2\"|ping|ping|0|None|''|0|False|0|0|None|None\n" +
      "\"Remote\\nsite\"|\"M\\u00fcnchen \\\"DC\\\" "
      "\\\\2\"|port2|port|25|None|'yellow'|2|True|0|0|None|None\n";
  EXPECT_EQ(out, expected);
}

// The logo and the alarm sound come from the server itself while the page links them
// there; with a site of the operator's, those paths are like any other.
TEST_F(StatusWebServerHttpTest, BuiltInLogoAndSoundAreServedWhereThePageLinksThem) {
  server_->StartWebserver();
  const std::string logo = Ask("GET /donotmovethis/Sentrellogo.gif HTTP/1.1\r\n\r\n");
  EXPECT_EQ(test::HeaderValue(test::SplitReply(logo).first, "Content-Type"), "image/gif");
  EXPECT_EQ(Body(logo), StatusLogo().bytes);
  EXPECT_EQ(Body(logo).substr(0, 10), std::string("GIF89a\xfa\x00\x78\x00", 10));  // 250 x 120
  const std::string sound = Ask("GET /donotmovethis/alarm.wav?reload=1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(test::HeaderValue(test::SplitReply(sound).first, "Content-Type"), "audio/wav");
  EXPECT_EQ(Body(sound), StatusAlarmSound().bytes);
  EXPECT_EQ(Body(sound).substr(0, 4), "RIFF");
  EXPECT_EQ(Body(sound).substr(8, 4), "WAVE");
  // The alarm is on (a red monitor): the page plays it both ways.
  const std::string page = Ask("GET / HTTP/1.0\r\n\r\n");
  EXPECT_NE(page.find("<bgsound src=\"/donotmovethis/alarm.wav\" loop=\"0\"></head><BODY "
                      "bgcolor=white><audio src=\"/donotmovethis/alarm.wav\" autoplay></audio>"),
            std::string::npos);
  // Paths near them get the page.
  for (const char* other :
       {"GET /donotmovethis/ HTTP/1.0\r\n\r\n", "GET /favicon.ico HTTP/1.0\r\n\r\n",
        "GET /donotmovethis/alarm.wavx HTTP/1.0\r\n\r\n"})
    EXPECT_EQ(Ask(other), test::StatusPageReply(list_)) << other;

  server_->StopWebserver();
  const auto site = StatusPageAddresses::ForSite("http://intranet.example", "");
  server_->SetAddresses(site);
  server_->StartWebserver();
  EXPECT_EQ(Ask("GET /donotmovethis/Sentrellogo.gif HTTP/1.0\r\n\r\n"),
            test::StatusPageReply(list_, site));
  EXPECT_EQ(server_->requestCount, 7);
}

// A client that takes its page slowly keeps the page it asked for, whole, while the
// model changes and others get the new one; nothing is logged and the page is not made
// again for anybody's request.
TEST_F(StatusWebServerHttpTest, SlowReaderKeepsItsPageWhileThePageChanges) {
  for (int i = 0; i < 30000; ++i) {
    Server* s = AddServer("host" + std::to_string(i), "Group " + std::to_string(i % 7));
    AddMonitor(s, "port", 80, i % 3 ? "green" : "yellow");
  }
  server_->StartWebserver();
  const std::string before = test::StatusPageReply(list_);
  ASSERT_GT(before.size(), 6000000u);  // more than the kernel buffers hold
  LoopClient slow(server_->Port(), 4096, 4096);
  slow.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return slow.Received().size() > 100000; }));
  slow.StopReading();

  http_->status = "red";
  list_.Items(100)->name = "renamed";
  clock_.AdvanceMs(StatusWebServer::kRefreshMs);
  const uint64_t builds = server_->PageBuilds();
  const std::string after = test::StatusPageReply(list_);
  ASSERT_NE(after, before);
  for (int i = 0; i < 3; ++i) {
    LoopClient other(server_->Port());
    other.Send("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(ServeUntil([&] { return other.Finished(); }, 30000));
    EXPECT_TRUE(other.Received() == after);
  }
  slow.StartReading();
  ASSERT_TRUE(ServeUntil([&] { return slow.Finished(); }, 60000));
  EXPECT_TRUE(slow.Eof());
  EXPECT_EQ(slow.Received().size(), before.size());
  EXPECT_TRUE(slow.Received() == before);
  EXPECT_EQ(server_->PageBuilds(), builds);
  EXPECT_EQ(server_->Counters().disconnects, 0u);
  EXPECT_TRUE(errors_.empty());
}

// A client that stops reading and never comes back is given up after the stall limit:
// counted, not logged.
TEST_F(StatusWebServerHttpTest, VanishedReaderIsCountedNotLogged) {
  for (int i = 0; i < 30000; ++i)
    AddMonitor(AddServer("h" + std::to_string(i), "G"), "port", 80, "green");
  server_->StartWebserver();
  LoopClient gone(server_->Port(), 4096, 4096);
  gone.OnData([&] { gone.StopReading(); });
  gone.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return !gone.Received().empty(); }));
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
  clock_.AdvanceMs(StatusWebServer::kStallLimitMs);
  EXPECT_EQ(server_->ConnectionCount(), 0u);
  EXPECT_EQ(server_->Counters().disconnects, 1u);
  EXPECT_TRUE(errors_.empty());
  EXPECT_NE(Metrics().find("\nsentrel_web_client_disconnects_total 1\n"), std::string::npos);
}

// Without a bind address the one socket takes both families; a bind address keeps the
// page on that family and address, written in its normal short form.
TEST_F(StatusWebServerHttpTest, ServesBothFamiliesAndBindsToOneAddress) {
  if (!HaveIpv6Loopback())
    GTEST_SKIP() << "this machine has no IPv6 on its loopback interface (::1): the status "
                    "page over IPv6 is not tested here";
  server_->StartWebserver();
  ASSERT_TRUE(server_->ListeningOnIpv6());
  const std::string expected = test::StatusPageReply(list_);
  EXPECT_EQ(FetchOverLoopback(AF_INET6, server_->Port(), "GET / HTTP/1.0\r\n\r\n"), expected);
  EXPECT_EQ(FetchOverLoopback(AF_INET, server_->Port(), "GET / HTTP/1.0\r\n\r\n"), expected);
  EXPECT_EQ(
      Body(FetchOverLoopback(AF_INET6, server_->Port(),
                             "GET / HTTP/1.1\r\nHost: [::1]\r\nAccept-Encoding: gzip\r\n\r\n")),
      expected.substr(expected.find("\r\n\r\n") + 4));

  server_->StopWebserver();
  server_->SetBindAddress("0:0:0:0:0:0:0:1");
  EXPECT_EQ(server_->BindAddress(), "::1");
  server_->StartWebserver();
  ASSERT_TRUE(server_->Listening()) << server_->StartFailure();
  EXPECT_EQ(FetchOverLoopback(AF_INET6, server_->Port(), "GET / HTTP/1.0\r\n\r\n"), expected);
  int refused = 0;
  EXPECT_EQ(FetchOverLoopback(AF_INET, server_->Port(), "GET / HTTP/1.0\r\n\r\n", &refused), "");
  EXPECT_EQ(refused, ECONNREFUSED);

  server_->StopWebserver();
  EXPECT_FALSE(StatusWebServer::IsBindAddress("127.000.0.1"));
  server_->SetBindAddress("127.0.0.1");
  server_->StartWebserver();
  EXPECT_FALSE(server_->ListeningOnIpv6());
  EXPECT_EQ(FetchOverLoopback(AF_INET, server_->Port(), "GET / HTTP/1.0\r\n\r\n"), expected);
  EXPECT_EQ(StatusWebServer::NormalAddress("2001:DB8:0:0:0:0:0:5"), "2001:db8::5");
  EXPECT_EQ(StatusWebServer::NormalAddress("::ffff:127.0.0.1"), "::ffff:127.0.0.1");
  EXPECT_EQ(StatusWebServer::NormalAddress("localhost"), "");
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace sentrel
