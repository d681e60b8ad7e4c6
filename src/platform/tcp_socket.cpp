#include "platform/tcp_socket.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

void TcpSocket::Connect(in_addr address, uint16_t port) {
  Close();
  lastError_ = 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = address;
  fd_ = fd;
  state_ = State::Connecting;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
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
  if (want == 0) {
    loop.Unwatch(fd_);
  } else {
    loop.Watch(fd_, want, [this](uint32_t events) { OnEvent(events); });
  }
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

}  // namespace sentrel
