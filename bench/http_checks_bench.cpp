// 1,000 HTTP monitors, all due in one scan pass, against one nginx on loopback: the time
// until every completion has been handled and the CPU spent per check, beside curl run
// once per URL (a process per check) in the same run.
//
// Needs nginx (Debian package nginx-light) and curl; without them it says so and exits.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/server_list.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "scan/infini_scan.h"
#include "scan/network_checks.h"

extern char** environ;

namespace {

using namespace sentrel;

constexpr int kMonitors = 1000;

std::string Find(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/bin"}) {
    std::string p = std::string(dir) + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

pid_t Spawn(const std::vector<std::string>& argv, bool quiet) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (quiet) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

bool Accepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

// nginx in the foreground on a free loopback port, with a page of about 1 KB.
class Nginx {
 public:
  Nginx() {
    std::string nginx = Find("nginx");
    if (nginx.empty()) return;
    char templ[] = "/tmp/sentrel-bench-XXXXXX";
    dir_ = mkdtemp(templ);
    std::filesystem::create_directories(dir_ + "/www");
    std::filesystem::create_directories(dir_ + "/tmp");
    std::ofstream(dir_ + "/www/index.html")
        << "<html><body>" << std::string(1000, 'x') << "</body></html>\n";
    port_ = FreePort();
    std::ofstream(dir_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
        << "events { worker_connections 8192; }\n"
        << "http {\n  access_log off;\n  client_body_temp_path " << dir_ << "/tmp;\n"
        << "  proxy_temp_path " << dir_ << "/tmp;\n  fastcgi_temp_path " << dir_ << "/tmp;\n"
        << "  uwsgi_temp_path " << dir_ << "/tmp;\n  scgi_temp_path " << dir_ << "/tmp;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << " backlog=4096;\n"
        << "    root " << dir_ << "/www;\n  }\n}\n";
    pid_ = Spawn({nginx, "-p", dir_, "-e", dir_ + "/error.log", "-c", dir_ + "/nginx.conf"}, true);
    for (int i = 0; i < 500 && !Accepts(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok_ = pid_ > 0 && Accepts(port_);
  }
  ~Nginx() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool Ok() const { return ok_; }
  std::string Url(const std::string& host, int n) const {
    return "http://" + host + ":" + std::to_string(port_) + "/index.html?m=" + std::to_string(n);
  }

 private:
  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool ok_ = false;
};

Nginx* server = nullptr;

// Counts verdicts: every monitor starts never checked, so its first verdict changes its
// colour and refreshes the tree exactly once.
struct CountingHost : ScanHost {
  int verdicts = 0;
  bool ScanningActive() const override { return true; }
  void SetActivityPanel(const std::string&) override {}
  void ScreenUpdate() override { ++verdicts; }
  void RunEvent(const std::string&, const std::string&, const std::string&, const std::string&,
                int32_t) override {}
};

double sentrelCpuPerCheck = 0;
double sentrelWall = 0;
double curlCpuPerCheck = 0;
double curlWall = 0;

void RunPass(benchmark::State& state, const std::string& host) {
  if (!server || !server->Ok()) {
    state.SkipWithError("nginx is not installed or did not start");
    return;
  }
  char templ[] = "/tmp/sentrel-bench-data-XXXXXX";
  std::string dataDir = mkdtemp(templ);
  SetDataDir(dataDir);
  EventLoop loop;
  SetCurrentLoop(&loop);
  int failures = 0;
  for (auto _ : state) {
    TServerList servers;
    CountingHost scanHost;
    TInfiniScan scan(servers, scanHost);
    auto checks = MakeNetworkChecks(scan);
    scan.SetChecks(checks.get());
    // 100 servers with 10 monitors each, every monitor with a URL of its own.
    std::vector<TPort*> monitors;
    for (int i = 0; i < kMonitors; ++i) {
      if (i % 10 == 0) {
        TServer* s = servers.Items(servers.Add("bench" + std::to_string(i / 10)));
        s->logfile = s->name + ".log";
      }
      TServer* s = servers.Items(servers.Count() - 1);
      TPort* m = s->ports.Items(s->ports.Add("http"));
      m->SetValue("url", server->Url(host, i));
      m->SetValue("GYtoR", "none");
      monitors.push_back(m);
    }
    double cpu0 = CpuSeconds(RUSAGE_SELF);
    auto t0 = std::chrono::steady_clock::now();
    scan.Execute();
    loop.WaitUntil([&] { return scanHost.verdicts >= kMonitors; }, 120000);
    auto t1 = std::chrono::steady_clock::now();
    double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    double wall = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(wall);
    for (TPort* m : monitors)
      if (m->status != "green") ++failures;
    sentrelCpuPerCheck = cpu / kMonitors;
    sentrelWall = wall;
    state.counters["cpu_us_per_check"] = sentrelCpuPerCheck * 1e6;
    state.counters["failed"] = failures;
    for (int i = 0; i < servers.Count(); ++i)
      std::filesystem::remove(dataDir + "/" + servers.Items(i)->logfile);
  }
  SetCurrentLoop(nullptr);
  std::filesystem::remove_all(dataDir);
}

void BM_SentrelPass_127_0_0_1(benchmark::State& state) {
  RunPass(state, "127.0.0.1");
}
// The same with a name, so every check also goes through the asynchronous lookup.
void BM_SentrelPass_localhost(benchmark::State& state) {
  double cpu = sentrelCpuPerCheck, wall = sentrelWall;
  RunPass(state, "localhost");
  sentrelCpuPerCheck = cpu;  // the ratio compares like with like: dotted addresses
  sentrelWall = wall;
}

void BM_CurlPerUrl(benchmark::State& state) {
  std::string curl = Find("curl");
  if (curl.empty() || !server || !server->Ok()) {
    state.SkipWithError("curl or nginx missing");
    return;
  }
  int failures = 0;
  for (auto _ : state) {
    double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kMonitors; ++i) {
      pid_t pid = Spawn({curl, "-s", "-o", "/dev/null", server->Url("127.0.0.1", i)}, false);
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ++failures;
    }
    auto t1 = std::chrono::steady_clock::now();
    double wall = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(wall);
    curlCpuPerCheck = (CpuSeconds(RUSAGE_CHILDREN) - cpu0) / kMonitors;
    curlWall = wall;
    state.counters["cpu_us_per_check"] = curlCpuPerCheck * 1e6;
    state.counters["failed"] = failures;
  }
}

BENCHMARK(BM_SentrelPass_127_0_0_1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SentrelPass_localhost)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlPerUrl)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);

  Nginx nginx;
  if (!nginx.Ok())
    std::fprintf(stderr, "nginx is not installed or did not start; nothing to measure\n");
  server = &nginx;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (sentrelCpuPerCheck > 0 && curlCpuPerCheck > 0) {
    std::printf("\n%d checks: Sentrel pass %.0f ms, curl one by one %.0f ms (wall ratio %.1fx)\n",
                kMonitors, sentrelWall * 1e3, curlWall * 1e3, curlWall / sentrelWall);
    std::printf("CPU per check: Sentrel %.1f us, curl %.1f us (curl costs %.1fx as much)\n",
                sentrelCpuPerCheck * 1e6, curlCpuPerCheck * 1e6,
                curlCpuPerCheck / sentrelCpuPerCheck);
  }
  return 0;
}
