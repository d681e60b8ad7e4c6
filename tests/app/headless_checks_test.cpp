#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "platform/icmp_echo.h"
#include "support/netns.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"
#include "support/web_servers.h"

namespace sentrel::test {
namespace {

// The program as installed, on its default configuration, really watches "localhost".
TEST(HeadlessChecksTest, DefaultConfigurationPingsLocalhostAndGoesGreen) {
  try {
    IcmpEcho probe;
  } catch (const SentrelError&) {
    GTEST_SKIP() << "this machine allows no ICMP socket (ping or raw)";
  }
  TempDir dir;
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir.File("data"), "--settings",
                        dir.File("settings.ini"), "--no-web", "--headless"},
                       dir.Path());
  const std::string log = dir.File("data/localhost.log");
  std::string text;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    text = ReadFile(log);
    if (text.find(" OK ") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
  auto lines = RecordLines(text);
  ASSERT_FALSE(lines.empty()) << sentrel.Stdout() << sentrel.Stderr();
  // The default monitor carries port 80, which the record shows.
  EXPECT_TRUE(IsWithNumber(lines[0], "localhost PING 80 OK ", "ms 56Bytes No error")) << text;
  // The pane line of the same record reaches standard output.
  EXPECT_NE(sentrel.Stdout().find("localhost PING"), std::string::npos) << sentrel.Stdout();
}

// The same program run by an ordinary user (nobody) on a machine whose group range lets
// no group open ping sockets, inside a network namespace of the test's own: the default
// ping monitor goes green through the system's ping. Without a ping program on the PATH
// as well, the monitor turns red with the reason in its record, and the pane says once
// how to mend it.
TEST(HeadlessChecksTest, AsAnOrdinaryUserPingWorksThroughTheSystemPingOrFailsVisibly) {
  const std::string setpriv = FindProgram("setpriv");
  if (setpriv.empty()) GTEST_SKIP() << "no setpriv (Debian package util-linux)";
  const bool hasPing = !FindProgram("ping").empty();
  TempDir dir;
  chmod(dir.Path().c_str(), 0777);
  std::string output;
  bool ran = RunInNetworkNamespace(
      [&]() -> std::string {
        if (!WriteProcSys("net/ipv4/ping_group_range", "1 0")) return "no ping_group_range";
        std::string out;
        for (bool withPing : {true, false}) {
          if (withPing && !hasPing) continue;
          const std::string data = dir.File(withPing ? "with" : "without");
          ChildProcess sentrel(
              {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", SENTREL_BINARY,
               "--data-dir", data, "--settings", data + ".ini", "--no-web", "--headless"},
              dir.Path(),
              withPing ? std::vector<std::string>{}
                       : std::vector<std::string>{"PATH=/nonexistent"});
          const std::string log = data + "/localhost.log";
          std::string text;
          auto start = std::chrono::steady_clock::now();
          while (std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
            text = ReadFile(log);
            if (text.find(" OK ") != std::string::npos || text.find(" DOWN ") != std::string::npos)
              break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
          sentrel.Signal(SIGTERM);
          const int code = sentrel.Wait(10000);
          auto lines = RecordLines(text);
          out += (lines.empty() ? "no record" : lines[0]) + "|exit " + std::to_string(code);
          // The messages pane says once why the system's ping sends the echoes, or once
          // why no echo can be sent at all.
          const std::string stdoutText = sentrel.Stdout();
          for (const char* message : {"Ping checks cannot send", "Ping checks run the system's"}) {
            size_t told = 0;
            for (size_t at = stdoutText.find(message); at != std::string::npos;
                 at = stdoutText.find(message, at + 1))
              ++told;
            out += "|told " + std::to_string(told);
          }
          out += "\n";
        }
        return out;
      },
      output);
  if (!ran) GTEST_SKIP() << output;
  std::vector<std::string> results;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    results.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(results.size(), hasPing ? 2u : 1u) << output;
  if (hasPing) {
    const std::string& green = results[0];
    EXPECT_TRUE(green.rfind("localhost PING 80 OK ", 0) == 0 &&
                green.find("ms 56Bytes No error|exit 0|told 0|told 1") != std::string::npos)
        << green;
  }
  // The time is the real time of the name lookup.
  EXPECT_TRUE(
      IsWithNumber(results.back(), "localhost PING 80 DOWN ",
                   "ms 56Bytes Unable to get ping handle: this user may open no ICMP "
                   "socket and there is no ping program on the PATH (2 lost)|exit 0|told 1|told 0"))
      << results.back();
  if (!hasPing)
    GTEST_SKIP() << "no ping program (Debian package iputils-ping): only its absence was checked";
}

}  // namespace
}  // namespace sentrel::test
