#include "platform/tcp_socket.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/socket_errors.h"

namespace sentrel {

namespace {

[[noreturn]] void ThrowSocketCall(int err, const std::string& call) {
  int code = WsaCodeFromErrno(err);
  throw SystemError(SocketCallError(code, call), call, err, code);
}

// Connect failures that the system may report at once for a local peer but that an
// asynchronous stack reports through the connect notification.
bool DeliveredLater(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH ||
         err == ECONNRESET;
}

}  // namespace

std::string SocketCallError(int code, const std::string& call) {
  return "Error " + std::to_string(code) + " in function " + call + "\r\n" + socketErrorText(code);
}

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket() {
  *alive_ = false;
  CloseFd();
}

void TcpSocket::Connect(const IpAddress& address, uint16_t port) {
  Close();
  lastError_ = 0;
  int fd = socket(address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    lastError_ = WsaCodeFromErrno(errno);
    ThrowSocketCall(errno, "socket");
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    int err = errno;
    close(fd);
    lastError_ = WsaCodeFromErrno(err);
    ThrowSocketCall(err, "setsockopt");
  }
  sockaddr_storage sa{};
  const socklen_t length = address.ToSockaddr(port, &sa);
  fd_ = fd;
  state_ = State::Connecting;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), length) == 0) {
    // Loopback connections can complete at once; the handler still runs from the loop.
    state_ = State::Connected;
    UpdateWatch();
    PostConnected(0);
    return;
  }
  int err = errno;
  if (err == EINPROGRESS || err == EINTR) {
    UpdateWatch();
    return;
  }
  if (DeliveredLater(err)) {
    CloseFd();
    lastError_ = WsaCodeFromErrno(err);
    PostConnected(lastError_);
    return;
  }
  CloseFd();
  lastError_ = WsaCodeFromErrno(err);
  ThrowSocketCall(err, "Connect");
}

void TcpSocket::PostConnected(int error) {
  std::weak_ptr<bool> alive = alive_;
  CurrentLoop().Post([this, alive, error] {
    auto a = alive.lock();
    if (!a || !*a) return;
    if (onConnected) onConnected(error);
  });
}

int TcpSocket::Send(std::string_view data) {
  if (state_ != State::Connected) {
    Close();
    lastError_ = wsa::kNotConnected;
    return lastError_;
  }
  out_.append(data);
  Flush();
  return state_ == State::Connected ? 0 : lastError_;
}

void TcpSocket::Flush() {
  while (outPos_ < out_.size()) {
    ssize_t n = send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      lastError_ = WsaCodeFromErrno(errno);
      CloseFd();
      return;
    }
    outPos_ += static_cast<size_t>(n);
  }
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  UpdateWatch();
}

ssize_t TcpSocket::Receive(char* buffer, size_t size) {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t n = recv(fd_, buffer, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    lastError_ = WsaCodeFromErrno(errno);
    CloseFd();
    return -1;
  }
}

void TcpSocket::Close() {
  if (fd_ < 0) return;
  if (state_ == State::Connected) {
    // Lingering off: close returns at once and the system finishes the connection
    // gracefully, delivering what it already holds.
    linger lg{};
    lg.l_onoff = 0;
    lg.l_linger = 0;
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  CloseFd();
}

void TcpSocket::CloseFd() {
  if (fd_ >= 0) {
    if (watched_) CurrentLoop().Unwatch(fd_);
    close(fd_);
  }
  fd_ = -1;
  watched_ = 0;
  state_ = State::Closed;
  out_.clear();
  outPos_ = 0;
}

void TcpSocket::UpdateWatch() {
  if (fd_ < 0) return;
  uint32_t want = 0;
  if (state_ == State::Connecting) {
    want = EPOLLOUT;
  } else if (state_ == State::Connected) {
    if (onReadable) want |= EPOLLIN | EPOLLRDHUP;
    if (Pending() > 0) want |= EPOLLOUT;
  }
  EventLoop& loop = CurrentLoop();
  if (want == watched_ && (want == 0 || loop.IsWatched(fd_))) return;
  if (want == 0)
    loop.Unwatch(fd_);
  else if (loop.IsWatched(fd_))
    loop.Modify(fd_, want);
  else
    loop.Watch(fd_, want, [this](uint32_t events) { OnEvent(events); });
  watched_ = want;
}

void TcpSocket::FinishConnect(int error) {
  if (error != 0) {
    lastError_ = error;
    CloseFd();
  } else {
    state_ = State::Connected;
    UpdateWatch();
  }
  // Last: the handler may destroy this socket.
  if (onConnected) onConnected(error);
}

void TcpSocket::OnEvent(uint32_t events) {
  if (state_ == State::Connecting) {
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) soError = errno;
    if (soError == 0 && (events & (EPOLLERR | EPOLLHUP)) && !(events & EPOLLOUT))
      soError = ECONNREFUSED;
    FinishConnect(WsaCodeFromErrno(soError));
    return;
  }
  if (state_ != State::Connected) return;
  if (events & EPOLLOUT) {
    Flush();
    if (state_ != State::Connected) {
      if (onClosed) onClosed(lastError_);
      return;
    }
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && onReadable) onReadable();
}

