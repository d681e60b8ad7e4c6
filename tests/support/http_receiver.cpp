#include "support/http_receiver.h"

#include <strings.h>

#include <cstdlib>

namespace sentrel::test {

namespace {

std::string Trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  const size_t b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

}  // namespace

std::string ReceivedRequest::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
  return "";
}

ReceivedRequest ParseRequest(const std::string& raw) {
  ReceivedRequest r;
  const size_t headEnd = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, headEnd);
  r.body = headEnd == std::string::npos ? "" : raw.substr(headEnd + 4);
  size_t pos = 0;
  bool first = true;
  while (pos <= head.size()) {
    size_t end = head.find("\r\n", pos);
    const std::string line = head.substr(pos, end == std::string::npos ? head.npos : end - pos);
    if (first) {
      const size_t sp = line.find(' ');
      r.method = line.substr(0, sp);
      const size_t sp2 = line.find(' ', sp + 1);
      r.target = line.substr(sp + 1, sp2 == std::string::npos ? line.npos : sp2 - sp - 1);
      first = false;
    } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
      r.headers.emplace_back(line.substr(0, colon), Trimmed(line.substr(colon + 1)));
    }
    if (end == std::string::npos) break;
    pos = end + 2;
  }
  return r;
}

bool RequestComplete(const std::string& received) {
  const size_t headEnd = received.find("\r\n\r\n");
  if (headEnd == std::string::npos) return false;
  const ReceivedRequest r = ParseRequest(received.substr(0, headEnd + 4));
  const std::string length = r.Header("Content-Length");
  const size_t want = length.empty() ? 0 : std::strtoul(length.c_str(), nullptr, 10);
  return received.size() - headEnd - 4 >= want;
}

std::string HttpReply(int status, const std::string& reason, const std::string& body,
                      const std::string& contentType) {
  return "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

HttpReceiver::HttpReceiver(Answer answer, int family)
    : answer_(std::move(answer)),
      server_(
          [this](const std::string& raw) {
            requests_.push_back(ParseRequest(raw));
            return LoopbackServer::Reply::Bytes(answer_ ? answer_(requests_.back())
                                                        : HttpReply(200, "OK", "ok\n"));
          },
          family) {
  server_.SetComplete(RequestComplete);
}

}  // namespace sentrel::test
