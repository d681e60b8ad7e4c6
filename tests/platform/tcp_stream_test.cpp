#include "platform/tcp_stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/error.h"
#include "platform/socket_errors.h"
#include "support/loopback_server.h"
#include "support/test_env.h"
#include "support/tls_servers.h"

namespace sentrel {
namespace {

using test::ClosedPort;
using test::LoopbackServer;
using test::SilentPort;
using Reply = LoopbackServer::Reply;

TEST(SocketErrorsTest, CodesAndTextsAsTheProgramPrintsThem) {
  EXPECT_EQ(WsaCodeFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaCodeFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaCodeFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WsaCodeFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaCodeFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WsaCodeFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WsaCodeFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WsaCodeFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaCodeFromErrno(EMFILE), wsa::kTooManyOpenFiles);
  EXPECT_EQ(WsaCodeFromErrno(ENOBUFS), wsa::kNoBufferSpace);
  EXPECT_EQ(WsaCodeFromGai(EAI_NONAME), 11001);

  EXPECT_EQ(socketErrorText(0), "No Error");
  EXPECT_EQ(socketErrorText(10061), "Connection refused");
  EXPECT_EQ(socketErrorText(10057), "Socket is not connected");
  EXPECT_EQ(socketErrorText(10047), "Address family not supported by protocol family");
  EXPECT_EQ(socketErrorText(10059), "Too many references: can't splice");
  EXPECT_EQ(socketErrorText(11001), "Host not found");
  EXPECT_EQ(socketErrorText(11004), "No Data");
  EXPECT_EQ(socketErrorText(10000), "Not a WinSock error");
  EXPECT_EQ(socketErrorText(WsaCodeFromErrno(ENOENT)), "Not a WinSock error");

  EXPECT_EQ(SocketCallError(10061, "Connect"),
            "Error 10061 in function Connect\r\nConnection refused");
}

IpAddress Ip(const char* text) {
  return *IpAddress::Parse(text);
}

// A listening socket on another loopback address (127.0.0.3) with the given port.
int ListenOn(const char* ip, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, ip, &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A peer that takes connections (the system completes them) but never accepts, reads
// or answers.
class MutePeer {
 public:
  MutePeer() {
    fd_ = test::BindLoopback(SOCK_STREAM, &port_);
    listen(fd_, 16);
  }
  ~MutePeer() { close(fd_); }
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class TcpStreamTest : public test::CoreFixture {
 protected:
  struct Outcome {
    bool connected = false;
    int error = 0;
    bool timedOut = false;
    std::string address;
    int64_t ms = -1;
  };
  Outcome Connect(TcpStream& stream, std::vector<IpAddress> addresses, uint16_t port,
                  int64_t deadlineMs = -1) {
    Outcome out;
    const int64_t start = clock_.MonotonicMs();
    out.connected = RunToCompletion(stream.Connect(std::move(addresses), port, deadlineMs));
    out.ms = clock_.MonotonicMs() - start;
    out.error = stream.LastError();
    out.timedOut = stream.TimedOut();
    out.address = stream.Address().ToString();
    return out;
  }
  static Task<std::string> ReadToEnd(TcpStream& stream, size_t piece) {
    std::string got;
    std::vector<char> buffer(piece);
    for (;;) {
      const ssize_t n = co_await stream.Read(buffer.data(), piece);
      if (n <= 0) break;
      got.append(buffer.data(), static_cast<size_t>(n));
    }
    co_return got;
  }
};

TEST_F(TcpStreamTest, WritesReadsInPiecesAndSeesThePeerClose) {
  LoopbackServer server([](const std::string&) { return Reply::Bytes("hello back"); });
  TcpStream stream;
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, server.Port()).connected);
  EXPECT_TRUE(RunToCompletion(stream.Write("GET / HTTP/1.0\r\n\r\n")));
  // Small on purpose: the data comes in several reads.
  EXPECT_EQ(RunToCompletion(ReadToEnd(stream, 4)), "hello back");
  EXPECT_EQ(server.Requests().at(0), "GET / HTTP/1.0\r\n\r\n");

  // Closing without shutdown still delivers what was handed over, and ends cleanly.
  LoopbackServer listener([](const std::string&) { return Reply{}; });
  listener.SetComplete([](const std::string&) { return false; });
  TcpStream probe;
  ASSERT_TRUE(Connect(probe, {Ip("127.0.0.1")}, listener.Port()).connected);
  EXPECT_TRUE(RunToCompletion(probe.Write("Sentrel Test")));
  probe.Close();
  EXPECT_FALSE(probe.Connected());
  ASSERT_TRUE(loop_->WaitUntil(
      [&] { return !listener.Connections().empty() && listener.Connections()[0]->peerClosed; },
      5000));
  EXPECT_EQ(listener.Connections()[0]->received, "Sentrel Test");
  EXPECT_FALSE(listener.Connections()[0]->reset);

  // Nothing to write to: 10057, as a socket that never connected says.
  EXPECT_FALSE(RunToCompletion(probe.Write("x")));
  EXPECT_EQ(probe.LastError(), wsa::kNotConnected);
  char c;
  EXPECT_EQ(RunToCompletion(probe.Read(&c, 1)), -1);
}

// The addresses of one host, tried in order: a refusal hands over to the next address at
// once, a silence after a quarter of a second; the first connection wins.
TEST_F(TcpStreamTest, ConnectGoesOnAtARefusalOrASilenceAndTheFirstConnectionWins) {
  ClosedPort refusing;
  int listener = ListenOn("127.0.0.3", refusing.Port());
  ASSERT_GE(listener, 0);
  TcpStream stream;
  Outcome o = Connect(stream, {Ip("127.0.0.1"), Ip("127.0.0.3")}, refusing.Port());
  EXPECT_TRUE(o.connected);
  EXPECT_EQ(o.address, "127.0.0.3");
  EXPECT_EQ(o.ms, 0);

  // Nobody anywhere: the last refusal is the outcome.
  close(listener);
  o = Connect(stream, {Ip("127.0.0.1"), Ip("127.0.0.3")}, refusing.Port());
  EXPECT_FALSE(o.connected);
  EXPECT_EQ(o.error, wsa::kConnRefused);
  EXPECT_EQ(o.ms, 0);

  SilentPort silent;
  listener = ListenOn("127.0.0.3", silent.Port());
  ASSERT_GE(listener, 0);
  o = Connect(stream, {Ip("127.0.0.1"), Ip("127.0.0.3")}, silent.Port());
  EXPECT_TRUE(o.connected);
  EXPECT_EQ(o.address, "127.0.0.3");
  EXPECT_EQ(o.ms, TcpStream::kAttemptDelayMs);
  close(listener);

  // Silence everywhere: the deadline ends the wait, and every attempt goes with it.
  o = Connect(stream, {Ip("127.0.0.1"), Ip("127.0.0.2"), Ip("127.0.0.4")}, silent.Port(),
              clock_.MonotonicMs() + 1000);
  EXPECT_FALSE(o.connected);
  EXPECT_TRUE(o.timedOut);
  EXPECT_EQ(o.ms, 1000);
  EXPECT_EQ(loop_->WatchCount(), 0u);
  EXPECT_EQ(loop_->TimerCount(), 0u);

  // No address at all: nothing to try, which is told as a failed call.
  try {
    RunToCompletion(stream.Connect({}, 80));
    ADD_FAILURE() << "no error";
  } catch (const SystemError& e) {
    EXPECT_EQ(e.WsaCode(), wsa::kHostNotFound);
    EXPECT_STREQ(e.what(), "Error 11001 in function Connect\r\nHost not found");
  }
}

TEST_F(TcpStreamTest, AReadOrWriteEndsAtItsDeadline) {
  MutePeer silent;
  TcpStream stream;
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, silent.Port()).connected);
  ASSERT_TRUE(RunToCompletion(stream.Write("hello")));
  const int64_t start = clock_.MonotonicMs();
  char buffer[16];
  EXPECT_EQ(RunToCompletion(stream.Read(buffer, sizeof buffer, start + 3000)), -1);
  EXPECT_TRUE(stream.TimedOut());
  EXPECT_EQ(clock_.MonotonicMs() - start, 3000);

