// Three real headless Sentrels split one server file of 300 servers with --shard: every
// server is checked by exactly one of them, and the union of their metrics names each
// server once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/file_util.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/test_env.h"
#include "support/web_servers.h"

namespace sentrel::test {
namespace {

using ::testing::HasSubstr;

TEST(ShardE2eTest, ThreeShardsCheckEachOfThreeHundredServersOnce) {
  TempDir dir;
  ClosedPort refusing;  // every monitor's port: refused at once, the cheapest check there is
  std::string file;
  char name[8];
  for (int i = 1; i <= 300; ++i) {
    std::snprintf(name, sizeof name, "s%03d", i);
    file += std::string("[") + name + "]\r\nIP=127.0.0.1\r\nLogfile=" + name + ".log\r\nGroup=G" +
            std::to_string(i % 7) + "\r\n[" + name +
            ":port]\r\nTyp=port\r\nPort=" + std::to_string(refusing.Port()) +
            "\r\nData=GYtoR=none\r\nintervall=3600\r\n";
  }
  WriteFile(dir.File("servers.mcf"), file);

  struct Instance {
    std::string data;
    uint16_t web;
    std::unique_ptr<ChildProcess> process;
  };
  std::vector<Instance> shards;
  for (int k = 1; k <= 3; ++k) {
    Instance in{dir.File("shard" + std::to_string(k)), FreeLoopbackPort(), nullptr};
    ASSERT_EQ(mkdir(in.data.c_str(), 0755), 0);
    in.process = std::make_unique<ChildProcess>(
        std::vector<std::string>{SENTREL_BINARY, "--headless", "--shard", std::to_string(k) + "/3",
                                 "--data-dir", in.data, "--settings", in.data + "/settings.ini",
                                 "--web-bind", "127.0.0.1", "--web-ports", std::to_string(in.web),
                                 dir.File("servers.mcf")},
        in.data);
    shards.push_back(std::move(in));
  }

  // Each shard's metrics: server -> its monitor's colour (0 while it has not been checked).
  const std::regex line(R"re(^sentrel_monitor_colour\{server="([^"]*)"[^}]*\} (\S+)$)re");
  auto metrics = [&](const Instance& in) {
    std::map<std::string, double> checked;
    std::string out;
    RunProcess({FindProgram("curl"), "-sf", "--max-time", "5",
                "http://127.0.0.1:" + std::to_string(in.web) + "/metrics"},
               "/", &out);
    std::istringstream lines(out);
    std::smatch m;
    for (std::string l; std::getline(lines, l);)
      if (std::regex_match(l, m, line)) checked[m[1]] = std::stod(m[2]);
    return checked;
  };
  std::vector<std::map<std::string, double>> seen(3);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    size_t checked = 0;
    for (size_t k = 0; k < 3; ++k) {
      seen[k] = metrics(shards[k]);
      for (const auto& [server, colour] : seen[k]) checked += colour > 0;
    }
    if (checked >= 300 || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (Instance& in : shards) {
    in.process->Signal(SIGTERM);
    EXPECT_EQ(in.process->Wait(15'000), 0) << in.process->Stderr();
  }

  std::map<std::string, int> shardOf;
  int watched = 0;
  for (int k = 0; k < 3; ++k) {
    EXPECT_GT(seen[static_cast<size_t>(k)].size(), 60u) << "the hash spreads the names";
    for (const auto& [server, colour] : seen[static_cast<size_t>(k)]) {
      EXPECT_GT(colour, 0) << server << " was not checked by shard " << k + 1;
      EXPECT_TRUE(shardOf.emplace(server, k).second) << server << " is in two shards' metrics";
    }
    // What it says at the start, and the logs it wrote: its own servers' only.
    const std::string said = shards[static_cast<size_t>(k)].process->Stderr();
    EXPECT_THAT(said,
                HasSubstr("Shard " + std::to_string(k + 1) + "/3: this Sentrel watches " +
                          std::to_string(seen[static_cast<size_t>(k)].size()) + " of 300 servers"));
    for (int i = 1; i <= 300; ++i) {
      std::snprintf(name, sizeof name, "s%03d", i);
      const bool logged = FileExists(shards[static_cast<size_t>(k)].data + "/" + name + ".log");
      EXPECT_EQ(logged, seen[static_cast<size_t>(k)].count(name) == 1) << name;
      watched += logged;
    }
  }
  EXPECT_EQ(shardOf.size(), 300u);

  EXPECT_EQ(watched, 300);
}

}  // namespace
}  // namespace sentrel::test
