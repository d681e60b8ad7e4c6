#include "support/loopback_server.h"
#include "support/network_fixture.h"
#include "support/web_servers.h"

namespace sentrel::test {
namespace {

const char kPage[] = "<html><body><h1>Welcome to the Sentrel test page</h1></body></html>\n";

// The HTTP check against nginx, directly and through tinyproxy, both started here.
class RealServersTest : public Web1HttpFixture {
 protected:
  std::string Check(Monitor* m) {
    size_t before = RecordLines(Log("web1")).size();
    RunToCompletion(checks().DoAHTTP(*m));
    EXPECT_TRUE(WaitReal([&] { return RecordLines(Log("web1")).size() > before; }, 10000));
    auto lines = RecordLines(Log("web1"));
    return lines.empty() ? "" : lines.back();
  }
};

TEST_F(RealServersTest, NginxPageRedirectAndMissingPage) {
  NginxServer nginx(kPage);
  if (!nginx.Ok()) GTEST_SKIP() << nginx.Why();
  const std::string bytes = std::to_string(sizeof kPage - 1);

  Monitor* m = MonitorFor(nginx.Url("/index.html"));
  m->SetValue("mustinclude", "welcome to the sentrel");
  EXPECT_EQ(Check(m), "web1 HTTP 80 OK 0ms " + bytes + "Bytes E0 200 OK");
  EXPECT_EQ(m->status, "green");

  m->SetValue("url", nginx.Url("/old"));
  EXPECT_EQ(Check(m), "web1 HTTP 80 OK 0ms " + bytes + "Bytes E0 200 OK");

  m->SetValue("url", nginx.Url("/missing.html"));
  EXPECT_EQ(Check(m), "web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (Received No Data)");

  // Our request as nginx logged it: an HTTP/1.0 GET of the path.
  std::string access = ReadFile(nginx.Dir().File("access.log"));
  EXPECT_NE(access.find("\"GET /index.html HTTP/1.0\" 200"), std::string::npos) << access;
  EXPECT_NE(access.find("\"GET /old HTTP/1.0\" 302"), std::string::npos) << access;
}

TEST_F(RealServersTest, ThroughTinyproxyTheUrlsPortIsKept) {
  NginxServer nginx(kPage);
  if (!nginx.Ok()) GTEST_SKIP() << nginx.Why();
  TinyProxy proxy;
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();

  // The web server is not on port 80: only a request line that keeps the URL's port
  // lets the proxy reach it.
  Monitor* m = MonitorFor(nginx.Url("/index.html"));
  m->SetValue("proxy", "127.0.0.1");
  m->SetValue("proxyport", std::to_string(proxy.Port()));
  m->SetValue("mustinclude", "Sentrel test page");
  EXPECT_EQ(Check(m),
            "web1 HTTP 80 OK 0ms " + std::to_string(sizeof kPage - 1) + "Bytes E0 200 OK");

  // A relocation through the proxy stays with the proxy.
  m->SetValue("url", nginx.Url("/old"));
  EXPECT_EQ(Check(m),
            "web1 HTTP 80 OK 0ms " + std::to_string(sizeof kPage - 1) + "Bytes E0 200 OK");

  m->SetValue("url", nginx.Url("/missing.html"));
  std::string lost = Check(m);
  EXPECT_EQ(lost.rfind("web1 HTTP 80 LOST 0ms 0Bytes 404 ", 0), 0u) << lost;
  EXPECT_EQ(lost.substr(lost.size() - 19), " (Received No Data)") << lost;
  EXPECT_NE(ReadFile(proxy.Dir().File("tinyproxy.log")).find("/index.html"), std::string::npos);
}

// The same over IPv6: nginx on [::1], directly (its redirect names [::1] and the port)
// and through tinyproxy listening on ::1.
TEST_F(RealServersTest, NginxAndTinyproxyOnIpv6Loopback) {
  std::string why;
  if (!LoopbackIpv6(&why)) GTEST_SKIP() << why;
  NginxServer nginx(kPage);
  if (!nginx.Ok()) GTEST_SKIP() << nginx.Why();
  ASSERT_TRUE(nginx.OnIpv6());
  const std::string ok =
      "web1 HTTP 80 OK 0ms " + std::to_string(sizeof kPage - 1) + "Bytes E0 200 OK";

  Monitor* m = MonitorFor(nginx.Url("/index.html", "[::1]"));
  m->SetValue("mustinclude", "Sentrel test page");
  EXPECT_EQ(Check(m), ok);
  m->SetValue("url", nginx.Url("/old", "[::1]"));
  EXPECT_EQ(Check(m), ok);
  std::string access = ReadFile(nginx.Dir().File("access.log"));
  EXPECT_NE(access.find("::1 - - "), std::string::npos) << "nginx saw an IPv6 client: " << access;

  TinyProxy proxy(AF_INET6);
  if (!proxy.Ok()) GTEST_SKIP() << proxy.Why();
  m->SetValue("url", nginx.Url("/index.html", "[::1]"));
  m->SetValue("proxy", "::1");
  m->SetValue("proxyport", std::to_string(proxy.Port()));
  EXPECT_EQ(Check(m), ok);
  std::string log = ReadFile(proxy.Dir().File("tinyproxy.log"));
  EXPECT_NE(log.find("/index.html"), std::string::npos) << log;
}

}  // namespace
}  // namespace sentrel::test