  // A peer that takes nothing: the writer waits for room until its deadline.
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, silent.Port()).connected);
  EXPECT_FALSE(RunToCompletion(
      stream.Write(std::string(64 * 1024 * 1024, 'x'), clock_.MonotonicMs() + 2000)));
  EXPECT_TRUE(stream.TimedOut());
  EXPECT_FALSE(stream.Connected());
}

// A task given up where it waits (a deleted monitor, quitting) lets go of everything:
// the watch, the timer, the sockets of the attempts or of the connection.
TEST_F(TcpStreamTest, ATaskGivenUpWhileItWaitsReleasesEverything) {
  SilentPort silentPort;
  LoopbackServer silent([](const std::string&) { return Reply::Silent(); });
  silent.SetComplete([](const std::string& received) { return !received.empty(); });
  const size_t serverWatches = loop_->WatchCount();
  {
    TcpStream stream;
    EXPECT_THROW(RunToCompletion(stream.Connect({Ip("127.0.0.1"), Ip("127.0.0.1")},
                                                silentPort.Port(), clock_.MonotonicMs() + 60000),
                                 100),
                 SentrelError);
    EXPECT_EQ(loop_->WatchCount(), serverWatches);
    EXPECT_EQ(loop_->TimerCount(), 0u);
  }
  TcpStream stream;
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, silent.Port()).connected);
  ASSERT_TRUE(RunToCompletion(stream.Write("hello")));
  char buffer[16];
  EXPECT_THROW(RunToCompletion(stream.Read(buffer, sizeof buffer, clock_.MonotonicMs() + 60000), 100),
               SentrelError);
  EXPECT_EQ(loop_->TimerCount(), 0u);
  stream.Close();
  ASSERT_TRUE(test::WaitReal([&] { return silent.Connections().at(0)->peerClosed; }));
}

