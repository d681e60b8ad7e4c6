#include "scan/http_client.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/ini_file.h"
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"

namespace sentrel {

namespace {

// A server that never ends a header line or never ends its header must not grow us
// without bound before the body starts.
constexpr size_t kMaxLineLength = 64 * 1024;
constexpr size_t kMaxHeaderLines = 1000;
constexpr size_t kReceiveBuffer = 8192;

// What one read brings is handled before the request waits again, so every request reads
// into the same buffer: a thousand requests waiting for their servers hold none.
char* ReceiveBuffer() {
  static char buffer[kReceiveBuffer];
  return buffer;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Whether text is a URL scheme ("http", "https", ...): a letter, then letters, digits,
// "+", "-" or ".".
bool IsScheme(const std::string& text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
      return false;
  return true;
}

// The three characters of the status code as a number; 0 when they are not digits.
int32_t StatusCodeAt(const std::string& line, size_t pos) {
  if (line.size() < pos + 3) return 0;
  int32_t v = 0;
  for (size_t i = pos; i < pos + 3; ++i) {
    char c = line[i];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

// A port text as a TCP port; 0 when it is none.
uint16_t PortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v > 0 && v <= 65535 ? static_cast<uint16_t>(v) : 0;
}

// Blanks and control characters cannot stand in a request line or a header value: they
// would end the word or the line early, and a "Location" from a server could add lines of
// its own to our next request. They go out percent-encoded, as a browser sends them.
std::string EncodedForRequest(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// A proxy that never ends its answer to CONNECT must not grow us without bound.
constexpr size_t kMaxTunnelAnswer = 64 * 1024;

// The proxy's words go into a log record: no control characters, and not too many.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 100)) {
    auto u = static_cast<unsigned char>(c);
    out += u < 0x20 || u == 0x7f ? ' ' : c;
  }
  return out;
}

// Where the first empty line of an HTTP header ends (LF, or CR LF, after a line), or npos.
size_t HeaderEndIn(const std::string& text) {
  size_t lineStart = 0;
  for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
    size_t length = lf - lineStart;
    if (length == 0 || (length == 1 && text[lineStart] == '\r')) return lf + 1;
    lineStart = lf + 1;
  }
  return std::string::npos;
}

// Asks the proxy at the other end of the stream for a tunnel to target ("host:port"):
// "" once it is open, else why not. The stream belongs to the request that awaits this.
Task<std::string> OpenTunnel(TcpStream& stream, std::string target, int64_t deadlineMs) {
  const char* closed = "proxy closed the connection during CONNECT";
  const bool asked = co_await stream.Write(
      "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n\r\n", deadlineMs);
  if (!asked) co_return closed;
  std::string answer;
  char* buffer = ReceiveBuffer();
  for (;;) {
    const ssize_t n = co_await stream.Read(buffer, kReceiveBuffer, deadlineMs);
    if (n <= 0) co_return closed;
    answer.append(buffer, static_cast<size_t>(n));
    const size_t end = HeaderEndIn(answer);
    if (end == std::string::npos) {
      if (answer.size() > kMaxTunnelAnswer) co_return "proxy refused CONNECT: endless answer";
      continue;
    }
    std::string statusLine = answer.substr(0, answer.find('\n'));
    if (!statusLine.empty() && statusLine.back() == '\r') statusLine.pop_back();
    // "HTTP/1.x 200 ...": any 2xx opens the tunnel.
    const bool http = statusLine.rfind("HTTP/1.", 0) == 0 && statusLine.size() >= 12;
    if (!http || statusLine[9] != '2')
      co_return "proxy refused CONNECT: " +
          Printable(http ? std::string_view(statusLine).substr(9) : statusLine);
    // What follows the answer is already the server's.
    stream.Unread(std::string_view(answer).substr(end));
    co_return "";
  }
}

}  // namespace

UrlParts SplitUrl(const std::string& url) {
  UrlParts p;
  std::string rest = url;
  size_t sep = url.find("://");
  if (sep != std::string::npos) {
    p.scheme = url.substr(0, sep);
    rest = url.substr(sep + 3);
  }
  size_t slash = rest.find('/');
  std::string hostPart = slash == std::string::npos ? rest : rest.substr(0, slash);
  p.path = slash == std::string::npos ? "" : rest.substr(slash);
  size_t at = hostPart.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = hostPart.substr(0, at);
    hostPart = hostPart.substr(at + 1);
    p.hasCredentials = true;
    size_t colon = credentials.find(':');
    p.user = credentials.substr(0, colon);
    if (colon != std::string::npos) p.password = credentials.substr(colon + 1);
  }
  // An IPv6 address stands in brackets, its own colons inside them: the port is what
  // follows "]:".
  if (!hostPart.empty() && hostPart[0] == '[') {
    size_t close = hostPart.find(']');
    const std::string after = close == std::string::npos ? "" : hostPart.substr(close + 1);
    if (close != std::string::npos &&
        (after.empty() || (after[0] == ':' && after.find(':', 1) == std::string::npos))) {
      p.host = hostPart.substr(1, close - 1);
      p.bracketed = true;
      if (!after.empty()) p.port = after.substr(1);
      return p;
    }
  }
  size_t colon = hostPart.rfind(':');
  if (colon != std::string::npos) {
    p.port = hostPart.substr(colon + 1);
    hostPart = hostPart.substr(0, colon);
  }
  p.host = hostPart;
  return p;
}

