#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/icmp_echo.h"
#include "platform/task.h"

namespace sentrel {

class TInfiniScan;
class TPort;

// The ping object of one check: the echo settings, the target and the outcome of the
// last echo, plus the monitor it serves. It owns the ICMP socket; nothing of it outlives
// the check.
class tmyicmp {
 public:
  // 45 characters of greeting, padded with blanks to the 56 data bytes of every echo.
  static constexpr char kGreeting[] = "Sentrel network monitor checks this host now.";
  static constexpr int kDataSize = 56;

  // Opens the ICMP socket; throws SentrelError "Unable to get ping handle".
  tmyicmp() = default;

  // Sets the host name or dotted address to ping; a new text must be resolved again.
  void SetAddress(const std::string& text);
  // Resolves the target if needed, sends one echo and reports through the hooks: the
  // message hook for a target that cannot be resolved, the reply hook with the number of
  // replies otherwise. Returns the number of replies.
  Task<int> Ping();
  // The echo data: the greeting over 56 blanks.
  static std::string EchoData();

  std::string address;                    // target text
  in_addr_t targetAddress = INADDR_NONE;  // network byte order
  std::string hostName;
  std::string hostIp;
  int size = kDataSize;
  int timeout = 4000;
  int ttl = 64;
  int flags = 0;
  int lastError = 0;
  bool resolved = false;
  std::function<void(const std::string& message)> onDisplay;
  std::function<void()> onEchoRequest;
  std::function<void(int replies)> onEchoReply;

  TPort* monitor = nullptr;
  int64_t startMs = 0;

 private:
  Task<void> Resolve();
  IcmpEcho echo_;
};

// One ping check of the monitor, to its verdict. The task suspends while it waits for
// the name and the reply.
Task<void> RunPingCheck(TInfiniScan& scan, TPort& monitor);

}  // namespace sentrel
