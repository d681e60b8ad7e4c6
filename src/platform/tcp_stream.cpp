#include "platform/tcp_stream.h"

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/socket_errors.h"
#include "platform/tls_client.h"

namespace sentrel {

namespace {

// A TLS record is at most 16 KB and some overhead: one raw read takes a whole one.
constexpr size_t kRawBuffer = 17 * 1024;

[[noreturn]] void ThrowSocketCall(int err, const std::string& call) {
  const int code = WsaCodeFromErrno(err);
  throw SystemError(SocketCallError(code, call), call, err, code);
}

// Connect failures that the system may report at once for a local peer but that count
// as the peer's answer, as they would for a remote host.
bool PeerAnswer(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH ||
         err == ECONNRESET;
}

int64_t NowMs() {
  return CurrentClock().MonotonicMs();
}

// One connection attempt to one address, until it has its outcome.
class Attempt {
 public:
  // Opens a socket and starts connecting; throws SystemError when a call fails.
  Attempt(const IpAddress& address, uint16_t port) : address_(address) {
    fd_ = socket(address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) ThrowSocketCall(errno, "socket");
    int on = 1;
    if (setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
      const int err = errno;
      CloseFd();
      ThrowSocketCall(err, "setsockopt");
    }
    sockaddr_storage sa{};
    const socklen_t length = address.ToSockaddr(port, &sa);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), length) == 0) {
      settled_ = 0;  // loopback connections can complete at once
      return;
    }
    const int err = errno;
    if (err == EINPROGRESS || err == EINTR) return;
    CloseFd();
    if (!PeerAnswer(err)) ThrowSocketCall(err, "Connect");
    settled_ = WsaCodeFromErrno(err);
  }
  Attempt(Attempt&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), address_(other.address_), settled_(other.settled_) {}
  Attempt& operator=(Attempt&& other) noexcept {
    if (this != &other) {
      CloseFd();
      fd_ = std::exchange(other.fd_, -1);
      address_ = other.address_;
      settled_ = other.settled_;
    }
    return *this;
  }
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;
  ~Attempt() { CloseFd(); }

  int Fd() const { return fd_; }
  const IpAddress& Address() const { return address_; }
  // The outcome the system gave at once (0 or a code), or -1 while it is connecting.
  int Settled() const { return settled_; }
  // The outcome once the socket has reported the events.
  int Outcome(uint32_t events) const {
    if (settled_ >= 0) return settled_;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) < 0) soError = errno;
    if (soError == 0 && (events & (EPOLLERR | EPOLLHUP)) && !(events & EPOLLOUT))
      soError = ECONNREFUSED;
    return WsaCodeFromErrno(soError);
  }
  int TakeFd() { return std::exchange(fd_, -1); }

 private:
  void CloseFd() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  IpAddress address_;
  int settled_ = -1;
};

// Waits until one attempt has its outcome, or until dueMs (negative: no limit). Resumes
// with the attempt's index and the events it reported, or -1 when the time came first.
class AttemptsWait : public LoopAwaiter {
 public:
  AttemptsWait(const std::vector<Attempt>& attempts, int64_t dueMs)
      : attempts_(attempts), due_(dueMs) {}
  ~AttemptsWait() { Disarm(); }
  template <class P>
  void await_suspend(std::coroutine_handle<P> h) {
    Capture(h);
    Arm();
  }
  std::pair<int, uint32_t> await_resume() const noexcept { return {which_, events_}; }

 private:
  void Arm() {
    EventLoop& loop = CurrentLoop();
    for (size_t i = 0; i < attempts_.size(); ++i) {
      if (attempts_[i].Settled() < 0) continue;
      // Known already, handed over from the loop all the same.
      timer_ = loop.AddTimer(0, [this, i] { Wake(static_cast<int>(i), 0); });
      return;
    }
    for (size_t i = 0; i < attempts_.size(); ++i) {
      const int fd = attempts_[i].Fd();
      loop.Watch(fd, EPOLLOUT, [this, i](uint32_t events) { Wake(static_cast<int>(i), events); });
      watched_.push_back(fd);
    }
    if (due_ >= 0)
      timer_ = loop.AddTimer(std::max<int64_t>(0, due_ - NowMs()), [this] { Wake(-1, 0); });
  }
  void Wake(int which, uint32_t events) {
    which_ = which;
    events_ = events;
    Disarm();
    Resume();
  }
  void Disarm() {
    EventLoop& loop = CurrentLoop();
    for (int fd : watched_) loop.Unwatch(fd);
    watched_.clear();
    if (timer_) loop.CancelTimer(timer_);
    timer_ = 0;
  }