std::string UrlProblem(const std::string& url) {
  if (url.empty()) return "no URL";
  const UrlParts p = SplitUrl(url);
  if (url.find("://") != std::string::npos) {
    const std::string scheme = ToLower(p.scheme);
    if (scheme != "http" && scheme != "https")
      return "scheme " + p.scheme + ": the check speaks only http and https";
  }
  if (p.host.empty()) return "no host";
  if (p.bracketed && !IpAddress::Parse(p.host)) return "[" + p.host + "] is no IPv6 address";
  if (!p.bracketed && p.host.find(':') != std::string::npos)
    return "an IPv6 address in a URL stands in brackets, as in http://[::1]:8080/";
  if (!p.port.empty() && PortNumber(p.port) == 0) return "port " + p.port + " is no TCP port";
  return "";
}

std::string Base64Encode(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(data[i])) << 16 |
                 static_cast<uint32_t>(static_cast<uint8_t>(data[i + 1])) << 8 |
                 static_cast<uint8_t>(data[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  size_t left = data.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(data[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(data[i + 1])) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += left == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

UrlParts ResolveLocation(const UrlParts& base, const std::string& location) {
  if (StartsWith(location, "//")) {
    UrlParts next = SplitUrl((base.scheme.empty() ? "http" : base.scheme) + ":" + location);
    return next;
  }
  UrlParts next = base;
  if (StartsWith(location, "/")) {
    next.path = location;
    return next;
  }
  size_t sep = location.find("://");
  if (sep != std::string::npos && IsScheme(location.substr(0, sep))) return SplitUrl(location);
  // Relative to the current document: its path up to the last "/", or its path without
  // the query for a location that is only a query.
  std::string path = base.path.empty() ? "/" : base.path;
  if (StartsWith(location, "?")) {
    next.path = path.substr(0, path.find('?')) + location;
  } else {
    std::string dir = path.substr(0, path.find('?'));
    dir = dir.substr(0, dir.rfind('/') + 1);
    next.path = dir + location;
  }
  return next;
}

UrlParts SplitProxy(const std::string& proxy) {
  // A bare IPv6 address, the way the address field of a server takes it: no port in it.
  if (proxy.find_first_of("[/@") == std::string::npos &&
      std::count(proxy.begin(), proxy.end(), ':') > 1) {
    UrlParts p;
    p.host = proxy;
    return p;
  }
  return SplitUrl(proxy);
}

std::string ProxyProblem(const std::string& proxy) {
  const UrlParts p = SplitProxy(proxy);
  if (p.host == proxy && p.host.find(':') != std::string::npos)
    return IpAddress::Parse(p.host) ? "" : p.host + " is no IPv6 address";
  return UrlProblem(proxy);
}

RequestRoute RouteRequest(const UrlParts& target, const std::string& proxy,
                          const std::string& proxyPort) {
  RequestRoute r;
  r.hostName = UrlHost(target.host);
  r.tls = ToLower(target.scheme) == "https";
  const std::string port = !target.port.empty() ? target.port : r.tls ? "443" : "80";
  r.connectHost = target.host;
  r.connectPort = port;
  r.requestUri = target.path.empty() ? "/" : target.path;
  if (proxy.empty()) return r;

  UrlParts p = SplitProxy(proxy);
  r.connectHost = p.host;
  r.connectPort = !p.port.empty() ? p.port : !proxyPort.empty() ? proxyPort : "80";
  if (r.tls) {
    // The proxy only carries the bytes; the request inside the tunnel is the one a
    // direct connection would send.
    r.tunnel = EncodedForRequest(UrlHost(target.host)) + ":" + EncodedForRequest(port);
  } else {
    // The proxy gets the absolute URL. A port the URL names stays in it, or the proxy
    // would fetch from another service than the one configured.
    r.requestUri = (target.scheme.empty() ? "http" : target.scheme) + "://" + UrlHost(target.host) +
                   (target.port.empty() ? "" : ":" + target.port) + r.requestUri;
  }
  return r;
}

std::string BoundedServerText(std::string_view text) {
  size_t keep = text.size();
  if (keep > kServerTextMax) {
    keep = kServerTextMax;
    // Back to the first byte of the character the cut would split.
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xc0) == 0x80) --keep;
  }
  std::string out;
  out.reserve(keep + 8);
  for (char c : text.substr(0, keep)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 && c != '\t') || u == 0x7f ? ' ' : c;
  }
  if (keep < text.size()) out += kCutMark;
  return out;
}

