// The real program under the common limit of 1,024 open files, with more HTTP monitors
// than fit at once against a slow server: every monitor gets its OK record, none LOST.
#include <signal.h>

#include <chrono>
#include <thread>

#include "support/delayed_http_server.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"
#include "support/web_servers.h"

namespace sentrel::test {
namespace {

TEST(DescriptorLimitBinaryTest, TwoThousandSlowChecksUnderALimitOf1024AllEndOk) {
  const std::string prlimit = FindProgram("prlimit");
  if (prlimit.empty()) GTEST_SKIP() << "prlimit (util-linux) is not installed";
  constexpr int kServers = 200, kPerServer = 10;
  DelayedHttpServer server(8000);
  TempDir dir;
  std::string cfg;
  for (int i = 0; i < kServers; ++i) {
    const std::string s = "s" + std::to_string(i);
    cfg += "[" + s + "]\r\nIP=127.0.0.1\r\nLogfile=" + s + ".log\r\n";
    for (int j = 0; j < kPerServer; ++j)
      cfg += "[" + s + ":m" + std::to_string(j) + "]\r\nTyp=http\r\nPort=" + std::to_string(j) +
             "\r\nData=url=" + server.Url("/" + s) + "\r\nintervall=60\r\n";
  }
  WriteFile(dir.File("servers.mcf"), cfg);
  ChildProcess sentrel(
      {prlimit, "--nofile=1024:1024", "--", SENTREL_BINARY, "--data-dir", dir.File("data"),
       "--settings", dir.File("settings.ini"), "--no-web", "--headless", dir.File("servers.mcf")},
      dir.Path());

  // Monitors loaded from a file come due two seconds after start with interval 60.
  auto okRecords = [&] {
    int ok = 0;
    for (int i = 0; i < kServers; ++i)
      for (const std::string& line :
           RecordLines(ReadFile(dir.File("data/s" + std::to_string(i) + ".log"))))
        ok += line.find(" OK ") != std::string::npos;
    return ok;
  };
  const auto start = std::chrono::steady_clock::now();
  while (okRecords() < kServers * kPerServer &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(90))
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(20000), 0) << sentrel.Stderr();

  for (int i = 0; i < kServers; ++i) {
    const std::string s = "s" + std::to_string(i);
    auto lines = RecordLines(ReadFile(dir.File("data/" + s + ".log")));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kPerServer)) << s;
    for (int j = 0; j < kPerServer; ++j) {
      const std::string prefix = s + " HTTP " + std::to_string(j) + " OK ";
      int count = 0;
      for (const std::string& line : lines) count += line.rfind(prefix, 0) == 0;
      EXPECT_EQ(count, 1) << prefix;
    }
  }
  const std::string errors = ReadFile(dir.File("data/Sentrel errors.log"));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_NE(errors.find("RunTimeError HTTP checks wait for a free connection: "), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("(open file limit 1024)"), std::string::npos) << errors;
  std::printf("every record after %.1f s\n", took);
}

}  // namespace
}  // namespace sentrel::test
