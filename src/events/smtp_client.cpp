// Our SMTP client: one dialogue per mail, every wait served by the loop.
#include "events/smtp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/name_lookup.h"

namespace sentrel {

std::vector<std::string> SplitRecipients(const std::string& list) {
  std::vector<std::string> items;
  auto separator = [](char c) { return c == ',' || static_cast<unsigned char>(c) <= ' '; };
  size_t i = 0;
  while (i < list.size()) {
    if (separator(list[i])) {
      ++i;
      continue;
    }
    std::string item;
    if (list[i] == '"') {
      ++i;
      while (i < list.size()) {
        if (list[i] == '"') {
          if (i + 1 < list.size() && list[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += list[i++];
      }
    }
    while (i < list.size() && !separator(list[i])) item += list[i++];
    items.push_back(std::move(item));
  }
  return items;
}

std::string EnvelopeAddress(const std::string& item) {
  size_t lt = item.find('<');
  if (lt != std::string::npos) {
    std::string rest = item.substr(lt + 1);
    rest = rest.substr(0, rest.find('<'));
    return rest.substr(0, rest.find('>'));
  }
  size_t colon = item.find(':');
  if (colon != std::string::npos) {
    std::string rest = item.substr(colon + 1);
    return rest.substr(0, rest.find(':'));
  }
  return item;
}

int64_t ReplyCode(const std::string& line) {
  int64_t code = 0;
  for (size_t i = 0; i < line.size() && i < 10; ++i) {
    if (line[i] < '0' || line[i] > '9') break;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

std::vector<std::string> MailHeader(const MailMessage& mail) {
  std::vector<std::string> header;
  header.push_back("From: " + mail.senderName + "<" + mail.senderAddress + ">");
  if (!mail.recipients.empty()) {
    std::string to = "To: ";
    for (size_t i = 0; i < mail.recipients.size(); ++i) {
      if (i) to += ',';
      to += mail.recipients[i];
    }
    header.push_back(to);
  }
  if (!mail.subject.empty()) header.push_back("Subject: " + mail.subject);
  header.push_back("Mime-Version: 1.0");
  header.push_back("Content-Type: text/plain; charset=us-ascii");
  return header;
}

namespace {

std::string WithoutLineBreak(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// A CR or LF inside a command or a header line would end it early and let the rest pass
// for a command or header of its own (a quoted recipient may hold any control character).
// They go out as blanks; the server then refuses the odd address, not our dialogue.
std::string OneLine(std::string line) {
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  return line;
}

}  // namespace

SmtpClient::SmtpClient(int64_t limitMs) : limitMs_(limitMs) {}

SmtpClient::~SmtpClient() {
  Close();
}

void SmtpClient::Close() {
  if (fd_ < 0) return;
  CurrentLoop().Unwatch(fd_);
  // The socket lingers for 0 seconds: this close resets the connection.
  close(fd_);
  fd_ = -1;
}

void SmtpClient::Fail(const std::string& text) {
  Close();
  throw SentrelError(text);
}

bool SmtpClient::Wait(const std::function<bool()>& done) {
  int64_t remaining = deadline_ - CurrentClock().MonotonicMs();
  if (remaining <= 0) return done();
  return CurrentLoop().WaitUntil(done, remaining);
}

void SmtpClient::Resolve(const std::string& host, uint32_t& address) {
  // The lookup runs beside the loop like every other name lookup of the program; the
  // dialogue serves the loop while it waits, within its time limit.
  bool finished = false;
  int error = 0;
  in_addr found{};
  auto lookup = NameLookup::Start(host, [&](int err, in_addr a) {
    finished = true;
    error = err;
    found = a;
  });
  if (!Wait([&] { return finished; })) {
    lookup.reset();  // cancels: the handler above is never called after this
    Fail(kMailTimedOut);
  }
  if (error != 0) Fail(kHostLookupFailed);
  address = found.s_addr;
}

void SmtpClient::OpenConnection(uint32_t address, uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Fail(kConnectionFailed);
  linger abortive{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  // Every command is one whole line that waits for its reply anyway; holding the short
  // final "." back until the mail text is acknowledged would only add a delay.
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  int rc = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (rc < 0 && errno != EINPROGRESS) Fail(kConnectionFailed);
  connecting_ = rc < 0;
  CurrentLoop().Watch(fd_, connecting_ ? EPOLLOUT : EPOLLIN,
                      [this](uint32_t events) { OnReady(events); });
  if (!Wait([this] { return !connecting_; })) Fail(kMailTimedOut);
  if (connectError_ != 0) Fail(kConnectionFailed);
}

void SmtpClient::OnReady(uint32_t events) {
  if (fd_ < 0) return;
  if (connecting_) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    connectError_ = err;
    connecting_ = false;
    if (err == 0) CurrentLoop().Modify(fd_, EPOLLIN);
    return;
  }
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      closedByPeer_ = true;  // orderly end or a reset: either way no more replies
      CurrentLoop().Modify(fd_, 0);
      break;
    }
  }
  if (!closedByPeer_ && (events & EPOLLOUT)) {
    while (!out_.empty()) {
      ssize_t n = send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0) {
        closedByPeer_ = true;
        CurrentLoop().Modify(fd_, 0);
        return;
      }
      out_.erase(0, static_cast<size_t>(n));
    }
    if (out_.empty()) CurrentLoop().Modify(fd_, EPOLLIN);
  }
}

void SmtpClient::SendBytes(const std::string& bytes) {
  if (closedByPeer_) Fail(kMailConnectionClosed);
  out_ += bytes;
  OnReady(EPOLLOUT);
  if (!out_.empty() && !closedByPeer_) {
    CurrentLoop().Modify(fd_, EPOLLIN | EPOLLOUT);
    if (!Wait([this] { return out_.empty() || closedByPeer_; })) Fail(kMailTimedOut);
  }
  if (!out_.empty()) Fail(kMailConnectionClosed);
}

void SmtpClient::SendLine(const std::string& line) {
  SendBytes(OneLine(line) + "\r\n");
}

std::string SmtpClient::ReadLine() {
  auto complete = [this] { return in_.find('\n') != std::string::npos; };
  // A reply already received stands even when the server has closed since.
  if (!Wait([&] { return complete() || closedByPeer_; })) Fail(kMailTimedOut);
  if (!complete()) Fail(kMailConnectionClosed);
  size_t lf = in_.find('\n');
  std::string line = in_.substr(0, lf + 1);
  in_.erase(0, lf + 1);
  return line;
}

std::string SmtpClient::ReadReply(bool skipContinuations) {
  std::string line = ReadLine();
  if (skipContinuations)
    while ((!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-'))
      line = ReadLine();
  return line;
}

void SmtpClient::Connect(const std::string& host, uint16_t port, const std::string& greetingName) {
  deadline_ = CurrentClock().MonotonicMs() + limitMs_;
  uint32_t address = 0;
  Resolve(host, address);
  OpenConnection(address, port);
  ReadReply(true);  // the greeting; its code is not tested
  SendLine("HELO " + greetingName);
  if (ReplyCode(ReadReply(true)) >= 300) Fail(kAuthenticationFailed);
}

void SmtpClient::Send(const MailMessage& mail) {
  std::vector<std::string> header = MailHeader(mail);
  if (mail.senderAddress.empty() || mail.recipients.empty()) Fail(kIncompleteHeader);

  auto command = [this](const std::string& line) {
    SendLine(line);
    std::string reply = ReadReply(false);
    if (ReplyCode(reply) >= 400) Fail(WithoutLineBreak(reply));
  };
  command("RSET");
  command("MAIL FROM:<" + mail.senderAddress + ">");
  for (const auto& item : mail.recipients) {
    std::string address = EnvelopeAddress(item);
    if (address.empty()) continue;
    // A refused recipient does not end the dialogue; DATA fails when none was taken.
    SendLine("RCPT TO:<" + address + ">");
    ReadReply(false);
  }
  command("DATA");
  std::string data;
  for (const auto& line : header) data += OneLine(line) + "\r\n";
  data += "\r\n\r\n";
  for (const auto& line : mail.body) {
    if (!line.empty() && line[0] == '.') data += '.';
    data += OneLine(line) + "\r\n";
  }
  SendBytes(data);
  command(".");
}

void SmtpClient::Disconnect() {
  std::string reply;
  SendLine("QUIT");
  try {
    reply = ReadReply(false);
  } catch (const SentrelError&) {
    // The server took the mail with its reply to "."; a server that hangs up or keeps
    // silent after QUIT does not undo that.
  }
  Close();
  if (ReplyCode(reply) >= 340) throw SentrelError(WithoutLineBreak(reply));
}

}  // namespace sentrel
