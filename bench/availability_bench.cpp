// The availability figures at start-up and while records are written, over generated logs
// of 30 days of 1,000 monitors checked every 10 seconds (about 260 million records):
//   the first start, with no day summary: every log read from the first day that counts,
//     beside `wc -l` over the same files (the least work of reading them) in the same run;
//   a start with the summaries the first one left;
//   the cost of a record written, with the figures kept up to date and without.
// Usage: availability_bench [DIR] [--monitors=N] [--days=D] [--interval=S]
//   (default: a fresh directory under /var/tmp, removed after; 1000 monitors, 30 days, 10 s)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/event_loop.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "reports/availability_tracker.h"
#include "reports/log_lines.h"

extern char** environ;

using namespace sentrel;

namespace {

using Steady = std::chrono::steady_clock;

double MsSince(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// The four monitors of every server, and how their records read.
struct Kind {
  const char* kind;
  int port;
  const char* okTail;    // after "<ms>ms "
  const char* lostTail;  // after "0ms "
  bool ping;
};
constexpr Kind kKinds[] = {
    {"PING", 0, "56Bytes Success", "56Bytes Request timed out", true},
    {"HTTP", 80, "5120Bytes E0 200 OK", "0Bytes 503 Service Unavailable", false},
    {"PORT", 25, "0Bytes ", "0Bytes ", false},
    {"PORT", 443, "0Bytes ", "0Bytes ", false},
};
// A failed port check's second failure step: its probe on the socket that never connected.
constexpr const char* kProbeTail = "0Bytes Error=10057";

// Appends "<stamp> <server> <KIND> <port> <word> <ms>ms <tail>[ (<n> lost)]\r\n".
void AppendRecord(std::string& out, const char* stamp, const std::string& server, const Kind& k,
                  const char* word, int ms, const char* tail, int lost) {
  char buf[256];
  int n = lost > 0 ? std::snprintf(buf, sizeof buf, "%s %s %s %d %s %dms %s (%d lost)\r\n", stamp,
                                   server.c_str(), k.kind, k.port, word, ms, tail, lost)
                   : std::snprintf(buf, sizeof buf, "%s %s %s %d %s %dms %s\r\n", stamp,
                                   server.c_str(), k.kind, k.port, word, ms, tail);
  out.append(buf, static_cast<size_t>(n));
}

// One server's log: every monitor checked at every step, each down for two minutes once
// every three days (at a time of its own), with the records the status steps write.
uint64_t WriteServerLog(const std::string& path, const std::string& server, int index,
                        double start, int steps, int interval) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::string out;
  out.reserve(4 << 20);
  uint64_t lines = 0;
  int lost[4] = {0, 0, 0, 0};
  const int period = 3 * 86400 / interval;
  const int outageSteps = 120 / interval;
  char stamp[32];
  for (int s = 0; s < steps; ++s) {
    double t = start + static_cast<double>(s) * interval / 86400.0;
    if (TimeOfDayMs(t) == 0) t += 2.0 / 86400.0;
    const std::string st = FormatDateTime(t);
    std::memcpy(stamp, st.c_str(), st.size() + 1);
    for (int m = 0; m < 4; ++m) {
      const Kind& k = kKinds[m];
      const bool down = (s + index * 997 + m * 131) % period < outageSteps;
      const int ms = 3 + (s * 7 + m) % 90;
      if (!down) {
        AppendRecord(out, stamp, server, k, "OK", ms, k.okTail, 0);
        if (lost[m] >= 2) AppendRecord(out, stamp, server, k, "UP", ms, k.okTail, 0);
        lines += lost[m] >= 2 ? 2 : 1;
        lost[m] = 0;
        continue;
      }
      // The failure steps of the check: one, and for a port a second one for its probe.
      const bool port = k.kind[1] == 'O';
      for (int step = 0; step < (port ? 2 : 1); ++step) {
        const char* tail = step ? kProbeTail : k.lostTail;
        ++lost[m];
        if (lost[m] == 2) {
          // Turning red: ping writes DOWN then LOST, the others LOST then DOWN.
          AppendRecord(out, stamp, server, k, k.ping ? "DOWN" : "LOST", 0, tail, k.ping ? 2 : 0);
          AppendRecord(out, stamp, server, k, k.ping ? "LOST" : "DOWN", 0, tail, 2);
          lines += 2;
        } else {
          AppendRecord(out, stamp, server, k, "LOST", 0, tail, lost[m] > 2 ? lost[m] : 0);
          ++lines;
        }
      }
    }
    if (out.size() > (4u << 20) - 4096 || s + 1 == steps) {
      if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        std::perror("write");
        std::exit(1);
      }
      out.clear();
    }
  }
  close(fd);
  return lines;
}

