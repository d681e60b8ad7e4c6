#include "reports/status_web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "model/server_list.h"
#include "platform/descriptor_budget.h"
#include "platform/error.h"

namespace sentrel {

namespace {

// Accepting is bounded per notification so a flood of new connections cannot keep the
// loop from serving the connections it already has.
constexpr int kAcceptsPerRound = 64;
constexpr size_t kReadSize = 16384;

std::string SocketErrorText(const char* call, int err) {
  return std::string("Sentrel-Webserver: ") + call + " failed: " + std::strerror(err) + " (errno " +
         std::to_string(err) + ")";
}

}  // namespace

StatusWebServer::StatusWebServer(TServerList& servers, PanelSink panel)
    : servers_(servers), panel_(std::move(panel)) {}

StatusWebServer::~StatusWebServer() {
  StopWebserver();
}

std::string StatusWebServer::CouldNotStartText(const std::vector<int>& ports) {
  std::string list;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) list += i + 1 == ports.size() ? " and " : ", ";
    list += std::to_string(ports[i]);
  }
  return "Sentrel-Webserver could not be started on " + list;
}

bool StatusWebServer::IsBindAddress(const std::string& address) {
  in6_addr any;
  return inet_pton(AF_INET, address.c_str(), &any) == 1 ||
         inet_pton(AF_INET6, address.c_str(), &any) == 1;
}

bool StatusWebServer::Open(int port, std::string& reason) {
  sockaddr_storage addr{};
  socklen_t addrLen = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (bindAddress_.empty() || inet_pton(AF_INET, bindAddress_.c_str(), &v4->sin_addr) == 1) {
    if (bindAddress_.empty()) v4->sin_addr.s_addr = htonl(INADDR_ANY);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    addrLen = sizeof *v4;
  } else if (inet_pton(AF_INET6, bindAddress_.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    addrLen = sizeof *v6;
  } else {
    reason = "not an IP address: " + bindAddress_;
    return false;
  }
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  int on = 1;
  socklen_t len = sizeof addr;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) < 0 || listen(fd, SOMAXCONN) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
    reason = std::strerror(errno);
    close(fd);
    return false;
  }
  try {
    CurrentLoop().Watch(fd, EPOLLIN, [this](uint32_t) { OnAcceptable(); });
  } catch (...) {
    close(fd);
    throw;
  }
  listenFd_ = fd;
  port_ = ntohs(addr.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
  return true;
}

void StatusWebServer::StartWebserver() {
  StopWebserver();
  startFailure_.clear();
  for (int port : ports_) {
    std::string reason;
    if (Open(port, reason)) break;
    if (!startFailure_.empty()) startFailure_ += "; ";
    startFailure_ += "port " + std::to_string(port) + ": " + reason;
  }
  if (Listening()) {
    startFailure_.clear();
    panel_("Sentrel-Webserver (Port " + std::to_string(port_) + "): idle");
  } else {
    panel_(CouldNotStartText(ports_));
  }
}

void StatusWebServer::StopWebserver() {
  EventLoop& loop = CurrentLoop();
  if (resumeTimer_) loop.CancelTimer(resumeTimer_);
  resumeTimer_ = 0;
  acceptPaused_ = false;
  if (listenFd_ >= 0) {
    loop.Unwatch(listenFd_);
    close(listenFd_);
    listenFd_ = -1;
  }
  port_ = 0;
  while (!connections_.empty()) Remove(connections_.begin()->first);
}

std::string StatusWebServer::GetStatusHTML() {
  std::string page;
  AppendStatusHTML(page, servers_, addresses_, &historyCache_);
  return page;
}

StatusWebServer::Connection* StatusWebServer::Find(uint64_t id) {
  auto it = connections_.find(id);
  return it == connections_.end() ? nullptr : it->second.get();
}

void StatusWebServer::OnAcceptable() {
  for (int i = 0; i < kAcceptsPerRound && listenFd_ >= 0 && !acceptPaused_; ++i) {
    // Browsers may use half of the descriptors kept in reserve, never the rest: that is
    // for the records, the errors log and the checks.
    if (!Descriptors().HasRoom(1, DescriptorBudget::Reserve(OpenFileLimit()) / 2)) {
      if (EvictOne()) continue;
      PauseAccepting(100);
      return;
    }
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (connections_.size() >= kMaxConnections && !EvictOne()) {
        // Every connection is busy with a reply: turn this one away and take no more
        // until one of them is done.
        close(fd);
        PauseAccepting(-1);
        return;
      }
      Admit(fd);
      continue;
    }
    int err = errno;
    switch (err) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return;
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
        continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // Out of descriptors: make room from the idle ones, or stop listening for a
        // moment rather than being woken for the same pending connection forever.
        if (EvictOne()) continue;
        PauseAccepting(100);
        return;
      default:
        throw SentrelError(SocketErrorText("accept", err));
    }
  }
}

void StatusWebServer::Admit(int fd) {
  uint64_t id = nextId_++;
  auto c = std::make_unique<Connection>();
  c->id = id;
  c->fd = fd;
  try {
    CurrentLoop().Watch(fd, EPOLLIN,
                        [this, id](uint32_t events) { OnConnectionEvent(id, events); });
  } catch (...) {
    close(fd);
    throw;
  }
  Connection& ref = *c;
  connections_.emplace(id, std::move(c));
  Descriptors().Opened(1);  // closed again in Remove
  ArmTimer(ref, kIdleLimitMs);
}

