#include "scan/http_client.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/socket_errors.h"

namespace sentrel {

namespace {

// A server that never ends a header line or never ends its header must not grow us
// without bound before the body starts.
constexpr size_t kMaxLineLength = 64 * 1024;
constexpr size_t kMaxHeaderLines = 1000;
// Reads per readiness notification, so that one fast server cannot hold the loop.
constexpr int kReadsPerNotification = 16;
constexpr size_t kReceiveBuffer = 8192;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
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
    const std::string scheme = Lower(p.scheme);
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
  r.tls = Lower(target.scheme) == "https";
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

tmyhttpcli::tmyhttpcli() = default;

tmyhttpcli::~tmyhttpcli() {
  *alive_ = false;
  lookup_.reset();
  socket_.reset();
}

std::string tmyhttpcli::RequestText() const {
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

void tmyhttpcli::Get() {
  if (state_ != State::Ready) throw SentrelError("HTTP component is busy");
  rcvdHeader.clear();
  authenticateHeaders.clear();
  requestErrorCode = 0;
  statusCode = 0;
  answerStatus = 0;
  answerReason.clear();
  rcvdCount = 0;
  locationChange = false;
  relocations = 0;
  certificateHost.clear();
  certificateNotAfter = 0;
  partialLine_.clear();
  completionPosted_ = false;
  state_ = State::NotConnected;
  Prepare(SplitUrl(url));
  StartLookup();
}

void tmyhttpcli::Prepare(const UrlParts& target) {
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

void tmyhttpcli::StartLookup() {
  state_ = State::DnsLookup;
  if (connectHost.empty()) throw SentrelError("DNS lookup: invalid host name.");
  lookup_ = NameLookup::StartAny(
      connectHost,
      [this](int error, const std::vector<IpAddress>& addresses) { OnLookup(error, addresses); });
}

void tmyhttpcli::OnLookup(int error, const std::vector<IpAddress>& addresses) {
  if (state_ != State::DnsLookup) return;
  if (error != 0) {
    FailTransport(error == kLookupTimedOut ? kLookupTimedOutText
                                           : "can't resolve hostname to IP address");
    return;
  }
  state_ = State::NotConnected;
  HttpConnection::Options options;
  options.tunnel = tunnel;
  options.tls = tls;
  options.tlsHost = target_.host;
  socket_ = std::make_unique<HttpConnection>(std::move(options));
  socket_->onConnected = [this](int e, const std::string& failure) { OnConnected(e, failure); };
  socket_->onReadable = [this] { OnReadable(); };
  socket_->onClosed = [this](int) {
    if (state_ == State::WaitingHeader || state_ == State::WaitingBody) Complete();
  };
  int code = 0;
  uint16_t port = PortNumber(connectPort);
  if (port == 0) {
    code = 10022;  // not a port: the connect call rejects its argument
  } else {
    try {
      socket_->Connect(addresses, port);
    } catch (const SystemError& e) {
      code = e.WsaCode();
    }
  }
  if (code != 0) {
    requestErrorCode = static_cast<uint16_t>(code);
    FailTransport("can't connect: " + socketErrorText(code) + " (Error #" + std::to_string(code) +
                  ")");
  }
}

void tmyhttpcli::OnConnected(int error, const std::string& failure) {
  if (state_ != State::NotConnected) return;
  if (error != 0) {
    FailTransport(socketErrorText(error) + " (Error #" + std::to_string(error) + ")");
    return;
  }
  if (!failure.empty()) {
    FailTransport(failure);
    return;
  }
  if (tls) {
    const int64_t notAfter = socket_->CertificateNotAfter();
    if (notAfter != 0 && (certificateNotAfter == 0 || notAfter < certificateNotAfter)) {
      certificateNotAfter = notAfter;
      certificateHost = target_.host;
    }
  }
  state_ = State::WaitingHeader;
  if (socket_->Send(RequestText()) != 0) {
    if (!socket_->Failure().empty()) {
      FailTransport(socket_->Failure());
    } else {
      Complete();
    }
  }
}

void tmyhttpcli::OnReadable() {
  char buffer[kReceiveBuffer];
  for (int reads = 0; reads < kReadsPerNotification; ++reads) {
    if (state_ != State::WaitingHeader && state_ != State::WaitingBody) return;
    ssize_t n = socket_->Receive(buffer, kReceiveBuffer - 1);
    if (n > 0) {
      size_t size = static_cast<size_t>(n);
      if (state_ == State::WaitingHeader) {
        size_t used = HandleHeaderBytes(buffer, size);
        if (state_ == State::WaitingBody && used < size) DeliverBody(buffer + used, size - used);
      } else {
        DeliverBody(buffer, size);
      }
      continue;
    }
    // The server closed (normally after the body), or the connection broke: a TLS
    // connection that broke on bad data is a failure, whatever came before.
    if (!socket_->Failure().empty()) {
      FailTransport(socket_->Failure());
    } else if (n == 0 || socket_->Closed()) {
      Complete();
    }
    return;
  }
}

size_t tmyhttpcli::HandleHeaderBytes(const char* data, size_t size) {
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
      Complete();
      return i + 1;
    }
  }
  return size;
}

void tmyhttpcli::HandleHeaderLine(const std::string& line) {
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
  std::string name = Lower(line.substr(0, colon));
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

void tmyhttpcli::EndOfHeader() {
  // A posted body is not sent again to wherever a relocation points.
  if (!locationChange || method != "GET") {
    state_ = State::WaitingBody;
    return;
  }
  if (relocations >= kMaxRelocations) {
    FailTransport("Too many relocations (more than " + std::to_string(kMaxRelocations) + ")");
    return;
  }
  ++relocations;
  locationChange = false;
  socket_->Close();
  partialLine_.clear();
  Prepare(ResolveLocation(target_, location));
  try {
    StartLookup();
  } catch (const SentrelError&) {
    // A location without a host: like a start without one, the request waits in the
    // lookup state until the next check aborts it.
  }
}

void tmyhttpcli::DeliverBody(const char* data, size_t size) {
  rcvdCount += static_cast<int64_t>(size);
  if (onDocData) onDocData(data, size);
}

void tmyhttpcli::FailTransport(const std::string& reason) {
  statusCode = 404;
  reasonPhrase = reason;
  Complete();
}

void tmyhttpcli::Complete() {
  if (completionPosted_) return;
  completionPosted_ = true;
  lookup_.reset();
  if (socket_) socket_->Close();
  state_ = State::Ready;
  std::weak_ptr<bool> alive = alive_;
  CurrentLoop().Post([this, alive] {
    auto a = alive.lock();
    if (!a || !*a) return;
    if (onRequestDone) onRequestDone(requestErrorCode);
  });
}

void tmyhttpcli::Abort() {
  if (state_ == State::Ready) return;
  bool resolving = state_ == State::DnsLookup;
  state_ = State::Aborting;
  if (resolving) lookup_.reset();
  statusCode = 404;
  reasonPhrase = "Connection aborted on request";
  requestErrorCode = 3;
  Complete();
}

void tmyhttpcli::DetachMonitor() {
  monitor = nullptr;
  // Nothing of this request can reach a monitor any more: stop it and let the owner
  // discard it. A completion already on its way finds no monitor.
  bool pending = completionPosted_;
  completionPosted_ = true;
  lookup_.reset();
  if (socket_) socket_->Close();
  state_ = State::Ready;
  if (!pending && onDetached) onDetached();
}

}  // namespace sentrel
