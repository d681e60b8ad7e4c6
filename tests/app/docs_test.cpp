// The user's documentation says what the program does: the settings it reads, the
// records a failing check writes and the codes in them, the alerting rule of the manual,
// and the statements an operator relies on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/socket_errors.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

std::string Doc(const std::string& relative) {
  return ReadFile(std::string(SENTREL_SOURCE_DIR) + "/" + relative);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The names in backticks in the first column of a table under the heading.
std::vector<std::string> TableKeys(const std::string& doc, const std::string& heading) {
  std::vector<std::string> keys;
  bool in = false;
  for (const std::string& line : Lines(doc)) {
    if (line.rfind("## ", 0) == 0) in = line.rfind(heading, 0) == 0;
    if (!in || line.rfind("| `", 0) != 0) continue;
    const std::string cell = line.substr(1, line.find('|', 1) - 1);
    for (size_t open = cell.find('`'); open != std::string::npos; open = cell.find('`', open)) {
      const size_t close = cell.find('`', open + 1);
      keys.push_back(cell.substr(open + 1, close - open - 1));
      open = close + 1;
    }
  }
  return keys;
}

// Every setting of [Sentrel] that the settings document lists is in the man page's list
// of settings, and --help names the ones that change how the program checks.
TEST(DocsTest, TheSettingsOfTheSentrelSectionAreInTheManPageAndHelp) {
  const std::vector<std::string> keys = TableKeys(Doc("docs/settings-file.md"), "## [Sentrel]");
  ASSERT_GE(keys.size(), 12u);
  const std::string man = Doc("docs/sentrel.1");
  const std::string settings = man.substr(man.find("sentrel.ini\nThe settings."));
  for (const std::string& key : keys)
    EXPECT_NE(settings.find(key), std::string::npos) << key << " is not in the man page's list";

  std::string help;
  ASSERT_EQ(RunProcess({SENTREL_BINARY, "--help"}, "/", &help), 0);
  for (const char* said : {"ParallelChecks=1 ", "ParallelChecks=0 ", "ParallelCheckLimit=N "})
    EXPECT_NE(help.find(said), std::string::npos) << said << "\n" << help;
}

// The manual's example records of a failing port and HTTP check are the ones the real
// program writes (times and numbers apart), every line of the log ends in CR LF as the
// documents say, and the table of error codes gives each code's own text.
TEST(DocsTest, TheRecordsOfFailingChecksAreThoseTheManualShows) {
  const std::string manual = Doc("docs/manual.md");
  // The example blocks: indented record lines, without their time stamp.
  std::vector<std::string> port, http;
  for (const std::string& line : Lines(manual)) {
    if (line.rfind("    20", 0) != 0) continue;
    const std::string record = line.substr(4 + 20);
    if (record.find(" PORT 5432 ") != std::string::npos) port.push_back(record);
    if (record.find(" HTTP 80 ") != std::string::npos) http.push_back(record);
  }
  ASSERT_EQ(port.size(), 5u);
  ASSERT_EQ(http.size(), 3u);

  TempDir dir;
  ClosedPort closed;
  const std::string p = std::to_string(closed.Port());
  WriteFile(dir.File("servers.mcf"),
            "[db1]\r\nIP=127.0.0.1\r\n[db1:port]\r\nTyp=port\r\nPort=" + p +
                "\r\nintervall=1\r\n[web1]\r\nIP=127.0.0.1\r\n[web1:http]\r\nTyp=http\r\nPort=" +
                p + "\r\nData=url=http://127.0.0.1:" + p + "/\r\nintervall=1\r\n");
  ChildProcess program({SENTREL_BINARY, "--headless", "--no-web", "--data-dir", dir.File("data"),
                        "--settings", dir.File("settings.ini"), dir.File("servers.mcf")},
                       dir.Path());
  auto enough = [&] {
    return RecordLines(ReadFile(dir.File("data/db1.log"))).size() >= port.size() &&
           RecordLines(ReadFile(dir.File("data/web1.log"))).size() >= http.size();
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!enough() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(10000), 0) << program.Stderr();

  // The same records but for the port number and the measured times.
  auto normal = [&](std::string record) {
    record = std::regex_replace(record, std::regex(" (5432|80|" + p + ") "), " P ");
    return std::regex_replace(record, std::regex(" [0-9]+ms "), " Nms ");
  };
  for (const auto& [log, examples] :
       {std::pair{dir.File("data/db1.log"), port}, std::pair{dir.File("data/web1.log"), http}}) {
    const std::string text = ReadFile(log);
    std::vector<std::string> records = RecordLines(text);
    ASSERT_GE(records.size(), examples.size()) << text;
    for (size_t i = 0; i < examples.size(); ++i)
      EXPECT_EQ(normal(records[i]), normal(examples[i])) << log;
    for (const std::string& line : Lines(text)) EXPECT_EQ(line.back(), '\r') << log;
  }
  for (const std::string& line : Lines(ReadFile(dir.File("settings.ini"))))
    EXPECT_EQ(line.back(), '\r') << "settings.ini";
  for (const char* doc : {"docs/manual.md", "docs/sentrel.1"})
    EXPECT_NE(Doc(doc).find("CR LF"), std::string::npos) << doc;

  // "| 10064, 10065 | Host is down, no route to host |": each code's text, in its row.
  size_t rows = 0;
  for (const std::string& line : Lines(manual)) {
    std::smatch codes;
    if (!std::regex_search(line, codes, std::regex("^\\| (1[01][0-9]{3}(, 1[01][0-9]{3})*) \\|")))
      continue;
    ++rows;
    std::istringstream list(codes[1].str());
    for (std::string code; std::getline(list >> std::ws, code, ',');)
      EXPECT_NE(Lower(line).find(Lower(socketErrorText(std::stoi(code)))), std::string::npos)
          << line;
  }
  EXPECT_GE(rows, 6u);
}

// The manual's alerting rule, run by Prometheus's own rule tester: its description quotes
// the count of failed checks, not the colour.
TEST(DocsTest, TheManualsAlertingRuleQuotesTheFailedChecks) {
  if (access("/usr/bin/promtool", X_OK) != 0)
    GTEST_SKIP() << "promtool is not installed (apt-get install prometheus)";
  const std::string manual = Doc("docs/manual.md");
  const size_t start = manual.find("```yaml\ngroups:");
  ASSERT_NE(start, std::string::npos);
  const size_t body = manual.find('\n', start) + 1;
  TempDir dir;
  WriteFile(dir.File("rules.yml"), manual.substr(body, manual.find("```", body) - body));
  const std::string red =
      "{server=\"db1\",monitor=\"port\",type=\"port\",port=\"5432\",group=\"Main\","
      "instance=\"m1:8080\",job=\"sentrel\"}";
  const std::string green =
      "{server=\"web1\",monitor=\"http\",type=\"http\",port=\"80\",group=\"Main\","
      "instance=\"m1:8080\",job=\"sentrel\"}";
  WriteFile(
      dir.File("test.yml"),
      "rule_files: [rules.yml]\n"
      "evaluation_interval: 1m\n"
      "tests:\n"
      "  - interval: 1m\n"
      "    input_series:\n"
      "      - series: 'sentrel_monitor_colour" +
          red +
          "'\n"
          "        values: '3x10'\n"
          "      - series: 'sentrel_monitor_lost_checks" +
          red +
          "'\n"
          "        values: '5x10'\n"
          "      - series: 'sentrel_monitor_colour" +
          green +
          "'\n"
          "        values: '1x10'\n"
          "      - series: 'sentrel_monitor_lost_checks" +
          green +
          "'\n"
          "        values: '0x10'\n"
          "      - series: 'up{instance=\"m1:8080\",job=\"sentrel\"}'\n"
          "        values: '1x10'\n"
          "    alert_rule_test:\n"
          "      - eval_time: 5m\n"
          "        alertname: SentrelMonitorDown\n"
          "        exp_alerts:\n"
          "          - exp_labels: {severity: page, server: db1, monitor: port, type: port,\n"
          "                         port: '5432', group: Main, instance: 'm1:8080', job: sentrel}\n"
          "            exp_annotations:\n"
          "              summary: 'db1 port 5432 is down'\n"
          "              description: \"5 failed checks in a row: see the server's log in "
          "Sentrel at m1:8080.\"\n"
          "      - eval_time: 5m\n"
          "        alertname: SentrelUnreachable\n"
          "        exp_alerts: []\n");
  std::string out, err;
  EXPECT_EQ(RunProcess({"/usr/bin/promtool", "test", "rules", "test.yml"}, dir.Path(), &out, &err),
            0)
      << out << err;
}

// What the documents say about stopping and about the alerts of shared events holds.
TEST(DocsTest, StatementsThatNoLongerHoldAreGone) {
  const struct {
    const char* doc;
    const char* stale;
  } cases[] = {
      // SIGTERM ends every waiting check at once.
      {"docs/sentrel.1", "waits up to 10 s"},
      // The latency marks are kept per monitor.
      {"docs/events-file.md", "share them"},
      // A failing check writes more than one record.
      {"docs/manual.md", "Every check writes one record"},
  };
  for (const auto& c : cases) EXPECT_EQ(Doc(c.doc).find(c.stale), std::string::npos) << c.doc;
}

}  // namespace
}  // namespace sentrel::test
