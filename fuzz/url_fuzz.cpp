// URL and proxy splitting, a "Location" followed from a URL, and the request that goes out.
// Input lines: the URL, a "Location" value, the proxy, the proxy port.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "scan/http_client.h"

using namespace sentrel;
using fuzz::Check;

namespace {

std::vector<std::string> Fields(std::string_view in, size_t count) {
  std::vector<std::string> out;
  while (out.size() + 1 < count) {
    size_t lf = in.find('\n');
    if (lf == std::string_view::npos) break;
    out.emplace_back(in.substr(0, lf));
    in.remove_prefix(lf + 1);
  }
  out.emplace_back(in);
  out.resize(count);
  return out;
}

bool Has(const std::string& s, char c) {
  return s.find(c) != std::string::npos;
}

// The parts put together again: some way of writing the separators gives the text back.
bool Reassembles(const UrlParts& p, const std::string& text) {
  std::vector<std::string> schemes =
      p.scheme.empty() ? std::vector<std::string>{"", "://"} : std::vector{p.scheme + "://"};
  std::vector<std::string> credentials = {""};
  if (p.hasCredentials) {
    credentials = {p.user + ":" + p.password + "@"};
    if (p.password.empty()) credentials.push_back(p.user + "@");
  }
  std::vector<std::string> ports =
      p.port.empty() ? std::vector<std::string>{"", ":"} : std::vector{":" + p.port};
  const std::string host = p.bracketed ? "[" + p.host + "]" : p.host;
  for (const auto& s : schemes)
    for (const auto& c : credentials)
      for (const auto& o : ports)
        if (s + c + host + o + p.path == text) return true;
  return false;
}

void CheckParts(const UrlParts& p, const std::string& text) {
  Check(Reassembles(p, text), "the parts of a URL give the URL again");
  Check(p.path.empty() || p.path[0] == '/', "a path starts with a slash");
  Check(!Has(p.host, '/') && !Has(p.host, '@'), "a host holds no slash and no at sign");
  Check(!Has(p.port, '/') && !Has(p.port, '@') && !Has(p.port, ':'), "a port is one field");
  Check(!Has(p.user, ':') && !Has(p.user, '/'), "the user ends at the first colon");
  Check(p.hasCredentials || (p.user.empty() && p.password.empty()), "no credentials, no user");
}

std::string Base64Decode(const std::string& s) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    if (c == '=') break;
    int v = value(c);
    Check(v >= 0, "Base64 uses its alphabet only");
    acc = acc << 6 | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits & 0xff);
    }
  }
  return out;
}

// The request is CR LF separated lines without a line break or a bare CR inside them: a
// text from a URL or a "Location" must not be able to start a header of its own.
void CheckRequest(const std::string& text, const std::string& user, const std::string& password) {
  Check(text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0,
        "the request ends with an empty line");
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size() - 2) {
    size_t end = text.find("\r\n", pos);
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  for (const auto& line : lines)
    Check(!Has(line, '\r') && !Has(line, '\n'), "no line break inside a request line");
  Check(lines.size() >= 2 && lines[0].rfind("GET ", 0) == 0 && lines[0].size() >= 13 &&
            lines[0].compare(lines[0].size() - 9, 9, " HTTP/1.0") == 0,
        "the request line is a GET");
  std::string target = lines[0].substr(4, lines[0].size() - 13);
  Check(!Has(target, ' '), "the request target is one word");
  Check(lines[1].rfind("Host: ", 0) == 0, "the Host header follows");
  if (!user.empty()) {
    bool found = false;
    for (const auto& line : lines) {
      if (line.rfind("Authorization: Basic ", 0) != 0) continue;
      found = true;
      Check(Base64Decode(line.substr(21)) == user + ":" + password,
            "the credentials come back from Base64");
    }
    Check(found, "credentials are sent");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> f =
      Fields(std::string_view(reinterpret_cast<const char*>(data), size), 4);
  const std::string& url = f[0];
  const std::string& location = f[1];
  const std::string& proxy = f[2];
  const std::string& proxyPort = f[3];

  UrlParts target = SplitUrl(url);
  CheckParts(target, url);
  CheckParts(SplitProxy(proxy), proxy);

  UrlParts next = ResolveLocation(target, location);
  Check(next.path.empty() || next.path[0] == '/', "a followed location has a path from /");
  if (location.rfind("/", 0) == 0 && location.rfind("//", 0) != 0)
    Check(next.host == target.host && next.port == target.port && next.path == location,
          "a path location stays on the server");

  for (const UrlParts* t : {&target, &next}) {
    RequestRoute route = RouteRequest(*t, proxy, proxyPort);
    if (proxy.empty()) {
      Check(route.connectHost == t->host, "without a proxy the host is contacted");
      Check(route.requestUri.rfind("/", 0) == 0, "without a proxy the path is asked for");
    } else {
      Check(route.connectHost == SplitProxy(proxy).host, "with a proxy the proxy is contacted");
      Check(!route.connectPort.empty(), "a proxy has a port");
    }
    HttpRequest request;
    request.hostName = route.hostName;
    request.requestUri = route.requestUri;
    request.username = t->user;
    request.password = t->password;
    CheckRequest(request.RequestText(), request.username, request.password);
  }

  std::string encoded = Base64Encode(url);
  Check(encoded.size() == (url.size() + 2) / 3 * 4, "Base64 has its length");
  Check(Base64Decode(encoded) == url, "Base64 comes back");
  return 0;
}
