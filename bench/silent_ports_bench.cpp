// 1,000 port monitors on silent peers (interval 10 s) and 100 fast monitors on an open
// port (interval 1 s), on the real clock, for 60 s in the default mode (checks in
// parallel, as many at once as the descriptors allow) and, as the reference, in order
// (ParallelChecks=0). Reported: how long the scan passes take, how long until all 1,000
// silent checks of the first round have their verdict, the fast monitors' largest gap
// between two checks, their checks in all, and the CPU spent.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

constexpr int kSilent = 1000;
constexpr int kFast = 100;
constexpr double kRunSeconds = 60.0;

using bench::OpenPeer;
using bench::QuietFrontend;
using bench::SilentPeer;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Figures {
  double longestPassMs = 0;
  double meanPassMs = 0;
  double firstRoundS = -1;  // until every silent monitor had its first verdict
  double fastLargestGapS = 0;
  long fastChecks = 0;
  uint64_t verdicts = 0;  // of every check
  double cpuS = 0;
};

Figures Run(bool parallel, const std::string& dataDir) {
  MakeDirectories(dataDir);
  SetDataDir(dataDir);
  SilentPeer silent;
  OpenPeer open;
  QuietFrontend frontend;
  SettingsStore settings{dataDir + "/settings.ini"};
  Program program{frontend, settings};
  program.serverList.Clear();
  CurrentLoop().SetErrorHandler([](const std::string&) {});
  auto add = [&](const std::string& name, uint16_t port, int interval) {
    return bench::AddPortMonitor(program.serverList, name, port, interval);
  };
  std::vector<Monitor*> quiet, fast;
  for (int i = 0; i < kSilent; ++i)
    quiet.push_back(add("quiet" + std::to_string(i), silent.port, 10));
  for (int i = 0; i < kFast; ++i) fast.push_back(add("fast" + std::to_string(i), open.port, 1));
  if (!parallel) program.scanner.SetParallel(false);

  Figures f;
  Clock& clock = CurrentClock();
  const int64_t startMono = clock.MonotonicMs();
  std::vector<int64_t> lastFast(kFast, startMono);
  int64_t largestGap = 0;
  uint64_t passSeen = 0;
  int passes = 0;
  double passTotal = 0;
  const double cpu0 = bench::CpuSeconds(RUSAGE_SELF);
  const auto start = std::chrono::steady_clock::now();
  program.StartScan();
  CurrentLoop().WaitUntil(
      [&] {
        if (!program.scanner.PassRunning() && program.scanner.PassNumber() != passSeen) {
          passSeen = program.scanner.PassNumber();
          const double ms = static_cast<double>(program.scanner.lastPassUs) / 1000.0;
          f.longestPassMs = std::max(f.longestPassMs, ms);
          passTotal += ms;
          ++passes;
        }
        for (int i = 0; i < kFast; ++i) {
          if (fast[i]->lastCheckMono > lastFast[i]) {
            largestGap = std::max(largestGap, fast[i]->lastCheckMono - lastFast[i]);
            lastFast[i] = fast[i]->lastCheckMono;
            ++f.fastChecks;
          }
        }
        if (f.firstRoundS < 0 &&
            std::all_of(quiet.begin(), quiet.end(), [](Monitor* m) { return m->status == "red"; }))
          f.firstRoundS = Seconds(start);
        return Seconds(start) >= kRunSeconds;
      },
      static_cast<int64_t>(kRunSeconds * 1000) + 1000);
  // A fast monitor still waiting at the end has waited since its last check.
  for (int i = 0; i < kFast; ++i)
    largestGap = std::max(largestGap, clock.MonotonicMs() - lastFast[i]);
  f.fastLargestGapS = static_cast<double>(largestGap) / 1000.0;
  f.cpuS = bench::CpuSeconds(RUSAGE_SELF) - cpu0;
  f.verdicts = program.scanner.checksDone;
  if (passes > 0) f.meanPassMs = passTotal / passes;
  // A pass still under way at the end has taken at least this long.
  if (program.scanner.PassRunning())
    f.longestPassMs = std::max(f.longestPassMs, kRunSeconds * 1000.0);
  program.EndWork();
  program.StopScan();
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%s\n", name);
  std::printf("  longest scan pass        %10.1f ms (mean %.1f ms)\n", f.longestPassMs,
              f.meanPassMs);
  if (f.firstRoundS >= 0)
    std::printf("  1,000 silent, 1st round  %10.2f s\n", f.firstRoundS);
  else
    std::printf("  1,000 silent, 1st round  not done in %.0f s\n", kRunSeconds);
  std::printf("  fast: largest gap        %10.2f s%s, %ld checks (%.1f per monitor)\n",
              f.fastLargestGapS, f.fastChecks == 0 ? " or more (the whole run)" : "", f.fastChecks,
              static_cast<double>(f.fastChecks) / kFast);
  std::printf("  CPU                      %10.2f s (%.1f%% of one core), %.0f us per verdict\n",
              f.cpuS, 100.0 * f.cpuS / kRunSeconds,
              f.verdicts ? 1e6 * f.cpuS / static_cast<double>(f.verdicts) : 0.0);
}

}  // namespace

int main() {
  RaiseOpenFileLimit();
  char tmpl[] = "/tmp/sentrel-silent-ports-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::printf("%d silent port monitors (interval 10 s) and %d fast ones (interval 1 s), %.0f s\n",
              kSilent, kFast, kRunSeconds);
  const Figures parallel = Run(true, dir + "/parallel");
  Print("in parallel (the default)", parallel);
  const Figures order = Run(false, dir + "/order");
  Print("in order (ParallelChecks=0, the reference)", order);
  std::printf("ratios, default : in order\n");
  std::printf("  fast monitors' largest gap  1 : %.0f%s\n",
              order.fastLargestGapS / parallel.fastLargestGapS,
              order.fastChecks == 0 ? " at least" : "");
  // In order the fast monitors may get no check at all in the run: then the counts.
  if (order.fastChecks == 0)
    std::printf("  fast checks made            %ld : 0\n", parallel.fastChecks);
  else
    std::printf("  fast checks made            %.0f : 1\n",
                static_cast<double>(parallel.fastChecks) / static_cast<double>(order.fastChecks));
  std::filesystem::remove_all(dir);
  return 0;
}
