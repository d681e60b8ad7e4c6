#include "platform/tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <ctime>

namespace sentrel {

namespace {

// What the trust store was loaded from: the two variables, and the identity and change
// time of each file or directory in use, so that an operator who adds a CA (or runs
// update-ca-certificates) does not have to restart the monitor.
struct TrustSource {
  std::string fileEnv;
  std::string dirEnv;
  std::string stamps;
  bool operator==(const TrustSource&) const = default;
};

void AddStamp(std::string& stamps, const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    stamps += "-;";
    return;
  }
  stamps += std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
            std::to_string(st.st_size) + ";";
}

TrustSource CurrentTrustSource() {
  TrustSource t;
  const char* file = getenv(X509_get_default_cert_file_env());
  const char* dir = getenv(X509_get_default_cert_dir_env());
  t.fileEnv = file ? file : "";
  t.dirEnv = dir ? dir : "";
  AddStamp(t.stamps, file ? t.fileEnv : X509_get_default_cert_file());
  // The directory setting may name several directories, separated as PATH is.
  std::string dirs = dir ? t.dirEnv : X509_get_default_cert_dir();
  size_t start = 0;
  for (;;) {
    size_t colon = dirs.find(':', start);
    AddStamp(t.stamps, dirs.substr(start, colon == std::string::npos ? colon : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return t;
}

SSL_CTX* NewClientContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A path that does not exist (no bundle on the system, a variable naming nothing) is
  // not an error here: verification then fails for want of a trusted CA, which tells the
  // operator more than failing here would.
  SSL_CTX_set_default_verify_paths(ctx);
  // HTTP/1.0 bodies end where the connection ends; many servers close without the TLS
  // close alert. Renegotiation and compression have no use here and a history of abuse.
  SSL_CTX_set_options(
      ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  // Thousands of connections can wait for their servers at once; their buffers are
  // allocated only while data moves.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  // Every check makes a full handshake, so that it sees the certificate the server
  // presents now, not the one an earlier session was made with.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  ERR_clear_error();
  return ctx;
}

// The one client context of the program, loaded again when its trust store changes.
// Connections still running keep the context they were made with (OpenSSL counts them).
class SharedClientContext {
 public:
  ~SharedClientContext() { SSL_CTX_free(ctx_); }
  SSL_CTX* Get() {
    TrustSource now = CurrentTrustSource();
    if (ctx_ && now == source_) return ctx_;
    SSL_CTX* fresh = NewClientContext();
    if (!fresh) return ctx_;
    SSL_CTX_free(ctx_);
    ctx_ = fresh;
    source_ = std::move(now);
    return ctx_;
  }

 private:
  SSL_CTX* ctx_ = nullptr;
  TrustSource source_;
};

SSL_CTX* ClientContext() {
  // OpenSSL registers its own clean-up at exit when it starts; starting it before our
  // context exists makes our context go first.
  OPENSSL_init_ssl(0, nullptr);
  static SharedClientContext context;
  return context.Get();
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string VerifyFailureText(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "TLS handshake failed: certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "TLS handshake failed: certificate is not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "TLS: host name mismatch";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return "TLS handshake failed: self-signed certificate";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "TLS handshake failed: untrusted certificate authority";
    default:
      return std::string("TLS handshake failed: ") + X509_verify_cert_error_string(result);
  }
}

// Record-layer complaints about the very first bytes: whatever answered is no TLS server
// (a plain HTTP server, an SSH daemon, noise).
bool NotTls(int reason) {
  return reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
         reason == SSL_R_HTTP_REQUEST || reason == SSL_R_HTTPS_PROXY_REQUEST ||
         reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_WRONG_SSL_VERSION ||
         reason == SSL_R_UNSUPPORTED_SSL_VERSION || reason == SSL_R_ENCRYPTED_LENGTH_TOO_LONG;
}

}  // namespace

TlsClient::TlsClient(const std::string& hostName) : hostName_(hostName) {
  SSL_CTX* ctx = ClientContext();
  ssl_ = ctx ? SSL_new(ctx) : nullptr;
  if (!ssl_) {
    ERR_clear_error();
    Fail("TLS: cannot set up OpenSSL");
    return;
  }
  SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  SSL_set_connect_state(ssl_);
  bool named = hostName.find('\0') == std::string::npos && !hostName.empty();
  if (named && IsAddress(hostName)) {
    // Addresses are checked against the certificate's IP entries and never sent as SNI.
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), hostName.c_str()) == 1;
  } else if (named) {
    // SSL_set_tlsext_host_name, without the macro's C cast.
    named = SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(hostName.c_str())) == 1 &&
            SSL_set1_host(ssl_, hostName.c_str()) == 1;
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
  ERR_clear_error();
  if (!named) Fail("TLS: invalid host name");
}

TlsClient::~TlsClient() {
  SSL_free(ssl_);
}

void TlsClient::Fail(std::string reason) {
  if (failure_.empty()) failure_ = std::move(reason);
}

TlsClient::Step TlsClient::Handshake() {
  if (Failed()) return Step::Failed;
  if (done_) return Step::Done;
  ERR_clear_error();
  int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    done_ = true;
    if (const X509* cert = SSL_get0_peer_certificate(ssl_)) {
      tm t{};
      if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &t) == 1) notAfter_ = timegm(&t);
    }
    return Step::Done;
  }
  int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ && !inputEnded_) return Step::WantMore;
  Fail(FailureFromQueue(e, true));
  ERR_clear_error();
  return Step::Failed;
}

