// Times the report windows on generated logs, each beside reading the same file with plain
// stdio (fgets, line by line, counting lines) in the same run:
//   log window: a 1,000,000-line log (about 60 MB) read and shown, both views; scrolling
//   (jumps and page steps, each painted); the memory the open window holds
//   request-time chart: 100,000 and 1,000,000 records of one monitor over a week read and
//   drawn; zoom and pan redraws
// The windows are painted on Qt's offscreen platform (set QT_QPA_PLATFORM to use another).
// Usage: report_windows_gui_bench [DIR] (default: a fresh directory under /tmp, removed after).
#include <unistd.h>

#include <QApplication>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <qcustomplot.h>
#include <string>
#include <vector>

#include "bench_util.h"
#include "gui/chart_window.h"
#include "gui/log_window.h"
#include "gui/widgets/log_text_view.h"
#include "gui/widgets/zoom_pan_plot.h"
#include "gui_bench_util.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/paths.h"
#include "reports/log_view.h"
#include "reports/request_times.h"

using namespace sentrel;
using namespace sentrel::gui;

namespace {

constexpr int kRuns = 5;

// Writes `records` lines spread over `days` days up to now: mostly HTTP 80 records of
// web1 with a few outages, and (when mixed) the other monitors' records between them.
size_t GenerateLog(const std::string& path, int records, double days, double now, bool mixed) {
  static const char* const kinds[] = {"HTTP 80", "PING 0", "PORT 25", "HTTP 8080"};
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  unsigned seed = 12345;
  const double start = now - days;
  size_t bytes = 0;
  char line[256];
  for (int i = 0; i < records; ++i) {
    seed = seed * 1103515245u + 12345u;
    double t = start + days * (static_cast<double>(i) + 0.5) / records;
    const char* kind = mixed ? kinds[i % 4] : kinds[0];
    // An outage of 40 records every 25,000: LOST, DOWNs, then UP.
    int phase = i % 25000;
    const char* word = phase < 24960 ? ((seed >> 16) % 100 < 2 ? "LOST" : "OK")
                       : phase == 24960 ? "LOST"
                       : phase < 24999  ? "DOWN"
                                        : "UP";
    int ms = word[0] == 'O' || word[0] == 'U' ? static_cast<int>(20 + (seed >> 8) % 400) : 0;
    int n = std::snprintf(line, sizeof line, "%s %s web1 %s %s %dms %dBytes E0 200 OK\r\n",
                          FormatDate(t).c_str(), FormatTime(t).c_str(), kind, word, ms, 4000 + ms);
    std::fwrite(line, 1, static_cast<size_t>(n), f);
    bytes += static_cast<size_t>(n);
  }
  std::fclose(f);
  return bytes;
}

// The yardstick: the same file read line by line with stdio, nothing else done.
double StdioReadMs(const std::string& path) {
  return bench::MedianMs(kRuns, [&] {
    FILE* f = std::fopen(path.c_str(), "rb");
    char buf[4096];
    long lines = 0;
    while (std::fgets(buf, sizeof buf, f)) ++lines;
    std::fclose(f);
    if (lines < 0) std::puts("");
  });
}

void BenchLogWindow(const std::string& dir, const Server& server, double now) {
  const std::string path = DataPath(server.logfile);
  size_t bytes = GenerateLog(path, 1'000'000, 30, now, true);
  std::printf("log window: 1,000,000 lines, %.1f MB\n", bytes / 1e6);
  double stdio = StdioReadMs(path);
  std::printf("  stdio fgets read (yardstick):       %7.1f ms\n", stdio);

  // Memory first, in a process that has not yet held such a log.
  {
    long before = bench::StatusBytes("VmRSS:");
    auto window = std::make_unique<LogWindow>();
    window->ShowView(ViewServerLog(server, false));
    window->show();
    bench::Paint(window.get());
    long after = bench::StatusBytes("VmRSS:");
    long peak = bench::StatusBytes("VmHWM:");
    std::printf("  memory of the open window:           %7.1f MB (%.2f x the file; peak of the "
                "process %.1f MB)\n",
                (after - before) / 1e6, static_cast<double>(after - before) / bytes, peak / 1e6);
  }

  for (bool errorsOnly : {false, true}) {
    std::unique_ptr<LogWindow> window;
    double open = bench::MedianMs(kRuns, [&] {
      window = std::make_unique<LogWindow>();
      window->ShowView(ViewServerLog(server, errorsOnly));
      window->show();
      bench::Paint(window.get());
    });
    std::printf("  open %-13s (read, show, paint): %7.1f ms = %5.2f x stdio (%zu lines)\n",
                errorsOnly ? "errors only" : "whole log", open, open / stdio,
                window->Memo1()->LineCount());
  }

  LogWindow window;
  window.ShowView(ViewServerLog(server, false));
  window.show();
  LogTextView* pane = window.Memo1();
  QScrollBar* bar = pane->verticalScrollBar();
  std::vector<double> jumps, pages;
  unsigned seed = 7;
  for (int i = 0; i < 200; ++i) {
    seed = seed * 1103515245u + 12345u;
    jumps.push_back(bench::MedianMs(1, [&] {
      bar->setValue(static_cast<int>((seed >> 8) % static_cast<unsigned>(bar->maximum() + 1)));
      bench::Paint(pane->viewport());
    }));
  }
  bar->setValue(bar->maximum() / 2);
  for (int i = 0; i < 200; ++i)
    pages.push_back(bench::MedianMs(1, [&] {
      pane->ScrollRows(20);
      bench::Paint(pane->viewport());
    }));
  std::printf("  scroll, jump anywhere and paint:     %7.2f ms median, %.2f ms max (200 jumps)\n",
              bench::Median(jumps), *std::max_element(jumps.begin(), jumps.end()));
  std::printf("  scroll, page down and paint:         %7.2f ms median, %.2f ms max (200 pages)\n\n",
              bench::Median(pages), *std::max_element(pages.begin(), pages.end()));
  std::filesystem::remove(path);
  (void)dir;
}

void BenchChart(const Monitor& monitor, int records, double now) {
  const std::string path = DataPath(monitor.server->logfile);
  size_t bytes = GenerateLog(path, records, 7, now, false);
  std::printf("chart: %d records of one monitor over a week, %.1f MB\n", records, bytes / 1e6);
  double stdio = StdioReadMs(path);
  std::printf("  stdio fgets read (yardstick):       %7.1f ms\n", stdio);

  std::unique_ptr<ChartWindow> window;
  double read = 0, open = bench::MedianMs(kRuns, [&] {
    auto a = std::chrono::steady_clock::now();
    RequestTimes times = ComputeRequestTimes(monitor, "7", path, now);
    read = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
    window = std::make_unique<ChartWindow>();
    window->Load(times, now);
    window->show();
    window->Chart1()->replot(QCustomPlot::rpImmediateRefresh);
    bench::Paint(window.get());
  });
  std::printf("  open (read, fill, show, paint):      %7.1f ms = %5.2f x stdio (of it the read "
              "%.1f ms = %.2f x)\n",
              open, open / stdio, read, read / stdio);

  ZoomPanPlot* chart = window->Chart1();
  const QRect plot = chart->axisRect()->rect();
  std::vector<double> zooms, pans;
  for (int i = 0; i < 30; ++i) {
    chart->UndoZoom();
    chart->replot(QCustomPlot::rpImmediateRefresh);
    int x = plot.left() + (i * 37) % (plot.width() / 2);
    zooms.push_back(bench::MedianMs(1, [&] {
      chart->DragZoom(QPoint(x, plot.top() + 5), QPoint(x + plot.width() / 3, plot.bottom() - 5));
      chart->replot(QCustomPlot::rpImmediateRefresh);
    }));
  }
  chart->UndoZoom();
  for (int i = 0; i < 30; ++i)
    pans.push_back(bench::MedianMs(1, [&] {
      chart->PanBy(QPoint(i % 2 ? -25 : 20, 0));
      chart->replot(QCustomPlot::rpImmediateRefresh);
    }));
  std::printf("  zoom redraw (whole view to a third): %7.2f ms median, %.2f ms max\n",
              bench::Median(zooms), *std::max_element(zooms.begin(), zooms.end()));
  std::printf("  pan redraw (whole view):             %7.2f ms median, %.2f ms max\n\n",
              bench::Median(pans), *std::max_element(pans.begin(), pans.end()));
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The offscreen platform says at every window that it cannot size it to its hints.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
    if (!text.contains("propagateSizeHints")) std::fprintf(stderr, "%s\n", qPrintable(text));
  });
  int qargc = 1;
  QApplication app(qargc, argv);

  const bench::BenchDir benchDir(argc, argv, "/tmp/sentrel-bench-XXXXXX");
  const std::string& dir = benchDir.Path();
  SetDataDir(dir);
  const double now = Now();

  ServerList servers;
  Server* server = servers.Items(servers.Add("web1"));
  server->logfile = "web1.log";
  Monitor* monitor = server->ports.Items(server->ports.Add("http"));
  monitor->typ = "http";
  monitor->port = 80;

  BenchLogWindow(dir, *server, now);
  BenchChart(*monitor, 100'000, now);
  BenchChart(*monitor, 1'000'000, now);
  return 0;
}
