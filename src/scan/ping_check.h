#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/icmp_echo.h"
#include "platform/task.h"

namespace sentrel {

class Scanner;
class Monitor;

// What the ping checks of one run share: whether the operator has been told that this
// machine lets the program send no echo at all.
struct PingRunState {
  bool toldNoEcho = false;
  // ... and that the system's ping program sends the echoes instead, and why.
  bool toldSystemPing = false;
};

// The ping object of one check: the echo settings, the target and the outcome of the
// last echo, plus the monitor it serves. It owns the ICMP sockets; nothing of it outlives
// the check.
class Pinger {
 public:
  // 45 characters of greeting, padded with blanks to the 56 data bytes of every echo.
  static constexpr char kGreeting[] = "Sentrel network monitor checks this host now.";
  static constexpr int kDataSize = 56;

  // The ICMP socket of each family is opened when the first echo of that family goes
  // out. Where this user may open none, the system's ping program sends the echo.
  Pinger() = default;

  // Sets the host name or address to ping; a new text must be resolved again.
  void SetAddress(const std::string& text);
  // Resolves the target if needed, sends one echo and reports through the hooks: the
  // message hook for a target that cannot be resolved, the reply hook with the number of
  // replies otherwise. A name with several addresses is pinged at the first one, in the
  // resolver's order; when the request cannot even leave for it (no route to that
  // network, no address of that family here) the next is tried, within the one time
  // limit. Returns the number of replies.
  Task<int> Ping();
  // The echo data: the greeting over 56 blanks.
  static std::string EchoData();

  std::string address;             // target text
  std::vector<IpAddress> targets;  // its addresses in order; empty while unresolved
  std::string hostName;
  std::string hostIp;  // the address pinged last, in its short form
  int size = kDataSize;
  int timeout = 4000;
  int ttl = 64;
  int flags = 0;
  int lastError = 0;
  // Why no echo could be sent at all (no ICMP socket, no usable ping program), or empty.
  std::string failure;
  // The name could not be looked up within the echo's time.
  bool lookupTimedOut = false;
  bool resolved = false;
  // The ping program used where no ICMP socket is allowed; empty: "ping" on the PATH.
  std::string pingProgram;
  // Whether the last echo went out through that program.
  bool usedSystemPing = false;
  std::function<void(const std::string& message)> onDisplay;
  std::function<void()> onEchoRequest;
  std::function<void(int replies)> onEchoReply;

  Monitor* monitor = nullptr;
  int64_t startMs = 0;

 private:
  // Looks the target up, to end by deadlineMs (monotonic).
  Task<void> Resolve(int64_t deadlineMs);
  // One echo to one address: over our own ICMP socket of its family, else through the
  // system's ping.
  Task<EchoResult> EchoTo(IpAddress target, int timeoutMs);
  std::unique_ptr<IcmpEcho> echo4_;
  std::unique_ptr<IcmpEcho> echo6_;
  bool noSocket4_ = false;
  bool noSocket6_ = false;
};

// The record text of a ping that could not be sent at all, and the one line that tells
// the operator how to mend it.
std::string NoEchoRecordText(const std::string& failure);
std::string NoEchoMessage(const std::string& failure);
// The line that tells the operator, once per run, that the system's ping program sends
// the echoes, and why.
std::string SystemPingMessage(const std::string& program);

// One ping check of the monitor, to its verdict. The task suspends while it waits for
// the name and the reply.
Task<void> RunPingCheck(Scanner& scan, Monitor& monitor,
                        std::shared_ptr<PingRunState> run = std::make_shared<PingRunState>());

}  // namespace sentrel
