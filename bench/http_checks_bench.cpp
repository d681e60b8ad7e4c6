// 1,000 HTTP monitors, all due in one scan pass, against one nginx on loopback: the time
// until every completion has been handled and the CPU spent per check, beside curl run
// once per URL (a process per check) in the same run.
//
// Needs nginx (Debian package nginx-light) and curl; without them it says so and exits.

#include <benchmark/benchmark.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "http_bench_util.h"
#include "platform/descriptor_budget.h"

namespace {

using namespace sentrel;
using namespace sentrel::bench;

constexpr int kMonitors = 1000;

// nginx on a free loopback port, serving its page.
class Nginx {
 public:
  Nginx() {
    if (!nginx_.Installed()) return;
    port_ = FreeLoopbackPort();
    ok_ = nginx_.Start("    listen 127.0.0.1:" + std::to_string(port_) + " backlog=4096;\n", port_);
  }
  bool Ok() const { return ok_; }
  std::string Url(const std::string& host, int n) const {
    return "http://" + host + ":" + std::to_string(port_) + "/index.html?m=" + std::to_string(n);
  }

 private:
  NginxProcess nginx_;
  uint16_t port_ = 0;
  bool ok_ = false;
};

Nginx* server = nullptr;

Figures sentrelFigures, curlFigures;

Figures RunPass(benchmark::State& state, const std::string& host) {
  if (!server || !server->Ok()) {
    state.SkipWithError("nginx is not installed or did not start");
    return {};
  }
  return TimeScanPasses(state, kMonitors, [&](int i) { return server->Url(host, i); });
}

void BM_SentrelPass_127_0_0_1(benchmark::State& state) {
  sentrelFigures = RunPass(state, "127.0.0.1");
}
// The same with a name, so every check also goes through the asynchronous lookup. The
// ratio below compares like with like: dotted addresses.
void BM_SentrelPass_localhost(benchmark::State& state) {
  RunPass(state, "localhost");
}

void BM_CurlPerUrl(benchmark::State& state) {
  std::string curl = FindProgram("curl");
  if (curl.empty() || !server || !server->Ok()) {
    state.SkipWithError("curl or nginx missing");
    return;
  }
  curlFigures =
      TimeCurlPerUrl(state, curl, kMonitors, [](int i) { return server->Url("127.0.0.1", i); });
}

BENCHMARK(BM_SentrelPass_127_0_0_1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SentrelPass_localhost)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlPerUrl)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  RaiseOpenFileLimit();  // as the program does at start-up

  Nginx nginx;
  if (!nginx.Ok())
    std::fprintf(stderr, "nginx is not installed or did not start; nothing to measure\n");
  server = &nginx;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (sentrelFigures.cpuPerCheck > 0 && curlFigures.cpuPerCheck > 0) {
    std::printf("\n%d checks: Sentrel pass %.0f ms, curl one by one %.0f ms (wall ratio %.1fx)\n",
                kMonitors, sentrelFigures.wall * 1e3, curlFigures.wall * 1e3,
                curlFigures.wall / sentrelFigures.wall);
    std::printf("CPU per check: Sentrel %.1f us, curl %.1f us (curl costs %.1fx as much)\n",
                sentrelFigures.cpuPerCheck * 1e6, curlFigures.cpuPerCheck * 1e6,
                curlFigures.cpuPerCheck / sentrelFigures.cpuPerCheck);
  }
  return 0;
}
