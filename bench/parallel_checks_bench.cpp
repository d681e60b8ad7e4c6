// Checks in order and in parallel, on the real clock, against loopback peers:
//  1. one pass over 1,000 port monitors on silent peers (a listener whose queue is full
//     drops further connection attempts): the time until every check has its verdict,
//     and the CPU spent. In order each check waits its 10 s, so that pass is measured on
//     a few monitors and scaled; in parallel it runs whole, at the default limit of 256
//     checks at once and with the limit raised to 1,000.
//  2. the record rate of 100 fast monitors (an open port, interval 1 s) while 20 silent
//     ones are checked beside them, for 30 s in each mode.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/program.h"
#include "bench_util.h"
#include "loopback_peers.h"
#include "platform/clock.h"
#include "platform/descriptor_budget.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/paths.h"

using namespace sentrel;

namespace {

using bench::OpenPeer;
using bench::QuietFrontend;
using bench::SilentPeer;

struct Bench {
  QuietFrontend frontend;
  SettingsStore settings{"/tmp/sentrel-parallel-bench-settings.ini"};
  Program program{frontend, settings};
  explicit Bench(const std::string& dataDir) {
    MakeDirectories(dataDir);
    SetDataDir(dataDir);
    program.serverList.Clear();
    CurrentLoop().SetErrorHandler([](const std::string&) {});
  }
  Monitor* Add(const std::string& name, uint16_t port, int interval) {
    return bench::AddPortMonitor(program.serverList, name, port, interval);
  }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One pass over n silent monitors; returns wall seconds until every check ended, and the
// CPU seconds spent.
std::pair<double, double> SilentPass(int n, bool parallel, int limit, const std::string& dir) {
  SilentPeer peer;
  Bench b(dir);
  for (int i = 0; i < n; ++i) b.Add("s" + std::to_string(i), peer.port, 3600);
  b.program.scanner.SetParallel(parallel, limit);
  const double cpu0 = bench::CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  b.program.StartScan();
  CurrentLoop().WaitUntil(
      [&] {
        for (int i = 0; i < n; ++i)
          if (b.program.serverList.Items(i)->ports.Items(0)->status != "red") return false;
        return true;
      },
      -1);
  const double wall = Seconds(start);
  const double cpu = bench::CpuSeconds(RUSAGE_SELF) - cpu0;
  b.program.EndWork();
  b.program.StopScan();
  return {wall, cpu};
}

// Records per second of 100 fast monitors while 20 silent ones are checked, over 30 s.
double FastRecordRate(bool parallel, const std::string& dir) {
  SilentPeer silent;
  OpenPeer open;
  Bench b(dir);
  std::vector<Monitor*> fast;
  for (int i = 0; i < 120; ++i) {
    // Silent ones spread among the fast ones, as an operator's file would have them.
    if (i % 6 == 0)
      b.Add("quiet" + std::to_string(i), silent.port, 1);
    else
      fast.push_back(b.Add("fast" + std::to_string(i), open.port, 1));
  }
  b.program.scanner.SetParallel(parallel, 256);
  b.program.StartScan();
  // Counted through the records of the log files: one OK line per fast check.
  const auto start = std::chrono::steady_clock::now();
  CurrentLoop().WaitUntil([&] { return Seconds(start) >= 30.0; }, 31'000);
  long records = 0;
  for (Monitor* m : fast) {
    auto text = ReadWholeFile(m->server->LogPath());
    if (!text) continue;
    for (char c : *text) records += c == '\n';
  }
  b.program.EndWork();
  b.program.StopScan();
  return static_cast<double>(records) / 30.0;
}

}  // namespace

int main() {
  RaiseOpenFileLimit();
  char tmpl[] = "/tmp/sentrel-parallel-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);

  std::printf("1. one pass over silent port monitors (every check waits 10 s)\n");
  auto [seqWall, seqCpu] = SilentPass(6, false, 256, dir + "/seq");
  const double seqPer = seqWall / 6, seqCpuPer = seqCpu / 6;
  std::printf("  in order, 6 monitors:        %8.2f s, CPU %.4f s (%.1f ms per check)\n", seqWall,
              seqCpu, seqCpuPer * 1000);
  std::printf("  in order, 1,000 (scaled):    %8.0f s, CPU %.2f s\n", seqPer * 1000,
              seqCpuPer * 1000);
  auto [parWall, parCpu] = SilentPass(1000, true, 256, dir + "/par256");
  std::printf("  in parallel, limit 256:      %8.2f s, CPU %.3f s  (%.0fx faster than in order)\n",
              parWall, parCpu, seqPer * 1000 / parWall);
  auto [allWall, allCpu] = SilentPass(1000, true, 1000, dir + "/par1000");
  std::printf("  in parallel, limit 1,000:    %8.2f s, CPU %.3f s  (%.0fx faster than in order)\n",
              allWall, allCpu, seqPer * 1000 / allWall);

  std::printf("2. records per second of 100 fast monitors (interval 1 s) beside 20 silent ones\n");
  const double seqRate = FastRecordRate(false, dir + "/rate-seq");
  std::printf("  in order:    %7.2f records/s\n", seqRate);
  const double parRate = FastRecordRate(true, dir + "/rate-par");
  std::printf("  in parallel: %7.2f records/s  (%.0fx)\n", parRate, parRate / seqRate);
  std::filesystem::remove_all(dir);
  return 0;
}