TcpConnector::TcpConnector() = default;

TcpConnector::~TcpConnector() {
  *alive_ = false;
  Cancel();
}

void TcpConnector::Cancel() {
  done_ = true;
  if (delay_) CurrentLoop().CancelTimer(delay_);
  delay_ = 0;
  attempts_.clear();
}

void TcpConnector::Start(std::vector<IpAddress> addresses, uint16_t port) {
  Cancel();
  addresses_ = std::move(addresses);
  next_ = 0;
  port_ = port;
  winner_.reset();
  lastError_ = 0;
  callFailure_.clear();
  done_ = false;
  // Only here may a failed call escape: when no address at all could be tried, the
  // caller hears it as it would from a single socket.
  std::optional<SystemError> lastCall;
  while (next_ < addresses_.size()) {
    try {
      if (StartNext()) return;
    } catch (const SystemError& e) {
      lastCall = e;
    }
  }
  done_ = true;
  if (lastCall) throw *lastCall;
  throw SystemError(SocketCallError(wsa::kHostNotFound, "Connect"), "Connect", 0,
                    wsa::kHostNotFound);
}

bool TcpConnector::StartFollowing() {
  while (next_ < addresses_.size()) {
    try {
      if (StartNext()) return true;
    } catch (const SystemError& e) {
      lastError_ = e.WsaCode();
      callFailure_ = e.what();
    }
  }
  return false;
}

bool TcpConnector::StartNext() {
  if (next_ >= addresses_.size()) return false;
  const IpAddress address = addresses_[next_++];
  address_ = address;
  auto socket = std::make_unique<TcpSocket>();
  TcpSocket* raw = socket.get();
  std::weak_ptr<bool> alive = alive_;
  socket->onConnected = [this, raw, alive](int error) {
    if (!alive.expired()) OnOutcome(raw, error);
  };
  // Throws when the call fails; the socket is not kept then.
  socket->Connect(address, port_);
  if (attempts_.size() >= kMaxAttempts) attempts_.erase(attempts_.begin());
  attempts_.push_back(Attempt{std::move(socket), address});
  ArmDelay();
  return true;
}

void TcpConnector::ArmDelay() {
  if (delay_) CurrentLoop().CancelTimer(delay_);
  delay_ = 0;
  if (next_ >= addresses_.size()) return;
  std::weak_ptr<bool> alive = alive_;
  delay_ = CurrentLoop().AddTimer(kAttemptDelayMs, [this, alive] {
    if (alive.expired()) return;
    delay_ = 0;
    if (done_) return;
    // No answer yet: the next address gets its chance beside this one.
    StartFollowing();
  });
}

void TcpConnector::OnOutcome(TcpSocket* socket, int error) {
  if (done_) return;
  auto it = attempts_.begin();
  while (it != attempts_.end() && it->socket.get() != socket) ++it;
  if (it == attempts_.end()) return;
  address_ = it->address;
  if (error == 0) {
    // Its handler is the one running now: it stays, and finds the connector done.
    winner_ = std::move(it->socket);
    attempts_.erase(it);
    Finish(0);
    return;
  }
  // The failed socket goes although its handler is the one running: a handler may
  // destroy its socket, which touches nothing of itself once the handler has returned.
  attempts_.erase(it);
  lastError_ = error;
  callFailure_.clear();
  // This address answered with a failure: the next one is tried at once.
  if (StartFollowing()) return;
  if (attempts_.empty()) Finish(lastError_);
}

void TcpConnector::Finish(int error) {
  if (delay_) CurrentLoop().CancelTimer(delay_);
  delay_ = 0;
  done_ = true;
  attempts_.clear();
  if (onDone) onDone(error);
}

std::unique_ptr<TcpSocket> TcpConnector::TakeSocket() {
  return std::move(winner_);
}

}  // namespace sentrel
