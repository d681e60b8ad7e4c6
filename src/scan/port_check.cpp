#include "scan/port_check.h"

#include <memory>
#include <optional>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/name_lookup.h"
#include "platform/socket_errors.h"
#include "platform/tcp_stream.h"
#include "scan/scanner.h"

namespace sentrel {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// The socket's error handler: one more failure step, in its socket-error form. ms is
// the check's time when the error ends it before any connection (a name that cannot be
// looked up); the socket's own errors come without one.
void OnWSocketError(Scanner& scan, Monitor& monitor, int errorCode, int32_t ms = 0) {
  LastActivity = "OnWSocketError " + monitor.server->name;
  scan.PortSocketError(monitor, errorCode, ms);
}

}  // namespace

Task<void> RunPortCheck(Scanner& scan, Monitor& monitor) {
  LastActivity = "DoAPort " + monitor.server->name;
  auto alive = monitor.Watch();
  EventLoop& loop = CurrentLoop();
  const std::string address = Trim(monitor.server->Address());
  const uint16_t port = static_cast<uint16_t>(monitor.port);

  // The check's own time runs from here: the name's lookup, then the connection or its
  // refusal when that arrives first, all within the ten seconds.
  const int64_t start = CurrentClock().MonotonicMs();
  const int64_t deadline = start + kPortWaitMs;
  auto took = [&] { return static_cast<int32_t>(CurrentClock().MonotonicMs() - start); };

  // Starting the connection: a failure here goes to the errors log as always, and then
  // counts as a failed check with the socket's error, so that a host that cannot be
  // reached never keeps a green light.
  auto startFailed = [&](const std::string& message, int code) {
    loop.ReportError(message);
    if (alive.expired()) return;
    // The check's time so far is its lookup's.
    monitor.lastCheckMs = took();
    OnWSocketError(scan, monitor, code, took());
  };
  std::vector<IpAddress> addresses;
  if (auto literal = IpAddress::Parse(address)) {
    addresses.push_back(*literal);
  } else {
    LookupResult found = co_await Lookup(address, deadline);
    if (alive.expired()) co_return;
    LastActivity = "DoAPort " + monitor.server->name;
    if (found.TimedOut()) {
      // No name server answered in the check's time: a failed check that says so.
      scan.PortVerdict(monitor, false, took(), kLookupTimedOutText);
      co_return;
    }
    if (found.error != 0) {
      startFailed("SetAddr: Cannot convert host address '" + address + "'", wsa::kHostNotFound);
      co_return;
    }
    addresses = std::move(found.addresses);
  }

  // Every address of the name in the resolver's order, the next one as soon as one
  // refuses or stays silent for a moment; the first connection counts.
  TcpStream stream;
  // A failed call (out of descriptors, no such address family here) rather than the
  // server's answer. Out of descriptors or buffers is our own shortage, which says
  // nothing about the server: the errors log tells it, the colour stays, and the next due
  // check tries again.
  auto callFailed = [&](const std::string& message, int code) {
    if (IsOwnShortage(code)) {
      loop.ReportError(message);
      return;
    }
    startFailed(message, code);
  };
  bool connected = false;
  std::optional<SystemError> failedCall;
  try {
    connected = co_await stream.Connect(std::move(addresses), port, deadline);
  } catch (const SystemError& e) {
    failedCall = e;
  }
  if (failedCall) {
    callFailed(failedCall->what(), failedCall->WsaCode());
    co_return;
  }
  if (alive.expired()) co_return;
  LastActivity = "DoAPort " + monitor.server->name;
  if (!connected && !stream.TimedOut() && !stream.CallFailure().empty()) {
    callFailed(stream.CallFailure(), stream.LastError());
    co_return;
  }
  scan.PortVerdict(monitor, connected, took());
  if (alive.expired()) co_return;

  // The probe. On a socket that never connected the send fails at once with 10057, and
  // the error handler applies the failure step a second time.
  int error = wsa::kNotConnected;
  if (connected) {
    const bool sent = co_await stream.Write(std::string(kPortProbe, sizeof kPortProbe - 1), deadline);
    if (alive.expired()) co_return;
    error = sent || stream.TimedOut() ? 0 : stream.LastError();
  }
  if (error != 0) OnWSocketError(scan, monitor, error);
}

}  // namespace sentrel
