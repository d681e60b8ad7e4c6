#include "platform/icmp_echo.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/error.h"
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
        out.result = EchoResult{replies, status};
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

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpEchoNamespaceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Datagram" : "Raw"; });

}  // namespace
}  // namespace sentrel
