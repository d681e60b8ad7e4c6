#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "reports/status_replies.h"

namespace sentrel {

class ServerList;
class AvailabilitySource;

// The built-in status web server: a listening socket on the program's loop, its
// connections and what they may cost; what a reply holds is StatusReplies' business.
// Nothing here runs on another thread; requests are answered between any two messages,
// also while a scan pass waits for its checks.
//
// A connection lives through three phases: waiting for its first bytes, sending the
// reply (write-watched until the socket has taken every byte, however little it takes
// per send), and, when the request may not have been read to its end, a short lingering
// phase in which our side is shut down for writing and whatever the client still sends
// is read and dropped until it closes. Closing with unread bytes would make the kernel
// reset the connection and throw away the part of the reply still on its way.
class StatusWebServer {
 public:
  // A connection that sends nothing for this long is closed.
  static constexpr int64_t kIdleLimitMs = 5000;
  // A reply that makes no progress for this long is given up.
  static constexpr int64_t kStallLimitMs = 60000;
  // How long a finished connection waits for the client to close.
  static constexpr int64_t kLingerMs = 5000;
  // Open connections at most; at the cap the oldest idle one makes room for a new one.
  static constexpr size_t kMaxConnections = 1024;
  // Replies share the current page, metrics and JSON; a reply still being sent keeps the
  // version it began with. Superseded versions kept by slow readers may hold this much
  // memory together; past it, the readers of the oldest are closed until it fits.
  static constexpr size_t kPinnedBudget = 64u * 1024u * 1024u;
  static constexpr int64_t kRefreshMs = StatusReplies::kRefreshMs;
  static constexpr int64_t kWarmMs = StatusReplies::kWarmMs;
  // While checks are under way, answering requests may take at most this share of the
  // time (measured over windows of kShareWindowMs); past it, new connections wait in the
  // kernel's queue until the window ends. The checks come first: a crowd of browsers or
  // a load test makes pages slower, never the checks. Without checks there is no limit.
  static constexpr int64_t kShareWindowMs = 100;
  static constexpr int64_t kShareWhileCheckingMs = 5;

  // Receives the text of the web server's status panel.
  using PanelSink = std::function<void(const std::string& text)>;
  using CountersSource = StatusReplies::CountersSource;

  StatusWebServer(ServerList& servers, PanelSink panel);
  ~StatusWebServer();
  StatusWebServer(const StatusWebServer&) = delete;
  StatusWebServer& operator=(const StatusWebServer&) = delete;

  // The ports StartWebserver tries, in order (80, 8080, 8081 unless told otherwise).
  // Port 0 takes any free port, for tests.
  void SetPorts(std::vector<int> ports) { ports_ = std::move(ports); }
  const std::vector<int>& Ports() const { return ports_; }
  void SetAddresses(StatusPageAddresses addresses) { replies_.SetAddresses(std::move(addresses)); }
  const StatusPageAddresses& Addresses() const { return replies_.Addresses(); }
  void SetCountersSource(CountersSource source) { replies_.SetCountersSource(std::move(source)); }
  // Where the metrics, the JSON and the badges take the monitors' availability from.
  void SetAvailabilitySource(AvailabilitySource* source) { replies_.SetAvailabilitySource(source); }

  // The address to listen on: empty for all interfaces of both families (one socket
  // that takes IPv6 and IPv4, or IPv4 alone on a machine without IPv6), else a numeric
  // IPv4 or IPv6 address of this machine, so the page can stay behind a reverse proxy.
  // The address is kept in its normal short form ("::1" for "0:0:0:0:0:0:0:1").
  void SetBindAddress(std::string address);
  const std::string& BindAddress() const { return bindAddress_; }
  // Whether the text is an address SetBindAddress takes (never a name: no lookup).
  static bool IsBindAddress(const std::string& address);
  // The address in its normal short form, or "" when it is not an IP address.
  static std::string NormalAddress(const std::string& address);

