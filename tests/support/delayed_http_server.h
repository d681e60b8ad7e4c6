#pragma once

// A web server on 127.0.0.1 that answers every request with a small page after a fixed
// delay, in a process of its own (so its connections count against its own descriptor
// limit, not the program's under test) that can hold tens of thousands of connections.
// Header-only and plain POSIX, so the benchmarks use it too.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace sentrel::test {

class DelayedHttpServer {
 public:
  static constexpr const char* kBody = "<html><body>Delayed but fine</body></html>";

  explicit DelayedHttpServer(int delayMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
        listen(fd, 4096) < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(sa.sin_port);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
      Serve(fd, delayMs);
      _exit(0);
    }
    close(fd);
  }
  ~DelayedHttpServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  DelayedHttpServer(const DelayedHttpServer&) = delete;
  DelayedHttpServer& operator=(const DelayedHttpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  static int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  [[noreturn]] static void Serve(int listenFd, int delayMs) {
    signal(SIGPIPE, SIG_IGN);
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    fcntl(listenFd, F_SETFL, O_NONBLOCK);
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd;
    epoll_ctl(ep, EPOLL_CTL_ADD, listenFd, &ev);
    const std::string reply =
        std::string("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n") + kBody;
    std::unordered_map<int, std::string> requests;  // connections still sending
    std::deque<std::pair<int64_t, int>> due;        // constant delay: first in, first due
    epoll_event events[256];
    for (;;) {
      int timeout = -1;
      if (!due.empty())
        timeout = static_cast<int>(std::max<int64_t>(0, due.front().first - NowMs()));
      int n = epoll_wait(ep, events, 256, timeout);
      for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == listenFd) {
          for (;;) {
            int c = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) break;
            epoll_event cev{};
            cev.events = EPOLLIN;
            cev.data.fd = c;
            epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
            requests[c];
          }
          continue;
        }
        char buf[4096];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EAGAIN) continue;
        auto it = requests.find(fd);
        if (r <= 0 || it == requests.end()) {
          epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
          requests.erase(fd);
          close(fd);
          continue;
        }
        it->second.append(buf, static_cast<size_t>(r));
        if (it->second.find("\r\n\r\n") != std::string::npos) {
          epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
          requests.erase(it);
          due.emplace_back(NowMs() + delayMs, fd);
        }
      }
      const int64_t now = NowMs();
      while (!due.empty() && due.front().first <= now) {
        int fd = due.front().second;
        due.pop_front();
        [[maybe_unused]] ssize_t w = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(fd);
      }
    }
  }

  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace sentrel::test
