// 1,000 https monitors, all due in one scan pass, against one nginx with TLS on loopback:
// the time until every completion has been handled and the CPU spent per check, beside
// curl run once per URL (a process per check) in the same run. The same pass over plain
// HTTP on the same nginx shows what TLS adds.
//
// The certificate comes from a private CA made here with the openssl tool, trusted the way
// an operator would: added to a copy of the system's bundle, which SSL_CERT_FILE names for
// Sentrel and CURL_CA_BUNDLE for curl. curl runs once more with a file holding only that
// CA, its cheapest case. Every check makes a full handshake with a certificate check:
// Sentrel resumes no sessions, and neither can a curl process.
//
// Needs nginx (Debian package nginx-light), openssl and curl; without them it says so and
// exits.

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

bool RunQuiet(const std::vector<std::string>& argv) {
  pid_t pid = Spawn(argv, true);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
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

// A private CA and a server certificate for localhost and 127.0.0.1 (EC P-256), and nginx
// in the foreground serving a page of about 1 KB over TLS and over plain HTTP.
class TlsNginx {
 public:
  TlsNginx() {
    std::string nginx = Find("nginx"), openssl = Find("openssl");
    if (nginx.empty() || openssl.empty()) return;
    char templ[] = "/tmp/sentrel-bench-XXXXXX";
    dir_ = mkdtemp(templ);
    std::filesystem::create_directories(dir_ + "/www");
    std::filesystem::create_directories(dir_ + "/tmp");
    std::filesystem::create_directories(dir_ + "/no-more-cas");
    std::ofstream(dir_ + "/www/index.html")
        << "<html><body>" << std::string(1000, 'x') << "</body></html>\n";
    std::ofstream(dir_ + "/san.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    const std::string ec = "ec_paramgen_curve:prime256v1";
    bool made =
        RunQuiet({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                  dir_ + "/ca.key", "-out", dir_ + "/ca.crt", "-days", "30", "-subj",
                  "/CN=Sentrel Bench CA"}) &&
        RunQuiet({openssl, "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                  dir_ + "/server.key", "-out", dir_ + "/server.csr", "-subj", "/CN=localhost"}) &&
        RunQuiet({openssl, "x509", "-req", "-in", dir_ + "/server.csr", "-CA", dir_ + "/ca.crt",
                  "-CAkey", dir_ + "/ca.key", "-CAcreateserial", "-out", dir_ + "/server.crt",
                  "-days", "30", "-extfile", dir_ + "/san.ext"});
    if (!made) return;
    {
      std::ofstream bundle(dir_ + "/bundle.crt");
      bundle << std::ifstream("/etc/ssl/certs/ca-certificates.crt").rdbuf();
      bundle << std::ifstream(dir_ + "/ca.crt").rdbuf();
    }
    setenv("SSL_CERT_FILE", (dir_ + "/bundle.crt").c_str(), 1);
    setenv("SSL_CERT_DIR", (dir_ + "/no-more-cas").c_str(), 1);
    tlsPort_ = FreePort();
    plainPort_ = FreePort();
    std::ofstream(dir_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
        << "events { worker_connections 8192; }\n"
        << "http {\n  access_log off;\n  client_body_temp_path " << dir_ << "/tmp;\n"
        << "  proxy_temp_path " << dir_ << "/tmp;\n  fastcgi_temp_path " << dir_ << "/tmp;\n"
        << "  uwsgi_temp_path " << dir_ << "/tmp;\n  scgi_temp_path " << dir_ << "/tmp;\n"
        << "  server {\n    listen 127.0.0.1:" << tlsPort_ << " ssl backlog=4096;\n"
        << "    listen 127.0.0.1:" << plainPort_ << " backlog=4096;\n"
        << "    ssl_certificate " << dir_ << "/server.crt;\n"
        << "    ssl_certificate_key " << dir_ << "/server.key;\n"
        << "    root " << dir_ << "/www;\n  }\n}\n";
    pid_ = Spawn({nginx, "-p", dir_, "-e", dir_ + "/error.log", "-c", dir_ + "/nginx.conf"}, true);
    for (int i = 0; i < 500 && !Accepts(tlsPort_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ok_ = pid_ > 0 && Accepts(tlsPort_) && Accepts(plainPort_);
  }
  ~TlsNginx() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  bool Ok() const { return ok_; }
  std::string Bundle() const { return dir_ + "/bundle.crt"; }
  std::string OneCa() const { return dir_ + "/ca.crt"; }
  std::string Url(const std::string& scheme, const std::string& host, int n) const {
    return scheme + "://" + host + ":" + std::to_string(scheme == "https" ? tlsPort_ : plainPort_) +
           "/index.html?m=" + std::to_string(n);
  }

 private:
  std::string dir_;
  uint16_t tlsPort_ = 0;
  uint16_t plainPort_ = 0;
  pid_t pid_ = -1;
  bool ok_ = false;
};

TlsNginx* server = nullptr;

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

struct Figures {
  double cpuPerCheck = 0;
  double wall = 0;
};
Figures httpsFigures, httpFigures, curlFigures, curlOneCaFigures;

Figures RunPass(benchmark::State& state, const std::string& scheme, const std::string& host) {
  Figures figures;
  if (!server || !server->Ok()) {
    state.SkipWithError("nginx or openssl is not installed, or nginx did not start");
    return figures;
  }
  char templ[] = "/tmp/sentrel-bench-data-XXXXXX";
  std::string dataDir = mkdtemp(templ);
  SetDataDir(dataDir);
  EventLoop loop;
  SetCurrentLoop(&loop);
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
      m->SetValue("url", server->Url(scheme, host, i));
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
    int failures = 0;
    for (TPort* m : monitors)
      if (m->status != "green") ++failures;
    figures.cpuPerCheck = cpu / kMonitors;
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

void BM_SentrelHttpsPass_127_0_0_1(benchmark::State& state) {
  httpsFigures = RunPass(state, "https", "127.0.0.1");
}
// The same with a name, so every check also goes through the asynchronous lookup and
// sends the name as SNI.
void BM_SentrelHttpsPass_localhost(benchmark::State& state) {
  RunPass(state, "https", "localhost");
}
// Plain HTTP on the same nginx: what TLS adds.
void BM_SentrelHttpPass_127_0_0_1(benchmark::State& state) {
  httpFigures = RunPass(state, "http", "127.0.0.1");
}

void CurlPerUrl(benchmark::State& state, const std::string& caFile, Figures& figures) {
  std::string curl = Find("curl");
  if (curl.empty() || !server || !server->Ok()) {
    state.SkipWithError("curl or nginx missing");
    return;
  }
  // The curl tool reads its own variable for the CA file.
  setenv("CURL_CA_BUNDLE", caFile.c_str(), 1);
  for (auto _ : state) {
    int failures = 0;
    double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kMonitors; ++i) {
      pid_t pid =
          Spawn({curl, "-s", "-o", "/dev/null", server->Url("https", "127.0.0.1", i)}, false);
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ++failures;
    }
    auto t1 = std::chrono::steady_clock::now();
    double wall = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(wall);
    figures.cpuPerCheck = (CpuSeconds(RUSAGE_CHILDREN) - cpu0) / kMonitors;
    figures.wall = wall;
    state.counters["cpu_us_per_check"] = figures.cpuPerCheck * 1e6;
    state.counters["failed"] = failures;
  }
}

void BM_CurlPerHttpsUrl_SystemBundle(benchmark::State& state) {
  CurlPerUrl(state, server ? server->Bundle() : "", curlFigures);
}
void BM_CurlPerHttpsUrl_OneCa(benchmark::State& state) {
  CurlPerUrl(state, server ? server->OneCa() : "", curlOneCaFigures);
}

BENCHMARK(BM_SentrelHttpsPass_127_0_0_1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SentrelHttpsPass_localhost)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SentrelHttpPass_127_0_0_1)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlPerHttpsUrl_SystemBundle)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlPerHttpsUrl_OneCa)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);

  TlsNginx nginx;
  if (!nginx.Ok())
    std::fprintf(stderr, "nginx or openssl is not installed, or nginx did not start\n");
  server = &nginx;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (httpsFigures.cpuPerCheck > 0 && curlFigures.cpuPerCheck > 0) {
    std::printf(
        "\n%d https checks: Sentrel pass %.0f ms, curl one by one %.0f ms (wall ratio %.1fx)\n",
        kMonitors, httpsFigures.wall * 1e3, curlFigures.wall * 1e3,
        curlFigures.wall / httpsFigures.wall);
    std::printf("CPU per check: Sentrel %.1f us, curl %.1f us (Sentrel costs 1/%.1f of curl)\n",
                httpsFigures.cpuPerCheck * 1e6, curlFigures.cpuPerCheck * 1e6,
                curlFigures.cpuPerCheck / httpsFigures.cpuPerCheck);
  }
  if (httpsFigures.cpuPerCheck > 0 && curlOneCaFigures.cpuPerCheck > 0)
    std::printf("curl with only the one CA: %.1f us (Sentrel costs 1/%.1f of it)\n",
                curlOneCaFigures.cpuPerCheck * 1e6,
                curlOneCaFigures.cpuPerCheck / httpsFigures.cpuPerCheck);
  if (httpsFigures.cpuPerCheck > 0 && httpFigures.cpuPerCheck > 0)
    std::printf("TLS against plain HTTP in Sentrel: %.1fx the CPU per check\n",
                httpsFigures.cpuPerCheck / httpFigures.cpuPerCheck);
  return 0;
}
