#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "reports/status_exports.h"
#include "reports/status_page.h"

namespace sentrel {

class TServerList;
class AvailabilitySource;
struct StatusRequest;

// Bytes that many replies share and nobody changes: the page's body, the metrics, the
// JSON. A large one is also put into a sealed memory file, which the kernel sends to a
// socket without copying it first (sendfile); a reply copies only its own few hundred
// bytes of headers. Made anew, never changed: a send still under way keeps the old one.
class SharedReplyBody {
 public:
  explicit SharedReplyBody(std::string bytes);
  ~SharedReplyBody();
  SharedReplyBody(const SharedReplyBody&) = delete;
  SharedReplyBody& operator=(const SharedReplyBody&) = delete;
  const std::string& Bytes() const { return bytes_; }
  // The memory file, or -1 when the body is small or none could be made.
  int Fd() const { return fd_; }
  // The memory it holds: the bytes, and the memory file's copy of them.
  size_t Footprint() const { return bytes_.capacity() + (fd_ >= 0 ? bytes_.size() : 0); }
  // Made later than every body with a smaller number.
  uint64_t Serial() const { return serial_; }
  // What all bodies alive now hold, together (tests and diagnostics).
  static size_t LiveFootprint();

 private:
  std::string bytes_;
  int fd_ = -1;
  uint64_t serial_;
};

// The built-in status web server: a listening socket on the program's loop that answers
// every request with the status page, and a few paths with something else: /metrics
// (Prometheus), /status.json, the badges under /badge/, and the page's own logo and alarm
// sound. Nothing here runs
// on another thread; requests are answered between any two messages, also while a scan
// pass waits for its checks.
//
// The page is kept made, not made per request: its body (everything below the clock
// line) is made again when the model has changed, at most once a second, and every
// request gets a copy of the same bytes. Only the few hundred bytes of the head, which
// carry the clock, are made anew each second. So a thousand browsers cost the checks no
// more than one.
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
  // The page, the metrics and the JSON are made again at most this often.
  static constexpr int64_t kRefreshMs = 1000;
  // After a request for the page, the page is kept up to date from a timer for this
  // long (browsers reload it every 60 seconds). Without readers it is left alone, and
  // the first request after such a quiet time brings it up to date itself.
  static constexpr int64_t kWarmMs = 120000;
  // While checks are under way, answering requests may take at most this share of the
  // time (measured over windows of kShareWindowMs); past it, new connections wait in the
  // kernel's queue until the window ends. The checks come first: a crowd of browsers or
  // a load test makes pages slower, never the checks. Without checks there is no limit.
  static constexpr int64_t kShareWindowMs = 100;
  static constexpr int64_t kShareWhileCheckingMs = 5;

  // Receives the text of the web server's status panel.
  using PanelSink = std::function<void(const std::string& text)>;
  // Asked for the program's counters when the metrics or the JSON are made.
  using CountersSource = std::function<ProgramCounters()>;

  StatusWebServer(TServerList& servers, PanelSink panel);
  ~StatusWebServer();
  StatusWebServer(const StatusWebServer&) = delete;
  StatusWebServer& operator=(const StatusWebServer&) = delete;

