#include "platform/icmp_echo.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/error.h"
#include "support/loopback_server.h"
#include "support/netns.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

in_addr Loopback() {
  in_addr a{};
  a.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

const std::string kData(56, ' ');

// An ICMP error message of this type and code about the echo request (id, seq).
std::vector<uint8_t> ErrorAbout(uint8_t type, uint8_t code, uint16_t id, uint16_t seq) {
  std::vector<uint8_t> m(8 + 20 + 8, 0);
  m[0] = type;
  m[1] = code;
  uint8_t* ip = &m[8];
  ip[0] = 0x45;
  ip[9] = IPPROTO_ICMP;
  uint8_t* echo = ip + 20;
  echo[0] = 8;
  echo[4] = static_cast<uint8_t>(id >> 8);
  echo[5] = static_cast<uint8_t>(id);
  echo[6] = static_cast<uint8_t>(seq >> 8);
  echo[7] = static_cast<uint8_t>(seq);
  return m;
}

TEST(IcmpStatusTest, TextsAndErrorMapping) {
  EXPECT_EQ(pingStatusText(0), "No error");
  EXPECT_EQ(pingStatusText(11010), "Request timed out");
  EXPECT_EQ(pingStatusText(11018), "Bad Destination");
  EXPECT_EQ(pingStatusText(11255), "Pending");
  EXPECT_EQ(pingStatusText(11099), "ICMP error #11099");
  EXPECT_EQ(pingStatusText(11020), std::string("Sp") + "ec MTU change");
  EXPECT_EQ(pingStatusText(11021), "MTU change");

  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 0)), "Destination network unreachable");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 1)), "Destination host unreachable");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 2)), "Destination protocol unreachable");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 3)), "Destination port unreachable");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 4)), "Packet too big");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(3, 13)), "Destination host unreachable");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(11, 0)), "TTL expired in transit");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(11, 1)), "TTL expired in reassembly");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(12, 0)), "Parameter problem");
  EXPECT_EQ(pingStatusText(IcmpErrorStatus(4, 0)), "Source quench");
}

