#include "reports/status_web_server.h"

#include <gtest/gtest.h>

#include <memory>

#include "model/text_pane.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "support/loop_client.h"
#include "support/test_env.h"

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
    TServer* s = list_.Items(list_.Add("web"));
    s->group = "Main";
    TPort* m = s->ports.Items(s->ports.Add("http"));
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

  std::string ExpectedReply() {
    return std::string(kStatusReplyHeader) + GetStatusHTML(list_, StatusPageAddresses{});
  }
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

  TServerList list_;
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

// The History rows are kept between requests while the pane stays as it is; every
// change of the pane shows on the next request.
TEST_F(StatusWebServerTest, EachReplyShowsThePaneAsItIsNow) {
  server_->StartWebserver();
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  pane_.AddLine("2024-05-01 08:00:01 web http DOWN (2) 0ms 0 bytes <b>gone</b>");
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  for (int i = 0; i < 1200; ++i) pane_.AddLine("line " + std::to_string(i));
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  pane_.Clear();
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  TextPane other("Messages/Errors");
  other.AddLine("from another pane");
  list_.messagePane = &other;
  EXPECT_EQ(Ask("GET /"), ExpectedReply());
  EXPECT_EQ(server_->GetStatusHTML(), GetStatusHTML(list_, StatusPageAddresses{}));
  list_.messagePane = &pane_;
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
    TServer* s = list_.Items(list_.Add("host" + std::to_string(i)));
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

TEST_F(StatusWebServerTest, ClientResetBeforeAskingIsRecordedAndServingGoesOn) {
  server_->StartWebserver();
  {
    LoopClient c(server_->Port());
    ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 1; }));
    c.Reset();
  }
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find("Sentrel-Webserver: recv failed: Connection reset by peer"),
            std::string::npos);
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
