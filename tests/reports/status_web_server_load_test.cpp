// Load and fault tests of the status web server on loopback. Every loop here is bounded
// in count and in real time, and each test stops by itself.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "model/text_pane.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "reports/status_web_server.h"
#include "support/loop_client.h"
#include "support/test_env.h"
#include "status_test_util.h"

namespace sentrel {
namespace {

using test::LoopClient;
using test::ServeUntil;

class StatusWebServerLoadTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetAutoAdvance(false);
    clock_.SetNow(EncodeDate(2024, 5, 1) + EncodeTime(8, 0, 0));
    list_.messagePane = &pane_;
    server_ = std::make_unique<StatusWebServer>(list_, [](const std::string&) {});
    server_->SetPorts({0});
  }
  void TearDown() override {
    server_.reset();
    CoreFixture::TearDown();
  }
  // A busy installation: servers with three monitors each and a full History.
  void FillModel(int servers) {
    static const char* kStatus[] = {"green", "green", "yellow", "red", ""};
    for (int i = 0; i < servers; ++i) {
      Server* s = list_.Items(list_.Add("server" + std::to_string(i)));
      s->group = "Group " + std::to_string(i / 10);
      for (const char* typ : {"ping", "http", "port"}) {
        Monitor* m = s->ports.Items(s->ports.Add(typ));
        m->status = kStatus[(i + m->port) % 5];
        m->lastResponseMs = i * 3;
        m->lostCount = 4;
        m->SetValue("url", "http://localhost/status?id=" + std::to_string(i));
      }
    }
    for (int i = 0; i < 1001; ++i)
      pane_.AddLine("2024-05-01 07:00:00 server" + std::to_string(i % servers) +
                    " http DOWN (2) 10000ms 0 bytes 500 Internal Server Error");
  }
  std::string Expected() { return test::StatusPageReply(list_); }
  static bool AllFinished(const std::vector<std::unique_ptr<LoopClient>>& clients) {
    for (const auto& c : clients)
      if (!c->Finished()) return false;
    return true;
  }

  ServerList list_;
  TextPane pane_{"Messages/Errors"};
  std::unique_ptr<StatusWebServer> server_;
};

TEST_F(StatusWebServerLoadTest, FiveHundredIdleConnectionsDoNotStopTheAnswers) {
  FillModel(100);
  server_->StartWebserver();
  const std::string expected = Expected();

  std::vector<std::unique_ptr<LoopClient>> idle;
  for (int i = 0; i < 500; ++i) idle.push_back(std::make_unique<LoopClient>(server_->Port()));
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 500; }));

  for (int round = 0; round < 20; ++round) {
    LoopClient c(server_->Port());
    c.Send("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(ServeUntil([&] { return c.Finished(); }));
    ASSERT_TRUE(c.Received() == expected) << "round " << round;
  }
  EXPECT_EQ(server_->requestCount, 20);
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 500; }));
  for (const auto& c : idle) EXPECT_FALSE(c->Finished());

  // Five seconds of silence end them all, without a request being counted.
  clock_.AdvanceMs(StatusWebServer::kIdleLimitMs);
  EXPECT_EQ(server_->ConnectionCount(), 0u);
  ASSERT_TRUE(ServeUntil([&] { return AllFinished(idle); }));
  for (const auto& c : idle) EXPECT_EQ(c->Received(), "");
  EXPECT_EQ(server_->requestCount, 20);
  EXPECT_TRUE(errors_.empty());
}

TEST_F(StatusWebServerLoadTest, AtTheCapTheOldestIdleConnectionMakesRoom) {
  server_->StartWebserver();
  const size_t cap = StatusWebServer::kMaxConnections;
  std::vector<std::unique_ptr<LoopClient>> idle;
  for (size_t i = 0; i < cap; ++i) {
    idle.push_back(std::make_unique<LoopClient>(server_->Port()));
    // Accept in step, so acceptance order is connection order.
    if (i % 64 == 63) {
      ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == i + 1; }));
    }
  }
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == cap; }));

  for (int i = 0; i < 10; ++i) {
    idle.push_back(std::make_unique<LoopClient>(server_->Port()));
    ASSERT_TRUE(ServeUntil([&] { return idle[static_cast<size_t>(i)]->Finished(); }));
    EXPECT_EQ(server_->ConnectionCount(), cap);
  }
  // The ten oldest were closed for the ten newest; the rest are still open.
  for (size_t i = 10; i < idle.size(); ++i) EXPECT_FALSE(idle[i]->Finished()) << i;

  const std::string expected = Expected();
  LoopClient c(server_->Port());
  c.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return c.Finished(); }));
  EXPECT_TRUE(c.Received() == expected);
  EXPECT_TRUE(idle[10]->Finished());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(StatusWebServerLoadTest, BurstOfAHundredClientsAllGetCompletePages) {
  FillModel(100);
  server_->StartWebserver();
  const std::string expected = Expected();
  std::vector<std::unique_ptr<LoopClient>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<LoopClient>(server_->Port()));
    clients.back()->Send("GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
  }
  ASSERT_TRUE(ServeUntil([&] { return AllFinished(clients); }, 30000));
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_TRUE(clients[i]->Eof()) << i;
    EXPECT_TRUE(clients[i]->Received() == expected) << i;
  }
  EXPECT_EQ(server_->requestCount, 100);
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
  EXPECT_TRUE(errors_.empty());
}

