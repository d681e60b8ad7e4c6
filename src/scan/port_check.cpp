#include "scan/port_check.h"

#include <memory>

#include "model/last_activity.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/awaitables.h"
#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/name_lookup.h"
#include "platform/socket_errors.h"
#include "platform/tcp_socket.h"
#include "scan/infini_scan.h"

namespace sentrel {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// The socket's error handler: one more failure step, in its socket-error form.
void OnWSocketError(TInfiniScan& scan, TPort& monitor, int errorCode) {
  LastActivity = "OnWSocketError " + monitor.server->name;
  scan.PortSocketError(monitor, errorCode);
}

}  // namespace

Task<void> RunPortCheck(TInfiniScan& scan, TPort& monitor) {
  LastActivity = "DoAPort " + monitor.server->name;
  auto alive = monitor.Watch();
  EventLoop& loop = CurrentLoop();
  const std::string address = Trim(monitor.server->Address());
  const uint16_t port = static_cast<uint16_t>(monitor.port);

  // Starting the connection: a failure here goes to the errors log as always, and then
  // counts as a failed check with the socket's error, so that a host that cannot be
  // reached never keeps a green light.
  auto startFailed = [&](const std::string& message, int code) {
    loop.ReportError(message);
    if (!alive.expired()) OnWSocketError(scan, monitor, code);
  };
  in_addr addr{};
  if (!ParseDottedAddress(address, &addr)) {
    LookupResult found = co_await Lookup(address);
    if (alive.expired()) co_return;
    if (found.error != 0) {
      startFailed("SetAddr: Cannot convert host address '" + address + "'", wsa::kHostNotFound);
      co_return;
    }
    addr = found.address;
  }

  auto socket = std::make_unique<TcpSocket>();
  Trigger outcome;
  socket->onConnected = [&outcome](int) { outcome.Fire(); };
  try {
    socket->Connect(addr, port);
  } catch (const SystemError& e) {
    // Out of descriptors or buffers: our own shortage says nothing about the server.
    // The errors log tells it, the colour stays, and the next due check tries again.
    if (e.WsaCode() == 10024 || e.WsaCode() == 10055) {
      loop.ReportError(e.what());
      co_return;
    }
    socket.reset();
    startFailed(e.what(), e.WsaCode());
    co_return;
  }

  // The check's own time runs from here: the connection, or its refusal when that
  // arrives first, or the ten seconds.
  const int64_t start = CurrentClock().MonotonicMs();
  co_await outcome.Wait(start + kPortWaitMs);
  if (alive.expired()) co_return;
  LastActivity = "DoAPort " + monitor.server->name;
  const int64_t ms = CurrentClock().MonotonicMs() - start;
  const bool connected = socket->state() == TcpSocket::State::Connected;
  scan.PortVerdict(monitor, connected, static_cast<int32_t>(ms));
  if (alive.expired()) co_return;

  // The probe. On a socket that never connected the send fails at once with 10057, and
  // the error handler applies the failure step a second time.
  int error = socket->Send(std::string_view(kPortProbe, sizeof kPortProbe - 1));
  if (error != 0) OnWSocketError(scan, monitor, error);
  socket->Close();
}

}  // namespace sentrel
