#include "scan/ping_check.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/name_lookup.h"
#include "platform/process.h"
#include "scan/scanner.h"

namespace sentrel {

static_assert(sizeof(Pinger::kGreeting) - 1 == 45, "the greeting has 45 characters");

std::string Pinger::EchoData() {
  std::string data(kDataSize, ' ');
  std::memcpy(data.data(), kGreeting, std::min<size_t>(sizeof kGreeting - 1, kDataSize));
  return data;
}

void Pinger::SetAddress(const std::string& text) {
  if (text == address) return;
  address = text;
  resolved = false;
  targets.clear();
}

Task<void> Pinger::Resolve(int64_t deadlineMs) {
  targets.clear();
  lookupTimedOut = false;
  auto literal = IpAddress::Parse(address);
  // All bits set is no host to ping: like inet_addr, take such a text as a name.
  if (literal && !(literal->IsV4() && literal->V4().s_addr == INADDR_NONE)) {
    targets.push_back(*literal);
  } else {
    // The lookup suspends the check; other work goes on meanwhile.
    LookupResult found = co_await Lookup(address, deadlineMs);
    if (found.error != 0) {
      lastError = found.error;
      lookupTimedOut = found.TimedOut();
      if (onDisplay) onDisplay("Unable to resolve " + address);
      co_return;
    }
    targets = std::move(found.addresses);
  }
  hostName = address;
  hostIp = targets.front().ToString();
  resolved = true;
}

Task<EchoResult> Pinger::EchoTo(IpAddress target, int timeoutMs) {
  const bool v6 = !target.IsV4();
  std::unique_ptr<IcmpEcho>& echo = v6 ? echo6_ : echo4_;
  bool& noSocket = v6 ? noSocket6_ : noSocket4_;
  if (!echo && !noSocket) {
    try {
      echo = std::make_unique<IcmpEcho>(v6 ? AF_INET6 : AF_INET);
    } catch (const SentrelError&) {
      // Neither a ping socket nor a raw one for this user: the system's ping may send.
      noSocket = true;
    }
  }
  if (echo) co_return co_await echo->Echo(target, EchoData(), ttl, timeoutMs);
  usedSystemPing = true;
  co_return co_await SystemPingEcho(target, size, ttl, timeoutMs, pingProgram);
}

Task<int> Pinger::Ping() {
  lastError = 0;
  failure.clear();
  usedSystemPing = false;
  // The lookup and the echo share the echo's time.
  const int64_t deadline = CurrentClock().MonotonicMs() + timeout;
  if (!resolved) co_await Resolve(deadline);
  if (targets.empty()) {
    lastError = icmp_status::kBadDestination;
    if (onDisplay) onDisplay("Invalid host address");
    co_return 0;
  }
  if (onEchoRequest) onEchoRequest();
  EchoResult r;
  for (size_t i = 0; i < targets.size(); ++i) {
    hostIp = targets[i].ToString();
    const int64_t left = std::max<int64_t>(0, deadline - CurrentClock().MonotonicMs());
    r = co_await EchoTo(targets[i], static_cast<int>(left));
    // Only a request that never left makes way for the next address.
    if (r.sent || !r.failure.empty()) break;
  }
  lastError = r.status;
  failure = r.failure;
  if (onEchoReply) onEchoReply(r.replies);
  co_return r.replies;
}

std::string NoEchoRecordText(const std::string& failure) {
  return "Unable to get ping handle: " + failure;
}

std::string SystemPingMessage(const std::string& program) {
  return "Ping checks run the system's ping program (" + program +
         ") for every echo: this user may open neither an ICMP ping socket (its group is "
         "outside sysctl net.ipv4.ping_group_range) nor a raw one (that needs CAP_NET_RAW). "
         "Widen the group range to let Sentrel send the echoes itself";
}

std::string NoEchoMessage(const std::string& failure) {
  return "Ping checks cannot send any echo request (" + failure +
         "). Install the ping program (Debian: apt install iputils-ping), or let this user's "
         "group open ping sockets (sysctl net.ipv4.ping_group_range)";
}

Task<void> RunPingCheck(Scanner& scan, Monitor& monitor, std::shared_ptr<PingRunState> run) {
  Server& server = *monitor.server;
  LastActivity = "DoAping " + server.name;
  auto monitorAlive = monitor.Watch();
  auto serverAlive = server.Watch();

  Pinger ping;
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
    // No echo could be sent at all: the monitor shows it as a failure with the reason,
    // and the operator learns once per run how to mend it.
    const bool noEcho = !ping.failure.empty();
    scan.PingVerdict(monitor, success, static_cast<int32_t>(ms),
                     noEcho                ? NoEchoRecordText(ping.failure)
                     : ping.lookupTimedOut ? std::string(kLookupTimedOutText)
                                           : pingStatusText(ping.lastError));
    if (noEcho && !run->toldNoEcho) {
      run->toldNoEcho = true;
      scan.recordText = NoEchoMessage(ping.failure);
      scan.AddMessageLine();
    }
    // The fallback works, but costs a process per echo and hides a setting the operator
    // may want to change: say it once.
    if (!noEcho && ping.usedSystemPing && !run->toldSystemPing) {
      run->toldSystemPing = true;
      const std::string name = ping.pingProgram.empty() ? std::string("ping") : ping.pingProgram;
      scan.recordText = SystemPingMessage(FindProgram(name).value_or(name));
      scan.AddMessageLine();
    }
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
