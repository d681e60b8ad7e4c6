#include "reports/status_web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "platform/clock.h"
#include "platform/descriptor_budget.h"
#include "platform/error.h"
#include "reports/status_encoding.h"

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

// Errors that only say the client is gone (closed, reset, unreachable). Browsers that
// are closed, reloaded or moved on do this all the time: it is counted, never logged.
bool ClientWentAway(int err) {
  switch (err) {
    case ECONNRESET:
    case EPIPE:
    case ETIMEDOUT:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ENOTCONN:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
      return true;
    default:
      return false;
  }
}

int64_t RealNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// Adds the time of one piece of answering work to the window's account.
class StatusWebServer::WorkTimer {
 public:
  explicit WorkTimer(StatusWebServer& server) : server_(server), start_(RealNs()) {}
  ~WorkTimer() { server_.workNs_ += RealNs() - start_; }
  WorkTimer(const WorkTimer&) = delete;
  WorkTimer& operator=(const WorkTimer&) = delete;

 private:
  StatusWebServer& server_;
  int64_t start_;
};

bool StatusWebServer::ShareUsedUp() {
  const int64_t now = RealNs();
  if (now - shareWindowStartNs_ >= kShareWindowMs * 1'000'000) {
    shareWindowStartNs_ = now;
    workNs_ = 0;
    // Checks are under way when some finished since the last window or wait to start.
    const ProgramCounters facts = replies_.ProgramFacts();
    checksUnderWay_ = facts.checksDone != checksSeen_ || facts.httpChecksQueued > 0;
    checksSeen_ = facts.checksDone;
  }
  // The share is one of real time; a test clock has none to share.
  if (!checksUnderWay_ || CurrentClock().IsFake()) return false;
  return workNs_ >= kShareWhileCheckingMs * 1'000'000;
}

StatusWebServer::StatusWebServer(ServerList& servers, PanelSink panel)
    : panel_(std::move(panel)), replies_(servers, web_, [this] { KeepPinnedInBudget(); }) {}

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

std::string StatusWebServer::NormalAddress(const std::string& address) {
  char text[INET6_ADDRSTRLEN];
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return inet_ntop(AF_INET, &v4, text, sizeof text) ? text : "";
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
    return inet_ntop(AF_INET6, &v6, text, sizeof text) ? text : "";
  return "";
}

bool StatusWebServer::IsBindAddress(const std::string& address) {
  return !NormalAddress(address).empty();
}

void StatusWebServer::SetBindAddress(std::string address) {
  const std::string normal = NormalAddress(address);
  // Something that is no address stays as given, so the start can say what it was.
  bindAddress_ = normal.empty() ? std::move(address) : normal;
}

bool StatusWebServer::OpenSocket(int family, int port, std::string& reason, int& err) {
  sockaddr_storage addr{};
  socklen_t addrLen = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (family == AF_INET) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress_.empty()) inet_pton(AF_INET, bindAddress_.c_str(), &v4->sin_addr);
    addrLen = sizeof *v4;
  } else {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    v6->sin6_addr = in6addr_any;
    if (!bindAddress_.empty()) inet_pton(AF_INET6, bindAddress_.c_str(), &v6->sin6_addr);
    addrLen = sizeof *v6;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    reason = std::strerror(err);
    return false;
  }
  int on = 1;
  // Without a bind address one socket takes both families: IPv4 clients arrive as
  // IPv4-mapped addresses. Said explicitly, since a system may default to IPv6 only.
  int v6only = bindAddress_.empty() ? 0 : 1;
  socklen_t len = sizeof addr;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
      (family == AF_INET6 &&
       setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) < 0) ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) < 0 || listen(fd, SOMAXCONN) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
    err = errno;
    reason = std::strerror(err);
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
  listenIpv6_ = family == AF_INET6;
  port_ = ntohs(family == AF_INET6 ? v6->sin6_port : v4->sin_port);
  return true;
}

