// A real Prometheus server scrapes the real program: both run on loopback ports of this
// test, Prometheus with a configuration and a data folder of its own in a temporary
// folder, and both are stopped at the end (the package's own service is never used).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/server_list.h"
#include "support/loop_client.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

constexpr const char* kPrometheus = "/usr/bin/prometheus";

// A web service on 127.0.0.1 that answers every request on a thread of its own: "200 OK"
// while it is healthy, "500" once it is broken.
class WebService {
 public:
  WebService() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(fd_, 64) < 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) < 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      // Bounded: it ends when told, and after at most 10,000 answers.
      for (int n = 0; !stop_ && n < 10000;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        timeval tv{1, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[4096];
        [[maybe_unused]] ssize_t got = recv(c, buf, sizeof buf, 0);
        const std::string reply =
            broken_ ? "HTTP/1.0 500 Broken\r\n\r\nbroken" : "HTTP/1.0 200 OK\r\n\r\nok";
        [[maybe_unused]] ssize_t sent = send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c);
        ++n;
      }
    });
  }
  ~WebService() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  void Break() { broken_ = true; }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> broken_{false};
  std::thread thread_;
};

// The body of a GET to the Prometheus HTTP API on 127.0.0.1:port.
std::string ApiGet(int port, const std::string& target) {
  const std::string reply =
      test::FetchBlocking(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", 5000);
  const size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

// Polls until the body of the query holds the text, or the time is up.
bool WaitForQuery(int port, const std::string& target, const std::string& text, int seconds,
                  std::string* last) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    *last = ApiGet(port, target);
    if (last->find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

TEST(PrometheusScrapeTest, PrometheusSeesTheMonitorGoDown) {
  if (access(kPrometheus, X_OK) != 0)
    GTEST_SKIP() << "prometheus is not installed (apt-get install prometheus): the scrape by a "
                    "real Prometheus server is not tested";
  test::TempDir dir;
  WebService service;
  {
    ServerList list;
    Server* s = list.Items(list.Add("gate"));
    s->ip = "127.0.0.1";
    s->group = "Local";
    s->logfile = "gate.log";
    Monitor* m = s->ports.Items(s->ports.Add("http"));
    m->port = service.Port();
    m->interval = 1;
    m->SetValue("url", "http://127.0.0.1:" + std::to_string(service.Port()) + "/health");
    list.SaveToFile(dir.File("servers.mcf"));
  }
  const int webPort = test::FreePort();
  test::ChildProcess program({SENTREL_BINARY, "--headless", "--data-dir", dir.Path(), "--settings",
                              dir.File("settings.ini"), "--web-ports", std::to_string(webPort),
                              "--web-bind", "127.0.0.1", dir.File("servers.mcf")},
                             dir.Path());
  ASSERT_TRUE(test::WaitForListener(webPort, 10000)) << program.Stderr();

  const int promPort = test::FreePort();
  test::WriteFile(dir.File("prometheus.yml"),
                  "global:\n"
                  "  scrape_interval: 1s\n"
                  "  scrape_timeout: 1s\n"
                  "  evaluation_interval: 1s\n"
                  "scrape_configs:\n"
                  "  - job_name: sentrel\n"
                  "    static_configs:\n"
                  "      - targets: ['127.0.0.1:" +
                      std::to_string(webPort) + "']\n");
  test::ChildProcess prometheus(
      {kPrometheus, "--config.file=" + dir.File("prometheus.yml"),
       "--storage.tsdb.path=" + dir.File("data"),
       "--web.listen-address=127.0.0.1:" + std::to_string(promPort), "--log.level=warn"},
      dir.Path());
  ASSERT_TRUE(test::WaitForListener(promPort, 20000)) << prometheus.Stderr();

  const std::string up = "/api/v1/query?query=sentrel_monitor_up%7Bmonitor%3D%22http%22%7D";
  std::string last;
  // The monitor is green: up 1, with every label.
  ASSERT_TRUE(WaitForQuery(promPort, up, "\"value\":[", 30, &last)) << last << prometheus.Stderr();
  EXPECT_NE(last.find("\"__name__\":\"sentrel_monitor_up\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"server\":\"gate\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"group\":\"Local\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"type\":\"http\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"port\":\"" + std::to_string(service.Port()) + "\""), std::string::npos);
  EXPECT_NE(last.find("\"job\":\"sentrel\""), std::string::npos) << last;
  ASSERT_TRUE(WaitForQuery(promPort, up, "\"1\"]}", 30, &last)) << last;

  // The service breaks: two failed checks make the monitor red, and the next scrape
  // tells Prometheus.
  service.Break();
  ASSERT_TRUE(WaitForQuery(promPort, up, "\"0\"]}", 30, &last)) << last;
  // The scrape itself is healthy, and the program's counters are there too.
  EXPECT_TRUE(WaitForQuery(promPort, "/api/v1/query?query=up%7Bjob%3D%22sentrel%22%7D", "\"1\"]}",
                           10, &last))
      << last;
  EXPECT_TRUE(WaitForQuery(promPort,
                           "/api/v1/query?query=sentrel_monitor_colour%7Bmonitor%3D%22http%22%7D",
                           "\"3\"]}", 10, &last))
      << last;
  EXPECT_TRUE(WaitForQuery(promPort, "/api/v1/query?query=sentrel_checks_total%3E%3D3",
                           "\"sentrel_checks_total\"", 10, &last))
      << last;

  prometheus.Signal(SIGTERM);
  EXPECT_EQ(prometheus.Wait(20000), 0) << prometheus.Stderr();
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0) << program.Stderr();
}

}  // namespace
}  // namespace sentrel