TEST_F(TcpStreamTest, TlsOnTopVerifiesTheServerAndCarriesTheData) {
  test::TempDir pki;
  test::TestCa ca(pki.File("ca"), "Sentrel Test CA");
  if (!ca.Ok()) GTEST_SKIP() << ca.Why();
  const auto certificate = ca.Issue("good", "DNS:localhost,IP:127.0.0.1", 60);
  std::filesystem::create_directories(pki.File("no-more-cas"));
  setenv("SSL_CERT_FILE", ca.CertFile().c_str(), 1);
  setenv("SSL_CERT_DIR", pki.File("no-more-cas").c_str(), 1);
  struct Env {
    ~Env() {
      unsetenv("SSL_CERT_FILE");
      unsetenv("SSL_CERT_DIR");
    }
  } env;
  test::NginxTlsServer nginx("secret page\n", {certificate});
  if (!nginx.Ok()) GTEST_SKIP() << nginx.Why();
  clock_.SetAutoAdvance(false);

  TcpStream stream;
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, nginx.TlsPort(0)).connected);
  ASSERT_TRUE(RunToCompletion(stream.StartTls("localhost"))) << stream.Failure();
  EXPECT_EQ(stream.CertificateNotAfter(), test::CertificateNotAfter(certificate.cert));
  ASSERT_TRUE(RunToCompletion(stream.Write("GET /big.bin HTTP/1.0\r\nHost: localhost\r\n\r\n")));
  const std::string reply = RunToCompletion(ReadToEnd(stream, 8192));
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(reply.size() - reply.find("\r\n\r\n") - 4, test::NginxTlsServer::kBigFileBytes);

  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, nginx.TlsPort(0)).connected);
  EXPECT_FALSE(RunToCompletion(stream.StartTls("www.example.test")));
  EXPECT_EQ(stream.Failure(), "TLS: host name mismatch");
  EXPECT_FALSE(stream.Connected());

  // A peer that never answers the hello: the handshake ends at its deadline.
  MutePeer silent;
  clock_.SetAutoAdvance(true);
  ASSERT_TRUE(Connect(stream, {Ip("127.0.0.1")}, silent.Port()).connected);
  EXPECT_FALSE(RunToCompletion(stream.StartTls("localhost", clock_.MonotonicMs() + 5000)));
  EXPECT_EQ(stream.Failure(), "TLS: handshake timed out");
  EXPECT_TRUE(stream.TimedOut());
}

}  // namespace
}  // namespace sentrel
