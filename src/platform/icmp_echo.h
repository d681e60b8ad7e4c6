#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/task.h"

namespace sentrel {

// The status codes an echo ends with, numbered as the program has always printed them.
namespace icmp_status {
constexpr int kSuccess = 0;
constexpr int kNetUnreachable = 11002;
constexpr int kHostUnreachable = 11003;
constexpr int kProtocolUnreachable = 11004;
constexpr int kPortUnreachable = 11005;
constexpr int kPacketTooBig = 11009;
constexpr int kTimedOut = 11010;
constexpr int kBadRoute = 11012;
constexpr int kTtlExpiredTransit = 11013;
constexpr int kTtlExpiredReassembly = 11014;
constexpr int kParameterProblem = 11015;
constexpr int kSourceQuench = 11016;
constexpr int kBadDestination = 11018;
constexpr int kGeneralFailure = 11050;
}  // namespace icmp_status

// The text of an echo status code ("No error", "Request timed out", ...).
std::string pingStatusText(int code);

// The status code for an ICMP error message of this type and code.
int IcmpErrorStatus(int type, int code);

// Reads one ICMP message (starting at its ICMP header) as an answer to the echo request
// with this identifier and sequence number: 0 for the echo reply, the status code for an
// error message that quotes our request, nothing for anything else. With checkId off only
// the sequence number is compared (the system matched the identifier already).
std::optional<int> ClassifyIcmpMessage(const uint8_t* message, size_t length, uint16_t id,
                                       uint16_t sequence, bool checkId = true);

// The ICMP message inside a packet from a raw socket, which puts the IP header in front:
// moves message and length past the header. False for a packet too short for an IP header
// or for the header length it announces.
bool SkipIpHeader(const uint8_t*& message, size_t& length);

// The outcome of one echo: how many replies came (0 or 1) and the status code.
struct EchoResult {
  int replies = 0;
  int status = icmp_status::kTimedOut;
};

// One ICMP echo, the system's part of the ping check. It uses an unprivileged ICMP
// datagram socket where the system allows it (the group range in
// /proc/sys/net/ipv4/ping_group_range covers us), else a raw ICMP socket.
class IcmpEcho {
 public:
  // Throws SentrelError("Unable to get ping handle") when no ICMP socket can be had.
  IcmpEcho();
  ~IcmpEcho();
  IcmpEcho(const IcmpEcho&) = delete;
  IcmpEcho& operator=(const IcmpEcho&) = delete;

  bool IsRaw() const { return raw_; }

  // Sends one echo request carrying data with this time to live and waits for its
  // answer up to timeoutMs. The task suspends meanwhile, so other work goes on; an error
  // message for the request (unreachable, time exceeded, ...) ends it at once.
  Task<EchoResult> Echo(in_addr address, std::string data, int ttl, int timeoutMs);

 private:
  // Reads everything waiting; sets result_ and done_ when the answer is among it.
  void ReadAnswers();
  void ReadErrorQueue();

  int fd_ = -1;
  bool raw_ = false;
  uint16_t id_ = 0;
  uint16_t sequence_ = 0;
  bool done_ = false;
  EchoResult result_;
};

}  // namespace sentrel
