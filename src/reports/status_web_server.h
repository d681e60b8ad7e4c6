#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "reports/status_page.h"

namespace sentrel {

class TServerList;

// The built-in status web server: a listening socket on the program's loop that answers
// every request with the status page. Nothing here runs on another thread; requests are
// answered between any two messages, also while a scan pass pumps the loop.
//
// A connection lives through three phases: waiting for its first bytes, sending the
// reply (write-watched until the socket has taken every byte, however little it takes
// per send), and a short lingering phase in which our side is shut down for writing and
// whatever the client still sends is read and dropped until it closes. Closing with
// unread bytes would make the kernel reset the connection and throw away the part of
// the reply still on its way.
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

  // Receives the text of the web server's status panel.
  using PanelSink = std::function<void(const std::string& text)>;

  StatusWebServer(TServerList& servers, PanelSink panel);
  ~StatusWebServer();
  StatusWebServer(const StatusWebServer&) = delete;
  StatusWebServer& operator=(const StatusWebServer&) = delete;

  // The ports StartWebserver tries, in order (80, 8080, 8081 unless told otherwise).
  // Port 0 takes any free port, for tests.
  void SetPorts(std::vector<int> ports) { ports_ = std::move(ports); }
  const std::vector<int>& Ports() const { return ports_; }
  void SetAddresses(StatusPageAddresses addresses) { addresses_ = std::move(addresses); }
  const StatusPageAddresses& Addresses() const { return addresses_; }

  // The address to listen on: empty for all interfaces (IPv4), else a numeric IPv4 or
  // IPv6 address of this machine, so the page can stay behind a reverse proxy.
  void SetBindAddress(std::string address) { bindAddress_ = std::move(address); }
  const std::string& BindAddress() const { return bindAddress_; }
  // Whether the text is an address SetBindAddress takes (never a name: no lookup).
  static bool IsBindAddress(const std::string& address);

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

  // The page as a request gets it now.
  std::string GetStatusHTML();

  // Answered requests since the program started; stopping and starting keeps counting.
  int32_t requestCount = 0;

  size_t ConnectionCount() const { return connections_.size(); }
  // The failure text of the status panel for the ports given.
  static std::string CouldNotStartText(const std::vector<int>& ports);

 private:
  enum class Phase { Waiting, Sending, Lingering };
  struct Connection {
    uint64_t id;
    int fd;
    Phase phase = Phase::Waiting;
    std::string reply;
    size_t sent = 0;
    EventLoop::TimerId timer = 0;
  };

  // Listens on the port; on failure returns false with the system's reason.
  bool Open(int port, std::string& reason);
  void OnAcceptable();
  void Admit(int fd);
  void OnConnectionEvent(uint64_t id, uint32_t events);
  // Data has arrived on a waiting connection: count it, answer it.
  void ServerSocketClientRead(Connection& c);
  // Sends what the socket takes; throws (with the connection closed) on a send error.
  void SendMore(Connection& c);
  void BeginLingering(Connection& c);
  void DrainAndMaybeClose(Connection& c);
  void ArmTimer(Connection& c, int64_t ms);
  void Remove(uint64_t id);
  // Closes the oldest connection that only waits (a finished one first); false when
  // every connection is busy sending.
  bool EvictOne();
  void PauseAccepting(int64_t retryMs);
  void ResumeAccepting();
  Connection* Find(uint64_t id);
  // Reply buffers are handed from one request to the next: a page of some hundred
  // kilobytes would otherwise cost a fresh allocation, and page faults, every time.
  std::string TakeBuffer();
  void GiveBack(std::string& buffer);

  TServerList& servers_;
  PanelSink panel_;
  std::vector<int> ports_{80, 8080, 8081};
  std::string bindAddress_;
  std::string startFailure_;
  StatusPageAddresses addresses_;
  int listenFd_ = -1;
  int port_ = 0;
  bool acceptPaused_ = false;
  EventLoop::TimerId resumeTimer_ = 0;
  uint64_t nextId_ = 1;
  std::string spare_;
  HistoryRowsCache historyCache_;
  // Keyed by acceptance order, so the first entry is the oldest connection.
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace sentrel
