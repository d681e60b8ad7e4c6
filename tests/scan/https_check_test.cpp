#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <memory>

#include "platform/date_time.h"
#include "scan/http_client.h"
#include "support/network_fixture.h"
#include "support/process.h"
#include "support/tls_servers.h"

namespace sentrel::test {
namespace {

using Reply = LoopbackServer::Reply;

const char kPage[] = "<html><body><h1>Welcome to the Sentrel test page</h1></body></html>\n";

// The sites of the suite's nginx, one TLS port each.
enum Site { kGood, kWrongName, kExpired, kUntrusted, kSoon };

// A private CA made with openssl, the certificates of the sites, and nginx serving them.
// The CA is the whole trust store of the test (SSL_CERT_FILE, and an empty SSL_CERT_DIR).
struct TlsWorld {
  TempDir pki;
  std::unique_ptr<TestCa> ca;
  std::unique_ptr<TestCa> otherCa;
  std::vector<TestCa::Issued> certificates;
  std::unique_ptr<NginxTlsServer> nginx;
  std::string why;

  TlsWorld() {
    ca = std::make_unique<TestCa>(pki.File("ca"), "Sentrel Test CA");
    otherCa = std::make_unique<TestCa>(pki.File("other"), "Unknown CA");
    if (!ca->Ok() || !otherCa->Ok()) {
      why = ca->Ok() ? otherCa->Why() : ca->Why();
      return;
    }
    const std::string names = "DNS:localhost,IP:127.0.0.1,IP:::1";
    certificates = {ca->Issue("good", names, 60),
                    ca->Issue("wrong-name", "DNS:www.wrong-name.test", 60),
                    ca->IssueBetween("expired", names, "20200101000000Z", "20200201000000Z"),
                    otherCa->Issue("untrusted", names, 60), ca->Issue("soon", names, 7)};
    if (!ca->Ok() || !otherCa->Ok()) {
      why = ca->Ok() ? otherCa->Why() : ca->Why();
      return;
    }
    std::filesystem::create_directories(pki.File("no-more-cas"));
    setenv("SSL_CERT_FILE", ca->CertFile().c_str(), 1);
    setenv("SSL_CERT_DIR", pki.File("no-more-cas").c_str(), 1);
    nginx = std::make_unique<NginxTlsServer>(kPage, certificates);
    if (!nginx->Ok()) why = nginx->Why();
  }
  ~TlsWorld() {
    nginx.reset();
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
  }
};

// HTTP monitors of the server web1, checked one at a time.
class HttpsFixture : public Web1HttpFixture {
 protected:
  // One check to its verdict; the records it wrote.
  std::vector<std::string> Check(Monitor* m) {
    size_t before = RecordLines(Log("web1")).size();
    RunToCompletion(checks().DoAHTTP(*m));
    EXPECT_TRUE(WaitReal([&] { return m->httpRequest == nullptr; }, 10000));
    auto lines = RecordLines(Log("web1"));
    return std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end());
  }
};

class HttpsCheckTest : public HttpsFixture {
 protected:
  static void SetUpTestSuite() { world_ = new TlsWorld; }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }
  void SetUp() override {
    HttpsFixture::SetUp();
    if (!world_->why.empty()) GTEST_SKIP() << world_->why;
  }
  NginxTlsServer& nginx() { return *world_->nginx; }
  std::vector<std::string> ExpiryNotices() {
    std::vector<std::string> out;
    for (const auto& line : RecordLines(program_->messagePane))
      if (line.find(" certificate of ") != std::string::npos) out.push_back(line);
    return out;
  }

  static TlsWorld* world_;
  const std::string bytes_ = std::to_string(sizeof kPage - 1);
};

TlsWorld* HttpsCheckTest::world_ = nullptr;

