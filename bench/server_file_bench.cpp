// Load and save of a server file with 10,000 servers of 3 monitors each, against the
// floor of writing (with fsync) and reading the same bytes with plain stdio.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_util.h"
#include "model/server_list.h"
#include "platform/file_util.h"

using namespace sentrel;

int main() {
  char templ[] = "/tmp/sentrel-bench-XXXXXX";
  std::string dir = mkdtemp(templ);
  std::string path = dir + "/big.mcf";

  ServerList list;
  for (int i = 0; i < 10000; ++i) {
    Server* s = list.Items(list.Add("server" + std::to_string(i)));
    s->ip = "127.0.0." + std::to_string(1 + i % 250);
    s->location = "rack " + std::to_string(i / 40);
    s->logfile = s->name + ".log";
    s->group = "group" + std::to_string(i / 100);
    Monitor* h = s->ports.Items(s->ports.Add("http"));
    h->data = {"url=http://" + s->name + ".localhost/index.html", "mustinclude=welcome"};
    s->ports.Items(s->ports.Add("ping"));
    s->ports.Items(s->ports.Add("port"))->port = 22;
  }
  list.SaveToFile(path);
  std::string bytes = *ReadWholeFile(path);

  const int runs = 7;
  double save = bench::MedianMs(runs, [&] { list.SaveToFile(path); });
  double load = bench::MedianMs(runs, [&] {
    ServerList back;
    back.LoadFromFile(path);
    if (back.Count() != 10000) std::abort();
  });
  std::string plain = dir + "/plain.txt";
  double write = bench::MedianMs(runs, [&] {
    FILE* f = std::fopen(plain.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fflush(f);
    fsync(fileno(f));
    std::fclose(f);
  });
  double read = bench::MedianMs(runs, [&] {
    FILE* f = std::fopen(plain.c_str(), "rb");
    std::string buf(bytes.size(), '\0');
    if (std::fread(buf.data(), 1, buf.size(), f) != buf.size()) std::abort();
    std::fclose(f);
  });
  std::printf("server file: %zu bytes, 10000 servers x 3 monitors, median of %d runs\n",
              bytes.size(), runs);
  std::printf("save %8.2f ms   stdio write+fsync %8.2f ms   ratio %.1fx\n", save, write, save / write);
  std::printf("load %8.2f ms   stdio read        %8.2f ms   ratio %.1fx\n", load, read, load / read);
  if (std::getenv("KEEP")) return 0;
  std::string cleanup = "rm -rf " + dir;
  return std::system(cleanup.c_str());
}
