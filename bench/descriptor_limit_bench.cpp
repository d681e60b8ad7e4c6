// 10,000 HTTP monitors due in one scan pass against one loopback server that answers
// every request after 1 s: the time until every record is written, the peak RSS and the
// descriptors open at the peak, first with the default limits (the soft limit raised to
// the hard one, as the program does) and then with soft and hard limits of 1,024, where
// most checks wait for a free connection. The ratio of the two times is what the queue
// costs. Each run is a process of its own, so its RSS is its own.
//
//   descriptor_limit_bench [runs]      (default 3 runs of each)

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "http_bench_util.h"
#include "model/server_list.h"
#include "platform/descriptor_budget.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "scan/network_checks.h"
#include "scan/scanner.h"
#include "support/delayed_http_server.h"

namespace {

using namespace sentrel;

constexpr int kMonitors = 10000;
constexpr int kDelayMs = 1000;

struct Figures {
  double seconds = 0;      // from the pass's start until the last record
  double passSeconds = 0;  // the pass itself (it only starts the checks)
  double cpuSeconds = 0;
  long peakRssKb = 0;  // VmHWM
  int peakDescriptors = 0;
  int notGreen = 0;
  int errorsLogLines = 0;
  int limit = 0;
};

Figures Run(const test::DelayedHttpServer& server) {
  Figures f;
  f.limit = OpenFileLimit();
  char templ[] = "/tmp/sentrel-bench-fd-XXXXXX";
  const std::string dataDir = mkdtemp(templ);
  SetDataDir(dataDir);
  EventLoop loop;
  SetCurrentLoop(&loop);
  loop.SetErrorHandler([&](const std::string&) { ++f.errorsLogLines; });
  ServerList servers;
  bench::CountingHost host;
  Scanner scan(servers, host);
  auto checks = MakeNetworkChecks(scan);
  scan.SetChecks(checks.get());
  std::vector<Monitor*> monitors = bench::AddHttpMonitors(
      servers, kMonitors, [&](int i) { return server.Url("/m" + std::to_string(i)); });
  // The descriptors in use, sampled while the checks run.
  std::function<void()> sample = [&] {
    f.peakDescriptors = std::max(f.peakDescriptors, CountOpenDescriptors());
    loop.AddTimer(20, sample);
  };
  sample();
  const auto t0 = std::chrono::steady_clock::now();
  scan.Execute();
  f.passSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  loop.WaitUntil([&] { return host.verdicts >= kMonitors; }, 300000);
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  sample();
  for (Monitor* m : monitors) f.notGreen += m->status != "green";
  f.peakRssKb = bench::StatusBytes("VmHWM:") / 1024;
  f.cpuSeconds = bench::CpuSeconds(RUSAGE_SELF);
  std::filesystem::remove_all(dataDir);
  return f;
}

// One run in a child process, under the given limits (0: as they are).
Figures RunInChild(const test::DelayedHttpServer& server, int limit) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    if (limit > 0) {
      rlimit rl{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    Figures f = Run(server);
    [[maybe_unused]] ssize_t n = write(pipeFds[1], &f, sizeof f);
    _exit(0);
  }
  close(pipeFds[1]);
  Figures f;
  if (read(pipeFds[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) f = {};
  close(pipeFds[0]);
  waitpid(pid, nullptr, 0);
  return f;
}

void Print(const char* label, const Figures& f) {
  std::printf(
      "%-16s limit %6d: %6.2f s until every record (pass %.2f s, CPU %.2f s), "
      "peak RSS %5.1f MB, %5d descriptors at the peak, %d not green, "
      "%d errors-log lines\n",
      label, f.limit, f.seconds, f.passSeconds, f.cpuSeconds,
      static_cast<double>(f.peakRssKb) / 1024.0, f.peakDescriptors, f.notGreen, f.errorsLogLines);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  signal(SIGPIPE, SIG_IGN);
  RaiseOpenFileLimit();  // as the program does at start-up
  test::DelayedHttpServer server(kDelayMs);
  std::printf("%d HTTP monitors due in one pass, server answering after %d ms, %d runs each\n",
              kMonitors, kDelayMs, runs);
  std::vector<double> wide, narrow;
  for (int i = 0; i < runs; ++i) {
    Figures a = RunInChild(server, 0);
    Print("default limits", a);
    wide.push_back(a.seconds);
    Figures b = RunInChild(server, 1024);
    Print("limits 1024", b);
    narrow.push_back(b.seconds);
  }
  const double w = bench::Median(wide), n = bench::Median(narrow);
  std::printf(
      "median: default %.2f s, limits 1024 %.2f s: the queue makes the run %.1fx as long "
      "(%.1f s beyond the %d s of the first answers)\n",
      w, n, n / w, n - w, kDelayMs / 1000);
  return 0;
}
