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

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "http_bench_util.h"
#include "platform/descriptor_budget.h"

namespace {

using namespace sentrel;
using namespace sentrel::bench;

constexpr int kMonitors = 1000;

bool RunQuiet(const std::vector<std::string>& argv) {
  return Succeeds(Spawn(argv, true));
}

// A private CA and a server certificate for localhost and 127.0.0.1 (EC P-256), and nginx
// serving its page over TLS and over plain HTTP.
class TlsNginx {
 public:
  TlsNginx() {
    std::string openssl = FindProgram("openssl");
    if (!nginx_.Installed() || openssl.empty()) return;
    const std::string& dir = nginx_.Dir();
    std::filesystem::create_directories(dir + "/no-more-cas");
    std::ofstream(dir + "/san.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    const std::string ec = "ec_paramgen_curve:prime256v1";
    bool made =
        RunQuiet({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                  dir + "/ca.key", "-out", dir + "/ca.crt", "-days", "30", "-subj",
                  "/CN=Sentrel Bench CA"}) &&
        RunQuiet({openssl, "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                  dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"}) &&
        RunQuiet({openssl, "x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.crt",
                  "-CAkey", dir + "/ca.key", "-CAcreateserial", "-out", dir + "/server.crt",
                  "-days", "30", "-extfile", dir + "/san.ext"});
    if (!made) return;
    {
      std::ofstream bundle(dir + "/bundle.crt");
      bundle << std::ifstream("/etc/ssl/certs/ca-certificates.crt").rdbuf();
      bundle << std::ifstream(dir + "/ca.crt").rdbuf();
    }
    setenv("SSL_CERT_FILE", (dir + "/bundle.crt").c_str(), 1);
    setenv("SSL_CERT_DIR", (dir + "/no-more-cas").c_str(), 1);
    tlsPort_ = FreeLoopbackPort();
    plainPort_ = FreeLoopbackPort();
    std::ostringstream lines;
    lines << "    listen 127.0.0.1:" << tlsPort_ << " ssl backlog=4096;\n"
          << "    listen 127.0.0.1:" << plainPort_ << " backlog=4096;\n"
          << "    ssl_certificate " << dir << "/server.crt;\n"
          << "    ssl_certificate_key " << dir << "/server.key;\n";
    ok_ = nginx_.Start(lines.str(), tlsPort_) && LoopbackAccepts(plainPort_);
  }
  bool Ok() const { return ok_; }
  std::string Bundle() const { return nginx_.Dir() + "/bundle.crt"; }
  std::string OneCa() const { return nginx_.Dir() + "/ca.crt"; }
  std::string Url(const std::string& scheme, const std::string& host, int n) const {
    return scheme + "://" + host + ":" + std::to_string(scheme == "https" ? tlsPort_ : plainPort_) +
           "/index.html?m=" + std::to_string(n);
  }

 private:
  NginxProcess nginx_;
  uint16_t tlsPort_ = 0;
  uint16_t plainPort_ = 0;
  bool ok_ = false;
};

TlsNginx* server = nullptr;

Figures httpsFigures, httpFigures, curlFigures, curlOneCaFigures;

Figures RunPass(benchmark::State& state, const std::string& scheme, const std::string& host) {
  if (!server || !server->Ok()) {
    state.SkipWithError("nginx or openssl is not installed, or nginx did not start");
    return {};
  }
  return TimeScanPasses(state, kMonitors, [&](int i) { return server->Url(scheme, host, i); });
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
  std::string curl = FindProgram("curl");
  if (curl.empty() || !server || !server->Ok()) {
    state.SkipWithError("curl or nginx missing");
    return;
  }
  // The curl tool reads its own variable for the CA file.
  setenv("CURL_CA_BUNDLE", caFile.c_str(), 1);
  figures = TimeCurlPerUrl(state, curl, kMonitors,
                           [](int i) { return server->Url("https", "127.0.0.1", i); });
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
  RaiseOpenFileLimit();  // as the program does at start-up

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
