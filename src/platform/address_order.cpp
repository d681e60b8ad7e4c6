#include "platform/address_order.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <tuple>

#include "platform/file_util.h"

namespace sentrel {

namespace {

// An address as the policy table sees it: IPv4 as ::ffff:a.b.c.d.
void Mapped(const IpAddress& address, unsigned char out[16]) {
  if (address.IsV4()) {
    std::memset(out, 0, 10);
    out[10] = out[11] = 0xff;
    const in_addr v4 = address.V4();
    std::memcpy(out + 12, &v4, 4);
  } else {
    std::memcpy(out, &address.V6(), 16);
  }
}

bool Matches(const unsigned char* address, const unsigned char* prefix, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(address, prefix, static_cast<size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (address[whole] & mask) == (prefix[whole] & mask);
}

// Whether a datagram socket can be pointed at the address: the kernel finds a route and
// a source for it. Nothing is sent.
bool Reachable(const IpAddress& address) {
  sockaddr_storage ss{};
  const socklen_t length = address.ToSockaddr(9, &ss);
  const int fd = socket(address.Family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell: keep its place
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&ss), length) == 0;
  close(fd);
  return ok;
}

}  // namespace

AddressOrder AddressOrder::FromGaiConf(const std::string& text) {
  AddressOrder order;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string keyword, prefix;
    int precedence = 0;
    if (!(words >> keyword >> prefix >> precedence) || keyword != "precedence") continue;
    Entry e{};
    e.precedence = precedence;
    const size_t slash = prefix.find('/');
    std::string address = prefix.substr(0, slash);
    e.bits = 128;
    if (slash != std::string::npos) {
      try {
        e.bits = std::stoi(prefix.substr(slash + 1));
      } catch (const std::exception&) {
        continue;
      }
    }
    if (e.bits < 0 || e.bits > 128 || inet_pton(AF_INET6, address.c_str(), e.prefix) != 1) continue;
    order.table_.push_back(e);
  }
  if (order.table_.empty()) {
    // The C library's table when gai.conf says nothing.
    for (auto [address, bits, precedence] :
         {std::tuple{"::1", 128, 50}, std::tuple{"::", 0, 40}, std::tuple{"2002::", 16, 30},
          std::tuple{"::", 96, 20}, std::tuple{"::ffff:0:0", 96, 10}}) {
      Entry e{};
      inet_pton(AF_INET6, address, e.prefix);
      e.bits = bits;
      e.precedence = precedence;
      order.table_.push_back(e);
    }
  }
  // The longest prefix decides.
  std::stable_sort(order.table_.begin(), order.table_.end(),
                   [](const Entry& a, const Entry& b) { return a.bits > b.bits; });
  return order;
}

const AddressOrder& AddressOrder::System() {
  static AddressOrder order = FromGaiConf("");
  static struct stat seen {};
  static bool read = false;
  struct stat st {};
  const bool exists = stat("/etc/gai.conf", &st) == 0;
  if (!exists) st = {};
  if (!read || st.st_ino != seen.st_ino || st.st_mtim.tv_sec != seen.st_mtim.tv_sec ||
      st.st_mtim.tv_nsec != seen.st_mtim.tv_nsec || st.st_size != seen.st_size) {
    read = true;
    seen = st;
    order = FromGaiConf(exists ? ReadWholeFile("/etc/gai.conf").value_or("") : "");
  }
  return order;
}

int AddressOrder::Precedence(const IpAddress& address) const {
  unsigned char a[16];
  Mapped(address, a);
  for (const Entry& e : table_)
    if (Matches(a, e.prefix, e.bits)) return e.precedence;
  return 0;
}

void AddressOrder::Sort(std::vector<IpAddress>& addresses) const {
  if (addresses.size() < 2) return;
  struct Keyed {
    IpAddress address;
    bool reachable;
    int precedence;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(addresses.size());
  for (const IpAddress& a : addresses) keyed.push_back({a, Reachable(a), Precedence(a)});
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
    if (x.reachable != y.reachable) return x.reachable;
    return x.precedence > y.precedence;
  });
  for (size_t i = 0; i < keyed.size(); ++i) addresses[i] = keyed[i].address;
}

}  // namespace sentrel
