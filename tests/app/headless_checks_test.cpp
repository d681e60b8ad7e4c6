#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "platform/icmp_echo.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"

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

}  // namespace
}  // namespace sentrel::test
