// Times the log readers on a generated log of 1,000,000 records over 30 days, beside the
// plain tools that do the least work of the same kind on the same file in the same run:
//   request-time statistics of one monitor over 7 days  vs  LC_ALL=C grep -c " HTTP 80 "
//   a dump keeping 7 days                               vs  cp --reflink=never
// Usage: log_readers_bench [DIR] (default: a fresh directory under /tmp, removed after).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "reports/log_dump.h"
#include "reports/request_times.h"

extern char** environ;

using namespace sentrel;

namespace {

constexpr int kRecords = 1'000'000;
constexpr int kDays = 30;
constexpr int kRuns = 7;

// Runs a command to its end with stdout to the given file. Not /dev/null: grep notices
// that and stops at the first match.
void RunCommand(std::vector<std::string> args, bool cLocale,
                const std::string& outPath = "/dev/null") {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).substr(0, 3) != "LC_" && std::string_view(*e).substr(0, 5) != "LANG=")
      envStore.push_back(*e);
  if (cLocale) envStore.push_back("LC_ALL=C");
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::fprintf(stderr, "cannot run %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
}

std::string GenerateLog(double now) {
  static const char* const kinds[] = {"PING 0", "HTTP 80", "PORT 25", "HTTP 8080"};
  std::string log;
  log.reserve(static_cast<size_t>(kRecords) * 80);
  const double start = now - kDays;
  char line[256];
  unsigned seed = 12345;
  for (int i = 0; i < kRecords; ++i) {
    seed = seed * 1103515245u + 12345u;
    double t = start + kDays * (static_cast<double>(i) + 0.5) / kRecords;
    std::string stamp = FormatDate(t) + " " + FormatTime(t);
    const char* kind = kinds[i % 4];
    unsigned r = (seed >> 16) % 1000;
    const char* word = r < 950 ? "OK" : r < 980 ? "LOST" : r < 990 ? "DOWN" : "UP";
    int ms = word[0] == 'O' || word[0] == 'U' ? static_cast<int>(5 + (seed >> 8) % 900) : 0;
    if (i % 997 == 0) {
      std::snprintf(line, sizeof line, "%s Ping:Unable to resolve no such host\r\n", stamp.c_str());
    } else if (kind[1] == 'T') {
      std::snprintf(line, sizeof line, "%s web1 %s %s %dms %dBytes E0 200 OK%s\r\n", stamp.c_str(),
                    kind, word, ms, 4000 + ms, word[0] == 'L' ? " (1 lost)" : "");
    } else {
      std::snprintf(line, sizeof line, "%s web1 %s %s %dms %sBytes %s\r\n", stamp.c_str(), kind,
                    word, ms, kind[1] == 'I' ? "56" : "0", kind[1] == 'I' ? "Success" : "");
    }
    log += line;
  }
  return log;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::BenchDir benchDir(argc, argv, "/tmp/sentrel-bench-XXXXXX");
  const std::string& dir = benchDir.Path();
  const double now = Now();
  const std::string original = dir + "/original.log";
  const std::string log = dir + "/web1.log";
  {
    std::string content = GenerateLog(now);
    WriteFileAtomic(original, content);
    std::printf("log: %d records over %d days, %.1f MB, in %s\n", kRecords, kDays,
                content.size() / 1e6, dir.c_str());
  }

  ServerList servers;
  Server* server = servers.Items(servers.Add("web1"));
  server->logfile = "original.log";
  Monitor* monitor = server->ports.Items(server->ports.Add("http"));
  monitor->port = 80;

  // Warm the page cache so every contender reads from memory.
  RunCommand({"cat", original}, true);

  RequestTimes last;
  double stats =
      bench::MedianMs(kRuns, [&] { last = ComputeRequestTimes(*monitor, "7", original, now); });
  const std::string grepOut = dir + "/grep.out";
  double grep = bench::MedianMs(kRuns, [&] {
    RunCommand({"grep", "-c", " HTTP 80 ", original}, true, grepOut);
  });
  std::string count = ReadWholeFile(grepOut).value_or("?\n");
  std::printf("statistics, 7 days of HTTP 80: %6.1f ms (%lld good, %lld lost; %s)\n", stats,
              static_cast<long long>(last.goodCount), static_cast<long long>(last.badCount),
              last.footer.c_str());
  std::printf("LC_ALL=C grep -c \" HTTP 80 \":  %6.1f ms (%s lines)\n", grep,
              count.substr(0, count.find('\n')).c_str());
  std::printf("ratio statistics / grep:       %6.2f\n\n", stats / grep);

  // Each dump gets a fresh full log, each cp a fresh target; neither preparation is timed.
  DumpFileResult kept;
  std::vector<double> dumps, cps;
  const std::string copyTarget = dir + "/cp-target.log";
  for (int i = 0; i < kRuns; ++i) {
    RunCommand({"cp", "--reflink=never", original, log}, false);
    dumps.push_back(
        bench::MedianMs(1, [&] { kept = DumpLogFile(log, DumpCopyPath(log), 7, now); }));
    unlink(copyTarget.c_str());
    cps.push_back(bench::MedianMs(1, [&] {
      RunCommand({"cp", "--reflink=never", original, copyTarget}, false);
    }));
  }
  double dump = bench::Median(dumps), cp = bench::Median(cps);
  std::printf("dump keeping 7 days (synced):  %6.1f ms (kept %lld lines, dropped %lld)\n", dump,
              static_cast<long long>(kept.keptLines), static_cast<long long>(kept.droppedLines));
  std::printf("cp --reflink=never (unsynced): %6.1f ms\n", cp);
  std::printf("ratio dump / cp:               %6.2f\n", dump / cp);
  return 0;
}
