#include "support/scripted_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/event_loop.h"

namespace sentrel::test {

struct ScriptedSmtpServer::Connection {
  int fd = -1;
  std::string pending;
  bool inData = false;
};

ScriptedSmtpServer::ScriptedSmtpServer() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      listen(listenFd_, 8) < 0)
    throw std::runtime_error("scripted SMTP server cannot listen");
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  CurrentLoop().Watch(listenFd_, EPOLLIN, [this](uint32_t) { Accept(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  for (auto& c : connections_)
    if (c->fd >= 0) Drop(*c);
  CurrentLoop().Unwatch(listenFd_);
  close(listenFd_);
}

void ScriptedSmtpServer::Accept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  ++connections;
  connections_.push_back(std::make_unique<Connection>());
  Connection* c = connections_.back().get();
  c->fd = fd;
  CurrentLoop().Watch(fd, EPOLLIN | EPOLLRDHUP, [this, c](uint32_t) { OnData(*c); });
  if (onConnect) onConnect();
  if (!silent && !greeting.empty()) [[maybe_unused]]
    ssize_t n = send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
  if (hangUpAfterGreeting) Drop(*c);
}

void ScriptedSmtpServer::Drop(Connection& c) {
  CurrentLoop().Unwatch(c.fd);
  close(c.fd);
  c.fd = -1;
}

std::string ScriptedSmtpServer::ReplyFor(const std::string& line) const {
  for (const auto& [key, reply] : replies)
    if (line.compare(0, key.size(), key) == 0) return reply;
  if (line.rfind("DATA", 0) == 0) return "354 End data with <CR><LF>.<CR><LF>\r\n";
  if (line == ".") return "250 OK queued\r\n";
  if (line.rfind("QUIT", 0) == 0) return "221 Bye\r\n";
  return "250 OK\r\n";
}

void ScriptedSmtpServer::Answer(Connection& c, const std::string& line) {
  if (!closeOn.empty() && line == closeOn) {
    Drop(c);
    return;
  }
  if (silent) return;
  if (c.inData && line != ".") return;
  std::string reply = ReplyFor(line);
  if (c.inData)
    c.inData = false;
  else if (line.rfind("DATA", 0) == 0 && reply.rfind("354", 0) == 0)
    c.inData = true;
  [[maybe_unused]] ssize_t n = send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

void ScriptedSmtpServer::OnData(Connection& c) {
  char buf[4096];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      received.append(buf, static_cast<size_t>(n));
      c.pending.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    clientGone = true;
    if (n < 0 && errno == ECONNRESET) clientReset = true;
    Drop(c);
    return;
  }
  for (size_t crlf; c.fd >= 0 && (crlf = c.pending.find("\r\n")) != std::string::npos;) {
    std::string line = c.pending.substr(0, crlf);
    c.pending.erase(0, crlf + 2);
    Answer(c, line);
  }
}

}  // namespace sentrel::test
