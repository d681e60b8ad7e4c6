#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sentrel::test {

// A socket of the given type bound to 127.0.0.1 (family AF_INET) or ::1 (AF_INET6) on a
// port the kernel picks, or on *port when it is not 0; the port goes to *port. Throws
// when the socket cannot be made or bound.
int BindLoopback(int type, uint16_t* port, int family = AF_INET);

// Whether this machine has IPv6 on its loopback interface (a socket can listen on ::1).
// When it has not, why not; the IPv6 tests then skip with that reason.
bool LoopbackIpv6(std::string* why);
// The loopback address of a family as it stands in a URL: "127.0.0.1" or "[::1]".
std::string LoopbackUrlHost(int family);

// A scripted TCP server on 127.0.0.1, port chosen by the system, served by the current
// event loop (so it runs on the test's one thread and its fake clock). Each connection
// collects what the client sends; once the request is complete (by default: a blank
// line ended it) the script decides the answer.
class LoopbackServer {
 public:
  struct Reply {
    std::string bytes;       // sent first
    size_t streamBytes = 0;  // then this many more filler bytes ('x'), as fast as taken
    std::string tail;        // and then these
    bool close = true;       // close once everything is sent
    bool silent = false;     // send nothing, keep the connection open

    static Reply Bytes(std::string b) {
      Reply r;
      r.bytes = std::move(b);
      return r;
    }
    static Reply Silent() {
      Reply r;
      r.silent = true;
      return r;
    }
    static Reply Stream(std::string head, size_t fillerBytes, std::string tailBytes) {
      Reply r;
      r.bytes = std::move(head);
      r.streamBytes = fillerBytes;
      r.tail = std::move(tailBytes);
      return r;
    }
  };
  struct Connection {
    std::string received;
    bool peerClosed = false;  // the client closed its side (read returned 0)
    bool reset = false;       // the connection broke (reset)
    bool answered = false;
  };
  using Script = std::function<Reply(const std::string& request)>;

  explicit LoopbackServer(Script script, int family = AF_INET);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path ("http://[::1]:<port>" for IPv6).
  std::string Url(const std::string& path = "/") const;
  // Decides when a request is complete; the default waits for CR LF CR LF.
  void SetComplete(std::function<bool(const std::string&)> complete) {
    complete_ = std::move(complete);
  }
  const std::vector<std::shared_ptr<Connection>>& Connections() const { return log_; }
  // The requests received so far, in order of connection.
  std::vector<std::string> Requests() const;

 private:
  struct Peer;
  void Accept();
  void OnPeer(const std::shared_ptr<Peer>& peer, uint32_t events);
  void Drop(const std::shared_ptr<Peer>& peer);

  int listenFd_ = -1;
  int family_ = AF_INET;
  uint16_t port_ = 0;
  Script script_;
  std::function<bool(const std::string&)> complete_;
  std::vector<std::shared_ptr<Peer>> peers_;
  std::vector<std::shared_ptr<Connection>> log_;
};

// A port on 127.0.0.1 (or ::1) that refuses connections: bound (so nobody else takes
// it) but not listening. port 0: one the kernel picks.
class ClosedPort {
 public:
  explicit ClosedPort(int family = AF_INET, uint16_t port = 0);
  ~ClosedPort();
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A listening port on 127.0.0.1 whose accept queue is full, so the system drops every
// further handshake and a client's connect stays pending.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::vector<int> fillers_;
  uint16_t port_ = 0;
};

// Serves the current loop until done() holds or realMs of real time have passed, and
// returns done(). For waits on real work (lookups, other processes) with the fake
// clock's auto-advance switched off, which would otherwise end a wait early.
bool WaitReal(const std::function<bool()>& done, int realMs = 5000);

}  // namespace sentrel::test
