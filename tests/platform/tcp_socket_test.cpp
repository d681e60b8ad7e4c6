#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/socket_errors.h"
#include "support/loopback_server.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ClosedPort;
using test::LoopbackServer;
using test::SilentPort;

in_addr Loopback() {
  in_addr a{};
  a.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

TEST(SocketErrorsTest, CodesAndTextsAsTheProgramPrintsThem) {
  EXPECT_EQ(WsaCodeFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaCodeFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaCodeFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WsaCodeFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaCodeFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WsaCodeFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WsaCodeFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WsaCodeFromErrno(EAGAIN), 10035);
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

class TcpSocketTest : public test::CoreFixture {};

TEST_F(TcpSocketTest, ConnectsSendsReceivesAndSeesThePeerClose) {
  LoopbackServer server(
      [](const std::string&) { return LoopbackServer::Reply::Bytes("hello back"); });
  TcpSocket sock;
  int connectResult = -1;
  bool connectedInsideCall = false;
  std::string got;
  bool eof = false;
  sock.onConnected = [&](int error) { connectResult = error; };
  sock.Connect(Loopback(), server.Port());
  connectedInsideCall = connectResult != -1;
  EXPECT_FALSE(connectedInsideCall) << "the outcome comes from the loop, not from Connect";
  ASSERT_TRUE(loop_->WaitUntil([&] { return connectResult != -1; }, 5000));
  EXPECT_EQ(connectResult, 0);
  EXPECT_EQ(sock.state(), TcpSocket::State::Connected);

  sock.onReadable = [&] {
    char buf[4];  // small on purpose: the data comes in several reads
    for (;;) {
      ssize_t n = sock.Receive(buf, sizeof buf);
      if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) {
        eof = true;
        sock.Close();
      }
      return;
    }
  };
  sock.UpdateWatch();
  EXPECT_EQ(sock.Send("GET / HTTP/1.0\r\n\r\n"), 0);
  ASSERT_TRUE(loop_->WaitUntil([&] { return eof; }, 5000));
  EXPECT_EQ(got, "hello back");
  EXPECT_EQ(server.Requests().at(0), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(sock.state(), TcpSocket::State::Closed);
}

TEST_F(TcpSocketTest, RefusedConnectionIsReportedThroughTheNotification) {
  ClosedPort closed;
  TcpSocket sock;
  int result = -1;
  sock.onConnected = [&](int error) { result = error; };
  EXPECT_NO_THROW(sock.Connect(Loopback(), closed.Port()));
  ASSERT_TRUE(loop_->WaitUntil([&] { return result != -1; }, 5000));
  EXPECT_EQ(result, 10061);
  EXPECT_EQ(sock.LastError(), 10061);
  EXPECT_EQ(sock.state(), TcpSocket::State::Closed);
}

TEST_F(TcpSocketTest, SendOnASocketThatIsNotConnectedFailsWith10057) {
  TcpSocket sock;
  EXPECT_EQ(sock.Send("Sentrel Test"), 10057);
  EXPECT_EQ(sock.LastError(), 10057);

  SilentPort silent;
  TcpSocket pending;
  pending.Connect(Loopback(), silent.Port());
  EXPECT_EQ(pending.state(), TcpSocket::State::Connecting);
  EXPECT_EQ(pending.Send("x"), 10057);
  EXPECT_EQ(pending.state(), TcpSocket::State::Closed);
}

TEST_F(TcpSocketTest, CloseWithoutShutdownStillDeliversWhatWasSentThenClosesCleanly) {
  LoopbackServer server([](const std::string&) { return LoopbackServer::Reply{}; });
  server.SetComplete([](const std::string&) { return false; });  // only listen
  TcpSocket sock;
  bool connected = false;
  sock.onConnected = [&](int error) { connected = error == 0; };
  sock.Connect(Loopback(), server.Port());
  ASSERT_TRUE(loop_->WaitUntil([&] { return connected; }, 5000));
  EXPECT_EQ(sock.Send("Sentrel Test"), 0);
  sock.Close();
  ASSERT_TRUE(loop_->WaitUntil(
      [&] { return !server.Connections().empty() && server.Connections()[0]->peerClosed; }, 5000));
  EXPECT_EQ(server.Connections()[0]->received, "Sentrel Test");
  EXPECT_FALSE(server.Connections()[0]->reset);
}

TEST_F(TcpSocketTest, ASocketDestroyedBeforeItsNotificationNeverCallsBack) {
  LoopbackServer server([](const std::string&) { return LoopbackServer::Reply{}; });
  bool called = false;
  {
    TcpSocket sock;
    sock.onConnected = [&](int) { called = true; };
    sock.Connect(Loopback(), server.Port());
  }
  loop_->WaitUntil([] { return false; }, 100);
  EXPECT_FALSE(called);
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

IpAddress Ip(const char* text) {
  return *IpAddress::Parse(text);
}

// The addresses of one host, tried in order: a refusal hands over to the next address at
// once, a silence after a quarter of a second; the first connection wins.
TEST_F(TcpSocketTest, ConnectorGoesOnAtARefusalOrASilenceAndTheFirstConnectionWins) {
  struct Outcome {
    int error = -1;
    std::string address;
    int64_t ms = -1;
  };
  auto connect = [&](std::vector<IpAddress> addresses, uint16_t port) {
    Outcome out;
    TcpConnector connector;
    const int64_t start = clock_.MonotonicMs();
    connector.onDone = [&](int error) {
      out.error = error;
      out.ms = clock_.MonotonicMs() - start;
    };
    connector.Start(std::move(addresses), port);
    EXPECT_EQ(out.error, -1) << "never from inside Start";
    EXPECT_TRUE(loop_->WaitUntil([&] { return out.error != -1; }, 20000));
    out.address = connector.Address().ToString();
    auto socket = connector.TakeSocket();
    EXPECT_EQ(out.error == 0, socket && socket->state() == TcpSocket::State::Connected);
    return out;
  };

  ClosedPort refusing;
  int listener = ListenOn("127.0.0.3", refusing.Port());
  ASSERT_GE(listener, 0);
  Outcome o = connect({Ip("127.0.0.1"), Ip("127.0.0.3")}, refusing.Port());
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.address, "127.0.0.3");
  EXPECT_EQ(o.ms, 0);

  // Nobody anywhere: the last refusal is the outcome.
  close(listener);
  o = connect({Ip("127.0.0.1"), Ip("127.0.0.3")}, refusing.Port());
  EXPECT_EQ(o.error, 10061);
  EXPECT_EQ(o.ms, 0);

  SilentPort silent;
  listener = ListenOn("127.0.0.3", silent.Port());
  ASSERT_GE(listener, 0);
  o = connect({Ip("127.0.0.1"), Ip("127.0.0.3")}, silent.Port());
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.address, "127.0.0.3");
  EXPECT_EQ(o.ms, TcpConnector::kAttemptDelayMs);
  close(listener);

  // No address at all: nothing to try, which is told as a failed call.
  TcpConnector connector;
  EXPECT_THROW(connector.Start({}, 80), SystemError);
  EXPECT_EQ(loop_->WatchCount(), 0u);
}

}  // namespace
}  // namespace sentrel
