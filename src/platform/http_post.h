#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/task.h"

namespace sentrel {

// One HTTP POST (or PUT) of a text to a URL: the webhook action and the alerts sent to
// Alertmanager. The layers that make the request (the program's HTTP client) sit above the
// ones that ask for it, so they meet through this interface.
struct HttpPostRequest {
  std::string method = "POST";
  std::string url;
  // Whole header lines without their line end ("Content-Type: application/json").
  std::vector<std::string> headers;
  std::string body;
  // A proxy ("host:port"); empty: straight to the server.
  std::string proxy;
  // The request is given up after this long (it then failed without an answer).
  int64_t timeoutMs = 30'000;
};

struct HttpPostResult {
  // The server's status code; 0 when no answer came (lookup, connection, TLS, time-out).
  int32_t status = 0;
  // The server's reason phrase, or why no answer came.
  std::string reason;

  bool Delivered() const { return status >= 200 && status < 300; }
  // Worth another try: no answer at all, or the server's own trouble (5xx).
  bool Retryable() const { return status == 0 || status >= 500; }
  // "HTTP 503 Service Unavailable", or the reason no answer came.
  std::string Text() const {
    return status == 0 ? reason
                       : "HTTP " + std::to_string(status) + (reason.empty() ? "" : " " + reason);
  }
};

class HttpPoster {
 public:
  virtual ~HttpPoster() = default;
  // Ends with the outcome; never throws for what the network or the server does.
  virtual Task<HttpPostResult> Post(HttpPostRequest request) = 0;
};

}  // namespace sentrel