  // The ports StartWebserver tries, in order (80, 8080, 8081 unless told otherwise).
  // Port 0 takes any free port, for tests.
  void SetPorts(std::vector<int> ports) { ports_ = std::move(ports); }
  const std::vector<int>& Ports() const { return ports_; }
  void SetAddresses(StatusPageAddresses addresses);
  const StatusPageAddresses& Addresses() const { return addresses_; }
  void SetCountersSource(CountersSource source) { counters_ = std::move(source); }
  // Where the metrics, the JSON and the badges take the monitors' availability from.
  void SetAvailabilitySource(AvailabilitySource* source) { availability_ = source; }

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
  std::string GetStatusHTML();
  // How often the page's body has been made since the server was created.
  uint64_t PageBuilds() const { return pageBuilds_; }

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
    // The reply is three pieces sent as one: headers and whatever belongs to this
    // request alone, the shared bytes, and a short tail (the gzip trailer).
    std::string prefix;
    std::shared_ptr<const SharedReplyBody> owner;  // keeps body alive; empty for built-in files
    std::string_view body;
    int bodyFd = -1;  // sent with sendfile when there is one
    // Whether the loop watches the connection: only once it has to wait for something.
    bool watched = false;
    std::string suffix;
    size_t sent = 0;
    // The request was read to its end: close as soon as the reply is out.
    bool closeWhenSent = false;
    EventLoop::TimerId timer = 0;
  };
  // The kept body of the page and what is made from it.
  struct PageCache {
    bool valid = false;
    uint64_t fingerprint = 0;
    int64_t builtMs = 0;
    bool alarm = false;
    std::shared_ptr<const SharedReplyBody> body;
    uint32_t bodyCrc = 0;
    std::shared_ptr<const SharedReplyBody> gzipBody;  // deflated, the last piece
    // The head of one second for one body.
    uint64_t headBuild = 0;
    std::string headTime;
    int64_t headSecond = -1;
    std::string head;
    std::string gzipHead;  // deflated head, a piece that lets the body follow
    uint32_t headCrc = 0;
  };
  // The metrics or the JSON, kept for a second.
  struct TextCache {
    bool valid = false;
    int64_t builtMs = 0;
    std::shared_ptr<const SharedReplyBody> text;
    std::shared_ptr<const SharedReplyBody> gzip;
  };

  // Listens on the port; on failure returns false with the system's reason.
  bool Open(int port, std::string& reason);
  bool OpenSocket(int family, int port, std::string& reason, int& err);
  void OnAcceptable();
  void Admit(int fd);
  void OnConnectionEvent(uint64_t id, uint32_t events);
  // Data has arrived on a waiting connection: count it, answer it.
  void ServerSocketClientRead(Connection& c);
  // Fills the connection's reply for the request.
  void PrepareReply(Connection& c, const StatusRequest& request);
  void PreparePage(Connection& c, bool gzip);
  void PrepareText(Connection& c, TextCache& cache, bool gzip, std::string_view contentType,
                   std::string (StatusWebServer::*build)());
  void PrepareFile(Connection& c, std::string_view contentType, std::string_view bytes);
  void PrepareBadge(Connection& c, std::string_view path);
  void SetBody(Connection& c, const std::shared_ptr<const SharedReplyBody>& body);
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
  // Whether the body is one of the current versions, which every new reply shares.
  bool IsCurrent(const SharedReplyBody* body) const;
  // Closes the readers of the oldest superseded versions while those hold more than
  // kPinnedBudget.
  void KeepPinnedInBudget();

  // The page body is made again when the model's fingerprint has changed.
  void RefreshPage(bool force);
  // The head of the current second for the current body.
  void RefreshHead();
  void EnsureGzipBody();
  // Keeps the page up to date once a second while someone reads it.
  void ArmPageTimer();
  void OnPageTimer();
  std::string BuildMetrics();
  std::string BuildJson();
  ProgramCounters ProgramFacts() const;
  // Time spent answering, for the share above.
  class WorkTimer;
  // Whether this window's share is used up; starts a new window when the last is over.
  bool ShareUsedUp();

  TServerList& servers_;
  PanelSink panel_;
  CountersSource counters_;
  AvailabilitySource* availability_ = nullptr;
  std::vector<int> ports_{80, 8080, 8081};
  std::string bindAddress_;
  std::string startFailure_;
  StatusPageAddresses addresses_;
  int listenFd_ = -1;
  int port_ = 0;
  bool listenIpv6_ = false;
  bool acceptPaused_ = false;
  EventLoop::TimerId resumeTimer_ = 0;
  uint64_t nextId_ = 1;
  HistoryRowsCache historyCache_;
  PageCache page_;
  uint64_t pageBuilds_ = 0;
  EventLoop::TimerId pageTimer_ = 0;
  int64_t lastPageRequestMs_ = 0;
  int64_t lastGzipRequestMs_ = 0;
  bool gzipAsked_ = false;
  int64_t shareWindowStartNs_ = 0;
  int64_t workNs_ = 0;
  bool checksUnderWay_ = false;
  uint64_t checksSeen_ = 0;
  TextCache metrics_;
  TextCache json_;
  uint64_t pinnedClosed_ = 0;
  WebCounters web_;
  // Keyed by acceptance order, so the first entry is the oldest connection.
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace sentrel
