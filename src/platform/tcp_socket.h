#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/ip_address.h"

namespace sentrel {

// One non-blocking TCP client connection on the current event loop, in the manner of an
// asynchronous Windows socket: Connect only starts the connection, and the outcome, data
// and the peer's close arrive later as notifications from the loop. Errors are carried as
// Windows Sockets codes (socket_errors.h).
//
// Every TCP connection has SO_KEEPALIVE and SO_REUSEADDR switched on. Close never shuts
// the connection down: lingering is switched off and the system closes it gracefully in
// the background, so data already handed to the system still reaches the peer.
//
// Notifications run from the loop, never from inside a call of this class, so a handler
// may destroy the socket.
class TcpSocket {
 public:
  enum class State { Closed, Connecting, Connected };

  // The outcome of a connection attempt: 0, or the Windows Sockets code of the failure
  // (the socket is closed again before the handler runs).
  std::function<void(int error)> onConnected;
  // Data is waiting; read it with Receive. Only watched while this handler is set.
  std::function<void()> onReadable;
  // Data queued by Send could not be handed over later because the connection broke
  // (a Windows Sockets code). The socket is closed when the handler runs. A reader finds
  // the peer's close through Receive returning 0.
  std::function<void(int error)> onClosed;

  TcpSocket();
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Starts connecting to address:port (host byte order port). Failures of the calls
  // themselves throw SystemError with the message "Error <code> in function <call>"
  // CR LF <text>, the call named as the program names it ("socket", "setsockopt",
  // "Connect"); WsaCode() carries the code. A refusal or an unreachable host that the
  // system reports at once is delivered through onConnected instead, as it would be for
  // a remote host.
  void Connect(const IpAddress& address, uint16_t port);
  void Connect(in_addr address, uint16_t port) { Connect(IpAddress(address), port); }

  // Hands data to the system, keeping what it cannot take yet and sending that when the
  // socket becomes writable. Returns 0, or the Windows Sockets code when the socket is
  // not connected (10057) or the send failed; the socket is then closed.
  int Send(std::string_view data);
  // Reads up to size bytes. Returns the count, 0 when the peer has closed, -1 when
  // nothing is waiting; on an error returns -1 and closes with LastError() set.
  ssize_t Receive(char* buffer, size_t size);

  // Closes without shutdown; data not yet handed to the system is dropped.
  void Close();

  State state() const { return state_; }
  int LastError() const { return lastError_; }
  int Fd() const { return fd_; }
  // Bytes accepted by Send but not yet handed to the system.
  size_t Pending() const { return out_.size() - outPos_; }

  // Re-evaluates which events to watch, for example after onReadable was set.
  void UpdateWatch();

 private:
  void OnEvent(uint32_t events);
  void FinishConnect(int error);
  void Flush();
  void CloseFd();
  void PostConnected(int error);

  int fd_ = -1;
  State state_ = State::Closed;
  int lastError_ = 0;
  std::string out_;
  size_t outPos_ = 0;
  uint32_t watched_ = 0;
  // Lets notifications posted to the loop find out that the socket is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// "Error <code> in function <call>" CR LF <socket error text>: how socket failures read
// in the errors log.
std::string SocketCallError(int code, const std::string& call);

// Connects to whichever of a host's addresses answers first, in the resolver's order:
// the simple form of "Happy Eyeballs" (RFC 8305). The next address is tried as soon as
// the attempt before it has failed (refused, unreachable), or when it has not answered
// within kAttemptDelayMs. At most two attempts run at once; a third address takes the
// place of the older one. The first connection made wins and the other attempts are
// closed. With one address this is exactly one TcpSocket::Connect.
//
// The outcome arrives through onDone from the loop, never from inside Start.
class TcpConnector {
 public:
  static constexpr int64_t kAttemptDelayMs = 250;
  static constexpr size_t kMaxAttempts = 2;

  // 0: the winning socket is connected (TakeSocket). Otherwise the Windows Sockets code
  // of the last failure; every attempt is closed then.
  std::function<void(int error)> onDone;

  TcpConnector();
  ~TcpConnector();
  TcpConnector(const TcpConnector&) = delete;
  TcpConnector& operator=(const TcpConnector&) = delete;

  // Starts with the first address. Throws as TcpSocket::Connect does when the call fails
  // for every address (an address whose call fails is passed over for the next).
  void Start(std::vector<IpAddress> addresses, uint16_t port);

  bool Connected() const { return winner_ != nullptr; }
  // The connected socket, once; its onConnected is spent, the other handlers are free.
  std::unique_ptr<TcpSocket> TakeSocket();
  // The address that answered, or the last one tried.
  const IpAddress& Address() const { return address_; }
  // When the last failure was a failed call rather than the peer's answer: the call's
  // error text ("Error 10047 in function socket" ...), else empty.
  const std::string& CallFailure() const { return callFailure_; }
  // The Windows Sockets code of the last failure, 0 while there was none.
  int LastError() const { return lastError_; }
  // Closes every attempt; onDone does not run any more.
  void Cancel();

 private:
  struct Attempt {
    std::unique_ptr<TcpSocket> socket;
    IpAddress address;
  };
  // Starts the next address whose call succeeds; false when none is left.
  bool StartNext();
  // StartNext past addresses whose call fails, each failure noted as the last error.
  bool StartFollowing();
  void OnOutcome(TcpSocket* socket, int error);
  void ArmDelay();
  void Finish(int error);

  std::vector<IpAddress> addresses_;
  size_t next_ = 0;
  uint16_t port_ = 0;
  std::vector<Attempt> attempts_;
  std::unique_ptr<TcpSocket> winner_;
  IpAddress address_;
  int lastError_ = 0;
  std::string callFailure_;
  bool done_ = false;
  EventLoop::TimerId delay_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sentrel
