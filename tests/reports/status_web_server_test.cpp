#include "reports/status_web_server.h"

#include <gtest/gtest.h>

#include <memory>

#include "model/text_pane.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "support/loop_client.h"
#include "support/test_env.h"
#include "status_test_util.h"

namespace sentrel {
namespace {

using test::LoopClient;
using test::PortHolder;
using test::ServeUntil;

class StatusWebServerTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    // Fake time stands still unless a test moves it, so no connection ages by accident.
    clock_.SetAutoAdvance(false);
    clock_.SetNow(EncodeDate(2024, 5, 1) + EncodeTime(8, 0, 0));
    list_.messagePane = &pane_;
    pane_.AddLine("2024-05-01 07:59:59 Sentrel 2.2 started");
    Server* s = list_.Items(list_.Add("web"));
    s->group = "Main";
    Monitor* m = s->ports.Items(s->ports.Add("http"));
    m->status = "green";
    m->SetValue("url", "http://localhost/");
    server_ = std::make_unique<StatusWebServer>(list_, [this](const std::string& t) {
      panel_ = t;
      ++panelChanges_;
    });
    server_->SetPorts({0});
  }
  void TearDown() override {
    server_.reset();
    CoreFixture::TearDown();
  }

  std::string ExpectedReply() { return test::StatusPageReply(list_); }
  // Sends the bytes on a new connection and waits for the end of the reply.
  std::string Ask(const std::string& bytes) {
    LoopClient c(server_->Port());
    c.Send(bytes);
    EXPECT_TRUE(ServeUntil([&] { return c.Finished(); }));
    EXPECT_TRUE(c.Eof());
    return c.Received();
  }
  std::string RequestsText(int n) {
    return "Sentrel-Webserver (Port " + std::to_string(server_->Port()) +
           "): " + std::to_string(n) + " requests";
  }

  ServerList list_;
  TextPane pane_{"Messages/Errors"};
  std::unique_ptr<StatusWebServer> server_;
  std::string panel_;
  int panelChanges_ = 0;
};

TEST_F(StatusWebServerTest, AnyRequestGetsTheWholePageAndIsCounted) {
  server_->StartWebserver();
  ASSERT_TRUE(server_->Listening());
  ASSERT_NE(server_->Port(), 0);
  EXPECT_EQ(panel_, "Sentrel-Webserver (Port " + std::to_string(server_->Port()) + "): idle");

  EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n"), ExpectedReply());
  EXPECT_EQ(server_->requestCount, 1);
  EXPECT_EQ(panel_, RequestsText(1));

  EXPECT_EQ(Ask("GET /favicon.ico HTTP/1.1\r\nHost: localhost\r\n\r\n"), ExpectedReply());
  EXPECT_EQ(Ask(std::string("\x00\xff\x16\x03\x01garbage\r\n", 13)), ExpectedReply());
  EXPECT_EQ(Ask("POST /x"), ExpectedReply());  // incomplete
  EXPECT_EQ(server_->requestCount, 4);
  EXPECT_EQ(panel_, RequestsText(4));
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
}

