#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/event_loop.h"

namespace sentrel::test {

int BindLoopback(int type, uint16_t* port, int family) {
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_addr = in6addr_loopback;
    sa->sin6_port = htons(*port);
    len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa->sin_port = htons(*port);
    len = sizeof *sa;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  *port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                             : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

bool LoopbackIpv6(std::string* why) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (why) *why = std::string("this machine has no IPv6: ") + std::strerror(errno);
    return false;
  }
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 1) == 0;
  if (!ok && why)
    *why = std::string("this machine has no IPv6 on loopback (cannot listen on ::1: ") +
           std::strerror(errno) + ")";
  close(fd);
  return ok;
}

std::string LoopbackUrlHost(int family) {
  return family == AF_INET6 ? "[::1]" : "127.0.0.1";
}

struct LoopbackServer::Peer {
  int fd = -1;
  std::shared_ptr<Connection> conn;
  std::string out;
  size_t outPos = 0;
  size_t streamLeft = 0;
  std::string tail;
  bool closeWhenSent = false;
  bool writing = false;
};

LoopbackServer::LoopbackServer(Script script, int family)
    : family_(family), script_(std::move(script)) {
  complete_ = [](const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; };
  listenFd_ = BindLoopback(SOCK_STREAM | SOCK_NONBLOCK, &port_, family);
  if (listen(listenFd_, 1024) < 0) throw std::runtime_error("listen failed");
  CurrentLoop().Watch(listenFd_, EPOLLIN, [this](uint32_t) { Accept(); });
}

LoopbackServer::~LoopbackServer() {
  for (auto& p : peers_) {
    CurrentLoop().Unwatch(p->fd);
    close(p->fd);
  }
  CurrentLoop().Unwatch(listenFd_);
  close(listenFd_);
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://" + LoopbackUrlHost(family_) + ":" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::vector<std::string> out;
  for (auto& c : log_) out.push_back(c->received);
  return out;
}

void LoopbackServer::Accept() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto peer = std::make_shared<Peer>();
    peer->fd = fd;
    peer->conn = std::make_shared<Connection>();
    peers_.push_back(peer);
    log_.push_back(peer->conn);
    std::weak_ptr<Peer> weak = peer;
    CurrentLoop().Watch(fd, EPOLLIN | EPOLLRDHUP, [this, weak](uint32_t events) {
      if (auto p = weak.lock()) OnPeer(p, events);
    });
  }
}

void LoopbackServer::Drop(const std::shared_ptr<Peer>& peer) {
  CurrentLoop().Unwatch(peer->fd);
  close(peer->fd);
  for (auto it = peers_.begin(); it != peers_.end(); ++it) {
    if (*it == peer) {
      peers_.erase(it);
      break;
    }
  }
}

void LoopbackServer::OnPeer(const std::shared_ptr<Peer>& peer, uint32_t events) {
  Connection& c = *peer->conn;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(peer->fd, buf, sizeof buf, 0);
      if (n > 0) {
        c.received.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) {
        c.peerClosed = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        c.reset = true;
      }
      break;
    }
    if (!c.answered && complete_(c.received)) {
      c.answered = true;
      Reply r = script_(c.received);
      if (!r.silent) {
        peer->out = r.bytes;
        peer->streamLeft = r.streamBytes;
        peer->tail = r.tail;
        peer->closeWhenSent = r.close;
        peer->writing = true;
      }
    }
    if (c.peerClosed || c.reset) {
      // A client that went away gets nothing more; a pending reply is dropped.
      if (!peer->writing || c.reset) {
        Drop(peer);
        return;
      }
    }
  }
  if (peer->writing) {
    static const std::string filler(65536, 'x');
    for (;;) {
      ssize_t n;
      if (peer->outPos < peer->out.size()) {
        n = send(peer->fd, peer->out.data() + peer->outPos, peer->out.size() - peer->outPos,
                 MSG_NOSIGNAL);
        if (n > 0) peer->outPos += static_cast<size_t>(n);
      } else if (peer->streamLeft > 0) {
        size_t chunk = std::min(peer->streamLeft, filler.size());
        n = send(peer->fd, filler.data(), chunk, MSG_NOSIGNAL);
        if (n > 0) peer->streamLeft -= static_cast<size_t>(n);
      } else if (!peer->tail.empty()) {
        peer->out = std::move(peer->tail);
        peer->tail.clear();
        peer->outPos = 0;
        continue;
      } else {
        peer->writing = false;
        if (peer->closeWhenSent) {
          Drop(peer);
          return;
        }
        break;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        c.reset = true;
        Drop(peer);
        return;
      }
    }
    uint32_t mask = EPOLLIN | EPOLLRDHUP | (peer->writing ? EPOLLOUT : 0u);
    // Once the client has closed, only the writing is still of interest.
    if (c.peerClosed) mask = peer->writing ? EPOLLOUT : 0u;
    if (mask == 0) {
      Drop(peer);
      return;
    }
    CurrentLoop().Modify(peer->fd, mask);
  } else if (c.peerClosed) {
    Drop(peer);
  }
}

ClosedPort::ClosedPort(int family, uint16_t port) : port_(port) {
  fd_ = BindLoopback(SOCK_STREAM, &port_, family);
}
ClosedPort::~ClosedPort() {
  close(fd_);
}

SilentPort::SilentPort() {
  fd_ = BindLoopback(SOCK_STREAM, &port_);
  // Backlog 0 leaves room for one connection in the accept queue; fill it (and one more
  // for good measure, which stays pending itself) so the next handshake is dropped.
  if (listen(fd_, 0) < 0) throw std::runtime_error("listen failed");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port_);
  for (int i = 0; i < 2; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fillers_.push_back(fd);
  }
  // Give the handshakes of the fillers a moment to land in the queue.
  usleep(20'000);
}

SilentPort::~SilentPort() {
  for (int fd : fillers_) close(fd);
  close(fd_);
}

bool WaitReal(const std::function<bool()>& done, int realMs) {
  auto start = std::chrono::steady_clock::now();
  auto limit = std::chrono::milliseconds(realMs);
  CurrentLoop().WaitUntil(
      [&] { return done() || std::chrono::steady_clock::now() - start > limit; }, -1);
  return done();
}

}  // namespace sentrel::test
