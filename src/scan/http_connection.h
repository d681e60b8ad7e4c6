#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tcp_socket.h"
#include "platform/tls_client.h"

namespace sentrel {

// The connection one HTTP request travels on: a TCP connection, optionally through a
// proxy's CONNECT tunnel, optionally with TLS on top (https). To the request it looks
// like the plain socket: it is set up, then bytes go in and out, and the server's close
// ends it. Everything is driven by the socket's notifications on the loop; nothing
// blocks and nothing runs on another thread.
//
// Notifications run from the loop, never from inside a call of this class, so a handler
// may close the connection (though not destroy it while a handler of it runs).
class HttpConnection {
 public:
  struct Options {
    // "host:port" for a proxy's CONNECT; empty for a direct connection.
    std::string tunnel;
    // TLS with this host name (SNI and the certificate check); without TLS when empty.
    bool tls = false;
    std::string tlsHost;
  };

  // The set-up has ended: error is 0 and failure empty once requests can go; otherwise
  // error is the Windows Sockets code of a failed TCP connection (failure empty), or
  // failure is the reason the tunnel or TLS failed (error 0). The connection is closed
  // after a failure.
  std::function<void(int error, const std::string& failure)> onConnected;
  // Data may be waiting; read it with Receive.
  std::function<void()> onReadable;
  // Data queued by Send could not be handed over later (a Windows Sockets code).
  std::function<void(int error)> onClosed;

  explicit HttpConnection(Options options);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Starts the TCP connection to the first of the addresses that answers (TcpConnector);
  // throws as TcpSocket::Connect does when no address could even be tried.
  void Connect(const std::vector<IpAddress>& addresses, uint16_t port);
  // The address the connection went to (or the last one tried).
  const IpAddress& Address() const { return connector_.Address(); }
  // Sends request bytes (encrypted under TLS). Returns 0, or the Windows Sockets code
  // when sending failed; the connection is then closed.
  int Send(std::string_view data);
  // Reads response bytes: a count, 0 once the server has ended, or -1 when nothing is
  // waiting now or the connection broke (Closed() then holds, Failure() may say why).
  ssize_t Receive(char* buffer, size_t size);
  void Close();

  bool Closed() const { return phase_ == Phase::Closed; }
  // Why an established TLS connection broke, "" otherwise.
  const std::string& Failure() const { return failure_; }
  // After a TLS set-up: the server certificate's end of validity (seconds since 1970).
  int64_t CertificateNotAfter() const { return tls_ ? tls_->CertificateNotAfter() : 0; }

 private:
  enum class Phase { Connecting, Tunnel, Handshake, Open, Closed };

  void OnTcpConnected(int error);
  void AdoptSocket(std::unique_ptr<TcpSocket> socket);
  void OnTcpReadable();
  void ReadTunnelAnswer();
  void StartTls(std::string_view early);
  void DriveHandshake();
  // Sends what TLS has produced; false when sending failed (the connection is closed).
  bool FlushTls();
  void SetUpFailed(const std::string& failure);
  void SetUpDone();

  Options options_;
  Phase phase_ = Phase::Connecting;
  TcpConnector connector_;
  // A closed socket until the connector hands over the one that connected.
  std::unique_ptr<TcpSocket> socket_;
  std::unique_ptr<TlsClient> tls_;
  std::string tunnelAnswer_;
  std::string failure_;
  // Whether the reader stopped before it had taken everything TLS had decrypted or
  // buffered: the socket will not signal those bytes again.
  bool readerDrained_ = true;
  bool renotifyPosted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sentrel