  const std::vector<Attempt>& attempts_;
  int64_t due_;
  std::vector<int> watched_;
  EventLoop::TimerId timer_ = 0;
  int which_ = -1;
  uint32_t events_ = 0;
};

int64_t Earliest(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

}  // namespace

std::string SocketCallError(int code, const std::string& call) {
  return "Error " + std::to_string(code) + " in function " + call + "\r\n" + socketErrorText(code);
}

TcpStream::TcpStream() = default;

TcpStream::~TcpStream() {
  CloseFd();
}

void TcpStream::CloseFd() {
  if (fd_ < 0) return;
  if (resetOnClose_) {
    linger abortive{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  }
  close(fd_);
  fd_ = -1;
}

void TcpStream::Close() {
  CloseFd();
}

void TcpStream::NoDelay() {
  int one = 1;
  if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TcpStream::ResetOnClose() {
  resetOnClose_ = true;
}

int64_t TcpStream::CertificateNotAfter() const {
  return tls_ ? tls_->CertificateNotAfter() : 0;
}

Task<bool> TcpStream::Connect(std::vector<IpAddress> addresses, uint16_t port, int64_t deadlineMs) {
  CloseFd();
  lastError_ = 0;
  timedOut_ = false;
  readsInARow_ = 0;
  callFailure_.clear();
  failure_.clear();
  unread_.clear();
  tls_.reset();

  std::vector<Attempt> attempts;
  size_t next = 0;
  // Starts the next address whose call succeeds; an address whose call fails is passed
  // over, its failure noted as the last one.
  auto startFollowing = [&] {
    while (next < addresses.size()) {
      address_ = addresses[next++];
      try {
        Attempt attempt(address_, port);
        if (attempts.size() >= kMaxAttempts) attempts.erase(attempts.begin());
        attempts.push_back(std::move(attempt));
        return true;
      } catch (const SystemError& e) {
        lastError_ = e.WsaCode();
        callFailure_ = e.what();
      }
    }
    return false;
  };
  // Only before the first attempt may a failed call escape: when no address at all could
  // be tried, the caller hears it as it would from a single socket.
  std::optional<SystemError> failedCall;
  while (attempts.empty() && next < addresses.size()) {
    address_ = addresses[next++];
    try {
      attempts.emplace_back(address_, port);
    } catch (const SystemError& e) {
      failedCall = e;
    }
  }
  if (attempts.empty()) {
    if (failedCall) {
      lastError_ = failedCall->WsaCode();
      throw *failedCall;
    }
    lastError_ = wsa::kHostNotFound;
    throw SystemError(SocketCallError(wsa::kHostNotFound, "Connect"), "Connect", 0,
                      wsa::kHostNotFound);
  }

  auto nextTurn = [&] { return next < addresses.size() ? NowMs() + kAttemptDelayMs : -1; };
  int64_t turn = nextTurn();
  for (;;) {
    AttemptsWait outcome(attempts, Earliest(turn, deadlineMs));
    const std::pair<int, uint32_t> woken = co_await outcome;
    const int which = woken.first;
    if (which < 0) {
      if (deadlineMs >= 0 && NowMs() >= deadlineMs) {
        timedOut_ = true;
        co_return false;
      }
      // No answer yet: the next address gets its chance beside this one.
      if (startFollowing()) turn = nextTurn();
      else turn = -1;
      continue;
    }
    Attempt& attempt = attempts[static_cast<size_t>(which)];
    const int error = attempt.Outcome(woken.second);
    address_ = attempt.Address();
    if (error == 0) {
      fd_ = attempt.TakeFd();
      co_return true;
    }
    attempts.erase(attempts.begin() + which);
    lastError_ = error;
    callFailure_.clear();
    // This address answered with a failure: the next one is tried at once.
    if (startFollowing()) {
      turn = nextTurn();
      continue;
    }
    if (attempts.empty()) co_return false;
  }
}

void TcpStream::Unread(std::string_view bytes) {
  unread_.insert(0, bytes);
}

Task<ssize_t> TcpStream::ReadRaw(char* buffer, size_t size, int64_t deadlineMs) {
  if (!unread_.empty()) {
    const size_t n = std::min(size, unread_.size());
    std::memcpy(buffer, unread_.data(), n);
    unread_.erase(0, n);
    co_return static_cast<ssize_t>(n);
  }
  for (;;) {
    if (fd_ < 0) {
      if (lastError_ == 0) lastError_ = wsa::kNotConnected;
      co_return -1;
    }
    if (readsInARow_ < kReadsPerTurn) {
      const ssize_t n = recv(fd_, buffer, size, 0);
      if (n >= 0) {
        ++readsInARow_;
        co_return n;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        lastError_ = WsaCodeFromErrno(errno);
        CloseFd();
        co_return -1;
      }
    }
    readsInARow_ = 0;
    if (co_await WaitFd(fd_, EPOLLIN | EPOLLRDHUP, deadlineMs) == 0) {
      timedOut_ = true;
      co_return -1;
    }
  }
}

Task<bool> TcpStream::WriteRaw(std::string data, int64_t deadlineMs) {
  size_t done = 0;
  while (done < data.size()) {
    if (fd_ < 0) {
      lastError_ = wsa::kNotConnected;
      co_return false;
    }
    const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (co_await WaitFd(fd_, EPOLLOUT, deadlineMs) == 0) {
        timedOut_ = true;
        CloseFd();
        co_return false;
      }
      continue;
    }
    lastError_ = WsaCodeFromErrno(errno);
    CloseFd();
    co_return false;
  }
  co_return true;
}

Task<bool> TcpStream::FlushTls(int64_t deadlineMs) {
  std::string out = tls_->TakeOutput();
  if (out.empty()) co_return Connected();
  co_return co_await WriteRaw(std::move(out), deadlineMs);
}

Task<bool> TcpStream::StartTls(std::string hostName, int64_t deadlineMs) {
  tls_ = std::make_unique<TlsClient>(hostName);
  if (!rawBuffer_) rawBuffer_ = std::make_unique<char[]>(kRawBuffer);
  for (;;) {
    const TlsClient::Step step = tls_->Handshake();
    // Our next handshake message, or the alert that tells the server why we give up.
    const bool sent = co_await FlushTls(deadlineMs);
    if (step == TlsClient::Step::Failed || !sent) {
      failure_ = step == TlsClient::Step::Failed ? tls_->Failure()
                 : timedOut_                     ? "TLS: handshake timed out"
                                                 : "TLS: connection closed during handshake";
      CloseFd();
      co_return false;
    }
    if (step == TlsClient::Step::Done) co_return true;
    const ssize_t n = co_await ReadRaw(rawBuffer_.get(), kRawBuffer, deadlineMs);
    if (n > 0) {
      tls_->Feed(rawBuffer_.get(), static_cast<size_t>(n));
    } else if (timedOut_) {
      failure_ = "TLS: handshake timed out";
      CloseFd();
      co_return false;
    } else {
      // The server's end, or a broken connection: the handshake can get no further.
      tls_->FeedEnd();
    }
  }
}

Task<ssize_t> TcpStream::Read(char* buffer, size_t size, int64_t deadlineMs) {
  if (!tls_) co_return co_await ReadRaw(buffer, size, deadlineMs);
  for (;;) {
    const ssize_t n = tls_->Read(buffer, size);
    if (n >= 0) co_return n;
    if (tls_->Failed()) {
      failure_ = tls_->Failure();
      CloseFd();
      co_return -1;
    }
    const ssize_t got = co_await ReadRaw(rawBuffer_.get(), kRawBuffer, deadlineMs);
    if (got > 0) {
      tls_->Feed(rawBuffer_.get(), static_cast<size_t>(got));
    } else if (timedOut_) {
      co_return -1;
    } else {
      // The server's end (or a broken connection) ends the stream after what TLS holds.
      tls_->FeedEnd();
    }
  }
}

Task<bool> TcpStream::Write(std::string data, int64_t deadlineMs) {
  if (!tls_) co_return co_await WriteRaw(std::move(data), deadlineMs);
  if (!Connected() || !tls_->Write(data)) {
    if (tls_->Failed()) failure_ = tls_->Failure();
    CloseFd();
    lastError_ = wsa::kNotConnected;
    co_return false;
  }
  co_return co_await FlushTls(deadlineMs);
}

}  // namespace sentrel
