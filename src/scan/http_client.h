#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/port.h"
#include "platform/name_lookup.h"
#include "scan/http_connection.h"

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
// server closes. Everything runs on the event loop; the completion handler runs from the
// loop, never from inside a call of this class, so it may destroy the object.
//
// The object also carries what the HTTP check keeps with its request (monitor, start
// time, body text, content-test message), and is the monitor's `httpRequest` while in
// flight: a monitor that goes away detaches it.
class tmyhttpcli : public CheckInFlight {
 public:
  enum class State { Ready, NotConnected, DnsLookup, WaitingHeader, WaitingBody, Aborting };

  // Redirect loops end after this many relocations, as a failure.
  static constexpr int kMaxRelocations = 20;

  tmyhttpcli();
  ~tmyhttpcli() override;
  tmyhttpcli(const tmyhttpcli&) = delete;
  tmyhttpcli& operator=(const tmyhttpcli&) = delete;

  // Settings, copied from the monitor before the request starts.
  std::string url;
  std::string username;
  std::string password;
  std::string proxy;      // host, possibly followed by ":" and a port
  std::string proxyPort;  // used when the proxy text has no port
  bool noCache = true;
  // Another method than GET (a webhook's POST): the body goes with it, under these extra
  // header lines ("Name: value"), and a relocation answer ends the request as it stands.
  std::string method = "GET";
  std::string requestBody;
  std::vector<std::string> extraHeaders;

  // Body data, piece by piece as it arrives.
  std::function<void(const char* data, size_t size)> onDocData;
  // The request has ended (state ready again); the argument is the request error code.
  std::function<void(int errorCode)> onRequestDone;
  // The monitor went away (DetachMonitor); the request has been stopped.
  std::function<void()> onDetached;

  // Starts the request. Throws SentrelError "HTTP component is busy" when a request is
  // in progress, and "DNS lookup: invalid host name." when there is no host to contact;
  // in that second case the request stays in the name lookup state until aborted.
  void Get();
  // Ends a request in progress as "Connection aborted on request" (status 404, request
  // error code 3); the completion follows from the loop. Nothing happens when ready.
  void Abort();
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
  // Of the TLS connections of this request (relocations included), the server
  // certificate that expires first: its host and its end of validity (seconds since
  // 1970; 0 when no TLS connection was made).
  std::string certificateHost;
  int64_t certificateNotAfter = 0;

  // What the check keeps with its request.
  TPort* monitor = nullptr;
  int64_t startMs = 0;
  std::string contentError;
  std::string bodyText;

 private:
  // Request start, steps from the URL to the lookup.
  void Prepare(const UrlParts& target);
  void StartLookup();
  void OnLookup(int error, const std::vector<IpAddress>& addresses);
  void OnConnected(int error, const std::string& failure);
  void OnReadable();
  // Handles received bytes while the header is awaited; returns the count consumed
  // before the body begins (all of them while still in the header).
  size_t HandleHeaderBytes(const char* data, size_t size);
  void HandleHeaderLine(const std::string& line);
  void EndOfHeader();
  void DeliverBody(const char* data, size_t size);
  // The request ends: close, state ready, completion posted to the loop.
  void Complete();
  void FailTransport(const std::string& reason);

  State state_ = State::Ready;
  UrlParts target_;
  std::unique_ptr<NameLookup> lookup_;
  std::unique_ptr<HttpConnection> socket_;
  std::string partialLine_;
  bool completionPosted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sentrel
