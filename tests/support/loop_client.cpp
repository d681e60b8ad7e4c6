#include "support/loop_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "platform/event_loop.h"

namespace sentrel::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

int64_t RealMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

LoopClient::LoopClient(int port, int rcvbuf, size_t readChunk) : readChunk_(readChunk) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  // A loopback connect to a listening socket completes in the kernel's backlog without
  // the server's help, so it may block here.
  sockaddr_in addr = Loopback(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    error_ = errno;
    close(fd_);
    fd_ = -1;
    return;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  StartReading();
}

LoopClient::~LoopClient() {
  Close();
}

void LoopClient::StartReading() {
  if (fd_ < 0 || reading_) return;
  reading_ = true;
  CurrentLoop().Watch(fd_, EPOLLIN, [this](uint32_t) { OnReadable(); });
}

void LoopClient::StopReading() {
  if (fd_ < 0 || !reading_) return;
  reading_ = false;
  CurrentLoop().Unwatch(fd_);
}

void LoopClient::Send(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size() && fd_ >= 0) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      error_ = errno;
      return;
    }
  }
}

void LoopClient::OnReadable() {
  std::string buf(readChunk_, '\0');
  ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  if (n > 0) {
    received_.append(buf.data(), static_cast<size_t>(n));
    if (onData_) onData_();
  } else if (n == 0) {
    // The end of the reply; like any HTTP/1.0 client, hang up.
    eof_ = true;
    Close();
  } else if (errno != EAGAIN && errno != EINTR) {
    error_ = errno;
    StopReading();
  }
}

void LoopClient::Close() {
  if (fd_ < 0) return;
  StopReading();
  close(fd_);
  fd_ = -1;
}

void LoopClient::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

bool ServeUntil(const std::function<bool()>& done, int64_t realMs) {
  const int64_t deadline = RealMs() + realMs;
  CurrentLoop().WaitUntil([&] { return done() || RealMs() >= deadline; }, -1);
  return done();
}

int FreePort() {
  PortHolder holder;
  return holder.Port();
}

PortHolder::PortHolder(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      listen(fd_, 16) < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) < 0)
    throw std::runtime_error("cannot hold port " + std::to_string(port));
  port_ = ntohs(addr.sin_port);
}

PortHolder::~PortHolder() {
  Release();
}

void PortHolder::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string FetchBlocking(int port, const std::string& request, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr = Loopback(port);
  std::string out;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    if (n < 0) out.clear();
  }
  close(fd);
  return out;
}

bool WaitForListener(int port, int timeoutMs) {
  const int64_t deadline = RealMs() + timeoutMs;
  while (RealMs() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (ok) return true;
    poll(nullptr, 0, 20);
  }
  return false;
}

}  // namespace sentrel::test
