// The core loop inside Qt's: descriptors and core timers wake Qt's loop, nested waits
// serve both sides, and an idle loop sleeps until the next deadline.
#include "gui/qt_event_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "platform/clock.h"

namespace sentrel::gui::test {
namespace {

class QtEventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_ = std::make_unique<QtEventLoop>();
    SetCurrentLoop(loop_.get());
    ASSERT_EQ(pipe(pipe_), 0);
  }
  void TearDown() override {
    loop_->Unwatch(pipe_[0]);
    close(pipe_[0]);
    close(pipe_[1]);
    SetCurrentLoop(nullptr);
    loop_.reset();
  }
  void Poke() { ASSERT_EQ(write(pipe_[1], "x", 1), 1); }
  void Drain() {
    char c;
    ASSERT_EQ(read(pipe_[0], &c, 1), 1);
  }

  std::unique_ptr<QtEventLoop> loop_;
  int pipe_[2] = {-1, -1};
};

TEST_F(QtEventLoopTest, CoreTimersAndDescriptorsRunFromQtsLoop) {
  QElapsedTimer t;
  t.start();
  qint64 firedAt = -1;
  loop_->AddTimer(60, [&] { firedAt = t.elapsed(); });
  int reads = 0;
  loop_->Watch(pipe_[0], EPOLLIN, [&](uint32_t) {
    Drain();
    ++reads;
  });
  QTimer::singleShot(10, [&] { Poke(); });
  QTRY_VERIFY_WITH_TIMEOUT(firedAt >= 0 && reads == 1, 2000);
  EXPECT_GE(firedAt, 60);
  EXPECT_LT(firedAt, 500);
}

TEST_F(QtEventLoopTest, ANestedWaitServesQtAndTheCoreAndEndsOnItsCondition) {
  // A wait inside a core timer callback (as a port check inside a pass): a Qt timer
  // fires while it waits, and the descriptor that ends it is heard although the wait
  // runs inside the dispatch that the descriptor's notifier would start.
  bool qtServed = false;
  bool ready = false;
  bool waited = false;
  qint64 took = -1;
  loop_->Watch(pipe_[0], EPOLLIN, [&](uint32_t) {
    Drain();
    ready = true;
  });
  loop_->AddTimer(0, [&] {
    QTimer::singleShot(20, [&] { qtServed = true; });
    QTimer::singleShot(80, [&] { Poke(); });
    QElapsedTimer t;
    t.start();
    waited = loop_->WaitUntil([&] { return ready; }, 5000);
    took = t.elapsed();
  });
  QTRY_VERIFY_WITH_TIMEOUT(took >= 0, 6000);
  EXPECT_TRUE(waited);
  EXPECT_TRUE(qtServed);
  EXPECT_GE(took, 70);
  EXPECT_LT(took, 1000);
  EXPECT_EQ(loop_->NestedWaits(), 0);

  // A wait whose condition never holds ends at its deadline.
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(loop_->WaitUntil([] { return false; }, 150));
  EXPECT_GE(t.elapsed(), 150);
  EXPECT_LT(t.elapsed(), 1000);
}

TEST_F(QtEventLoopTest, AnIdleLoopWakesOnlyForTheNextTimer) {
  // A one-second tick as the scan timer makes it: re-armed by its own callback.
  int ticks = 0;
  std::function<void()> tick = [&] {
    ++ticks;
    loop_->AddTimer(250, tick);
  };
  QElapsedTimer t;
  t.start();
  loop_->AddTimer(250, tick);
  const uint64_t before = loop_->Wakeups();
  // A loaded machine may run a tick late, so the test waits for the ticks rather than
  // for a fixed time; what it looks at is the wake-ups each tick costs.
  QTRY_VERIFY_WITH_TIMEOUT(ticks >= 4, 10000);
  ASSERT_GE(ticks, 4);
  EXPECT_GE(t.elapsed(), 4 * 250);  // never early
  // Each tick is one wake-up; nothing polls in between.
  EXPECT_LE(loop_->Wakeups() - before, static_cast<uint64_t>(ticks) + 1);
  // A cancelled timer leaves nothing armed.
  loop_->CancelTimer(loop_->AddTimer(50, [] { FAIL(); }));
  QTest::qWait(100);
}

TEST_F(QtEventLoopTest, WorkMarkersSayWhenTheOutermostWorkHasEnded) {
  int settled = 0;
  QObject::connect(loop_.get(), &QtEventLoop::Settled, [&] { ++settled; });
  {
    QtEventLoop::Work outer(*loop_);
    EXPECT_TRUE(loop_->Busy());
    { QtEventLoop::Work inner(*loop_); }
    EXPECT_EQ(settled, 0);
  }
  EXPECT_FALSE(loop_->Busy());
  EXPECT_EQ(settled, 1);
}

}  // namespace
}  // namespace sentrel::gui::test