// The page is kept between requests and made again only after a change, at most once a
// second: after each kind of change, once the second has passed, the page served is the
// page made fresh from the model; requests in between cost no page.
TEST_F(StatusWebServerTest, KeptPageEqualsAFreshOneAfterEveryKindOfChange) {
  server_->StartWebserver();
  const uint64_t atStart = server_->PageBuilds();
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  for (int i = 0; i < 20; ++i) Ask("GET /");
  EXPECT_EQ(server_->PageBuilds(), atStart);

  Monitor* monitor = list_.Items(0)->ports.Items(0);
  auto changed = [&](const char* what) {
    clock_.AdvanceMs(StatusWebServer::kRefreshMs);
    const uint64_t builds = server_->PageBuilds();
    EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n"), ExpectedReply()) << what;
    EXPECT_EQ(Ask("GET / HTTP/1.0\r\n\r\n"), ExpectedReply()) << what;
    EXPECT_EQ(server_->PageBuilds(), builds) << what << ": a request made the page";
  };
  // Status changes, as the checks make them.
  monitor->status = "red";
  monitor->lostCount = 3;
  monitor->lastUp = clock_.Now() - 0.01;
  changed("red");
  monitor->lostCount = 4;
  changed("lost count");
  monitor->lastResponseMs = 1234;
  changed("request time");
  monitor->status = "green";
  changed("green");
  // The History.
  pane_.AddLine("2024-05-01 08:00:01 web http DOWN (2) 0ms 0 bytes <b>gone</b>");
  changed("history line");
  for (int i = 0; i < 1200; ++i) pane_.AddLine("line " + std::to_string(i));
  changed("full history");
  pane_.Clear();
  changed("history cleared");
  TextPane other("Messages/Errors");
  other.AddLine("from another pane");
  list_.messagePane = &other;
  changed("another pane");
  list_.messagePane = &pane_;
  // The configuration.
  monitor->SetValue("url", "http://localhost/health");
  changed("url");
  monitor->port = 8080;
  changed("port");
  Server* added = list_.Items(list_.Add("db"));
  added->group = "Back";
  added->ports.Items(added->ports.Add("port"))->port = 5432;
  changed("server added");
  added->name = "db1";
  changed("renamed");
  added->group = "Main";
  changed("group");
  list_.Delete(list_.IndexOf(added));
  changed("server deleted");
  list_.Items(0)->ports.Add("ping");
  changed("monitor added");
  // The web toggle, with other addresses for the logo and the sound.
  server_->StopWebserver();
  server_->SetAddresses(StatusPageAddresses::ForSite("http://intranet.example", ""));
  server_->StartWebserver();
  EXPECT_EQ(Ask("GET /"),
            test::StatusPageReply(list_, StatusPageAddresses::ForSite("http://intranet.example", "")));
  EXPECT_EQ(server_->GetStatusHTML(),
            GetStatusHTML(list_, StatusPageAddresses::ForSite("http://intranet.example", "")));
  EXPECT_TRUE(errors_.empty());
}

// Only the clock line is made each second; a change shows no earlier than a second
// after the page was last made, and no request in between makes it.
TEST_F(StatusWebServerTest, PageIsMadeAtMostOnceASecond) {
  server_->StartWebserver();
  Ask("GET /");
  const uint64_t builds = server_->PageBuilds();
  const std::string before = Ask("GET /");
  list_.Items(0)->ports.Items(0)->status = "yellow";
  clock_.AdvanceMs(StatusWebServer::kRefreshMs - 1);
  EXPECT_EQ(Ask("GET /"), before);
  EXPECT_EQ(server_->PageBuilds(), builds);
  clock_.AdvanceMs(1);
  EXPECT_EQ(server_->PageBuilds(), builds + 1);
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  // Seconds without a change cost no page, only a new clock line.
  for (int i = 0; i < 5; ++i) {
    clock_.AdvanceMs(StatusWebServer::kRefreshMs);
    clock_.SetNow(clock_.Now() + 1.0 / 86400);
    EXPECT_EQ(Ask("GET /"), ExpectedReply());
  }
  EXPECT_EQ(server_->PageBuilds(), builds + 1);
}

// Nobody reads the page: it is not kept up to date. The first request after the quiet
// time gets the page as it is then.
TEST_F(StatusWebServerTest, UnreadPageCostsNothingAndIsCurrentWhenAskedAgain) {
  server_->StartWebserver();
  Ask("GET /");
  clock_.AdvanceMs(StatusWebServer::kWarmMs + 5000);
  const uint64_t builds = server_->PageBuilds();
  for (int i = 0; i < 30; ++i) {
    list_.Items(0)->ports.Items(0)->lastResponseMs = i;
    clock_.AdvanceMs(StatusWebServer::kRefreshMs);
  }
  EXPECT_EQ(server_->PageBuilds(), builds);
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
}