TEST_F(HttpsCheckTest, AVerifiedServerIsGreenWithItsBodyAndContentTests) {
  Monitor* m = MonitorFor(nginx().HttpsUrl(kGood, "/index.html"));
  m->SetValue("mustinclude", "welcome to the sentrel");
  EXPECT_EQ(Check(m),
            std::vector<std::string>{"web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK"});
  EXPECT_EQ(m->status, "green");

  // The certificate carries 127.0.0.1 as an address too.
  m->SetValue("url", nginx().HttpsUrl(kGood, "/index.html", "127.0.0.1"));
  m->SetValue("mustinclude", "");
  m->SetValue("maynotinclude", "test page");
  EXPECT_EQ(Check(m), std::vector<std::string>{"web1 HTTP 80 LOST 0ms " + bytes_ +
                                               "Bytes 200 String \"TEST PAGE\" found in HTML "});
  m->SetValue("maynotinclude", "");
  m->SetValue("mustinclude", "goodbye");
  EXPECT_EQ(Check(m).at(0),
            "web1 HTTP 80 LOST 0ms " + bytes_ + "Bytes 200 String \"GOODBYE\" not found in HTML ");

  m->SetValue("mustinclude", "");
  m->SetValue("url", nginx().HttpsUrl(kGood, "/big.bin"));
  EXPECT_EQ(Check(m).at(0), "web1 HTTP 80 OK 0ms " + std::to_string(NginxTlsServer::kBigFileBytes) +
                                "Bytes E0 200 OK");
  m->SetValue("url", nginx().HttpsUrl(kGood, "/old"));
  EXPECT_EQ(Check(m).at(0), "web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK");
  m->SetValue("url", nginx().HttpsUrl(kGood, "/missing.html"));
  EXPECT_EQ(Check(m).at(0), "web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (Received No Data)");

  // Inside TLS the request is the plain check's own. The host name went out as SNI; an
  // address does not.
  std::string access = ReadFile(nginx().Dir().File("access.log"));
  EXPECT_NE(access.find("\"GET /index.html HTTP/1.0\" 200 " + bytes_ + " sni=localhost\n"),
            std::string::npos)
      << access;
  EXPECT_NE(access.find("\"GET /index.html HTTP/1.0\" 200 " + bytes_ + " sni=-\n"),
            std::string::npos)
      << access;
  EXPECT_NE(access.find("\"GET /old HTTP/1.0\" 302"), std::string::npos) << access;
  EXPECT_TRUE(errors_.empty());
}

