#include "platform/name_lookup.h"

#include <arpa/inet.h>

#include "platform/address_order.h"
#include "support/loopback_server.h"
#include "support/netns.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::WaitReal;

std::string Dotted(in_addr a) {
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

class NameLookupTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    // Lookups take real time; the fake clock must not run out the waits meanwhile.
    clock_.SetAutoAdvance(false);
  }
};

TEST_F(NameLookupTest, LocalhostResolvesThroughTheLoop) {
  int error = -1;
  in_addr addr{};
  auto lookup = NameLookup::Start("localhost", [&](int e, in_addr a) {
    error = e;
    addr = a;
  });
  EXPECT_EQ(error, -1) << "never answered from inside Start";
  ASSERT_TRUE(WaitReal([&] { return error != -1; }));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Dotted(addr), "127.0.0.1");
  EXPECT_TRUE(lookup->Done());
}

TEST_F(NameLookupTest, UnknownNameAndDottedAddress) {
  int error = -1;
  auto bad = NameLookup::Start("no such host", [&](int e, in_addr) { error = e; });
  ASSERT_TRUE(WaitReal([&] { return error != -1; }));
  EXPECT_EQ(error, 11001);

  int dottedError = -1;
  in_addr addr{};
  auto dotted = NameLookup::Start("127.0.0.9", [&](int e, in_addr a) {
    dottedError = e;
    addr = a;
  });
  EXPECT_EQ(LookupsInFlight(), 0u) << "a dotted address needs no lookup";
  ASSERT_TRUE(WaitReal([&] { return dottedError != -1; }));
  EXPECT_EQ(dottedError, 0);
  EXPECT_EQ(Dotted(addr), "127.0.0.9");
}

TEST_F(NameLookupTest, ManyLookupsAtOnceAllComplete) {
  constexpr int kCount = 50;
  int done = 0;
  std::vector<std::unique_ptr<NameLookup>> lookups;
  for (int i = 0; i < kCount; ++i)
    lookups.push_back(NameLookup::Start("localhost", [&](int e, in_addr) {
      EXPECT_EQ(e, 0);
      ++done;
    }));
  ASSERT_TRUE(WaitReal([&] { return done == kCount; }));
  EXPECT_EQ(LookupsInFlight(), 0u);
}

TEST_F(NameLookupTest, ADestroyedLookupNeverCallsItsHandler) {
  bool called = false;
  for (int i = 0; i < 10; ++i) {
    auto lookup = NameLookup::Start("localhost", [&](int, in_addr) { called = true; });
  }
  ASSERT_TRUE(WaitReal([] { return LookupsInFlight() == 0; }));
  loop_->Pump();
  EXPECT_FALSE(called);
}

// Names no name server is ever asked about: a blank or a control character rejects the
// name at once ("host not found"), and "localhost" and the names under it are this
// machine, from the hosts file or as 127.0.0.1.
TEST_F(NameLookupTest, SomeNamesNeverReachANameServer) {
  struct Case {
    const char* name;
    int error;
  };
  for (const Case& c : {Case{"no such host", 11001}, Case{"", 11001}, Case{"tab\there", 11001},
                        Case{"localhost", 0}, Case{"LocalHost.", 0}, Case{"web.localhost", 0}}) {
    SCOPED_TRACE(c.name);
    LookupResult r = RunToCompletion(Lookup(c.name));
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(LookupsInFlight(), 0u) << "no query was made";
    if (c.error == 0) {
      ASSERT_FALSE(r.addresses.empty());
      for (const IpAddress& a : r.addresses)
        EXPECT_TRUE(a.ToString() == "127.0.0.1" || a.ToString() == "::1") << a.ToString();
    }
  }
  // A lookup with no time left still takes the hosts file's answer.
  LookupResult r = RunToCompletion(Lookup("localhost", clock_.MonotonicMs()));
  EXPECT_EQ(r.error, 0);
}

// The order of a name's addresses follows /etc/gai.conf's precedence, as the C library's
// does: its own table without precedence lines (IPv6 first), the operator's with them.
TEST(AddressOrderTest, PrecedenceOfGaiConfOrItsDefault) {
  auto order = [](const std::string& gaiConf, std::vector<std::string> texts) {
    std::vector<IpAddress> addresses;
    for (const std::string& t : texts) addresses.push_back(*IpAddress::Parse(t));
    AddressOrder::FromGaiConf(gaiConf).Sort(addresses);
    std::string out;
    for (const IpAddress& a : addresses) out += (out.empty() ? "" : " ") + a.ToString();
    return out;
  };
  EXPECT_EQ(order("", {"127.0.0.1", "::1"}), "::1 127.0.0.1");
  EXPECT_EQ(order("# precedence ::ffff:0:0/96 100\n", {"127.0.0.1", "::1"}), "::1 127.0.0.1");
  EXPECT_EQ(order("precedence ::ffff:0:0/96 100\nprecedence ::/0 40\n",
                  {"::1", "127.0.0.2", "127.0.0.1"}),
            "127.0.0.2 127.0.0.1 ::1");
  const AddressOrder glibc = AddressOrder::FromGaiConf("");
  EXPECT_EQ(glibc.Precedence(*IpAddress::Parse("::1")), 50);
  EXPECT_EQ(glibc.Precedence(*IpAddress::Parse("2001:db8::1")), 40);
  EXPECT_EQ(glibc.Precedence(*IpAddress::Parse("2002::1")), 30);
  EXPECT_EQ(glibc.Precedence(*IpAddress::Parse("127.0.0.1")), 10);
}