bool StatusWebServer::Open(int port, std::string& reason) {
  int err = 0;
  if (bindAddress_.empty()) {
    if (OpenSocket(AF_INET6, port, reason, err)) return true;
    // A machine (or container) without IPv6 still gets the page over IPv4; a port that
    // is taken stays taken for both.
    if (err != EAFNOSUPPORT && err != EADDRNOTAVAIL && err != EPROTONOSUPPORT) return false;
    return OpenSocket(AF_INET, port, reason, err);
  }
  in6_addr any;
  if (inet_pton(AF_INET, bindAddress_.c_str(), &any) == 1)
    return OpenSocket(AF_INET, port, reason, err);
  if (inet_pton(AF_INET6, bindAddress_.c_str(), &any) == 1)
    return OpenSocket(AF_INET6, port, reason, err);
  reason = "not an IP address: " + bindAddress_;
  return false;
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
    // Switching the server on is a change of its own: the first browser gets a page
    // that is already made.
    replies_.Start();
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
  listenIpv6_ = false;
  while (!connections_.empty()) Remove(connections_.begin()->first);
  replies_.Stop();
}

size_t StatusWebServer::PinnedBytes() const {
  std::set<const SharedReplyBody*> seen;
  size_t total = 0;
  for (const auto& [id, c] : connections_) {
    const SharedReplyBody* body = c->reply.owner.get();
    if (body && !replies_.IsCurrent(body) && seen.insert(body).second) total += body->Footprint();
  }
  return total;
}

void StatusWebServer::KeepPinnedInBudget() {
  // A superseded version is freed when its last reader ends; a reader that is slow to
  // take it keeps it. A crowd of readers that never read would each keep another one.
  std::map<uint64_t, const SharedReplyBody*> pinned;  // by age, oldest first
  size_t total = 0;
  for (const auto& [id, c] : connections_) {
    const SharedReplyBody* body = c->reply.owner.get();
    if (!body || replies_.IsCurrent(body)) continue;
    if (pinned.emplace(body->Serial(), body).second) total += body->Footprint();
  }
  for (auto it = pinned.begin(); total > kPinnedBudget && it != pinned.end(); ++it) {
    std::vector<uint64_t> readers;
    for (const auto& [id, c] : connections_)
      if (c->reply.owner.get() == it->second) readers.push_back(id);
    total -= it->second->Footprint();
    pinnedClosed_ += readers.size();
    web_.disconnects += readers.size();
    for (uint64_t id : readers) Remove(id);
  }
}

StatusWebServer::Connection* StatusWebServer::Find(uint64_t id) {
  auto it = connections_.find(id);
  return it == connections_.end() ? nullptr : it->second.get();
}

