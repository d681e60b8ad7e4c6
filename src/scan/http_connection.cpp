#include "scan/http_connection.h"

#include "platform/event_loop.h"
#include "platform/socket_errors.h"

namespace sentrel {

namespace {

// Raw reads per notification while the tunnel or the handshake is set up, so that one
// fast peer cannot hold the loop; the socket signals again for what is left.
constexpr int kSetUpReads = 16;
// A TLS record is at most 16 KB and some overhead: one raw read takes a whole one.
constexpr size_t kRawBuffer = 17 * 1024;
// Reads of the raw socket per Receive before it gives the loop back.
constexpr int kRawReadsPerReceive = 8;
// A proxy that never ends its answer to CONNECT must not grow us without bound.
constexpr size_t kMaxTunnelAnswer = 64 * 1024;

// The proxy's words go into a log record: no control characters, and not too many.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 100)) {
    auto u = static_cast<unsigned char>(c);
    out += u < 0x20 || u == 0x7f ? ' ' : c;
  }
  return out;
}

// Where the first empty line of an HTTP header ends (LF, or CR LF, after a line), or npos.
size_t HeaderEnd(const std::string& text) {
  size_t lineStart = 0;
  for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
    size_t length = lf - lineStart;
    if (length == 0 || (length == 1 && text[lineStart] == '\r')) return lf + 1;
    lineStart = lf + 1;
  }
  return std::string::npos;
}

}  // namespace

HttpConnection::HttpConnection(Options options)
    : options_(std::move(options)), socket_(std::make_unique<TcpSocket>()) {
  connector_.onDone = [this](int error) { OnTcpConnected(error); };
}

HttpConnection::~HttpConnection() {
  *alive_ = false;
}

void HttpConnection::AdoptSocket(std::unique_ptr<TcpSocket> socket) {
  socket_ = std::move(socket);
  socket_->onReadable = [this] { OnTcpReadable(); };
  socket_->onClosed = [this](int error) {
    switch (phase_) {
      case Phase::Open:
        phase_ = Phase::Closed;
        if (onClosed) onClosed(error);
        break;
      case Phase::Tunnel:
        SetUpFailed("proxy closed the connection during CONNECT");
        break;
      case Phase::Handshake:
        SetUpFailed("TLS: connection closed during handshake");
        break;
      default:
        break;
    }
  };
  // The winner's readiness was not watched while it raced: it is now.
  socket_->UpdateWatch();
}

void HttpConnection::Connect(const std::vector<IpAddress>& addresses, uint16_t port) {
  phase_ = Phase::Connecting;
  connector_.Start(addresses, port);
}

void HttpConnection::Close() {
  phase_ = Phase::Closed;
  connector_.Cancel();
  socket_->Close();
}

void HttpConnection::OnTcpConnected(int error) {
  if (phase_ != Phase::Connecting) return;
  if (error != 0) {
    phase_ = Phase::Closed;
    if (onConnected) onConnected(error, "");
    return;
  }
  AdoptSocket(connector_.TakeSocket());
  if (!options_.tunnel.empty()) {
    phase_ = Phase::Tunnel;
    const std::string& target = options_.tunnel;
    if (socket_->Send("CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n\r\n") != 0)
      SetUpFailed("proxy closed the connection during CONNECT");
    return;
  }
  if (options_.tls) {
    StartTls({});
    return;
  }
  SetUpDone();
}

void HttpConnection::OnTcpReadable() {
  switch (phase_) {
    case Phase::Tunnel:
      ReadTunnelAnswer();
      return;
    case Phase::Handshake:
      DriveHandshake();
      return;
    case Phase::Open:
      break;
    default:
      return;
  }
  if (!onReadable) return;
  if (!tls_) {
    onReadable();
    return;
  }
  readerDrained_ = false;
  std::weak_ptr<bool> alive = alive_;
  onReadable();
  if (alive.expired()) return;
  // Bytes TLS holds already are not signalled by the socket again.
  if (phase_ == Phase::Open && !readerDrained_ && tls_->HasBufferedInput()) {
    if (renotifyPosted_) return;
    renotifyPosted_ = true;
    CurrentLoop().Post([this, alive] {
      if (alive.expired()) return;
      renotifyPosted_ = false;
      OnTcpReadable();
    });
  }
}

