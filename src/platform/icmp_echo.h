#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ip_address.h"
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
// The same for an ICMPv6 error message.
int Icmp6ErrorStatus(int type, int code);

// Reads one ICMP message (starting at its ICMP header) as an answer to the echo request
// with this identifier and sequence number: 0 for the echo reply, the status code for an
// error message that quotes our request, nothing for anything else. With checkId off only
// the sequence number is compared (the system matched the identifier already).
std::optional<int> ClassifyIcmpMessage(const uint8_t* message, size_t length, uint16_t id,
                                       uint16_t sequence, bool checkId = true);
// The same for an ICMPv6 message (an IPv6 socket never puts the IP header in front).
std::optional<int> ClassifyIcmp6Message(const uint8_t* message, size_t length, uint16_t id,
                                        uint16_t sequence, bool checkId = true);

// The ICMP message inside a packet from a raw socket, which puts the IP header in front:
// moves message and length past the header. False for a packet too short for an IP header
// or for the header length it announces.
bool SkipIpHeader(const uint8_t*& message, size_t& length);

// The outcome of one echo: how many replies came (0 or 1) and the status code.
struct EchoResult {
  int replies = 0;
  int status = icmp_status::kTimedOut;
  // False when the request never left this machine (no route to that network, no
  // address of that family here): another address of the host may still answer.
  bool sent = true;
  // Why no echo could be sent at all (this user may open no ICMP socket and the system's
  // ping cannot help either); empty otherwise. The status is then General failure.
  std::string failure;
};

// One ICMP echo, the system's part of the ping check. It uses an unprivileged ICMP
// datagram socket where the system allows it (the group range in
// /proc/sys/net/ipv4/ping_group_range covers us; it governs ICMPv6 too), else a raw
// ICMP socket.
class IcmpEcho {
 public:
  // An echo over IPv4 (AF_INET) or IPv6 (AF_INET6). Throws SentrelError("Unable to get
  // ping handle") when no ICMP socket of that family can be had.
  explicit IcmpEcho(int family = AF_INET);
  ~IcmpEcho();
  IcmpEcho(const IcmpEcho&) = delete;
  IcmpEcho& operator=(const IcmpEcho&) = delete;

  bool IsRaw() const { return raw_; }

  // Sends one echo request carrying data with this time to live and waits for its
  // answer up to timeoutMs. The task suspends meanwhile, so other work goes on; an error
  // message for the request (unreachable, time exceeded, ...) ends it at once.
  // The address must be of the socket's family; for IPv6 the time to live is the hop
  // limit.
  Task<EchoResult> Echo(IpAddress address, std::string data, int ttl, int timeoutMs);
  Task<EchoResult> Echo(in_addr address, std::string data, int ttl, int timeoutMs) {
    return Echo(IpAddress(address), std::move(data), ttl, timeoutMs);
  }

 private:
  // Reads everything waiting; sets result_ and done_ when the answer is among it.
  void ReadAnswers();
  void ReadErrorQueue();

  int fd_ = -1;
  int family_ = AF_INET;
  bool raw_ = false;
  uint16_t id_ = 0;
  uint16_t sequence_ = 0;
  bool done_ = false;
  EchoResult result_;
};

// The system's ping program, for a user that may open no ICMP socket of its own: Debian's
// ping carries the capability it needs. One echo of dataSize bytes with this time to live
// (hop limit), run without a shell as a child the task waits for, killed when timeoutMs
// has passed. Its output tells the outcome (ParsePingOutput).
//
// program: the ping program to run; empty means "ping" found on $PATH.
Task<EchoResult> SystemPingEcho(IpAddress address, int dataSize, int ttl, int timeoutMs,
                                std::string program = {});
// The arguments SystemPingEcho runs the program with (after the program itself).
std::vector<std::string> SystemPingArguments(const IpAddress& address, int dataSize, int ttl,
                                             int timeoutMs);
// What the ping program's output and wait status say: a reply, an ICMP error it reports
// ("Destination Host Unreachable", "Time to live exceeded", ...), or no answer. A ping
// that could not send at all (no permission, no socket) gives a failure with its words.
// waitStatus: as waitpid gives it, or nothing when the program had to be stopped at the
// time limit.
EchoResult ParsePingOutput(const std::string& output, std::optional<int> waitStatus);

}  // namespace sentrel
