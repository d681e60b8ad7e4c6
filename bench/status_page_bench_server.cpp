// The status web server under load: a busy installation (servers with three monitors each,
// 300 monitors unless told otherwise, and a full 1001-line History) served on a loopback
// port until a time limit, for wrk to measure. It also writes the body it serves to a
// file, so a static web server can be measured serving the very same bytes.
//
//   status_page_bench_server PORT PAGE_FILE SECONDS [MONITORS]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/event_loop.h"
#include "reports/status_page.h"
#include "reports/status_web_server.h"

using namespace sentrel;

namespace {

void FillModel(ServerList& list, TextPane& pane, int monitors) {
  static const char* kStatus[] = {"green", "green", "green", "yellow", "red", ""};
  const int servers = (monitors + 2) / 3;
  for (int i = 0; i < servers; ++i) {
    Server* s = list.Items(list.Add("server" + std::to_string(i) + ".intranet"));
    s->ip = "127.0.0.1";
    s->group = "Group " + std::to_string(i / 10);
    int n = 0;
    for (const char* typ : {"ping", "http", "port"}) {
      Monitor* m = s->ports.Items(s->ports.Add(typ));
      m->port = typ[1] == 'i' ? 0 : 80 + n;
      m->status = kStatus[(i * 3 + n++) % 6];
      m->lastResponseMs = (i * 37) % 900;
      m->lostCount = m->status == "red" ? 4 : 0;
      m->lastUp = 45413.25;
      if (m->typ == "http")
        m->SetValue("url", "http://localhost/health?server=" + std::to_string(i));
    }
  }
  for (int i = 0; i < 1001; ++i)
    pane.AddLine("2024-05-01 07:" + std::to_string(10 + i % 50) + ":00 server" +
                 std::to_string(i % servers) + ".intranet http DOWN (2) 10000ms 0 bytes " +
                 "500 Internal Server Error <from the application>");
}

EventLoop* stopLoop = nullptr;
void OnSignal(int) {
  if (stopLoop) stopLoop->Quit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s PORT PAGE_FILE SECONDS [MONITORS]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int seconds = std::atoi(argv[3]);
  const int monitors = argc == 5 ? std::atoi(argv[4]) : 300;

  EventLoop loop;
  SetCurrentLoop(&loop);
  stopLoop = &loop;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  int errors = 0;
  loop.SetErrorHandler([&errors](const std::string&) { ++errors; });

  ServerList list;
  TextPane pane("Messages/Errors");
  list.messagePane = &pane;
  FillModel(list, pane, monitors);

  StatusWebServer server(list, [](const std::string&) {});
  server.SetPorts({port});
  server.StartWebserver();
  if (!server.Listening()) {
    std::fprintf(stderr, "cannot listen on port %d\n", port);
    return 1;
  }
  {
    std::ofstream page(argv[2], std::ios::binary | std::ios::trunc);
    // The page's first CR LF ends the reply's header block; the body is the rest.
    page << GetStatusHTML(list, StatusPageAddresses{}).substr(2);
  }
  loop.AddTimer(static_cast<int64_t>(seconds) * 1000, [&loop] { loop.Quit(); });
  loop.Run();
  std::printf("answered %d requests, page made %llu times, %llu clients gone, %d errors\n",
              server.requestCount, static_cast<unsigned long long>(server.PageBuilds()),
              static_cast<unsigned long long>(server.Counters().disconnects), errors);
  SetCurrentLoop(nullptr);
  return 0;
}