TEST_F(StatusWebServerTest, RequestInTwoPiecesIsAnsweredOnceAfterTheFirst) {
  server_->StartWebserver();
  LoopClient c(server_->Port());
  c.Send("GET / HT");
  ASSERT_TRUE(ServeUntil([&] { return c.Received().size() >= ExpectedReply().size(); }));
  c.Send("TP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return c.Finished(); }));
  EXPECT_TRUE(c.Eof());
  EXPECT_EQ(c.Received(), ExpectedReply());
  EXPECT_EQ(server_->requestCount, 1);
  EXPECT_TRUE(errors_.empty());
}

TEST_F(StatusWebServerTest, EmptyConnectionIsClosedQuietlyAndNotCounted) {
  server_->StartWebserver();
  {
    LoopClient c(server_->Port());
    ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
  }
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
  EXPECT_EQ(server_->requestCount, 0);
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(panelChanges_, 1);  // only the start
}

TEST_F(StatusWebServerTest, ConnectionThatSendsNothingIsClosedAfterFiveSeconds) {
  server_->StartWebserver();
  LoopClient idle(server_->Port());
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
  clock_.AdvanceMs(StatusWebServer::kIdleLimitMs - 1);
  EXPECT_EQ(server_->ConnectionCount(), 1u);
  clock_.AdvanceMs(1);
  EXPECT_EQ(server_->ConnectionCount(), 0u);
  ASSERT_TRUE(ServeUntil([&] { return idle.Finished(); }));
  EXPECT_TRUE(idle.Eof());
  EXPECT_EQ(idle.Received(), "");
  EXPECT_EQ(server_->requestCount, 0);
}

// However little the client's socket takes at a time, the whole page arrives before the
// end of the connection. Loopback send buffers grow to some megabytes, so the page has
// to be larger than that before the sends come back short.
TEST_F(StatusWebServerTest, SlowReaderGetsTheWholeLargePage) {
  for (int i = 0; i < 1200; ++i)
    pane_.AddLine("2024-05-01 07:00:00 web http DOWN (2) 10000ms 0 bytes Timeout " +
                  std::to_string(i));
  for (int i = 0; i < 30000; ++i) {
    Server* s = list_.Items(list_.Add("host" + std::to_string(i)));
    s->group = "Group " + std::to_string(i % 7);
    s->ports.Items(s->ports.Add("port"))->status = i % 3 ? "green" : "yellow";
  }
  server_->StartWebserver();
  const std::string expected = ExpectedReply();
  ASSERT_GT(expected.size(), 8000000u);
  LoopClient c(server_->Port(), 4096, 8192);
  c.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return c.Finished(); }, 30000));
  EXPECT_TRUE(c.Eof());
  EXPECT_EQ(c.Received().size(), expected.size());
  EXPECT_TRUE(c.Received() == expected);
  EXPECT_TRUE(errors_.empty());
}

// A client that goes away is normal for a web server: nothing goes to the errors log.
TEST_F(StatusWebServerTest, ClientResetBeforeAskingIsQuietAndServingGoesOn) {
  server_->StartWebserver();
  {
    LoopClient c(server_->Port());
    ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
    c.Reset();
  }
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(server_->Counters().disconnects, 0u);  // it asked for nothing
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
}

TEST_F(StatusWebServerTest, FallsBackToTheNextPortAndReturnsToTheFirstWhenFree) {
  auto first = std::make_unique<PortHolder>();
  const int firstPort = first->Port();
  const int secondPort = test::FreePort();
  server_->SetPorts({firstPort, secondPort});
  server_->StartWebserver();
  ASSERT_TRUE(server_->Listening());
  EXPECT_EQ(server_->Port(), secondPort);
  EXPECT_EQ(panel_, "Sentrel-Webserver (Port " + std::to_string(secondPort) + "): idle");
  EXPECT_EQ(Ask("GET /"), ExpectedReply());

  first.reset();
  server_->StopWebserver();
  EXPECT_FALSE(server_->Listening());
  server_->StartWebserver();
  EXPECT_EQ(server_->Port(), firstPort);
  EXPECT_EQ(panel_, "Sentrel-Webserver (Port " + std::to_string(firstPort) + "): idle");
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  // Counting goes on across stop and start.
  EXPECT_EQ(server_->requestCount, 2);
  EXPECT_EQ(panel_, RequestsText(2));
}

TEST_F(StatusWebServerTest, NoPortFreeLeavesItStoppedAndNamesThePortsTried) {
  PortHolder a, b;
  server_->SetPorts({a.Port(), b.Port()});
  server_->StartWebserver();
  EXPECT_FALSE(server_->Listening());
  EXPECT_EQ(panel_, "Sentrel-Webserver could not be started on " + std::to_string(a.Port()) +
                        " and " + std::to_string(b.Port()));
  EXPECT_EQ(StatusWebServer::CouldNotStartText({80, 8080, 8081}),
            "Sentrel-Webserver could not be started on 80, 8080 and 8081");
  EXPECT_EQ(StatusWebServer::CouldNotStartText({8000}),
            "Sentrel-Webserver could not be started on 8000");
  EXPECT_EQ(StatusWebServer::CouldNotStartText({1, 2, 3, 4}),
            "Sentrel-Webserver could not be started on 1, 2, 3 and 4");
}

TEST_F(StatusWebServerTest, StoppingClosesOpenConnections) {
  server_->StartWebserver();
  LoopClient idle(server_->Port());
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
  server_->StopWebserver();
  EXPECT_EQ(server_->ConnectionCount(), 0u);
  ASSERT_TRUE(ServeUntil([&] { return idle.Finished(); }));
  EXPECT_EQ(idle.Received(), "");
}

}  // namespace
}  // namespace sentrel
