#include "platform/ip_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <cstring>

namespace sentrel {

IpAddress::IpAddress() = default;

IpAddress::IpAddress(in_addr v4) : family_(AF_INET), v4_(v4) {}

IpAddress::IpAddress(const in6_addr& v6, uint32_t scope)
    : family_(AF_INET6), v6_(v6), scope_(scope) {
  // A mapped IPv4 address reaches the IPv4 host, and is shown and pinged as one.
  if (IN6_IS_ADDR_V4MAPPED(&v6_)) {
    family_ = AF_INET;
    std::memcpy(&v4_, v6_.s6_addr + 12, sizeof v4_);
    v6_ = in6_addr{};
    scope_ = 0;
  }
}

std::optional<IpAddress> IpAddress::FromSockaddr(const sockaddr* address, socklen_t length) {
  if (!address) return std::nullopt;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in sa;
    std::memcpy(&sa, address, sizeof sa);
    return IpAddress(sa.sin_addr);
  }
  if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 sa;
    std::memcpy(&sa, address, sizeof sa);
    return IpAddress(sa.sin6_addr, sa.sin6_scope_id);
  }
  return std::nullopt;
}

std::optional<IpAddress> IpAddress::Parse(const std::string& written) {
  std::string text = written;
  const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
  if (bracketed) text = text.substr(1, text.size() - 2);
  if (text.empty()) return std::nullopt;
  in_addr v4{};
  if (!bracketed && inet_aton(text.c_str(), &v4) != 0) return IpAddress(v4);
  if (text.find(':') == std::string::npos) return std::nullopt;
  // The resolver in numeric mode reads every IPv6 form, the scope after "%" included,
  // and never asks anybody.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0) return std::nullopt;
  std::optional<IpAddress> address =
      result ? FromSockaddr(result->ai_addr, result->ai_addrlen) : std::nullopt;
  freeaddrinfo(result);
  return address;
}

std::string IpAddress::ToString() const {
  char text[INET6_ADDRSTRLEN];
  if (family_ == AF_INET) {
    inet_ntop(AF_INET, &v4_, text, sizeof text);
    return text;
  }
  inet_ntop(AF_INET6, &v6_, text, sizeof text);
  std::string out = text;
  if (scope_ != 0) {
    char name[IF_NAMESIZE];
    out += "%";
    out += if_indextoname(scope_, name) ? std::string(name) : std::to_string(scope_);
  }
  return out;
}

socklen_t IpAddress::ToSockaddr(uint16_t port, sockaddr_storage* out) const {
  *out = sockaddr_storage{};
  if (family_ == AF_INET) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = v4_;
    std::memcpy(out, &sa, sizeof sa);
    return sizeof sa;
  }
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = v6_;
  sa.sin6_scope_id = scope_;
  std::memcpy(out, &sa, sizeof sa);
  return sizeof sa;
}

bool IpAddress::operator==(const IpAddress& other) const {
  if (family_ != other.family_) return false;
  if (family_ == AF_INET) return v4_.s_addr == other.v4_.s_addr;
  return std::memcmp(&v6_, &other.v6_, sizeof v6_) == 0 && scope_ == other.scope_;
}

std::string UrlHost(const std::string& host) {
  if (host.find(':') == std::string::npos) return host;
  return "[" + host + "]";
}

}  // namespace sentrel