// A hundred readers of /metrics that never read, one a second, with 10,000 monitors:
// each would keep its own version of the metrics. The superseded ones they keep stay
// within the budget (the readers of the oldest are closed first), and nothing stays
// kept once they are gone.
TEST_F(StatusWebServerLoadTest, SlowReadersKeepNoMoreThanTheBudget) {
  FillModel(3334);
  server_->StartWebserver();
  LoopClient first(server_->Port());
  first.Send("GET /metrics HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return first.Finished(); }));
  const size_t metrics = first.Received().size();
  ASSERT_GT(metrics, 1'000'000u);
  // What the server keeps for itself: the current versions.
  const size_t kept = SharedReplyBody::LiveFootprint();

  std::vector<std::unique_ptr<LoopClient>> readers;
  size_t mostPinned = 0, mostLive = 0;
  for (int i = 0; i < 100; ++i) {
    clock_.AdvanceMs(1000);  // every reader gets a version of its own
    readers.push_back(std::make_unique<LoopClient>(server_->Port(), 4096, 4096));
    LoopClient& r = *readers.back();
    r.OnData([&r] { r.StopReading(); });
    r.Send("GET /metrics HTTP/1.0\r\n\r\n");
    const uint64_t before = server_->Counters().requests;
    ASSERT_TRUE(ServeUntil([&] { return server_->Counters().requests > before; }));
    mostPinned = std::max(mostPinned, server_->PinnedBytes());
    mostLive = std::max(mostLive, SharedReplyBody::LiveFootprint());
  }
  std::printf("metrics %zu bytes; most kept by readers %zu, most alive %zu, readers closed %llu\n",
              metrics, mostPinned, mostLive,
              static_cast<unsigned long long>(server_->PinnedClosed()));
  EXPECT_LE(mostPinned, StatusWebServer::kPinnedBudget);
  EXPECT_LE(mostLive, StatusWebServer::kPinnedBudget + kept + 2 * metrics);
  EXPECT_GT(server_->PinnedClosed(), 0u);

  for (auto& r : readers) r->Reset();
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }, 20000));
  EXPECT_EQ(server_->PinnedBytes(), 0u);
  EXPECT_LE(SharedReplyBody::LiveFootprint(), kept + 4096) << "only the current versions";
}

TEST_F(StatusWebServerLoadTest, ClientResettingMidReplyDisturbsNobodyElse) {
  // A page larger than the kernel buffers, so the reply is still being sent when the
  // client goes away.
  FillModel(100);
  for (int i = 0; i < 30000; ++i) {
    Server* s = list_.Items(list_.Add("extra" + std::to_string(i)));
    s->group = "Extra";
    s->ports.Items(s->ports.Add("port"))->status = "green";
  }
  server_->StartWebserver();
  const std::string expected = Expected();
  ASSERT_GT(expected.size(), 8000000u);

  LoopClient quitter(server_->Port(), 4096, 4096);
  quitter.OnData([&] { quitter.StopReading(); });
  quitter.Send("GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return !quitter.Received().empty(); }));

  std::vector<std::unique_ptr<LoopClient>> others;
  for (int i = 0; i < 8; ++i) {
    others.push_back(std::make_unique<LoopClient>(server_->Port()));
    others.back()->Send("GET / HTTP/1.0\r\n\r\n");
  }
  // Let the others get going, then the quitter resets in the middle of its page.
  ASSERT_TRUE(ServeUntil([&] {
    for (const auto& c : others)
      if (c->Received().size() < 100000) return false;
    return true;
  }));
  quitter.Reset();

  ASSERT_TRUE(ServeUntil([&] { return AllFinished(others); }, 60000));
  for (size_t i = 0; i < others.size(); ++i) {
    EXPECT_TRUE(others[i]->Eof()) << i;
    EXPECT_EQ(others[i]->Received().size(), expected.size()) << i;
    EXPECT_TRUE(others[i]->Received() == expected) << i;
  }
  ASSERT_TRUE(ServeUntil([&] { return server_->ConnectionCount() == 0; }));
  // Counted, not logged: a browser that goes away is no error of the program.
  EXPECT_TRUE(errors_.empty()) << errors_[0];
  EXPECT_EQ(server_->Counters().disconnects, 1u);
  EXPECT_EQ(server_->requestCount, 9);
}

}  // namespace
}  // namespace sentrel