void StatusWebServer::ArmTimer(Connection& c, int64_t ms) {
  EventLoop& loop = CurrentLoop();
  if (c.timer) loop.CancelTimer(c.timer);
  uint64_t id = c.id;
  c.timer = loop.AddTimer(ms, [this, id] {
    if (Connection* conn = Find(id)) {
      conn->timer = 0;
      Remove(id);
    }
  });
}

void StatusWebServer::Remove(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  EventLoop& loop = CurrentLoop();
  Connection& c = *it->second;
  if (c.timer) loop.CancelTimer(c.timer);
  loop.Unwatch(c.fd);
  close(c.fd);
  Descriptors().Closed(1);
  connections_.erase(it);
  if (acceptPaused_ && !resumeTimer_) ResumeAccepting();
}

bool StatusWebServer::EvictOne() {
  Connection* waiting = nullptr;
  for (auto& [id, c] : connections_) {
    if (c->phase == Phase::Lingering) {
      Remove(id);
      return true;
    }
    if (!waiting && c->phase == Phase::Waiting) waiting = c.get();
  }
  if (!waiting) return false;
  Remove(waiting->id);
  return true;
}

void StatusWebServer::PauseAccepting(int64_t retryMs) {
  if (listenFd_ < 0) return;
  EventLoop& loop = CurrentLoop();
  acceptPaused_ = true;
  loop.Unwatch(listenFd_);
  if (retryMs >= 0 && !resumeTimer_) {
    resumeTimer_ = loop.AddTimer(retryMs, [this] {
      resumeTimer_ = 0;
      ResumeAccepting();
    });
  }
}

void StatusWebServer::ResumeAccepting() {
  if (!acceptPaused_) return;
  acceptPaused_ = false;
  if (listenFd_ >= 0) CurrentLoop().Watch(listenFd_, EPOLLIN, [this](uint32_t) { OnAcceptable(); });
}

void StatusWebServer::OnConnectionEvent(uint64_t id, uint32_t events) {
  Connection* c = Find(id);
  if (!c) return;
  switch (c->phase) {
    case Phase::Waiting:
      ServerSocketClientRead(*c);
      break;
    case Phase::Sending:
      if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) SendMore(*c);
      break;
    case Phase::Lingering:
      DrainAndMaybeClose(*c);
      break;
  }
}

void StatusWebServer::ServerSocketClientRead(Connection& c) {
  // One read of what has arrived; the request itself is not looked at.
  char buf[kReadSize];
  ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n < 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return;
    Remove(c.id);
    throw SentrelError(SocketErrorText("recv", err));
  }
  if (n == 0) {
    // The client left without asking anything.
    Remove(c.id);
    return;
  }

  const uint64_t id = c.id;
  requestCount = static_cast<int32_t>(static_cast<uint32_t>(requestCount) + 1u);
  panel_("Sentrel-Webserver (Port " + std::to_string(port_) + "): " + std::to_string(requestCount) +
         " requests");
  // Whoever shows the panel may have let the loop run; the connection may be gone.
  Connection* conn = Find(id);
  if (!conn) return;

  conn->reply = TakeBuffer();
  conn->reply.assign(kStatusReplyHeader);
  AppendStatusHTML(conn->reply, servers_, addresses_, &historyCache_);
  conn->sent = 0;
  conn->phase = Phase::Sending;
  ArmTimer(*conn, kStallLimitMs);
  SendMore(*conn);
}

void StatusWebServer::SendMore(Connection& c) {
  const size_t before = c.sent;
  while (c.sent < c.reply.size()) {
    ssize_t n = send(c.fd, c.reply.data() + c.sent, c.reply.size() - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      continue;
    }
    int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      CurrentLoop().Modify(c.fd, EPOLLOUT);
      if (c.sent != before) ArmTimer(c, kStallLimitMs);
      return;
    }
    Remove(c.id);
    throw SentrelError(SocketErrorText("send", n < 0 ? err : EPIPE));
  }
  BeginLingering(c);
}

std::string StatusWebServer::TakeBuffer() {
  std::string buffer = std::move(spare_);
  spare_ = std::string();
  buffer.clear();
  return buffer;
}

void StatusWebServer::GiveBack(std::string& buffer) {
  // Keep the larger one, but never hold on to more than a few megabytes for nothing.
  constexpr size_t kKeepAtMost = 16u << 20;
  if (buffer.capacity() > spare_.capacity() && buffer.capacity() <= kKeepAtMost)
    spare_.swap(buffer);
  std::string().swap(buffer);
}

void StatusWebServer::BeginLingering(Connection& c) {
  GiveBack(c.reply);
  c.phase = Phase::Lingering;
  // Our FIN goes out behind the reply; the client sees the end of the page.
  shutdown(c.fd, SHUT_WR);
  CurrentLoop().Modify(c.fd, EPOLLIN);
  ArmTimer(c, kLingerMs);
}

void StatusWebServer::DrainAndMaybeClose(Connection& c) {
  char buf[kReadSize];
  for (int i = 0; i < 4; ++i) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    // The client has closed (or reset after having had its page): done.
    Remove(c.id);
    return;
  }
}

}  // namespace sentrel
