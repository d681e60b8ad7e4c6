#include "platform/event_loop.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "platform/error.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class EventLoopTest : public CoreFixture {
 protected:
  EventLoop& loop() { return *loop_; }
};

TEST_F(EventLoopTest, TimersFireInDueOrderOnTheFakeClock) {
  std::vector<int> fired;
  loop().AddTimer(300, [&] { fired.push_back(3); });
  loop().AddTimer(100, [&] { fired.push_back(1); });
  auto id = loop().AddTimer(200, [&] { fired.push_back(2); });
  loop().CancelTimer(id);
  clock_.AdvanceMs(99);
  EXPECT_TRUE(fired.empty());
  clock_.AdvanceMs(1);
  EXPECT_EQ(fired, std::vector<int>({1}));
  clock_.AdvanceMs(500);
  EXPECT_EQ(fired, std::vector<int>({1, 3}));
  EXPECT_FALSE(loop().TimerPending(id));
}

TEST_F(EventLoopTest, WaitUntilADeadlineTakesNoRealTimeOnTheFakeClock) {
  auto start = std::chrono::steady_clock::now();
  int64_t before = clock_.MonotonicMs();
  EXPECT_FALSE(loop().WaitUntil([] { return false; }, 10'000));
  EXPECT_GE(clock_.MonotonicMs() - before, 10'000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(EventLoopTest, WaitUntilServesDescriptorsAndTimers) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  bool readable = false;
  loop().Watch(fds[0], EPOLLIN, [&](uint32_t) {
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    readable = true;
  });
  loop().AddTimer(500, [&] { ASSERT_EQ(write(fds[1], "x", 1), 1); });
  EXPECT_TRUE(loop().WaitUntil([&] { return readable; }, 5000));
  loop().Unwatch(fds[0]);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(EventLoopTest, ACallbackMayRemoveAnotherWatcherOfTheSameRound) {
  int a[2], b[2];
  ASSERT_EQ(pipe(a), 0);
  ASSERT_EQ(pipe(b), 0);
  ASSERT_EQ(write(a[1], "x", 1), 1);
  ASSERT_EQ(write(b[1], "x", 1), 1);
  int calls = 0;
  // Whichever runs first removes the other; the other must not be called.
  loop().Watch(a[0], EPOLLIN, [&](uint32_t) { ++calls; loop().Unwatch(b[0]); loop().Unwatch(a[0]); });
  loop().Watch(b[0], EPOLLIN, [&](uint32_t) { ++calls; loop().Unwatch(a[0]); loop().Unwatch(b[0]); });
  loop().Pump();
  loop().Pump();
  EXPECT_EQ(calls, 1);
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

TEST_F(EventLoopTest, NestedPumpsAndTheErrorBoundary) {
  std::vector<std::string> order;
  loop().Post([&] {
    order.push_back("outer");
    loop().Post([&] { order.push_back("inner"); });
    loop().Pump();  // a pump inside a callback serves what waits, in posting order
    order.push_back("outer done");
  });
  loop().Post([&] { throw SentrelError("boom"); });
  loop().Post([&] { order.push_back("after error"); });
  loop().Pump();
  loop().Pump();
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "after error", "inner", "outer done"}));
  EXPECT_EQ(errors_, std::vector<std::string>({"boom"}));
}

TEST_F(EventLoopTest, QuitEndsOnlyTheOutermostRun) {
  bool nestedFinished = false;
  loop().Post([&] {
    loop().Quit();
    // A nested wait keeps going until its own condition holds.
    int ticks = 0;
    loop().WaitUntil([&] { return ++ticks > 3; }, 1000);
    nestedFinished = true;
  });
  loop().Run();
  EXPECT_TRUE(nestedFinished);
}

// A second watcher would silently take the first one's events: it is refused instead.
TEST_F(EventLoopTest, ADescriptorHasOneWatcher) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int first = 0;
  int second = 0;
  loop().Watch(fds[0], EPOLLIN, [&](uint32_t) { ++first; });
  EXPECT_THROW(loop().Watch(fds[0], EPOLLIN, [&](uint32_t) { ++second; }), std::logic_error);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  loop().Pump();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  loop().Unwatch(fds[0]);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(EventLoopTest, SelfRepostingCallbackDoesNotStarveThePump) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop().Post(again);
  };
  loop().Post(again);
  loop().Pump();
  EXPECT_EQ(runs, 1);
  loop().Pump();
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace sentrel::test
