#pragma once

#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace sentrel {

// The order in which a name's addresses are tried, as the C library's getaddrinfo sorts
// them: addresses this machine has no route to go last, then the higher precedence of
// the policy table first, the resolver's order among equals. The table is the one of
// /etc/gai.conf when that names any "precedence" lines, otherwise the C library's own
// (::1 50, ::/0 40, 2002::/16 30, ::/96 20, IPv4 10): IPv6 before IPv4 unless the
// operator said otherwise.
class AddressOrder {
 public:
  // The table of a gai.conf text (the default one when it has no precedence line).
  static AddressOrder FromGaiConf(const std::string& text);
  // The table of /etc/gai.conf, read again when the file has changed.
  static const AddressOrder& System();

  int Precedence(const IpAddress& address) const;
  // Sorts in place; keeps the order of addresses that compare equal.
  void Sort(std::vector<IpAddress>& addresses) const;

 private:
  struct Entry {
    unsigned char prefix[16];
    int bits;
    int precedence;
  };
  std::vector<Entry> table_;
};

}  // namespace sentrel
