// Opens a report window over a week of generated records, for screenshots and for a look
// by eye: tools/report-screenshots.sh runs it under Xvfb.
//   report_windows_demo DATADIR log|errors|chart
// The data directory gets "web1.log": an HTTP monitor on port 80 checked every minute for
// seven days, with request times that follow the hours of the day, scattered losses and
// three outages. The window opens modally as the commands open it; Escape closes it.
#include <QApplication>
#include <cmath>
#include <cstdio>
#include <string>

#include "gui/chart_window.h"
#include "gui/log_window.h"
#include "gui/widgets/log_text_view.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "reports/log_view.h"
#include "reports/request_times.h"

using namespace sentrel;

namespace {

// The outages: start (days before now) and length in minutes.
struct Outage {
  double daysAgo;
  int minutes;
};
constexpr Outage kOutages[] = {{5.6, 25}, {3.2, 8}, {0.9, 55}};

std::string WeekOfRecords(double now) {
  std::string log;
  const int minutes = 7 * 24 * 60;
  unsigned seed = 2024;
  int lost = 0;
  bool down = false;
  double downSince = 0;
  for (int i = 0; i < minutes; ++i) {
    double t = now - 7 + i / 1440.0;
    seed = seed * 1103515245u + 12345u;
    bool outage = false;
    for (const Outage& o : kOutages) {
      double start = now - o.daysAgo;
      if (t >= start && t < start + o.minutes / 1440.0) outage = true;
    }
    bool failed = outage || (seed >> 16) % 300 == 0;
    std::string stamp = FormatDate(t) + " " + FormatTime(t) + " web1 HTTP 80 ";
    if (failed) {
      ++lost;
      std::string suffix = " (" + std::to_string(lost) + " lost)";
      if (lost == 2) {
        log += stamp + "LOST 0ms 0Bytes 0 Connection refused" + suffix + "\r\n";
        log += stamp + "DOWN 0ms 0Bytes 0 Connection refused" + suffix + "\r\n";
        down = true;
        downSince = t;
      } else {
        log += stamp + "LOST 0ms 0Bytes 0 Connection refused" + suffix + "\r\n";
      }
      continue;
    }
    // Slower in the working hours, with some noise and the odd slow answer.
    double hour = std::fmod(t, 1.0) * 24;
    double load = std::exp(-std::pow((hour - 14) / 4, 2));
    int ms = static_cast<int>(60 + 140 * load + (seed >> 8) % 40 + ((seed >> 20) % 400 == 0 ? 700 : 0));
    log += stamp + "OK " + std::to_string(ms) + "ms 5123Bytes E0 200 OK\r\n";
    if (down) {
      int downtime = static_cast<int>(std::lround((t - downSince) * 1440));
      log += stamp + "UP " + std::to_string(ms) + "ms 5123Bytes 200 OK Downtime=" +
             std::to_string(downtime) + " min\r\n";
      down = false;
    }
    lost = 0;
  }
  return log;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DATADIR log|errors|chart\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[2];
  int qargc = 1;
  QApplication app(qargc, argv);
  SetDataDir(argv[1]);
  const double now = Now();
  WriteFileAtomic(DataPath("web1.log"), WeekOfRecords(now));

  ServerList servers;
  Server* server = servers.Items(servers.Add("web1"));
  server->logfile = "web1.log";
  Monitor* monitor = server->ports.Items(server->ports.Add("http"));
  monitor->typ = "http";
  monitor->port = 80;

  if (mode == "chart") {
    gui::ChartWindow window;
    window.Load(ComputeRequestTimes(*monitor, "7"), now);
    return window.exec() == QDialog::Accepted ? 0 : 0;
  }
  gui::LogWindow window;
  window.ShowView(ViewServerLog(*server, mode == "errors"));
  // The whole log opens at the last outage, where the state changes are.
  if (mode == "log") {
    const LogText& lines = window.Memo1()->Lines();
    size_t down = 0;
    for (size_t i = 0; i < lines.Count(); ++i)
      if (lines[i].find(" DOWN ") != std::string_view::npos) down = i;
    window.Memo1()->ScrollToLine(down > 8 ? down - 8 : 0);
  }
  window.exec();
  return 0;
}
