#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sentrel::test {

// Runs body in a forked child that has a network namespace of its own, with only the
// loopback interface, up. Whatever the test does to the network there stays there.
// Returns true when body ran; output is then its result text. Returns false with the
// reason in output when the machine gives no namespace (the caller skips).
bool RunInNetworkNamespace(const std::function<std::string()>& body, std::string& output);

// Writes a value under /proc/sys (for example "net/ipv4/icmp_echo_ignore_all"); inside
// a namespace of our own this changes only that namespace.
bool WriteProcSys(const std::string& name, const std::string& value);

// Plays a router on loopback: answers every ICMP echo request it sees with an ICMP
// error of the given type and code quoting the request. Served by the current loop.
// Only for use inside a namespace made by RunInNetworkNamespace.
class IcmpResponder {
 public:
  IcmpResponder(uint8_t type, uint8_t code);
  ~IcmpResponder();
  IcmpResponder(const IcmpResponder&) = delete;
  IcmpResponder& operator=(const IcmpResponder&) = delete;

 private:
  void OnPacket();
  int fd_ = -1;
  uint8_t type_;
  uint8_t code_;
};

}  // namespace sentrel::test