  // Opens the listening socket, trying the ports in order, and reports the outcome in
  // the status panel.
  void StartWebserver();
  // Why the last StartWebserver could not listen, in the system's words, one
  // "port N: reason" per port tried ("port 80: Address already in use; port 8080: ...");
  // empty when it listens.
  const std::string& StartFailure() const { return startFailure_; }
  // Closes the listening socket and every connection.
  void StopWebserver();
  bool Listening() const { return listenFd_ >= 0; }
  // The port listened on (the real one when port 0 was asked for); 0 when stopped.
  int Port() const { return port_; }
  // Whether the socket takes IPv6 (and, without a bind address, IPv4 too).
  bool ListeningOnIpv6() const { return listenIpv6_; }

  // The page as a request for it gets it now (the kept body, the head of this second).
  std::string GetStatusHTML() { return replies_.GetStatusHTML(); }
  // How often the page's body has been made since the server was created.
  uint64_t PageBuilds() const { return replies_.PageBuilds(); }

  // Answered requests since the program started; stopping and starting keeps counting.
  int32_t requestCount = 0;
  const WebCounters& Counters() const { return web_; }

  size_t ConnectionCount() const { return connections_.size(); }
  // The memory of superseded versions that replies under way still keep.
  size_t PinnedBytes() const;
  // Readers closed because they kept too much superseded memory.
  uint64_t PinnedClosed() const { return pinnedClosed_; }
  // The failure text of the status panel for the ports given.
  static std::string CouldNotStartText(const std::vector<int>& ports);

 private:
  enum class Phase { Waiting, Sending, Lingering };
  struct Connection {
    uint64_t id;
    int fd;
    Phase phase = Phase::Waiting;
    StatusReply reply;
    // Whether the loop watches the connection: only once it has to wait for something.
    bool watched = false;
    size_t sent = 0;
    EventLoop::TimerId timer = 0;
  };
  // Listens on the port; on failure returns false with the system's reason.
  bool Open(int port, std::string& reason);
  bool OpenSocket(int family, int port, std::string& reason, int& err);
  void OnAcceptable();
  void Admit(int fd);
  void OnConnectionEvent(uint64_t id, uint32_t events);
  // Data has arrived on a waiting connection: count it, answer it.
  void ServerSocketClientRead(Connection& c);
  // Sends what the socket takes. A client that went away is counted and closed quietly;
  // any other send error throws (with the connection closed).
  void SendMore(Connection& c);
  void Finish(Connection& c);
  void BeginLingering(Connection& c);
  void DrainAndMaybeClose(Connection& c);
  void ArmTimer(Connection& c, int64_t ms);
  // Watches the connection for the events (from the first wait on); on failure the
  // connection is closed and the error passed on.
  void WatchFor(Connection& c, uint32_t events);
  void Remove(uint64_t id);
  // Closes the oldest connection that only waits (a finished one first); false when
  // every connection is busy sending.
  bool EvictOne();
  void PauseAccepting(int64_t retryMs);
  void ResumeAccepting();
  Connection* Find(uint64_t id);
  // Closes the readers of the oldest superseded versions while those hold more than
  // kPinnedBudget.
  void KeepPinnedInBudget();

  // Time spent answering, for the share above.
  class WorkTimer;
  // Whether this window's share is used up; starts a new window when the last is over.
  bool ShareUsedUp();

  PanelSink panel_;
  std::vector<int> ports_{80, 8080, 8081};
  std::string bindAddress_;
  std::string startFailure_;
  int listenFd_ = -1;
  int port_ = 0;
  bool listenIpv6_ = false;
  bool acceptPaused_ = false;
  EventLoop::TimerId resumeTimer_ = 0;
  uint64_t nextId_ = 1;
  int64_t shareWindowStartNs_ = 0;
  int64_t workNs_ = 0;
  bool checksUnderWay_ = false;
  uint64_t checksSeen_ = 0;
  uint64_t pinnedClosed_ = 0;
  WebCounters web_;
  StatusReplies replies_;
  // Keyed by acceptance order, so the first entry is the oldest connection.
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace sentrel
