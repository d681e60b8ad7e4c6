#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/monitor.h"
#include "platform/name_lookup.h"
#include "platform/task.h"

namespace sentrel {

// The parts of a URL as the HTTP check reads it. The scheme is the text before "://"
// (none without it); the host part runs to the first "/" after it and the path is the
// rest from that "/" on; inside the host part, what stands before the last "@" is the
// user (and, after its first ":", the password), and what follows the last ":" behind
// the "@" is the port.
struct UrlParts {
  std::string scheme;
  std::string user;
  std::string password;
  bool hasCredentials = false;
  std::string host;        // an IPv6 address without its brackets
  bool bracketed = false;  // the host stood in brackets
  std::string port;        // empty when the URL gives none
  std::string path;
};
UrlParts SplitUrl(const std::string& url);
// Why the HTTP check cannot request this URL ("no host", "port 99999 is no TCP port",
// "scheme ftp: only http and https"), or empty when it can.
std::string UrlProblem(const std::string& url);

// What a monitored server said, fit for a record, a pane, the status page, the metrics
// and the JSON: control characters other than tab become blanks, and a text longer than
// kServerTextMax bytes is cut there (never inside a UTF-8 character) and ends with
// kCutMark.
inline constexpr size_t kServerTextMax = 512;
inline constexpr const char* kCutMark = " (cut)";
std::string BoundedServerText(std::string_view text);

// Standard Base64 with "=" padding.
std::string Base64Encode(const std::string& data);

// Where a "Location" value leads from the URL parts of the current request: a path from
// "/" keeps scheme, host and port; an absolute location ("scheme://...") is taken whole,
// its port being its scheme's (80, or 443 for https) unless it names one; "//host/path"
// keeps the scheme; anything else is relative to the directory of the current path.
UrlParts ResolveLocation(const UrlParts& base, const std::string& location);

// A proxy setting split into host and port as a URL's host part is; a bare IPv6 address
// ("::1", "2001:db8::5") is a host without a port.
UrlParts SplitProxy(const std::string& proxy);
// Why the HTTP check cannot reach this proxy setting, or empty when it can.
std::string ProxyProblem(const std::string& proxy);

// Where a request for a target goes and what it asks for: straight to the target's host
// (port 80 unless the URL names one) for its path, or, with a proxy ("host", possibly
// followed by ":" and a port; else proxyPort; else 80), to the proxy for the absolute URL.
// An https target goes over TLS, to port 443 unless the URL names one; through a proxy it
// asks for a CONNECT tunnel to host:port and then for its path inside the tunnel.
struct RequestRoute {
  std::string hostName;     // for the "Host" header; an IPv6 address in brackets
  std::string connectHost;  // the server, or the proxy (an IPv6 address without brackets)
  std::string connectPort;
  std::string requestUri;  // the path, or the absolute URL for a proxy
  bool tls = false;
  std::string tunnel;  // "host:port" for the proxy's CONNECT, or empty
};
RequestRoute RouteRequest(const UrlParts& target, const std::string& proxy,
                          const std::string& proxyPort);

// The program's own HTTP/1.0 client, one object per request: one GET per connection,
// directly or through a proxy, optional Basic credentials, the body read until the
// server closes. The request is one straight coroutine on a TcpStream (Fetch); its
// owner gives it up by destroying the task where it waits.
//
// The object also carries what the HTTP check keeps with its request (monitor, start
// time, body text, content-test message), and is the monitor's `httpRequest` while in
// flight: a monitor that goes away detaches it.
class HttpRequest : public CheckInFlight {
 public:
  // Where the request stands, for its owner and the descriptor budget.
  enum class State { Ready, NotConnected, DnsLookup, WaitingHeader, WaitingBody };

  // Redirect loops end after this many relocations, as a failure.
  static constexpr int kMaxRelocations = 20;

  HttpRequest();
  ~HttpRequest() override;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Settings, copied from the monitor before the request starts.
  std::string url;
  std::string username;
  std::string password;
  std::string proxy;      // host, possibly followed by ":" and a port
  std::string proxyPort;  // used when the proxy text has no port
  bool noCache = true;
  // Every wait of the request ends by this time on the monotonic clock (timedOut is set
  // then); negative: the request takes as long as it takes, until its owner gives it up.
  int64_t deadlineMs = -1;
  // Another method than GET (a webhook's POST): the body goes with it, under these extra
  // header lines ("Name: value"), and a relocation answer ends the request as it stands.
  std::string method = "GET";
  std::string requestBody;
  std::vector<std::string> extraHeaders;

  // Body data, piece by piece as it arrives.
  std::function<void(const char* data, size_t size)> onDocData;
  // The monitor went away (DetachMonitor).
  std::function<void()> onDetached;

  // Makes the request to its end: the name's lookup, the connection (through the proxy's
  // tunnel, with TLS for https), the request, the header, the relocations and the body
  // until the server closes. What the network or the server does ends in the response
  // fields, never as an exception. A request without a host to contact waits in the
  // lookup state until its owner gives it up (or its deadline passes).
  Task<void> Fetch();
  // The owner gave the request up where it waited: "Connection aborted on request",
  // status 404, request error code 3.
  void Aborted();
  void DetachMonitor() override;

  State state() const { return state_; }
  // The exact bytes of the request for the current target. Blanks and control
  // characters in the path and the host are sent percent-encoded ("%20").
  std::string RequestText() const;

  // The parsed request.
  std::string hostName;     // for the "Host" header ("[::1]" for an IPv6 address)
  std::string connectHost;  // the server, or the proxy
  std::string connectPort;
  std::string requestUri;  // the path, or the absolute URL for a proxy
  bool tls = false;
  std::string tunnel;

  // The response.
  int32_t statusCode = 0;
  std::string reasonPhrase;
  // The status line as the server sent it (0 and empty until one came), whatever the
  // request's own failures made of statusCode afterwards.
  int32_t answerStatus = 0;
  std::string answerReason;
  int64_t rcvdCount = 0;  // body bytes only
  std::vector<std::string> rcvdHeader;
  int64_t contentLength = -1;
  std::string contentType;
  bool locationChange = false;
  std::string location;
  std::vector<std::string> authenticateHeaders;
  uint16_t requestErrorCode = 0;
  int relocations = 0;
  // The deadline passed before the request ended.
  bool timedOut = false;
  // Of the TLS connections of this request (relocations included), the server
  // certificate that expires first: its host and its end of validity (seconds since
  // 1970; 0 when no TLS connection was made).
  std::string certificateHost;
  int64_t certificateNotAfter = 0;

  // What the check keeps with its request.
  Monitor* monitor = nullptr;
  uint64_t checkId = 0;
  int64_t startMs = 0;
  std::string contentError;
  std::string bodyText;

 private:
  // The route and credentials of a target: the first URL, then each relocation.
  void Prepare(const UrlParts& target);
  // One connection to the current target: true when a relocation leads on.
  Task<bool> FetchOnce();
  // Handles received bytes while the header is awaited; returns the count consumed
  // before the body begins (all of them while still in the header).
  size_t HandleHeaderBytes(const char* data, size_t size);
  void HandleHeaderLine(const std::string& line);
  void EndOfHeader();
  void DeliverBody(const char* data, size_t size);
  void FailTransport(const std::string& reason);

  State state_ = State::Ready;
  UrlParts target_;
  std::string partialLine_;
  // What the header read so far means for the connection.
  enum class HeaderEnd { Reading, Body, Done, Relocate };
  HeaderEnd headerEnd_ = HeaderEnd::Reading;
};

}  // namespace sentrel
