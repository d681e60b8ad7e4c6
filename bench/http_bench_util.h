#pragma once

// What the benchmarks of many HTTP checks at once have in common: monitors made in bulk,
// a host that counts verdicts, nginx on loopback, and the timed scan pass and curl loop
// they are measured with.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "model/server_list.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "scan/network_checks.h"
#include "scan/scanner.h"

namespace sentrel::bench {

// Counts verdicts: every monitor starts never checked, so its first verdict changes its
// colour and refreshes the tree exactly once.
struct CountingHost : ScanHost {
  int verdicts = 0;
  bool ScanningActive() const override { return true; }
  void SetActivityPanel(const std::string&) override {}
  void ScreenUpdate() override { ++verdicts; }
  void RunEvent(const std::string&, const std::string&, const std::string&, const std::string&,
                int32_t, uint64_t) override {}
};

// `count` HTTP monitors on servers of ten each ("bench0", "bench1", ...), monitor i with
// the URL url(i) and no event for turning red.
inline std::vector<Monitor*> AddHttpMonitors(ServerList& servers, int count,
                                             const std::function<std::string(int)>& url) {
  std::vector<Monitor*> monitors;
  for (int i = 0; i < count; ++i) {
    if (i % 10 == 0) {
      Server* s = servers.Items(servers.Add("bench" + std::to_string(i / 10)));
      s->logfile = s->name + ".log";
    }
    Server* s = servers.Items(servers.Count() - 1);
    Monitor* m = s->ports.Items(s->ports.Add("http"));
    m->SetValue("url", url(i));
    m->SetValue("GYtoR", "none");
    monitors.push_back(m);
  }
  return monitors;
}

// nginx in the foreground, in a scratch directory of its own with a page of about 1 KB at
// www/index.html. The owner adds what its configuration needs to Dir() and then starts it.
class NginxProcess {
 public:
  NginxProcess() : nginx_(FindProgram("nginx")) {
    if (nginx_.empty()) return;
    char templ[] = "/tmp/sentrel-bench-XXXXXX";
    dir_ = mkdtemp(templ);
    std::filesystem::create_directories(dir_ + "/www");
    std::filesystem::create_directories(dir_ + "/tmp");
    std::ofstream(dir_ + "/www/index.html")
        << "<html><body>" << std::string(1000, 'x') << "</body></html>\n";
  }
  ~NginxProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  NginxProcess(const NginxProcess&) = delete;
  NginxProcess& operator=(const NginxProcess&) = delete;

  bool Installed() const { return !nginx_.empty(); }
  const std::string& Dir() const { return dir_; }

  // Runs nginx with `serverLines` in its one server block, serving www; true once `port`
  // (one of those it listens on) accepts connections.
  bool Start(const std::string& serverLines, uint16_t port) {
    std::ofstream(dir_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
        << "events { worker_connections 8192; }\n"
        << "http {\n  access_log off;\n  client_body_temp_path " << dir_ << "/tmp;\n"
        << "  proxy_temp_path " << dir_ << "/tmp;\n  fastcgi_temp_path " << dir_ << "/tmp;\n"
        << "  uwsgi_temp_path " << dir_ << "/tmp;\n  scgi_temp_path " << dir_ << "/tmp;\n"
        << "  server {\n"
        << serverLines << "    root " << dir_ << "/www;\n  }\n}\n";
    pid_ = Spawn({nginx_, "-p", dir_, "-e", dir_ + "/error.log", "-c", dir_ + "/nginx.conf"}, true);
    for (int i = 0; i < 500 && !LoopbackAccepts(port); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid_ > 0 && LoopbackAccepts(port);
  }

 private:
  std::string nginx_;
  std::string dir_;
  pid_t pid_ = -1;
};

// The cost of one round of `count` checks, from the last timed iteration.
struct Figures {
  double cpuPerCheck = 0;
  double wall = 0;
};

// One scan pass per iteration over `count` fresh HTTP monitors, monitor i asking url(i),
// timed until every verdict is in. Reports the CPU per check and the monitors that did
// not turn green as counters.
inline Figures TimeScanPasses(benchmark::State& state, int count,
                              const std::function<std::string(int)>& url) {
  Figures figures;
  char templ[] = "/tmp/sentrel-bench-data-XXXXXX";
  std::string dataDir = mkdtemp(templ);
  SetDataDir(dataDir);
  EventLoop loop;
  SetCurrentLoop(&loop);
  for (auto _ : state) {
    ServerList servers;
    CountingHost scanHost;
    Scanner scan(servers, scanHost);
    auto checks = MakeNetworkChecks(scan);
    scan.SetChecks(checks.get());
    std::vector<Monitor*> monitors = AddHttpMonitors(servers, count, url);
    double cpu0 = CpuSeconds(RUSAGE_SELF);
    auto t0 = std::chrono::steady_clock::now();
    scan.Execute();
    loop.WaitUntil([&] { return scanHost.verdicts >= count; }, 120000);
    auto t1 = std::chrono::steady_clock::now();
    double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    double wall = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(wall);
    int failures = 0;
    for (Monitor* m : monitors)
      if (m->status != "green") ++failures;
    figures.cpuPerCheck = cpu / count;
    figures.wall = wall;
    state.counters["cpu_us_per_check"] = figures.cpuPerCheck * 1e6;
    state.counters["failed"] = failures;
    for (int i = 0; i < servers.Count(); ++i)
      std::filesystem::remove(dataDir + "/" + servers.Items(i)->logfile);
  }
  SetCurrentLoop(nullptr);
  std::filesystem::remove_all(dataDir);
  return figures;
}

// The same `count` URLs fetched by curl, one process after the other, per iteration.
inline Figures TimeCurlPerUrl(benchmark::State& state, const std::string& curl, int count,
                              const std::function<std::string(int)>& url) {
  Figures figures;
  for (auto _ : state) {
    int failures = 0;
    double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
      if (!Succeeds(Spawn({curl, "-s", "-o", "/dev/null", url(i)}, false))) ++failures;
    auto t1 = std::chrono::steady_clock::now();
    double wall = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(wall);
    figures.cpuPerCheck = (CpuSeconds(RUSAGE_CHILDREN) - cpu0) / count;
    figures.wall = wall;
    state.counters["cpu_us_per_check"] = figures.cpuPerCheck * 1e6;
    state.counters["failed"] = failures;
  }
  return figures;
}

}  // namespace sentrel::bench