HttpRequest::HttpRequest() = default;

HttpRequest::~HttpRequest() = default;

std::string HttpRequest::RequestText() const {
  const bool get = method == "GET";
  std::string r = (get ? std::string("GET") : EncodedForRequest(method)) + " " +
                  EncodedForRequest(requestUri) + " HTTP/1.0\r\n";
  r += "Host: " + EncodedForRequest(hostName) + "\r\n";
  if (noCache) r += "Pragma: no-cache\r\n";
  if (!username.empty())
    r += "Authorization: Basic " + Base64Encode(username + ":" + password) + "\r\n";
  if (!get) {
    // Some services turn away a request that does not say what sends it.
    r += "User-Agent: Sentrel/2.2\r\n";
    for (const std::string& header : extraHeaders) {
      // A header line of the operator's stays one line, whatever it holds.
      std::string line = header;
      for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
      r += line + "\r\n";
    }
    r += "Content-Length: " + std::to_string(requestBody.size()) + "\r\n\r\n";
    r += requestBody;
    return r;
  }
  r += "\r\n";
  return r;
}

void HttpRequest::Prepare(const UrlParts& target) {
  target_ = target;
  RequestRoute route = RouteRequest(target, proxy, proxyPort);
  hostName = std::move(route.hostName);
  connectHost = std::move(route.connectHost);
  connectPort = std::move(route.connectPort);
  requestUri = std::move(route.requestUri);
  tls = route.tls;
  tunnel = std::move(route.tunnel);
  if (target.hasCredentials) {
    username = target.user;
    password = target.password;
  }
}

Task<void> HttpRequest::Fetch() {
  rcvdHeader.clear();
  authenticateHeaders.clear();
  requestErrorCode = 0;
  statusCode = 0;
  rcvdCount = 0;
  locationChange = false;
  relocations = 0;
  answerStatus = 0;
  answerReason.clear();
  timedOut = false;
  certificateHost.clear();
  certificateNotAfter = 0;
  Prepare(SplitUrl(url));
  // One connection per target, as long as relocations lead on.
  for (;;) {
    const bool relocated = co_await FetchOnce();
    if (!relocated) break;
  }
  state_ = State::Ready;
}

