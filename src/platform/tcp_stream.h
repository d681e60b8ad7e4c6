#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/task.h"

namespace sentrel {

class TlsClient;

// "Error <code> in function <call>" CR LF <socket error text>: how socket failures read
// in the errors log.
std::string SocketCallError(int code, const std::string& call);

// One TCP client connection that a task waits on: connecting, reading, writing and TLS
// on top are each a `co_await` with a deadline on the monotonic clock (negative: none).
// While an operation waits, its task is suspended and the loop serves everything else;
// destroying the task where it waits lets go of the watch, the timer and every socket
// of the connection. Errors are carried as Windows Sockets codes (socket_errors.h).
//
// Every connection has SO_KEEPALIVE and SO_REUSEADDR switched on. Close never shuts the
// connection down: the system closes it gracefully in the background, so data already
// handed over still reaches the peer (ResetOnClose makes the close abortive instead).
class TcpStream {
 public:
  // Connecting: the next address gets its chance after this long without an answer, and
  // at most this many attempts run at once.
  static constexpr int64_t kAttemptDelayMs = 250;
  static constexpr size_t kMaxAttempts = 2;
  // Reads in a row that found data waiting; the one after them lets the loop serve the
  // others first, so one fast peer cannot hold it.
  static constexpr int kReadsPerTurn = 16;

  TcpStream();
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Connects to whichever of a host's addresses answers first, in the resolver's order:
  // the simple form of "Happy Eyeballs" (RFC 8305). The next address is tried as soon as
  // the attempt before it has failed (refused, unreachable), or when it has not answered
  // within kAttemptDelayMs; a third address takes the place of the older attempt. The
  // first connection made wins and the other attempts are closed. An outcome the system
  // knows at once (a loopback refusal) still comes through the loop.
  //
  // True once connected. False with LastError() set to the code of the last failure
  // (CallFailure() holds its text when that was a failed call rather than the peer's
  // answer), or with TimedOut() when the deadline came first. Throws SystemError
  // ("Error <code> in function socket" ...) when not a single address could be tried.
  Task<bool> Connect(std::vector<IpAddress> addresses, uint16_t port, int64_t deadlineMs = -1);

  // The TLS handshake on the connection: the server's certificate is checked against
  // hostName (TlsClient). False with Failure() set when it fails; the connection is then
  // closed. Afterwards Read and Write carry the application data.
  Task<bool> StartTls(std::string hostName, int64_t deadlineMs = -1);

  // Reads up to size bytes: a count, 0 once the peer has ended the stream, -1 when the
  // connection broke (LastError(), or Failure() under TLS) or the deadline passed
  // (TimedOut()).
  Task<ssize_t> Read(char* buffer, size_t size, int64_t deadlineMs = -1);
  // Hands all the data over to the system (encrypted under TLS). False when the
  // connection is not open (10057) or broke (LastError(), Failure()), or the deadline
  // passed; the connection is closed then.
  Task<bool> Write(std::string data, int64_t deadlineMs = -1);
  // Bytes read past what the reader wanted (the server's first bytes behind a proxy's
  // answer): the next reads return them first.
  void Unread(std::string_view bytes);

  // Sends every write at once instead of gathering small ones.
  void NoDelay();
  // Makes the close abortive: the connection is reset, nothing lingers.
  void ResetOnClose();
  void Close();

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The address that answered, or the last one tried.
  const IpAddress& Address() const { return address_; }
  int LastError() const { return lastError_; }
  bool TimedOut() const { return timedOut_; }
  const std::string& CallFailure() const { return callFailure_; }
  // Why the TLS handshake or a TLS connection failed, "" otherwise.
  const std::string& Failure() const { return failure_; }
  // After the handshake: the server certificate's end of validity (seconds since 1970).
  int64_t CertificateNotAfter() const;

 private:
  Task<ssize_t> ReadRaw(char* buffer, size_t size, int64_t deadlineMs);
  Task<bool> WriteRaw(std::string data, int64_t deadlineMs);
  // Sends what TLS has produced; false when sending failed.
  Task<bool> FlushTls(int64_t deadlineMs);
  void CloseFd();

  int fd_ = -1;
  IpAddress address_;
  int lastError_ = 0;
  bool timedOut_ = false;
  bool resetOnClose_ = false;
  int readsInARow_ = 0;
  std::string callFailure_;
  std::string failure_;
  std::string unread_;
  std::unique_ptr<TlsClient> tls_;
  std::unique_ptr<char[]> rawBuffer_;
};

}  // namespace sentrel