TEST(IcmpStatusTest, OnlyAnswersToOurRequestCount) {
  std::vector<uint8_t> reply = {0, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
  EXPECT_EQ(ClassifyIcmpMessage(reply.data(), reply.size(), 0x1234, 7), 0);
  EXPECT_FALSE(ClassifyIcmpMessage(reply.data(), reply.size(), 0x1234, 8));
  EXPECT_FALSE(ClassifyIcmpMessage(reply.data(), reply.size(), 0x4321, 7));
  EXPECT_EQ(ClassifyIcmpMessage(reply.data(), reply.size(), 0x4321, 7, false), 0);
  EXPECT_FALSE(ClassifyIcmpMessage(reply.data(), 6, 0x1234, 7));

  auto unreachable = ErrorAbout(3, 1, 0x1234, 7);
  EXPECT_EQ(ClassifyIcmpMessage(unreachable.data(), unreachable.size(), 0x1234, 7), 11003);
  EXPECT_FALSE(ClassifyIcmpMessage(unreachable.data(), unreachable.size(), 0x1234, 9));
  EXPECT_FALSE(ClassifyIcmpMessage(unreachable.data(), unreachable.size() - 1, 0x1234, 7));
  auto exceeded = ErrorAbout(11, 0, 0x1234, 7);
  EXPECT_EQ(ClassifyIcmpMessage(exceeded.data(), exceeded.size(), 0x1234, 7), 11013);
  // An error about someone else's UDP packet is not ours.
  auto other = ErrorAbout(3, 3, 0x1234, 7);
  other[8 + 9] = IPPROTO_UDP;
  EXPECT_FALSE(ClassifyIcmpMessage(other.data(), other.size(), 0x1234, 7));
  // Our own request, seen by a raw socket, is no answer.
  std::vector<uint8_t> request = {8, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
  EXPECT_FALSE(ClassifyIcmpMessage(request.data(), request.size(), 0x1234, 7));
}

// An ICMPv6 error message about our echo request (id, seq): the 40-byte IPv6 header of
// the request and its echo header quoted behind the error's own header.
std::vector<uint8_t> Error6About(uint8_t type, uint8_t code, uint16_t id, uint16_t seq) {
  std::vector<uint8_t> m(8 + 40 + 8, 0);
  m[0] = type;
  m[1] = code;
  uint8_t* ip = &m[8];
  ip[0] = 0x60;
  ip[6] = IPPROTO_ICMPV6;
  uint8_t* echo = ip + 40;
  echo[0] = 128;
  echo[4] = static_cast<uint8_t>(id >> 8);
  echo[5] = static_cast<uint8_t>(id);
  echo[6] = static_cast<uint8_t>(seq >> 8);
  echo[7] = static_cast<uint8_t>(seq);
  return m;
}

TEST(IcmpStatusTest, Icmp6AnswersAndErrorsMapToTheSameStatusTexts) {
  std::vector<uint8_t> reply = {129, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
  EXPECT_EQ(ClassifyIcmp6Message(reply.data(), reply.size(), 0x1234, 7), 0);
  EXPECT_FALSE(ClassifyIcmp6Message(reply.data(), reply.size(), 0x1234, 8));
  EXPECT_FALSE(ClassifyIcmp6Message(reply.data(), reply.size(), 0x4321, 7));
  EXPECT_EQ(ClassifyIcmp6Message(reply.data(), reply.size(), 0x4321, 7, false), 0);
  // An IPv4 echo reply is no ICMPv6 answer, nor is our own request.
  std::vector<uint8_t> v4reply = {0, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
  EXPECT_FALSE(ClassifyIcmp6Message(v4reply.data(), v4reply.size(), 0x1234, 7));
  std::vector<uint8_t> request = {128, 0, 0, 0, 0x12, 0x34, 0x00, 0x07};
  EXPECT_FALSE(ClassifyIcmp6Message(request.data(), request.size(), 0x1234, 7));

  auto text = [](uint8_t type, uint8_t code) {
    auto m = Error6About(type, code, 0x1234, 7);
    auto status = ClassifyIcmp6Message(m.data(), m.size(), 0x1234, 7);
    return status ? pingStatusText(*status) : std::string("none");
  };
  EXPECT_EQ(text(1, 0), "Destination network unreachable");
  EXPECT_EQ(text(1, 3), "Destination host unreachable");
  EXPECT_EQ(text(1, 1), "Destination host unreachable");
  EXPECT_EQ(text(1, 4), "Destination port unreachable");
  EXPECT_EQ(text(2, 0), "Packet too big");
  EXPECT_EQ(text(3, 0), "TTL expired in transit");
  EXPECT_EQ(text(3, 1), "TTL expired in reassembly");
  EXPECT_EQ(text(4, 0), "Parameter problem");
  // About another echo, or about someone's UDP, or cut short: not ours.
  auto other = Error6About(1, 3, 0x1234, 9);
  EXPECT_FALSE(ClassifyIcmp6Message(other.data(), other.size(), 0x1234, 7));
  auto udp = Error6About(1, 3, 0x1234, 7);
  udp[8 + 6] = IPPROTO_UDP;
  EXPECT_FALSE(ClassifyIcmp6Message(udp.data(), udp.size(), 0x1234, 7));
  auto cut = Error6About(1, 3, 0x1234, 7);
  EXPECT_FALSE(ClassifyIcmp6Message(cut.data(), cut.size() - 1, 0x1234, 7));
}

// The system's ping: how it is asked, and what its words and exit status mean.
TEST(SystemPingTest, ArgumentsAndWhatItsOutputMeans) {
  EXPECT_EQ(
      SystemPingArguments(*IpAddress::Parse("::1"), 56, 64, 10000),
      (std::vector<std::string>{"-n", "-c", "1", "-s", "56", "-t", "64", "-W", "10", "--", "::1"}));
  EXPECT_EQ(SystemPingArguments(*IpAddress::Parse("127.0.0.1"), 56, 64, 2500).at(8), "3");

  auto parse = [](const std::string& output, std::optional<int> status) {
    EchoResult r = ParsePingOutput(output, status);
    return std::to_string(r.replies) + " " + pingStatusText(r.status) + (r.sent ? "" : " unsent") +
           (r.failure.empty() ? "" : " [" + r.failure + "]");
  };
  const int ok = 0, lost = 1 << 8, failed = 2 << 8;  // wait statuses of exits 0, 1, 2
  EXPECT_EQ(parse("PING ::1(::1) 56 data bytes\n64 bytes from ::1: icmp_seq=1 ttl=64 time=0.03 ms\n"
                  "\n--- ::1 ping statistics ---\n1 packets transmitted, 1 received\n",
                  ok),
            "1 No error");
  EXPECT_EQ(
      parse("PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n\n--- 127.0.0.1 ping statistics "
            "---\n1 packets transmitted, 0 received, 100% packet loss, time 0ms\n",
            lost),
      "0 Request timed out");
  EXPECT_EQ(parse("From 127.0.0.1 icmp_seq=1 Destination Host Unreachable\n", lost),
            "0 Destination host unreachable");
  EXPECT_EQ(parse("From 127.0.0.2 icmp_seq=1 Destination Net Unreachable\n", lost),
            "0 Destination network unreachable");
  EXPECT_EQ(parse("From 127.0.0.2 icmp_seq=1 Time to live exceeded\n", lost),
            "0 TTL expired in transit");
  EXPECT_EQ(parse("From ::1 icmp_seq=1 Destination unreachable: Address unreachable\n", lost),
            "0 Destination host unreachable");
  EXPECT_EQ(parse("From ::1 icmp_seq=1 Destination unreachable: No route\n", lost),
            "0 Destination network unreachable");
  EXPECT_EQ(parse("From ::1 icmp_seq=1 Time exceeded: Hop limit\n", lost),
            "0 TTL expired in transit");
  // Failures here: the request never left, so another address may be tried.
  EXPECT_EQ(parse("ping: connect: Network is unreachable\n", failed),
            "0 Destination network unreachable unsent");
  // Stopped at the time limit.
  EXPECT_EQ(parse("PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n", std::nullopt),
            "0 Request timed out");
  // A ping that cannot send at all says why, in its own words.
  EXPECT_EQ(parse("ping: socktype: SOCK_RAW\nping: socket: Operation not permitted\n"
                  "ping: => missing cap_net_raw+p capability or setuid?\n",
                  failed),
            "0 General failure unsent [ping: socktype: SOCK_RAW; ping: socket: Operation not "
            "permitted; ping: => missing cap_net_raw+p capability or setuid?]");
  EXPECT_EQ(parse("", failed), "0 General failure unsent [ping ended with status 2]");
}

class IcmpEchoTest : public test::CoreFixture {};

TEST_F(IcmpEchoTest, LoopbackAnswers) {
  std::unique_ptr<IcmpEcho> echo;
  try {
    echo = std::make_unique<IcmpEcho>();
  } catch (const SentrelError&) {
    GTEST_SKIP() << "this machine allows no ICMP socket (neither ping sockets nor raw)";
  }
  EchoResult r = RunToCompletion(echo->Echo(Loopback(), kData, 64, 10000));
  EXPECT_EQ(r.replies, 1);
  EXPECT_EQ(r.status, 0);
  // A second echo on the same object uses a new sequence number and still matches.
  r = RunToCompletion(echo->Echo(Loopback(), kData, 64, 10000));
  EXPECT_EQ(r.replies, 1);
}

TEST_F(IcmpEchoTest, Ipv6LoopbackAnswers) {
  std::string why;
  if (!test::LoopbackIpv6(&why)) GTEST_SKIP() << why;
  std::unique_ptr<IcmpEcho> echo;
  try {
    echo = std::make_unique<IcmpEcho>(AF_INET6);
  } catch (const SentrelError&) {
    GTEST_SKIP() << "this machine allows no ICMPv6 socket (neither ping sockets nor raw)";
  }
  EchoResult r = RunToCompletion(echo->Echo(*IpAddress::Parse("::1"), kData, 64, 10000));
  EXPECT_EQ(r.replies, 1);
  EXPECT_EQ(r.status, 0);
  // An IPv4 address on an IPv6 socket never leaves.
  r = RunToCompletion(echo->Echo(Loopback(), kData, 64, 10000));
  EXPECT_EQ(r.replies, 0);
  EXPECT_FALSE(r.sent);
}

// Runs body in a child process inside a network namespace of its own with loopback up.
// The child reports an EchoResult; the test skips when no namespace can be made.
struct NsOutcome {
  bool ran = false;
  std::string why;
  EchoResult result;
};

// The echo outcomes that need a network of our own: nobody answers, or an error comes
// back. Both run in a namespace the test makes, where the kernel's own echo answers are
// switched off and a raw responder of the test plays the router.
class IcmpEchoNamespaceTest : public test::CoreFixture, public ::testing::WithParamInterface<bool> {
 protected:
  // datagram: allow ping sockets in the namespace; otherwise the raw socket is used.
  NsOutcome Run(bool datagram, bool answerUnreachable) {
    NsOutcome out;
    out.ran = test::RunInNetworkNamespace(
        [&]() -> std::string {
          if (!test::WriteProcSys("net/ipv4/icmp_echo_ignore_all", "1"))
            return "cannot switch off echo answers";
          if (!test::WriteProcSys("net/ipv4/ping_group_range", datagram ? "0 0" : "1 0"))
            return "cannot set ping_group_range";
          EventLoop loop;
          SetCurrentLoop(&loop);
          std::unique_ptr<test::IcmpResponder> responder;
          if (answerUnreachable) responder = std::make_unique<test::IcmpResponder>(3, 1);
          IcmpEcho echo;
          if (echo.IsRaw() == datagram) return "wrong socket kind";
          EchoResult r = RunToCompletion(echo.Echo(Loopback(), kData, 64, 10000));
          return std::to_string(r.replies) + " " + std::to_string(r.status);
        },
        out.why);
    if (out.ran) {
      int replies = -1, status = -1;
      if (std::sscanf(out.why.c_str(), "%d %d", &replies, &status) == 2) {
        out.result.replies = replies;
        out.result.status = status;
      } else {
        ADD_FAILURE() << "child: " << out.why;
      }
    }
    return out;
  }
};

TEST_P(IcmpEchoNamespaceTest, SilentHostTimesOut) {
  NsOutcome o = Run(GetParam(), false);
  if (!o.ran) GTEST_SKIP() << o.why;
  EXPECT_EQ(o.result.replies, 0);
  EXPECT_EQ(o.result.status, 11010);
}

TEST_P(IcmpEchoNamespaceTest, UnreachableAnswerEndsTheEchoWithItsStatus) {
  NsOutcome o = Run(GetParam(), true);
  if (!o.ran) GTEST_SKIP() << o.why;
  EXPECT_EQ(o.result.replies, 0);
  EXPECT_EQ(o.result.status, 11003);
  EXPECT_EQ(pingStatusText(o.result.status), "Destination host unreachable");
}

// What goes out, for both families and both kinds of socket: one echo request with 56
// data bytes and a time to live (hop limit) of 64; a silent IPv6 host times out too.
TEST_P(IcmpEchoNamespaceTest, RequestsCarry56BytesAndTtl64AndSilentIpv6HostsTimeOut) {
  const bool datagram = GetParam();
  std::string output;
  bool ran = test::RunInNetworkNamespace(
      [&]() -> std::string {
        if (!test::WriteProcSys("net/ipv4/ping_group_range", datagram ? "0 0" : "1 0"))
          return "cannot set ping_group_range";
        // Defaults other than 64, so only our own setting can give 64.
        test::WriteProcSys("net/ipv4/ip_default_ttl", "99");
        test::WriteProcSys("net/ipv6/conf/all/hop_limit", "99");
        test::WriteProcSys("net/ipv6/conf/lo/hop_limit", "99");
        EventLoop loop;
        SetCurrentLoop(&loop);
        std::string out;
        for (int family : {AF_INET, AF_INET6}) {
          if (family == AF_INET6 && !test::LoopbackIpv6(nullptr)) {
            out += "no IPv6; ";
            continue;
          }
          test::EchoRequestRecorder recorder(family);
          IcmpEcho echo(family);
          if (echo.IsRaw() == datagram) return "wrong socket kind";
          const IpAddress target = *IpAddress::Parse(family == AF_INET ? "127.0.0.1" : "::1");
          EchoResult r = RunToCompletion(echo.Echo(target, kData, 64, 10000));
          loop.WaitUntil([&] { return !recorder.Seen().empty(); }, 2000);
          out += std::to_string(r.replies) + " " +
                 (recorder.Seen().empty() ? "-" : recorder.Seen()[0]) + "; ";
        }
        if (test::LoopbackIpv6(nullptr)) {
          if (!test::WriteProcSys("net/ipv6/icmp/echo_ignore_all", "1")) return "no v6 echo switch";
          IcmpEcho echo(AF_INET6);
          EchoResult r = RunToCompletion(echo.Echo(*IpAddress::Parse("::1"), kData, 64, 10000));
          out += "silent " + std::to_string(r.replies) + " " + std::to_string(r.status);
        }
        return out;
      },
      output);
  if (!ran) GTEST_SKIP() << output;
  if (output.find("no IPv6") != std::string::npos) {
    EXPECT_EQ(output, "1 ttl=64 data=56; no IPv6; ");
    GTEST_SKIP() << "no IPv6 on loopback in the namespace: only IPv4 was checked";
  }
  EXPECT_EQ(output, "1 ttl=64 data=56; 1 ttl=64 data=56; silent 0 11010");
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpEchoNamespaceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Datagram" : "Raw"; });

}  // namespace
}  // namespace sentrel