TEST(DottedAddressTest, AcceptsWhatInetAddrAccepts) {
  in_addr a{};
  EXPECT_TRUE(ParseDottedAddress("127.0.0.1", &a));
  EXPECT_TRUE(ParseDottedAddress("127.1", &a));
  EXPECT_EQ(Dotted(a), "127.0.0.1");
  EXPECT_FALSE(ParseDottedAddress("localhost", &a));
  EXPECT_FALSE(ParseDottedAddress("", &a));
  EXPECT_FALSE(ParseDottedAddress("127.0.0.256", &a));
}

// Addresses as the operator writes them, and as the program shows them again.
TEST(IpAddressTest, BothFamiliesInEveryWrittenFormAndTheirShortForm) {
  auto shown = [](const std::string& text) {
    auto a = IpAddress::Parse(text);
    return a ? a->ToString() + (a->IsV4() ? " v4" : " v6") : std::string("none");
  };
  EXPECT_EQ(shown("::1"), "::1 v6");
  EXPECT_EQ(shown("[::1]"), "::1 v6");
  EXPECT_EQ(shown("0:0:0:0:0:0:0:1"), "::1 v6");
  EXPECT_EQ(shown("2001:DB8:0:0:0:0:0:5"), "2001:db8::5 v6");
  EXPECT_EQ(shown("2001:0db8:0000:0001:0000:0000:0000:0005"), "2001:db8:0:1::5 v6");
  EXPECT_EQ(shown("fe80::1%lo"), "fe80::1%lo v6");
  // An IPv4 address in IPv6 clothing is the IPv4 host.
  EXPECT_EQ(shown("::ffff:127.0.0.1"), "127.0.0.1 v4");
  EXPECT_EQ(shown("127.1"), "127.0.0.1 v4");
  EXPECT_EQ(shown("127.0.0.1"), "127.0.0.1 v4");
  for (const char* none :
       {"localhost", "", "[]", "[127.0.0.1]", "::1::2", "[::1", "2001:db8::5 x", "no such host"})
    EXPECT_EQ(shown(none), "none") << none;

  sockaddr_storage ss{};
  EXPECT_EQ(IpAddress::Parse("::1")->ToSockaddr(8080, &ss), sizeof(sockaddr_in6));
  EXPECT_EQ(IpAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&ss), sizeof ss)->ToString(),
            "::1");
  EXPECT_EQ(UrlHost("::1"), "[::1]");
  EXPECT_EQ(UrlHost("localhost"), "localhost");
}

TEST_F(NameLookupTest, BothFamiliesAddressesComeWithoutAskingAndNamesInTheResolversOrder) {
  int error = -1;
  std::vector<IpAddress> found;
  auto literal = NameLookup::StartAny("[::1]", [&](int e, const std::vector<IpAddress>& a) {
    error = e;
    found = a;
  });
  EXPECT_EQ(LookupsInFlight(), 0u) << "an address needs no lookup";
  EXPECT_EQ(error, -1) << "never answered from inside Start";
  ASSERT_TRUE(WaitReal([&] { return error != -1; }));
  EXPECT_EQ(error, 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].ToString(), "::1");

  // A name gets all its addresses, each once, in the order the resolver gives them.
  std::string order;
  test::LocalhostIsBothFamilies(&order);
  error = -1;
  auto name = NameLookup::StartAny("localhost", [&](int e, const std::vector<IpAddress>& a) {
    error = e;
    found = a;
  });
  ASSERT_TRUE(WaitReal([&] { return error != -1; }));
  EXPECT_EQ(error, 0);
  std::string got;
  for (const auto& a : found) got += (got.empty() ? "" : " ") + a.ToString();
  EXPECT_EQ(got, order);

  // The task's lookup does the same; the IPv4-only lookup keeps to IPv4 and finds no
  // IPv4 address in an IPv6 one.
  LookupResult r = RunToCompletion(Lookup("::1"));
  ASSERT_EQ(r.addresses.size(), 1u);
  EXPECT_EQ(r.addresses[0].ToString(), "::1");
  r = RunToCompletion(Lookup("no such host"));
  EXPECT_EQ(r.error, 11001);
  EXPECT_TRUE(r.addresses.empty());
  error = -1;
  auto v4 = NameLookup::Start("::1", [&](int e, in_addr) { error = e; });
  ASSERT_TRUE(WaitReal([&] { return error != -1; }));
  EXPECT_NE(error, 0);
}

}  // namespace
}  // namespace sentrel