void HttpConnection::ReadTunnelAnswer() {
  char buffer[4096];
  for (int reads = 0; reads < kSetUpReads; ++reads) {
    ssize_t n = socket_->Receive(buffer, sizeof buffer);
    if (n <= 0) {
      if (n == 0 || socket_->state() == TcpSocket::State::Closed)
        SetUpFailed("proxy closed the connection during CONNECT");
      return;
    }
    tunnelAnswer_.append(buffer, static_cast<size_t>(n));
    size_t end = HeaderEnd(tunnelAnswer_);
    if (end == std::string::npos) {
      if (tunnelAnswer_.size() > kMaxTunnelAnswer) {
        SetUpFailed("proxy refused CONNECT: endless answer");
        return;
      }
      continue;
    }
    std::string statusLine = tunnelAnswer_.substr(0, tunnelAnswer_.find('\n'));
    if (!statusLine.empty() && statusLine.back() == '\r') statusLine.pop_back();
    // "HTTP/1.x 200 ...": any 2xx opens the tunnel.
    bool http = statusLine.rfind("HTTP/1.", 0) == 0 && statusLine.size() >= 12;
    if (!http || statusLine[9] != '2') {
      SetUpFailed("proxy refused CONNECT: " +
                  Printable(http ? std::string_view(statusLine).substr(9) : statusLine));
      return;
    }
    // What follows the answer is already the server's.
    std::string early = tunnelAnswer_.substr(end);
    tunnelAnswer_.clear();
    if (options_.tls) {
      StartTls(early);
    } else {
      SetUpDone();
    }
    return;
  }
}

void HttpConnection::StartTls(std::string_view early) {
  phase_ = Phase::Handshake;
  tls_ = std::make_unique<TlsClient>(options_.tlsHost);
  if (!early.empty()) tls_->Feed(early.data(), early.size());
  DriveHandshake();
}

void HttpConnection::DriveHandshake() {
  char buffer[kRawBuffer];
  for (int reads = 0; reads < kSetUpReads; ++reads) {
    ssize_t n = socket_->Receive(buffer, sizeof buffer);
    if (n > 0) {
      tls_->Feed(buffer, static_cast<size_t>(n));
      continue;
    }
    // The server's end, or a broken connection: the handshake can get no further.
    if (n == 0 || socket_->state() == TcpSocket::State::Closed) tls_->FeedEnd();
    break;
  }
  TlsClient::Step step = tls_->Handshake();
  // Our next handshake message, or the alert that tells the server why we give up.
  bool sent = FlushTls();
  if (step == TlsClient::Step::Failed) {
    SetUpFailed(tls_->Failure());
  } else if (!sent) {
    SetUpFailed("TLS: connection closed during handshake");
  } else if (step == TlsClient::Step::Done) {
    SetUpDone();
  }
}

bool HttpConnection::FlushTls() {
  std::string out = tls_->TakeOutput();
  if (out.empty()) return socket_->state() == TcpSocket::State::Connected;
  return socket_->Send(out) == 0;
}

void HttpConnection::SetUpFailed(const std::string& failure) {
  phase_ = Phase::Closed;
  socket_->Close();
  if (onConnected) onConnected(0, failure);
}

void HttpConnection::SetUpDone() {
  phase_ = Phase::Open;
  std::weak_ptr<bool> alive = alive_;
  if (onConnected) onConnected(0, "");
  if (alive.expired() || phase_ != Phase::Open || !tls_ || !tls_->HasBufferedInput()) return;
  // The server's first bytes came with the end of the handshake: the socket will not
  // signal them again.
  readerDrained_ = false;
  OnTcpReadable();
}

int HttpConnection::Send(std::string_view data) {
  if (phase_ != Phase::Open) {
    Close();
    return wsa::kNotConnected;
  }
  if (!tls_) return socket_->Send(data);
  if (!tls_->Write(data)) {
    failure_ = tls_->Failure();
    Close();
    return wsa::kNotConnected;
  }
  if (!FlushTls()) {
    phase_ = Phase::Closed;
    return socket_->LastError() != 0 ? socket_->LastError() : wsa::kNotConnected;
  }
  return 0;
}

ssize_t HttpConnection::Receive(char* buffer, size_t size) {
  if (phase_ != Phase::Open) return -1;
  if (!tls_) {
    ssize_t n = socket_->Receive(buffer, size);
    if (n < 0 && socket_->state() == TcpSocket::State::Closed) phase_ = Phase::Closed;
    return n;
  }
  for (int raw = 0;; ++raw) {
    ssize_t n = tls_->Read(buffer, size);
    if (n >= 0) {
      if (n == 0) readerDrained_ = true;
      return n;
    }
    if (tls_->Failed()) {
      failure_ = tls_->Failure();
      readerDrained_ = true;
      Close();
      return -1;
    }
    if (raw == kRawReadsPerReceive) return -1;  // the loop comes back for the rest
    char rawBuffer[kRawBuffer];
    ssize_t got = socket_->Receive(rawBuffer, sizeof rawBuffer);
    if (got > 0) {
      tls_->Feed(rawBuffer, static_cast<size_t>(got));
    } else if (got == 0 || socket_->state() == TcpSocket::State::Closed) {
      // The server's end (or a broken connection) ends the stream after what TLS holds.
      tls_->FeedEnd();
    } else {
      readerDrained_ = true;
      return -1;
    }
  }
}

}  // namespace sentrel
