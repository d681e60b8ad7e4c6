// The real program, headless, with its status web server on loopback ports.
#include <gtest/gtest.h>
#include <signal.h>

#include <charconv>
#include <chrono>
#include <regex>
#include <thread>

#include "model/server_list.h"
#include "support/loop_client.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ChildProcess;

class HeadlessWebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerList list;
    Server* s = list.Items(list.Add("loopback"));
    s->ip = "127.0.0.1";
    s->group = "Local";
    s->logfile = "loopback.log";
    list.SaveToFile(dir_.File("servers.mcf"));
  }
  std::vector<std::string> Args(const std::string& ports) {
    return {SENTREL_BINARY, "--headless", "--data-dir",
            dir_.Path(),    "--settings", dir_.File("settings.ini"),
            "--web-ports",  ports,        dir_.File("servers.mcf")};
  }
  test::TempDir dir_;
};

TEST_F(HeadlessWebTest, ServesThePageOnTheFirstFreePortOfTheList) {
  test::PortHolder taken;
  const int second = test::FreePort();
  ChildProcess program(Args(std::to_string(taken.Port()) + "," + std::to_string(second)),
                       dir_.Path());
  ASSERT_TRUE(test::WaitForListener(second, 10000)) << program.Stderr();
  std::string reply = test::FetchBlocking(second, "GET /favicon.ico HTTP/1.1\r\n\r\n");
  const std::string header =
      "HTTP/1.0 200 OK \r\nContent-Type: text/html\r\nServer: Sentrel 2.2\r\nContent-Length: ";
  ASSERT_EQ(reply.rfind(header, 0), 0u) << reply.substr(0, 200);
  const size_t lengthEnd = reply.find("\r\n", header.size());
  const size_t body = lengthEnd + 4;
  EXPECT_EQ(reply.substr(lengthEnd, 15), "\r\n\r\n\r\n <HTML>\r\n");
  EXPECT_EQ(reply.substr(header.size(), lengthEnd - header.size()),
            std::to_string(reply.size() - body));
  EXPECT_NE(reply.find("Local<hr noframe></b></td><tr><td nowrap bgcolor=\"#eeeeee\"><font size=2 "
                       "face=\"Tahoma,arial,sans serif\">loopback</td>"),
            std::string::npos);
  EXPECT_NE(reply.find(" Sentrel 2.2 started</td></tr></table><p>"), std::string::npos);
  EXPECT_TRUE(reply.ends_with("</BODY></HTML>"));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
  // The operator of a service learns where the page is; requests are not logged.
  std::string out = program.Stdout();
  EXPECT_NE(out.find("Sentrel-Webserver (Port " + std::to_string(second) + "): idle\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find(" requests"), std::string::npos) << out;
}

TEST_F(HeadlessWebTest, NoWebKeepsThePortClosed) {
  const int port = test::FreePort();
  auto args = Args(std::to_string(port));
  args.insert(args.begin() + 2, "--no-web");
  ChildProcess program(args, dir_.Path());
  ASSERT_TRUE(program.WaitForOutput("Sentrel-Webserver disabled\n", 10000)) << program.Stderr();
  EXPECT_FALSE(test::WaitForListener(port, 300));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);
}

// The text after key that follows anchor, up to one of the ends: a monitor's sample in
// the metrics, or a field of its object in /status.json.
std::string After(const std::string& text, const std::string& anchor, const std::string& key,
                  const char* ends) {
  const size_t at = text.find(key, text.find(anchor));
  if (text.find(anchor) == std::string::npos || at == std::string::npos) return "";
  return text.substr(at + key.size(), text.find_first_of(ends, at + key.size()) - at - key.size());
}
std::string Sample(const std::string& metrics, const std::string& family, const std::string& m) {
  return After(metrics, family + "{server=\"db1\",monitor=\"" + m + "\",", "} ", "\n");
}
std::string JsonField(const std::string& json, const std::string& m, const std::string& key) {
  return After(json, "{\"name\":\"" + m + "\"", "\"" + key + "\":", ",}");
}

std::string Body(int port, const std::string& path) {
  const std::string reply = test::FetchBlocking(port, "GET " + path + " HTTP/1.0\r\n\r\n");
  const size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

// What /metrics and /status.json say of a monitor agrees with its records: the time of
// the last check, failed or not (a silent port waits 10 s, though its last record says
// 0ms); the lost count of the last record; no success when there was none in this run.
TEST_F(HeadlessWebTest, MetricsAndJsonTellWhatTheRecordsSay) {
  test::SilentPort silent;
  test::ClosedPort closed;
  const std::string cfg = dir_.File("figures.mcf");
  test::WriteFile(
      cfg,
      "[db1]\r\nIP=127.0.0.1\r\nLogfile=db1.log\r\n"
      "[db1:port]\r\nTyp=port\r\nPort=" +
          std::to_string(silent.Port()) +
          "\r\nintervall=3600\r\n[db1:http]\r\nTyp=http\r\nPort=" + std::to_string(closed.Port()) +
          "\r\nData=url=http://127.0.0.1:" + std::to_string(closed.Port()) +
          "/\r\nintervall=3\r\n");
  // In parallel, so the HTTP monitor is checked again while the port waits.
  test::WriteFile(dir_.File("settings.ini"), "[Sentrel]\r\nParallelChecks=1\r\n");
  const int web = test::FreePort();
  auto args = Args(std::to_string(web));
  args.back() = cfg;
  test::ChildProcess program(args, dir_.Path());
  ASSERT_TRUE(test::WaitForListener(web, 10000)) << program.Stderr();
  const std::string log = dir_.File("db1.log");
  auto waitFor = [&](const std::function<bool()>& done) {
    // The outcome of the last look is the answer: looking once more could find a record
    // written since, and lose the moment the look before had caught.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  // The port's one check ends after its 10 s; the HTTP monitor is red by then.
  ASSERT_TRUE(waitFor([&] { return test::ReadFile(log).find("Error=10057") != std::string::npos; }))
      << program.Stdout();
  // The scrape and the records of one moment: no check may end in between.
  std::string records, metrics, json;
  ASSERT_TRUE(waitFor([&] {
    records = test::ReadFile(log);
    metrics = Body(web, "/metrics");
    json = Body(web, "/status.json");
    return records == test::ReadFile(log);
  }));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0);

  struct Monitor {
    const char* name;
    std::string kind;  // as the records write it, with the port
  };
  const Monitor monitors[] = {{"port", "PORT " + std::to_string(silent.Port())},
                              {"http", "HTTP " + std::to_string(closed.Port())}};
  const std::regex record("db1 [A-Z]+ [0-9]+ [A-Z]+ ([0-9]+)ms .*?(?: \\(([0-9]+) lost\\))?");
  for (const Monitor& m : monitors) {
    // The last record gives the count; the last one not of a port's probe the time.
    std::string lost = "0", ms;
    for (const std::string& line : test::RecordLines(records)) {
      std::smatch match;
      if (line.find("db1 " + m.kind + " ") != 0 || !std::regex_match(line, match, record)) continue;
      lost = match[2].matched ? match[2].str() : "0";
      if (line.find("Error=") == std::string::npos) ms = match[1].str();
    }
    ASSERT_FALSE(ms.empty()) << m.name << "\n" << records;
    char text[32];
    const std::string seconds(text,
                              std::to_chars(text, text + sizeof text, std::stoi(ms) / 1000.0).ptr);
    EXPECT_EQ(Sample(metrics, "sentrel_monitor_lost_checks", m.name), lost) << m.name << "\n"
                                                                            << records;
    EXPECT_EQ(JsonField(json, m.name, "lostCount"), lost) << m.name;
    EXPECT_EQ(Sample(metrics, "sentrel_monitor_last_request_duration_seconds", m.name), seconds)
        << m.name << "\n"
        << records;
    EXPECT_EQ(Sample(metrics, "sentrel_monitor_last_success_timestamp_seconds", m.name), "0")
        << m.name;
    EXPECT_EQ(JsonField(json, m.name, "lastSuccess"), "null") << m.name;
  }
  EXPECT_GE(std::stoi(Sample(metrics, "sentrel_monitor_last_request_duration_seconds", "port")),
            10);
}

}  // namespace
}  // namespace sentrel