double RunMs(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Steady::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return MsSince(start);
}

uint64_t DirBytes(const std::string& dir) {
  uint64_t total = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

// Serves the loop until the tracker has read every log; returns the time it took.
double UntilRead(EventLoop& loop, AvailabilityTracker& tracker) {
  const auto start = Steady::now();
  loop.WaitUntil([&tracker] { return !tracker.Reading(); }, -1);
  return MsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  int monitors = 1000, days = 30, interval = 10;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::sscanf(argv[i], "--monitors=%d", &monitors) == 1) continue;
    if (std::sscanf(argv[i], "--days=%d", &days) == 1) continue;
    if (std::sscanf(argv[i], "--interval=%d", &interval) == 1) continue;
    rest.push_back(argv[i]);
  }
  // Under /var/tmp: a tmpfs /tmp would hold the logs in memory and hide the reading.
  const bench::BenchDir benchDir(static_cast<int>(rest.size()), rest.data(),
                                 "/var/tmp/sentrel-availability-XXXXXX");
  const std::string& dir = benchDir.Path();
  SetDataDir(dir);
  EventLoop loop;
  SetCurrentLoop(&loop);

  const int servers = (monitors + 3) / 4;
  const int steps = days * 86400 / interval;
  const double now = Now();
  const double start = now - days;
  ServerList list;
  std::vector<std::string> paths;
  uint64_t records = 0;
  auto genStart = Steady::now();
  for (int i = 0; i < servers; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "srv%04d", i);
    Server* s = list.Items(list.Add(name));
    s->logfile = std::string(name) + ".log";
    for (const Kind& k : kKinds) {
      Monitor* m = s->ports.Items(s->ports.Add(k.ping             ? "ping"
                                               : k.kind[0] == 'H' ? "http"
                                                                  : "port"));
      m->port = k.port;
    }
    paths.push_back(s->LogPath());
    records += WriteServerLog(paths.back(), name, i, start, steps, interval);
  }
  const uint64_t logBytes = DirBytes(dir);
  std::printf("logs: %d servers x 4 monitors, %d days every %d s: %.1f million records, "
              "%.2f GB, written in %.0f s, in %s\n",
              servers, days, interval, records / 1e6, logBytes / 1e9, MsSince(genStart) / 1000,
              dir.c_str());

  // The least work of reading the same bytes: count their lines.
  std::vector<std::string> wc{"wc", "-l"};
  for (const auto& p : paths) wc.push_back(p);
  const double wcMs = RunMs(wc);

  // First start: no summaries.
  double firstFollow = 0, firstRead = 0, save = 0;
  {
    AvailabilityTracker tracker;
    list.logObserver = &tracker;
    auto t0 = Steady::now();
    tracker.Follow(list);
    firstFollow = MsSince(t0);
    firstRead = UntilRead(loop, tracker);
    auto t1 = Steady::now();
    tracker.SaveSummaries();
    save = MsSince(t1);
    const Availability a = tracker.MonitorAvailability(*list.Items(0)->ports.Items(2), 720);
    std::printf("srv0000 port 25 over 30 days: %lld checks, %s, %lld outages, %s down\n",
                static_cast<long long>(a.checks), FormatAvailabilityPercent(a).c_str(),
                static_cast<long long>(a.outages), FormatDuration(a.downtimeMs).c_str());
    list.logObserver = nullptr;
  }
  const uint64_t summaryBytes = DirBytes(SummaryDirectory());
  std::printf("\nfirst start, no summaries:\n");
  std::printf("  at start (Follow):          %8.1f ms\n", firstFollow);
  std::printf("  reading in slices:          %8.1f ms (%.0f MB/s, %.1f ms per 1 MB slice)\n",
              firstRead, logBytes / 1e3 / firstRead,
              firstRead / (static_cast<double>(logBytes) / (1 << 20)));
  std::printf("  wc -l over the same logs:   %8.1f ms\n", wcMs);
  std::printf("  ratio reading / wc -l:      %8.2f\n", firstRead / wcMs);
  std::printf("  summaries written:          %8.1f ms (%zu files, %.1f MB)\n", save, paths.size(),
              summaryBytes / 1e6);

  // Later starts: the summaries stand for the logs.
  std::vector<double> follows, totals;
  for (int run = 0; run < 7; ++run) {
    AvailabilityTracker tracker;
    auto t0 = Steady::now();
    tracker.Follow(list);
    follows.push_back(MsSince(t0));
    UntilRead(loop, tracker);
    totals.push_back(MsSince(t0));
  }
  std::printf("\nstart with summaries (median of 7):\n");
  std::printf("  at start (Follow):          %8.1f ms\n", bench::Median(follows));
  std::printf("  until every figure is whole:%8.1f ms (aim: under 100 ms)\n", bench::Median(totals));

  // A record written: AppendLog with and without the figures kept up to date.
  const std::string rdir = dir + "/records";
  MakeDirectories(rdir);
  SetDataDir(rdir);
  ServerList one;
  Server* s = one.Items(one.Add("web1"));
  s->logfile = "web1.log";
  constexpr int kRecords = 200000;
  auto writeAll = [&] {
    for (int i = 0; i < kRecords; ++i)
      s->AppendLog(i % 50 ? "web1 HTTP 80 OK 12ms 5120Bytes E0 200 OK"
                          : "web1 HTTP 80 LOST 0ms 0Bytes 503 Service Unavailable");
  };
  std::vector<double> plain, kept;
  for (int run = 0; run < 5; ++run) {
    unlink((rdir + "/web1.log").c_str());
    one.logObserver = nullptr;
    plain.push_back(bench::MedianMs(1, writeAll) * 1e6 / kRecords);
    unlink((rdir + "/web1.log").c_str());
    AvailabilityTracker tracker;
    one.logObserver = &tracker;
    kept.push_back(bench::MedianMs(1, writeAll) * 1e6 / kRecords);
    one.logObserver = nullptr;
  }
  // The figures' own part alone: the lines handed to the tracker as AppendLog does.
  double observe = 0;
  {
    AvailabilityTracker tracker;
    const std::string path = rdir + "/alone.log";
    const std::string ok = FormatDateTime(Now()) + " web1 HTTP 80 OK 12ms 5120Bytes E0 200 OK\r\n";
    uint64_t end = 0;
    observe = bench::MedianMs(5, [&] {
                for (int i = 0; i < kRecords; ++i) tracker.LineAppended(path, ok, end += ok.size());
              }) * 1e6 / kRecords;
  }
  const double p = bench::Median(plain), k = bench::Median(kept);
  std::printf("\na record written (median of 5 x %d):\n", kRecords);
  std::printf("  without the figures:        %8.0f ns\n", p);
  std::printf("  with the figures kept:      %8.0f ns (+%.0f ns)\n", k, k - p);
  std::printf("  ratio with / without:       %8.3f\n", k / p);
  std::printf("  the figures' part alone:    %8.0f ns per line (%.4f of a record written)\n",
              observe, observe / p);
  return 0;
}
