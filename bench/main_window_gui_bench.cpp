// Times the main window on a large configuration: 10,000 servers in 100 groups, each with
// three monitors (30,000 monitors, 40,100 tree nodes, every node expanded), beside the
// yardstick of loading the same server file into the model in the same run:
//   start: the window made, the file loaded, the tree built and refreshed, shown and painted
//   one status change: the refresh the scan engine asks for, with the tree painted
//   a full refresh that rewrites every node, for comparison
//   the resident memory of the process with the window up
// Painted on Qt's offscreen platform (set QT_QPA_PLATFORM to use another).
// Usage: main_window_gui_bench [DIR] (default: a fresh directory under /tmp, removed after).
#include <unistd.h>

#include <QApplication>
#include <QTreeView>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/program.h"
#include "bench_util.h"
#include "gui/main_window.h"
#include "gui/qt_event_loop.h"
#include "gui/qt_frontend.h"
#include "gui_bench_util.h"
#include "model/server_list.h"
#include "platform/paths.h"
#include "platform/settings_store.h"

using namespace sentrel;
using namespace sentrel::gui;

namespace {

constexpr int kGroups = 100;
constexpr int kServersPerGroup = 100;
constexpr int kRuns = 5;

void WriteServers(const std::string& path) {
  std::ofstream f(path, std::ios::binary);
  for (int g = 0; g < kGroups; ++g) {
    for (int s = 0; s < kServersPerGroup; ++s) {
      const std::string name = "host-" + std::to_string(g) + "-" + std::to_string(s);
      f << "[" << name << "]\r\nIP=127.0.0.1\r\nLogfile=" << name << ".log\r\nGroup=group " << g
        << "\r\n";
      f << "[" << name << ":ping]\r\nTyp=ping\r\nintervall=60\r\n";
      f << "[" << name
        << ":http]\r\nTyp=http\r\nPort=80\r\nData=url=http://127.0.0.1/\r\nintervall=60\r\n";
      f << "[" << name << ":ssh]\r\nTyp=port\r\nPort=22\r\nintervall=300\r\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bench::BenchDir benchDir(argc, argv, "/tmp/sentrel-window-bench-XXXXXX");
  const std::string& dir = benchDir.Path();
  SetDataDir(dir);
  const std::string file = dir + "/big.mcf";
  WriteServers(file);
  std::printf("main window: %d servers in %d groups, 3 monitors each\n", kGroups * kServersPerGroup,
              kGroups);

  // The yardstick: the same file into the model, nothing else.
  const double load = bench::MedianMs(kRuns, [&] {
    ServerList list;
    list.LoadFromFile(file);
  });
  std::printf("  load the server file (yardstick):        %7.1f ms\n", load);

  QtEventLoop loop;
  SetCurrentLoop(&loop);
  SettingsStore settings(dir + "/Corvane.ini");
  SetCurrentSettings(&settings);
  StartOptions options;
  options.commandLineFile = file;
  options.webPorts = {};

  const long rssBefore = bench::StatusBytes("VmRSS:");
  std::unique_ptr<QtFrontend> frontend;
  std::unique_ptr<Program> program;
  std::unique_ptr<MainWindow> form;
  std::vector<double> starts;
  for (int run = 0; run < kRuns; ++run) {
    form.reset();
    program.reset();
    frontend.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    frontend = std::make_unique<QtFrontend>();
    program = std::make_unique<Program>(*frontend, settings);
    starts.push_back(bench::MedianMs(1, [&] {
      form = std::make_unique<MainWindow>(*program, *frontend, loop);
      form->Create(options);
      form->show();
      QCoreApplication::processEvents();
      bench::Paint(form.get());
    }));
  }
  const double start = bench::Median(starts);
  std::printf("  window up with its tree (file included): %7.1f ms = %5.2f x the load\n", start,
              start / load);
  std::printf("  of which the window alone:                %7.1f ms\n", start - load);

  auto* tree = form->findChild<QTreeView*>(QStringLiteral("TreeView1"));
  // One change of colour, as a check's status step makes it: the model changes and the
  // engine asks for a refresh; the tree is then painted.
  std::vector<Monitor*> monitors;
  for (int i = 0; i < program->serverList.Count(); i += 97)
    monitors.push_back(program->serverList.Items(i)->ports.Items(i % 3));
  static const char* const colours[] = {"green", "yellow", "red"};
  size_t step = 0;
  const double one = bench::MedianMs(51, [&] {
    Monitor* m = monitors[step % monitors.size()];
    m->status = colours[step % 3];
    ++step;
    program->ScreenUpdate();
    tree->viewport()->repaint();
  });
  std::printf("  one status change, refreshed and painted: %7.2f ms = %5.3f x the load\n", one,
              one / load);
  const double full = bench::MedianMs(kRuns, [&] {
    form->ForgetShownState();
    form->RefreshTree();
    tree->viewport()->repaint();
  });
  std::printf("  full refresh rewriting every node:        %7.1f ms = %5.2f x the load\n", full,
              full / load);

  const long rss = bench::StatusBytes("VmRSS:");
  std::printf(
      "  resident memory with the window up:       %7.1f MB (%.1f MB more than before the "
      "window and its program)\n",
      rss / 1e6, (rss - rssBefore) / 1e6);

  form.reset();
  program.reset();
  frontend.reset();
  SetCurrentSettings(nullptr);
  SetCurrentLoop(nullptr);
  return 0;
}