void StatusWebServer::OnAcceptable() {
  WorkTimer timer(*this);
  for (int i = 0; i < kAcceptsPerRound && listenFd_ >= 0 && !acceptPaused_; ++i) {
    if (ShareUsedUp()) {
      const int64_t left = kShareWindowMs - (RealNs() - shareWindowStartNs_) / 1'000'000;
      PauseAccepting(std::max<int64_t>(1, left));
      return;
    }
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
  Connection& ref = *c;
  connections_.emplace(id, std::move(c));
  Descriptors().Opened(1);  // closed again in Remove
  // Most clients send their request with the connection: it is answered now, and a
  // reply that the socket takes whole never needs the loop to watch the connection.
  ServerSocketClientRead(ref);
}

void StatusWebServer::WatchFor(Connection& c, uint32_t events) {
  EventLoop& loop = CurrentLoop();
  if (c.watched) {
    loop.Modify(c.fd, events);
    return;
  }
  const uint64_t id = c.id;
  try {
    loop.Watch(c.fd, events, [this, id](uint32_t ev) { OnConnectionEvent(id, ev); });
  } catch (...) {
    Remove(id);
    throw;
  }
  c.watched = true;
}

void StatusWebServer::ArmTimer(Connection& c, int64_t ms) {
  EventLoop& loop = CurrentLoop();
  if (c.timer) loop.CancelTimer(c.timer);
  uint64_t id = c.id;
  c.timer = loop.AddTimer(ms, [this, id] {
    if (Connection* conn = Find(id)) {
      conn->timer = 0;
      // A reply that stopped moving: the client is gone without saying so.
      if (conn->phase == Phase::Sending) ++web_.disconnects;
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
  if (c.watched) loop.Unwatch(c.fd);
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
  WorkTimer timer(*this);
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
  // One read of what has arrived; only the path and Accept-Encoding are looked at.
  char buf[kReadSize];
  ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n < 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
      // Nothing yet: wait for it, but not for ever.
      WatchFor(c, EPOLLIN);
      if (!c.timer) ArmTimer(c, kIdleLimitMs);
      return;
    }
    Remove(c.id);
    if (ClientWentAway(err)) return;
    throw SentrelError(SocketErrorText("recv", err));
  }
  if (n == 0) {
    // The client left without asking anything.
    Remove(c.id);
    return;
  }

  const uint64_t id = c.id;
  requestCount = static_cast<int32_t>(static_cast<uint32_t>(requestCount) + 1u);
  ++web_.requests;
  panel_("Sentrel-Webserver (Port " + std::to_string(port_) + "): " + std::to_string(requestCount) +
         " requests");
  // Whoever shows the panel may have let the loop run; the connection may be gone.
  Connection* conn = Find(id);
  if (!conn) return;

  const StatusRequest request = ParseStatusRequest(std::string_view(buf, static_cast<size_t>(n)));
  conn->reply = replies_.Answer(request);
  conn->sent = 0;
  conn->phase = Phase::Sending;
  // The idle limit is over; the stall limit starts when a send comes back short.
  if (conn->timer) CurrentLoop().CancelTimer(conn->timer);
  conn->timer = 0;
  SendMore(*conn);
}

void StatusWebServer::SendMore(Connection& c) {
  const size_t before = c.sent;
  const StatusReply& r = c.reply;
  const std::string_view parts[3] = {r.prefix, r.body, r.suffix};
  const size_t bodyStart = parts[0].size();
  const size_t bodyEnd = bodyStart + parts[1].size();
  const size_t total = bodyEnd + parts[2].size();
  while (c.sent < total) {
    ssize_t n;
    if (r.bodyFd >= 0 && c.sent >= bodyStart && c.sent < bodyEnd) {
      // The shared body goes from its memory file, without a copy of ours.
      off_t offset = static_cast<off_t>(c.sent - bodyStart);
      n = sendfile(c.fd, r.bodyFd, &offset, bodyEnd - c.sent);
    } else {
      // From memory: everything left, or, when the body goes by file, the rest of the
      // headers (told that more follows) or the tail.
      const size_t stop = r.bodyFd < 0 ? total : c.sent < bodyStart ? bodyStart : total;
      iovec iov[3];
      int count = 0;
      size_t at = 0;
      for (std::string_view part : parts) {
        const size_t from = std::max(at, c.sent);
        const size_t to = std::min(at + part.size(), stop);
        if (from < to) {
          iov[count].iov_base = const_cast<char*>(part.data() + (from - at));
          iov[count].iov_len = to - from;
          ++count;
        }
        at += part.size();
      }
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = static_cast<size_t>(count);
      n = sendmsg(c.fd, &msg, MSG_NOSIGNAL | (stop < total ? MSG_MORE : 0));
    }
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      continue;
    }
    int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      const uint64_t id = c.id;
      WatchFor(c, EPOLLOUT);
      Connection* conn = Find(id);
      if (conn && (!conn->timer || conn->sent != before)) ArmTimer(*conn, kStallLimitMs);
      return;
    }
    if (n == 0) err = EPIPE;
    Remove(c.id);
    if (ClientWentAway(err)) {
      ++web_.disconnects;
      return;
    }
    throw SentrelError(SocketErrorText("send", err));
  }
  Finish(c);
}

void StatusWebServer::Finish(Connection& c) {
  // The shared bytes may be replaced by a newer page; this reply no longer holds them.
  const bool closeWhenSent = c.reply.closeWhenSent;
  c.reply = StatusReply{};
  int unread = 0;
  if (closeWhenSent && ioctl(c.fd, FIONREAD, &unread) == 0 && unread == 0) {
    // The whole request was read and nothing else came: closing sends our FIN behind
    // the reply, with nothing left that could turn it into a reset.
    Remove(c.id);
    return;
  }
  BeginLingering(c);
}

void StatusWebServer::BeginLingering(Connection& c) {
  c.phase = Phase::Lingering;
  // Our FIN goes out behind the reply; the client sees the end of the page.
  shutdown(c.fd, SHUT_WR);
  WatchFor(c, EPOLLIN);
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
