// What the fuzz targets that use sockets, files or the loop have in common.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "support/run_to_completion.h"
#include "platform/event_loop.h"

namespace sentrel::fuzz {

// Stops the run with a message: an invariant of the code under test does not hold.
[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
inline void Check(bool ok, const char* what) {
  if (!ok) Broken(what);
}

// Moves the fuzzing thread into a network namespace of its own in which only loopback is
// up. Whatever an input makes the code connect to, look up or be redirected to, no packet
// leaves the machine, and fixed ports there collide with nobody. Threads started later
// (the resolver's) inherit the namespace. False when the system gives no namespace; the
// network targets then do nothing rather than risk real traffic.
inline bool EnterPrivateNetwork() {
  static const bool entered = [] {
    if (unshare(CLONE_NEWNET) != 0) {
      std::fprintf(stderr, "no network namespace (%s): this target needs root; skipped\n",
                   std::strerror(errno));
      return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (up) {
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
      up = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (s >= 0) close(s);
    if (!up) std::fprintf(stderr, "cannot bring loopback up; skipped\n");
    return up;
  }();
  return entered;
}

// A directory under /dev/shm for the files of a target; removed when the fuzzer exits.
inline std::string scratchDirectory;
inline const std::string& ScratchDirectory(const char* name) {
  if (scratchDirectory.empty()) {
    scratchDirectory =
        "/dev/shm/sentrel-fuzz-" + std::string(name) + "-" + std::to_string(getpid());
    std::filesystem::create_directories(scratchDirectory);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchDirectory, ignored);
    });
  }
  return scratchDirectory;
}

// The actions write their logs to the current directory: this makes the scratch directory
// current for one run and goes back after it (the fuzzer's own paths are relative).
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) {
    back_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (back_ < 0 || chdir(dir.c_str()) != 0) std::abort();
  }
  ~InDirectory() {
    if (fchdir(back_) != 0) std::abort();
    close(back_);
  }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  int back_ = -1;
};

// Cuts a byte stream into pieces whose sizes a seed byte decides: the low four bits give
// the largest piece (1 to 32768 bytes), the rest drives a small generator for the sizes.
// The same seed always cuts the same way.
class Pieces {
 public:
  Pieces(uint8_t seed, std::string_view data)
      : data_(data), largest_(size_t{1} << (seed & 15)), state_(seed * 2654435761u + 1) {}

  bool Next(std::string_view& piece) {
    if (pos_ >= data_.size()) return false;
    state_ = state_ * 1103515245u + 12345u;
    size_t size = 1 + (state_ >> 8) % largest_;
    piece = data_.substr(pos_, size);
    pos_ += piece.size();
    return true;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
  size_t largest_;
  uint32_t state_;
};

// A loop that lets the harness act whenever the code under test waits and nothing is
// ready: the harness then sends its next piece, closes its end, and so on. Only when the
// harness has nothing more to do does the wait go on as the loop's own.
class FeedingLoop : public EventLoop {
 public:
  // Returns true when it did something that may let the wait end.
  std::function<bool()> onIdle;

  bool WaitUntil(const std::function<bool()>& done, int64_t timeoutMs) override {
    while (!done()) {
      Pump();
      if (done()) return true;
      if (!onIdle || !onIdle()) break;
    }
    return EventLoop::WaitUntil(done, timeoutMs);
  }
};

// Sends all bytes, giving the loop a turn whenever the socket is full so that a reader on
// the same thread can make room. False when the other side is gone.
inline bool SendAll(int fd, std::string_view bytes, EventLoop& loop) {
  size_t done = 0;
  int stuck = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stuck = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++stuck < 1000) {
      loop.Pump();
      continue;
    }
    return false;
  }
  return true;
}

// Reads what is waiting on a non-blocking descriptor; false when the other side has
// closed (or reset).
inline bool DrainInto(int fd, std::string& out) {
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// Closes without leaving the connection in TIME_WAIT: after our FIN the kernel would
// otherwise keep every connection of a long run for a minute.
inline void CloseAbortive(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

// A listening socket on 127.0.0.1 at a fixed port (inside the private namespace nobody
// else listens there). Accept is done by the harness when it wants the next connection.
class Listener {
 public:
  explicit Listener(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
      std::perror("listen");
      std::abort();
    }
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int Fd() const { return fd_; }
  // The next waiting connection, or -1.
  int Accept() {
    int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      int big = 1 << 20;
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    }
    return fd;
  }
  // Turns away every connection still waiting.
  void RefuseWaiting() {
    for (int fd; (fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) CloseAbortive(fd);
  }

 private:
  int fd_ = -1;
};

}  // namespace sentrel::fuzz
