// One scan pass over 10,000 servers x 3 monitors with nothing due.
#include <cstdio>

#include "app/program.h"
#include "bench_util.h"
#include "platform/clock.h"

using namespace sentrel;

namespace {
struct QuietFrontend : Frontend {
  void ShowPopupMessage(const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
};
}  // namespace

int main() {
  QuietFrontend frontend;
  SettingsStore settings("/tmp/sentrel-bench-settings.ini");
  Program program(frontend, settings);
  program.serverList.Clear();
  const int64_t mono = CurrentClock().MonotonicMs();
  for (int i = 0; i < 10000; ++i) {
    Server* s = program.serverList.Items(program.serverList.Add("server" + std::to_string(i)));
    for (const char* typ : {"ping", "http", "port"}) {
      Monitor* m = s->ports.Items(s->ports.Add(typ));
      m->MarkChecked(Now(), mono);  // just checked: nothing is due
    }
  }
  program.StartScan();  // the first pass runs at once
  const int runs = 21;
  double ms = bench::MedianMs(runs, [&] { program.scanner.Execute(); });
  std::printf("scan pass, 30000 monitors, nothing due: %.3f ms per pass, %.1f ns per monitor "
              "(median of %d)\n", ms, ms * 1e6 / 30000, runs);
  program.StopScan();
  return 0;
}