std::string TlsClient::FailureFromQueue(int sslError, bool handshake) {
  if (handshake) {
    long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) return VerifyFailureText(verify);
  }
  unsigned long err = ERR_peek_error();
  int reason = err ? ERR_GET_REASON(err) : 0;
  const bool closed = sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_WANT_READ ||
                      (sslError == SSL_ERROR_SYSCALL && err == 0) ||
                      reason == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  if (handshake && closed) return "TLS: connection closed during handshake";
  const char* prefix = handshake ? "TLS handshake failed: " : "TLS: ";
  if (err == 0) return std::string(prefix) + "protocol error";
  if (ERR_GET_LIB(err) == ERR_LIB_SSL) {
    if (handshake && NotTls(reason)) return "TLS handshake failed: the server does not speak TLS";
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256)
      return std::string(prefix) +
             "alert from the server: " + SSL_alert_desc_string_long(reason - SSL_AD_REASON_OFFSET);
  }
  const char* text = ERR_reason_error_string(err);
  return std::string(prefix) + (text ? text : "protocol error");
}

void TlsClient::Feed(const char* data, size_t size) {
  if (!ssl_ || inputEnded_) return;
  BIO* in = SSL_get_rbio(ssl_);
  while (size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    int n = BIO_write(in, data, chunk);
    if (n <= 0) {
      Fail("TLS: out of memory");
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void TlsClient::FeedEnd() {
  if (!ssl_ || inputEnded_) return;
  inputEnded_ = true;
  // An empty input now reads as the end of the stream instead of "try again".
  BIO_set_mem_eof_return(SSL_get_rbio(ssl_), 0);
}

std::string TlsClient::TakeOutput() {
  std::string out;
  if (!ssl_) return out;
  BIO* bio = SSL_get_wbio(ssl_);
  size_t pending = BIO_ctrl_pending(bio);
  out.resize(pending);
  size_t got = 0;
  while (got < pending) {
    int n =
        BIO_read(bio, out.data() + got, static_cast<int>(std::min<size_t>(pending - got, INT_MAX)));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return out;
}

ssize_t TlsClient::Read(char* buffer, size_t size) {
  if (Failed() || !done_) return -1;
  ERR_clear_error();
  int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (n > 0) return n;
  int e = SSL_get_error(ssl_, n);
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  if (e == SSL_ERROR_WANT_READ) return inputEnded_ ? 0 : -1;
  Fail(FailureFromQueue(e, false));
  ERR_clear_error();
  return -1;
}

bool TlsClient::Write(std::string_view data) {
  if (Failed() || !done_) return false;
  while (!data.empty()) {
    ERR_clear_error();
    int n = SSL_write(ssl_, data.data(), static_cast<int>(std::min<size_t>(data.size(), INT_MAX)));
    if (n <= 0) {
      Fail(FailureFromQueue(SSL_get_error(ssl_, n), false));
      ERR_clear_error();
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool TlsClient::HasBufferedInput() const {
  if (!ssl_) return false;
  return SSL_pending(ssl_) > 0 || BIO_ctrl_pending(SSL_get_rbio(ssl_)) > 0;
}

}  // namespace sentrel
