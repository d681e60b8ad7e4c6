#include "scan/ping_check.h"

#include <arpa/inet.h>

#include <cstring>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/name_lookup.h"
#include "scan/infini_scan.h"

namespace sentrel {

static_assert(sizeof(tmyicmp::kGreeting) - 1 == 45, "the greeting has 45 characters");

std::string tmyicmp::EchoData() {
  std::string data(kDataSize, ' ');
  std::memcpy(data.data(), kGreeting, std::min<size_t>(sizeof kGreeting - 1, kDataSize));
  return data;
}

void tmyicmp::SetAddress(const std::string& text) {
  if (text == address) return;
  address = text;
  resolved = false;
  targetAddress = INADDR_NONE;
}

Task<void> tmyicmp::Resolve() {
  in_addr a{};
  if (ParseDottedAddress(address, &a) && a.s_addr != INADDR_NONE) {
    targetAddress = a.s_addr;
    hostName = address;
  } else {
    // The lookup suspends the check; other work goes on meanwhile.
    LookupResult found = co_await Lookup(address);
    if (found.error != 0) {
      lastError = found.error;
      if (onDisplay) onDisplay("Unable to resolve " + address);
      co_return;
    }
    targetAddress = found.address.s_addr;
    hostName = address;
  }
  char text[INET_ADDRSTRLEN];
  in_addr t{};
  t.s_addr = targetAddress;
  inet_ntop(AF_INET, &t, text, sizeof text);
  hostIp = text;
  resolved = true;
}

Task<int> tmyicmp::Ping() {
  lastError = 0;
  if (!resolved) co_await Resolve();
  if (targetAddress == INADDR_NONE) {
    lastError = icmp_status::kBadDestination;
    if (onDisplay) onDisplay("Invalid host address");
    co_return 0;
  }
  if (onEchoRequest) onEchoRequest();
  in_addr target{};
  target.s_addr = targetAddress;
  EchoResult r = co_await echo_.Echo(target, EchoData(), ttl, timeout);
  lastError = r.status;
  if (onEchoReply) onEchoReply(r.replies);
  co_return r.replies;
}

Task<void> RunPingCheck(TInfiniScan& scan, TPort& monitor) {
  TServer& server = *monitor.server;
  LastActivity = "DoAping " + server.name;
  auto monitorAlive = monitor.Watch();
  auto serverAlive = server.Watch();

  tmyicmp ping;
  ping.startMs = CurrentClock().MonotonicMs();
  ping.timeout = 10000;
  ping.monitor = &monitor;
  ping.onDisplay = [&](const std::string& message) {
    if (!serverAlive.expired()) scan.PingDisplay(server, message);
  };
  ping.onEchoRequest = [] {};

  auto verdict = [&](bool success) {
    // While the check waited for the reply a command may have deleted the monitor: then
    // there is nobody left to judge.
    if (monitorAlive.expired()) return;
    const int64_t ms = CurrentClock().MonotonicMs() - ping.startMs;
    LastActivity = "PingEchoReply " + server.name;
    scan.PingVerdict(monitor, success, static_cast<int32_t>(ms), pingStatusText(ping.lastError));
  };
  bool replied = false;
  ping.onEchoReply = [&](int replies) {
    replied = true;
    verdict(replies > 0);
  };
  ping.SetAddress(server.Address());
  co_await ping.Ping();
  // A target that cannot be resolved gets no reply hook; it still counts as a failed
  // check ("Bad Destination"), or the monitor would keep its old colour for a host that
  // cannot be reached.
  if (!replied) verdict(false);
}

}  // namespace sentrel