Task<bool> HttpRequest::FetchOnce() {
  state_ = State::DnsLookup;
  partialLine_.clear();
  if (connectHost.empty()) {
    // Nothing to contact (a URL or a location without a host): the request waits until
    // its owner gives it up, and then counts as timed out.
    Trigger never;
    co_await never.Wait(deadlineMs);
    timedOut = true;
    FailTransport("DNS lookup: invalid host name.");
    co_return false;
  }
  // The lookup has its own limit, within the request's deadline.
  const int64_t now = CurrentClock().MonotonicMs();
  const LookupResult found = co_await Lookup(
      connectHost, deadlineMs < 0 ? -1 : std::min(deadlineMs, now + kLookupLimitMs));
  if (found.error != 0) {
    timedOut = deadlineMs >= 0 && CurrentClock().MonotonicMs() >= deadlineMs;
    FailTransport(found.TimedOut() ? kLookupTimedOutText : "can't resolve hostname to IP address");
    co_return false;
  }

  state_ = State::NotConnected;
  TcpStream stream;
  int failedCall = 0;
  bool connected = false;
  const uint16_t port = PortNumber(connectPort);
  if (port == 0) {
    failedCall = wsa::kInvalidArgument;  // not a port: the connect call rejects its argument
  } else {
    try {
      connected = co_await stream.Connect(found.addresses, port, deadlineMs);
    } catch (const SystemError& e) {
      failedCall = e.WsaCode();
    }
  }
  if (failedCall != 0) {
    requestErrorCode = static_cast<uint16_t>(failedCall);
    FailTransport("can't connect: " + socketErrorText(failedCall) + " (Error #" +
                  std::to_string(failedCall) + ")");
    co_return false;
  }
  if (!connected) {
    timedOut = stream.TimedOut();
    const int error = stream.LastError();
    FailTransport(socketErrorText(error) + " (Error #" + std::to_string(error) + ")");
    co_return false;
  }
  if (!tunnel.empty()) {
    const std::string failure = co_await OpenTunnel(stream, tunnel, deadlineMs);
    if (!failure.empty()) {
      timedOut = stream.TimedOut();
      FailTransport(failure);
      co_return false;
    }
  }
  if (tls) {
    const bool secured = co_await stream.StartTls(target_.host, deadlineMs);
    if (!secured) {
      timedOut = stream.TimedOut();
      FailTransport(stream.Failure());
      co_return false;
    }
    const int64_t notAfter = stream.CertificateNotAfter();
    if (notAfter != 0 && (certificateNotAfter == 0 || notAfter < certificateNotAfter)) {
      certificateNotAfter = notAfter;
      certificateHost = target_.host;
    }
  }

  state_ = State::WaitingHeader;
  const bool sent = co_await stream.Write(RequestText(), deadlineMs);
  if (!sent) {
    timedOut = stream.TimedOut();
    if (!stream.Failure().empty()) FailTransport(stream.Failure());
    co_return false;
  }
  char* const buffer = ReceiveBuffer();
  headerEnd_ = HeaderEnd::Reading;
  for (;;) {
    const ssize_t n = co_await stream.Read(buffer, kReceiveBuffer - 1, deadlineMs);
    if (n <= 0) {
      // The server closed (normally after the body), or the connection broke: a TLS
      // connection that broke on bad data is a failure, whatever came before.
      timedOut = stream.TimedOut();
      if (!stream.Failure().empty()) FailTransport(stream.Failure());
      co_return false;
    }
    const auto size = static_cast<size_t>(n);
    if (state_ == State::WaitingBody) {
      DeliverBody(buffer, size);
      continue;
    }
    const size_t used = HandleHeaderBytes(buffer, size);
    switch (headerEnd_) {
      case HeaderEnd::Reading:
        break;
      case HeaderEnd::Body:
        state_ = State::WaitingBody;
        if (used < size) DeliverBody(buffer + used, size - used);
        break;
      case HeaderEnd::Done:
        co_return false;
      case HeaderEnd::Relocate:
        co_return true;
    }
  }
}

size_t HttpRequest::HandleHeaderBytes(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (c != '\n') {
      if (partialLine_.size() < kMaxLineLength) partialLine_ += c;
      continue;
    }
    std::string line = std::move(partialLine_);
    partialLine_.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      EndOfHeader();
      return i + 1;
    }
    HandleHeaderLine(line);
    // An error status ends the request at once; its body is not read.
    if (statusCode >= 400) {
      headerEnd_ = HeaderEnd::Done;
      return i + 1;
    }
  }
  return size;
}

void HttpRequest::HandleHeaderLine(const std::string& line) {
  if (rcvdHeader.size() < kMaxHeaderLines) rcvdHeader.push_back(line);
  if (StartsWith(line, "HTTP/1.0") || StartsWith(line, "HTTP/1.1")) {
    statusCode = StatusCodeAt(line, 9);
    reasonPhrase = line.size() > 13 ? line.substr(13) : "";
    answerStatus = statusCode;
    answerReason = reasonPhrase;
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string name = ToLower(line.substr(0, colon));
  std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
  if (name == "location") {
    locationChange = true;
    location = value;
  } else if (name == "content-length") {
    contentLength = std::strtoll(value.c_str(), nullptr, 10);
  } else if (name == "content-type") {
    contentType = value;
  } else if (name == "www-authenticate") {
    if (authenticateHeaders.size() < kMaxHeaderLines) authenticateHeaders.push_back(value);
  }
}

void HttpRequest::EndOfHeader() {
  // A posted body is not sent again to wherever a relocation points.
  if (!locationChange || method != "GET") {
    headerEnd_ = HeaderEnd::Body;
    return;
  }
  headerEnd_ = HeaderEnd::Done;
  if (relocations >= kMaxRelocations) {
    FailTransport("Too many relocations (more than " + std::to_string(kMaxRelocations) + ")");
    return;
  }
  ++relocations;
  locationChange = false;
  Prepare(ResolveLocation(target_, location));
  headerEnd_ = HeaderEnd::Relocate;
}

void HttpRequest::DeliverBody(const char* data, size_t size) {
  rcvdCount += static_cast<int64_t>(size);
  if (onDocData) onDocData(data, size);
}

void HttpRequest::FailTransport(const std::string& reason) {
  statusCode = 404;
  reasonPhrase = reason;
}

void HttpRequest::Aborted() {
  statusCode = 404;
  reasonPhrase = "Connection aborted on request";
  requestErrorCode = 3;
  state_ = State::Ready;
}

void HttpRequest::DetachMonitor() {
  monitor = nullptr;
  if (onDetached) onDetached();
}

}  // namespace sentrel
