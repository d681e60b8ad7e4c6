#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sentrel {

// One address of either family, as the resolver gives it and a socket takes it. IPv6
// addresses keep their scope (the interface of a link-local address).
class IpAddress {
 public:
  // 0.0.0.0.
  IpAddress();
  explicit IpAddress(in_addr v4);
  explicit IpAddress(const in6_addr& v6, uint32_t scope = 0);

  // The address of a socket address of family AF_INET or AF_INET6; nothing for another.
  static std::optional<IpAddress> FromSockaddr(const sockaddr* address, socklen_t length);

  // An address written out: IPv4 in every form the checks have always taken ("127.0.0.1",
  // "127.1"), IPv6 in any of its forms ("::1", "2001:db8::5", "fe80::1%eth0"), either
  // also between brackets as in a URL ("[::1]"). An IPv4 address written as IPv6
  // ("::ffff:127.0.0.1") is taken as the IPv4 address it is. Nothing for a name.
  static std::optional<IpAddress> Parse(const std::string& text);

  int Family() const { return family_; }
  bool IsV4() const { return family_ == AF_INET; }
  in_addr V4() const { return v4_; }
  const in6_addr& V6() const { return v6_; }

  // The address in its normal short form: dotted for IPv4; for IPv6 the shortest form
  // (lower case, the longest run of zero groups as "::"), with "%" and the interface
  // when it has a scope.
  std::string ToString() const;

  // The socket address of this address and a port (host byte order).
  socklen_t ToSockaddr(uint16_t port, sockaddr_storage* out) const;

  bool operator==(const IpAddress& other) const;

 private:
  int family_ = AF_INET;
  in_addr v4_{};
  in6_addr v6_{};
  uint32_t scope_ = 0;
};

// A host text as it stands in a URL or a Host header: an IPv6 address in brackets,
// anything else as it is.
std::string UrlHost(const std::string& host);

}  // namespace sentrel