TEST_F(HttpsCheckTest, CertificateFailuresTurnTheMonitorRedWithTheirReason) {
  struct Case {
    std::string url;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {nginx().HttpsUrl(kWrongName, "/"), "TLS: host name mismatch"},
      {nginx().HttpsUrl(kWrongName, "/", "127.0.0.1"), "TLS: host name mismatch"},
      {nginx().HttpsUrl(kExpired, "/"), "TLS handshake failed: certificate has expired"},
      {nginx().HttpsUrl(kUntrusted, "/"), "TLS handshake failed: untrusted certificate authority"},
      // A plain HTTP server answers the client's hello with an HTTP error.
      {"https://127.0.0.1:" + std::to_string(nginx().PlainPort()) + "/",
       "TLS handshake failed: the server does not speak TLS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Monitor* m = MonitorFor(c.url);
    const std::string detail = "0ms 0Bytes 404 " + c.reason + " (Received No Data)";
    EXPECT_EQ(Check(m), (std::vector<std::string>{"web1 HTTP 80 LOST " + detail,
                                                  "web1 HTTP 80 DOWN " + detail + " (2 lost)"}));
    EXPECT_EQ(m->status, "red");
    // The events and the errors-only view carry the reason too.
    EXPECT_EQ(program_->events.back(),
              "Default|web1 HTTP DOWN (404 " + c.reason + " (Received No Data))|web1|DOWN (2)|2");
  }
  EXPECT_TRUE(ExpiryNotices().empty());
}

TEST_F(HttpsCheckTest, RelocationsMoveBetweenHttpAndHttps) {
  // The plain port sends everything but /plain.html to https://localhost:<good port>.
  Monitor* m =
      MonitorFor("http://127.0.0.1:" + std::to_string(nginx().PlainPort()) + "/index.html");
  m->SetValue("mustinclude", "Sentrel test page");
  EXPECT_EQ(Check(m),
            std::vector<std::string>{"web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK"});

  // And back from https to plain HTTP.
  m->SetValue("mustinclude", "plain HTTP");
  m->SetValue("url", nginx().HttpsUrl(kGood, "/to-plain"));
  EXPECT_EQ(Check(m), std::vector<std::string>{"web1 HTTP 80 OK 0ms 21Bytes E0 200 OK"});

  std::string access = ReadFile(nginx().Dir().File("access.log"));
  EXPECT_NE(access.find("\"GET /index.html HTTP/1.0\" 301"), std::string::npos) << access;
  EXPECT_NE(access.find("\"GET /to-plain HTTP/1.0\" 302"), std::string::npos) << access;
  EXPECT_NE(access.find("\"GET /plain.html HTTP/1.0\" 200"), std::string::npos) << access;
}

TEST_F(HttpsCheckTest, ACertificateExpiringSoonIsNoticedOnceADayPerMonitor) {
  // Ten in the morning of today's real date: the certificates' dates are real ones.
  clock_.SetNow(std::floor(SystemClock().Now()) + EncodeTime(10, 0, 0));
  const int64_t notAfter = CertificateNotAfter(world_->certificates[kSoon].cert);
  ASSERT_NE(notAfter, 0);
  const std::string notice =
      "web1 certificate of localhost expires on " + FormatDate(DateTimeFromUnix(notAfter));

  Monitor* soon = MonitorFor(nginx().HttpsUrl(kSoon, "/index.html"));
  Monitor* good = MonitorFor(nginx().HttpsUrl(kGood, "/index.html"));
  EXPECT_EQ(Check(soon).at(0), "web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK");
  Check(good);
  EXPECT_EQ(ExpiryNotices(), std::vector<std::string>{notice});
  EXPECT_EQ(soon->status, "green") << "the notice changes no colour";

  Check(soon);
  clock_.AdvanceMs(3 * 3600 * 1000);
  Check(soon);
  EXPECT_EQ(ExpiryNotices().size(), 1u) << "once a day";

  // Another monitor of the same certificate has a notice of its own.
  Monitor* other = MonitorFor(nginx().HttpsUrl(kSoon, "/old"));
  Check(other);
  EXPECT_EQ(ExpiryNotices().size(), 2u);

  clock_.AdvanceMs(24 * 3600 * 1000);
  Check(soon);
  Check(good);
  EXPECT_EQ(ExpiryNotices(), (std::vector<std::string>{notice, notice, notice}));
  EXPECT_EQ(soon->status, "green");
}

TEST_F(HttpsCheckTest, TheTrustStoreIsReadAgainWhenItChanges) {
  Monitor* m = MonitorFor(nginx().HttpsUrl(kGood, "/index.html"));
  const std::string ok = "web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK";
  const std::string untrusted =
      "web1 HTTP 80 LOST 0ms 0Bytes 404 TLS handshake failed: untrusted certificate authority "
      "(Received No Data)";
  EXPECT_EQ(Check(m).at(0), ok);
  struct Restore {
    ~Restore() {
      setenv("SSL_CERT_FILE", world_->ca->CertFile().c_str(), 1);
      setenv("SSL_CERT_DIR", world_->pki.File("no-more-cas").c_str(), 1);
    }
  } restore;

  // Another file named by the variable.
  setenv("SSL_CERT_FILE", world_->otherCa->CertFile().c_str(), 1);
  EXPECT_EQ(Check(m).at(0), untrusted);
  // The file in use rewritten in place, as an operator's editor or tool would.
  const std::string file = world_->pki.File("trusted.pem");
  WriteFile(file, ReadFile(world_->ca->CertFile()));
  setenv("SSL_CERT_FILE", file.c_str(), 1);
  EXPECT_EQ(Check(m).at(0), ok);
  WriteFile(file, ReadFile(world_->otherCa->CertFile()));
  EXPECT_EQ(Check(m).at(0), untrusted);
  // A directory of hashed names, as update-ca-certificates makes it.
  const std::string dir = world_->pki.File("hashed");
  std::filesystem::create_directories(dir);
  setenv("SSL_CERT_DIR", dir.c_str(), 1);
  EXPECT_EQ(Check(m).at(0), untrusted);
  std::filesystem::copy_file(world_->ca->CertFile(), dir + "/test-ca.pem");
  ASSERT_EQ(RunProcess({FindProgram("openssl"), "rehash", "."}, dir), 0);
  EXPECT_EQ(Check(m).at(0), ok);
}

TEST_F(HttpsCheckTest, ThroughTinyproxyTheRequestGoesInsideAConnectTunnel) {
  TinyProxy proxy;
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  Monitor* m = MonitorFor(nginx().HttpsUrl(kGood, "/index.html"));
  m->SetValue("proxy", "127.0.0.1");
  m->SetValue("proxyport", std::to_string(proxy.Port()));
  m->SetValue("mustinclude", "Sentrel test page");
  EXPECT_EQ(Check(m),
            std::vector<std::string>{"web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK"});

  // The tunnel does not spare the certificate its checks.
  m->SetValue("url", nginx().HttpsUrl(kWrongName, "/index.html"));
  EXPECT_EQ(Check(m).at(0),
            "web1 HTTP 80 LOST 0ms 0Bytes 404 TLS: host name mismatch (Received No Data)");

  const std::string log = ReadFile(proxy.Dir().File("tinyproxy.log"));
  EXPECT_NE(log.find("CONNECT localhost:" + std::to_string(nginx().TlsPort(kGood))),
            std::string::npos)
      << log;
  std::string access = ReadFile(nginx().Dir().File("access.log"));
  EXPECT_NE(access.find("\"GET /index.html HTTP/1.0\" 200"), std::string::npos) << access;
}

// The verified server at its IPv6 address: directly, and inside a CONNECT tunnel of
// tinyproxy listening on ::1, whose target keeps its brackets.
TEST_F(HttpsCheckTest, AtAnIpv6AddressDirectlyAndThroughAProxyOnIpv6) {
  std::string why;
  if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  const std::string ok = "web1 HTTP 80 OK 0ms " + bytes_ + "Bytes E0 200 OK";
  Monitor* m = MonitorFor(nginx().HttpsUrl(kGood, "/index.html", "[::1]"));
  EXPECT_EQ(Check(m), std::vector<std::string>{ok});
  // The certificate of the other site names no address at all.
  m->SetValue("url", nginx().HttpsUrl(kWrongName, "/index.html", "[::1]"));
  EXPECT_EQ(Check(m).at(0),
            "web1 HTTP 80 LOST 0ms 0Bytes 404 TLS: host name mismatch (Received No Data)");

  TinyProxy proxy(AF_INET6);
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  m->SetValue("url", nginx().HttpsUrl(kGood, "/index.html", "[::1]"));
  m->SetValue("proxy", "::1");
  m->SetValue("proxyport", std::to_string(proxy.Port()));
  EXPECT_EQ(Check(m).at(0), ok);
  const std::string log = ReadFile(proxy.Dir().File("tinyproxy.log"));
  EXPECT_NE(log.find("CONNECT [::1]:" + std::to_string(nginx().TlsPort(kGood))), std::string::npos)
      << log;
}

// Peers that are no TLS servers, or bad ones, played by a scripted loopback server.
class HttpsHostilePeerTest : public HttpsFixture {
 protected:
  static std::string Https(const LoopbackServer& s) {
    return "https://127.0.0.1:" + std::to_string(s.Port()) + "/";
  }
  static void AnswerTheFirstBytes(LoopbackServer& s) {
    s.SetComplete([](const std::string& received) { return !received.empty(); });
  }
};

TEST_F(HttpsHostilePeerTest, AServerThatStallsInTheHandshakeIsAbortedByTheNextCheck) {
  // One says nothing after the client's hello, the other stops inside its own.
  LoopbackServer silent([](const std::string&) { return Reply::Silent(); });
  LoopbackServer halfway([](const std::string&) {
    Reply r = Reply::Bytes(std::string("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03", 11));
    r.close = false;
    return r;
  });
  for (LoopbackServer* server : {&silent, &halfway}) {
    AnswerTheFirstBytes(*server);
    clock_.SetAutoAdvance(false);
    Monitor* m = MonitorFor(Https(*server));
    m->status = "green";
    RunToCompletion(checks().DoAHTTP(*m));
    ASSERT_TRUE(WaitReal(
        [&] { return !server->Connections().empty() && server->Connections()[0]->answered; }));
    // What the client sent is a TLS handshake record: its hello.
    EXPECT_EQ(server->Connections()[0]->received.substr(0, 1), "\x16");

    clock_.AdvanceMs(60000);
    clock_.SetAutoAdvance(true);
    size_t before = RecordLines(Log("web1")).size();
    RunToCompletion(
        checks().DoAHTTP(*m));  // aborts the stalled request, waits, and starts the next
    EXPECT_EQ(RecordLines(Log("web1")).at(before),
              "web1 HTTP 80 LOST 60000ms 0Bytes 404 Request Timed Out (Received No Data)");
    EXPECT_EQ(m->status, "yellow");

    // The next request stalls the same way; the monitor is deleted meanwhile. Its
    // connection goes, and no record comes.
    ASSERT_TRUE(WaitReal(
        [&] { return server->Connections().size() == 2 && server->Connections()[1]->answered; }));
    const size_t records = RecordLines(Log("web1")).size();
    web1_->ports.Delete(web1_->ports.IndexOf(m));
    // (Closed with the server's bytes unread, the connection ends with a reset.)
    EXPECT_TRUE(WaitReal(
        [&] { return server->Connections()[1]->peerClosed || server->Connections()[1]->reset; }));
    EXPECT_EQ(RecordLines(Log("web1")).size(), records);
  }
}

TEST_F(HttpsHostilePeerTest, GarbageOrAnEarlyCloseInsteadOfAHandshakeFailsCleanly) {
  struct Case {
    Reply reply;
    std::string reason;
  };
  Reply endless = Reply::Stream("", SIZE_MAX, "");
  Reply noise = Reply::Bytes(std::string("\x16\x03\x03\xff\xff", 5) + std::string(300, '\x99'));
  noise.close = false;
  std::vector<Case> cases = {
      {Reply::Bytes("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"),
       "TLS handshake failed: the server does not speak TLS"},
      {noise, "TLS handshake failed: the server does not speak TLS"},
      {endless, "TLS handshake failed: the server does not speak TLS"},
      {Reply::Bytes(""), "TLS: connection closed during handshake"},
      // A record that claims to be an alert, cut off by the close.
      {Reply::Bytes(std::string("\x15\x03\x03\x00\x02\x02", 6)),
       "TLS: connection closed during handshake"},
      {Reply::Bytes(std::string("\x15\x03\x03\x00\x02\x02\x28", 7)),
       "TLS handshake failed: alert from the server: handshake failure"},
  };
  for (const Case& c : cases) {
    LoopbackServer server([&](const std::string&) { return c.reply; });
    AnswerTheFirstBytes(server);
    Monitor* m = MonitorFor(Https(server));
    m->status = "green";
    EXPECT_EQ(Check(m).at(0),
              "web1 HTTP 80 LOST 0ms 0Bytes 404 " + c.reason + " (Received No Data)");
  }
  EXPECT_TRUE(errors_.empty());
}

TEST_F(HttpsHostilePeerTest, AProxyThatRefusesTheTunnelFailsWithItsAnswer) {
  struct Case {
    Reply reply;
    std::string reason;
  };
  std::vector<Case> cases = {
      {Reply::Bytes("HTTP/1.0 403 Access violation\r\nContent-Type: text/html\r\n\r\n<html>"),
       "proxy refused CONNECT: 403 Access violation"},
      {Reply::Bytes("HTTP/1.0 407 Proxy\x01"
                    "Authentication\r\n\r\n"),
       "proxy refused CONNECT: 407 Proxy Authentication"},
      {Reply::Bytes("HTTP/1.0 200 Connection established\r\n"),
       "proxy closed the connection during CONNECT"},
      // An open tunnel whose far end is no TLS server.
      {Reply::Bytes("HTTP/1.0 200 Connection established\r\n\r\nHTTP/1.1 400 Bad Request\r\n\r\n"),
       "TLS handshake failed: the server does not speak TLS"},
  };
  for (const Case& c : cases) {
    LoopbackServer proxy([&](const std::string&) { return c.reply; });
    Monitor* m = MonitorFor("https://localhost:8443/status");
    m->SetValue("proxy", "127.0.0.1:" + std::to_string(proxy.Port()));
    m->status = "green";
    EXPECT_EQ(Check(m).at(0),
              "web1 HTTP 80 LOST 0ms 0Bytes 404 " + c.reason + " (Received No Data)");
    EXPECT_EQ(proxy.Requests().at(0),
              "CONNECT localhost:8443 HTTP/1.0\r\nHost: localhost:8443\r\n\r\n");
  }
}

}  // namespace
}  // namespace sentrel::test
