#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/loopback_server.h"

namespace sentrel::test {

// One HTTP request as a receiver got it.
struct ReceivedRequest {
  std::string method;
  std::string target;  // path and query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The value of the first header of this name (any case), or "".
  std::string Header(const std::string& name) const;
};

// Whether the bytes hold a whole request: its head and as many body bytes as its
// Content-Length announces.
bool RequestComplete(const std::string& received);
ReceivedRequest ParseRequest(const std::string& raw);
// "HTTP/1.0 <status> <reason>" with the body (and its length), connection closed after.
std::string HttpReply(int status, const std::string& reason, const std::string& body = "",
                      const std::string& contentType = "text/plain");

// A webhook receiver on 127.0.0.1 (or ::1), served by the current loop: it keeps every
// request it got and answers each one with what `answer` makes of it (by default 200 OK).
class HttpReceiver {
 public:
  using Answer = std::function<std::string(const ReceivedRequest&)>;
  explicit HttpReceiver(Answer answer = {}, int family = AF_INET);
  uint16_t Port() const { return server_.Port(); }
  std::string Url(const std::string& path = "/") const { return server_.Url(path); }
  const std::vector<ReceivedRequest>& Requests() const { return requests_; }

 private:
  Answer answer_;
  std::vector<ReceivedRequest> requests_;
  LoopbackServer server_;
};

}  // namespace sentrel::test
