#include "app/address_form.h"

#include <cctype>
#include <string_view>

#include "platform/ip_address.h"
#include "scan/http_client.h"

namespace sentrel {

namespace {

bool IsDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsHostName(std::string_view name) {
  if (name.size() > 254 || (name.size() == 254 && name.back() != '.')) return false;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string_view label =
        name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    for (char c : label)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

AddressForm JudgeAddress(const std::string& text) {
  AddressForm f;
  const auto withPort = [&](const std::string& host, const std::string& port) {
    f.problem = "holds a port";
    f.hint = "write IP=" + host + ", and Port=" + port + " in the port monitor";
  };
  if (text.find("://") != std::string::npos) {
    const UrlParts url = SplitUrl(text);
    f.problem = "is a URL";
    f.hint = "IP takes the host alone" + (url.host.empty() ? std::string() : ": IP=" + url.host);
    return f;
  }
  if (text.front() == '[') {
    const size_t close = text.find(']');
    const std::string inner = close == std::string::npos ? "" : text.substr(1, close - 1);
    const std::string after = close == std::string::npos ? "" : text.substr(close + 1);
    const auto v6 = IpAddress::Parse(inner);
    if (!v6 || v6->IsV4() || inner.find(':') == std::string::npos) {
      f.problem = "is no IPv6 address";
    } else if (after.empty()) {
      f.problem = "stands in brackets";
      f.hint = "brackets belong around an address in a URL; write IP=" + inner;
      f.worksAnyway = true;
    } else if (after[0] == ':' && IsDigits(after.substr(1))) {
      withPort(inner, after.substr(1));
    } else {
      f.problem = "is no IPv6 address";
    }
    return f;
  }
  if (IpAddress::Parse(text)) return f;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (text.find(':', colon + 1) == std::string::npos && IsDigits(port) &&
        (IpAddress::Parse(host) || IsHostName(host))) {
      withPort(host, port);
    } else {
      f.problem = "is no IPv6 address";
      // A scope names an interface, and only one this machine has is read as one.
      if (text.find('%') != std::string::npos)
        f.hint = "the interface after % must be one of this machine";
    }
    return f;
  }
  if (text.find_first_not_of("0123456789.") == std::string::npos) {
    f.problem = "is no IPv4 address";
    f.hint = "four numbers 0 to 255, such as 127.0.0.1";
  } else if (!IsHostName(text)) {
    f.problem = "is no host name";
    f.hint = "a host name holds letters, digits, '-', '_' and dots; no blanks";
  }
  return f;
}

}  // namespace sentrel
