#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct ssl_st;

namespace sentrel {

// The client side of one TLS connection (OpenSSL), with no socket of its own: the
// server's bytes are fed in and the bytes for the server are taken out, so the loop keeps
// driving the socket exactly as it does for plain connections, and a test or fuzzer can
// play the server from memory.
//
// The server's certificate is verified against the system's trust store, found at
// OpenSSL's default paths (SSL_CERT_FILE and SSL_CERT_DIR override them), and checked
// against the host name. The name also goes out as SNI unless it is an address.
//
// The trust store is loaded once and shared by every connection. It is loaded again when
// SSL_CERT_FILE or SSL_CERT_DIR change, or when the file or directory in use does.
class TlsClient {
 public:
  enum class Step { Done, WantMore, Failed };

  // A certificate expiring within this many days earns the operator a notice.
  static constexpr int kExpiryNoticeDays = 14;

  // hostName: the name (or the IPv4/IPv6 address) the certificate must carry.
  explicit TlsClient(const std::string& hostName);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Drives the handshake as far as the bytes fed so far allow; the first call produces
  // the client's hello. Done: the server is verified and data may flow. WantMore: feed
  // the server's next bytes (and send what TakeOutput holds first). Failed: Failure()
  // says why; what TakeOutput still holds is the alert that tells the server.
  Step Handshake();

  // Bytes from the server, in order.
  void Feed(const char* data, size_t size);
  // The server's side has ended: no more bytes will come.
  void FeedEnd();
  // The bytes to send to the server, produced since the last call.
  std::string TakeOutput();

  // Application data once the handshake is done. Read returns a count, 0 once the
  // server has ended the stream, or -1 when more bytes must be fed first or the
  // connection failed (Failure() is then set).
  ssize_t Read(char* buffer, size_t size);
  // Encrypts data for the server (then TakeOutput); false when the connection failed.
  bool Write(std::string_view data);
  // Bytes fed that Read has not returned yet (whole or partial records).
  bool HasBufferedInput() const;

  bool Failed() const { return !failure_.empty(); }
  // A short reason for the failure, "" while there is none.
  const std::string& Failure() const { return failure_; }

  // The server certificate's end of validity (seconds since 1970, UTC), once the
  // handshake is done; 0 when there is none.
  int64_t CertificateNotAfter() const { return notAfter_; }

 private:
  void Fail(std::string reason);
  // The reason for a failed call of OpenSSL from its error queue and the verify result.
  std::string FailureFromQueue(int sslError, bool handshake);

  ssl_st* ssl_ = nullptr;
  std::string hostName_;
  std::string failure_;
  bool inputEnded_ = false;
  bool done_ = false;
  int64_t notAfter_ = 0;
};

}  // namespace sentrel
