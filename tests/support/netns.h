#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace sentrel::test {

// The current loop replaced by one of its own while this lives, on the test's clock, its
// errors going to the test's list. A forked child must not touch its parent's loop: the
// two share that loop's epoll instance.
class OwnLoop {
 public:
  OwnLoop(FakeClock& clock, std::vector<std::string>* errors);
  ~OwnLoop();
  OwnLoop(const OwnLoop&) = delete;
  OwnLoop& operator=(const OwnLoop&) = delete;
  EventLoop& loop() { return loop_; }

 private:
  FakeClock& clock_;
  EventLoop* before_;
  EventLoop loop_;
};

// Runs body in a forked child that has a network namespace of its own, with only the
// loopback interface, up. Whatever the test does to the network there stays there.
// Returns true when body ran; output is then its result text. Returns false with the
// reason in output when the machine gives no namespace (the caller skips).
bool RunInNetworkNamespace(const std::function<std::string()>& body, std::string& output);

// Whether "localhost" resolves on this machine to ::1 first and 127.0.0.1 second, as
// Debian's /etc/hosts has it; the addresses found, in order, go to *found.
bool LocalhostIsBothFamilies(std::string* found);

// Where the test that calls this can see "localhost" as ::1 first and 127.0.0.1 second.
enum class LocalhostOnBothFamilies {
  Here,          // this machine resolves it so: the test goes on here
  RanElsewhere,  // the test ran to its verdict in another process (a failure there is
                 // reported here); the caller returns
  Unavailable,   // neither can be had; why says why, and the caller skips
};
// When this machine does not resolve "localhost" so, runs the current test again in a
// fresh process of this test program that sees a hosts file of its own ("::1 localhost",
// "127.0.0.1 localhost"), bound over /etc/hosts in a mount namespace of its own. A fresh
// process, not a fork: the resolver's helper threads do not survive a fork.
LocalhostOnBothFamilies WhereLocalhostIsOnBothFamilies(std::string* why);

// Turns this process (a forked child of the test) into the ordinary user nobody (65534,
// group 65534, no other groups), which leaves it no capabilities. False with the reason
// when that cannot be done.
bool BecomeNobody(std::string* why);

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

// Notes every ICMP echo request that reaches this host, with its time to live (hop limit
// for IPv6) and its data size, as "ttl=64 data=56". A raw socket: for a namespace made by
// RunInNetworkNamespace, opened while the test is still root. Served by the current loop.
class EchoRequestRecorder {
 public:
  explicit EchoRequestRecorder(int family);
  ~EchoRequestRecorder();
  EchoRequestRecorder(const EchoRequestRecorder&) = delete;
  EchoRequestRecorder& operator=(const EchoRequestRecorder&) = delete;
  const std::vector<std::string>& Seen() const { return seen_; }

 private:
  void OnPacket();
  int fd_ = -1;
  int family_;
  std::vector<std::string> seen_;
};

}  // namespace sentrel::test
