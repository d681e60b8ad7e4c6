#pragma once
// Loopback peers and a quiet front end for the benchmarks that run the scanner against
// many ports: a peer that never answers and one that takes and closes every connection.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/event_loop.h"

namespace sentrel::bench {

struct QuietFrontend : Frontend {
  void ShowPopupMessage(const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  bool AskYesNo(const std::string&) override { return false; }
};

inline int Listener(int backlog, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, backlog);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// A peer that never answers: its accept queue is full and nobody takes from it.
struct SilentPeer {
  SilentPeer() {
    fd = Listener(0, &port);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    for (int i = 0; i < 4; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers.push_back(c);
    }
  }
  ~SilentPeer() {
    for (int c : fillers) close(c);
    close(fd);
  }
  int fd;
  uint16_t port;
  std::vector<int> fillers;
};

// A peer that takes every connection and closes it, served by the loop.
struct OpenPeer {
  OpenPeer() {
    fd = Listener(4096, &port);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    CurrentLoop().Watch(fd, EPOLLIN, [this](uint32_t) {
      for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) close(c);
    });
  }
  ~OpenPeer() {
    CurrentLoop().Unwatch(fd);
    close(fd);
  }
  int fd;
  uint16_t port;
};

// A server on 127.0.0.1 with one port monitor.
inline Monitor* AddPortMonitor(ServerList& servers, const std::string& name, uint16_t port,
                               int interval) {
  Server* s = servers.Items(servers.Add(name));
  s->ip = "127.0.0.1";
  Monitor* m = s->ports.Items(s->ports.Add("port"));
  m->port = port;
  m->interval = interval;
  return m;
}

}  // namespace sentrel::bench
