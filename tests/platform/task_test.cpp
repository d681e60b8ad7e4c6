// The task type and what tasks wait for: results and errors travel up the chain, long
// chains do not grow the stack, and a task destroyed where it waits leaves nothing
// registered with the loop.
#include "platform/task.h"

#include <sys/socket.h>
#include <unistd.h>

#include "platform/awaitables.h"
#include "platform/error.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class TaskTest : public CoreFixture {};

Task<int> Leaf(int v) { co_return v; }

Task<int> Chain(int depth) {
  if (depth == 0) co_return 0;
  co_return 1 + co_await Chain(depth - 1);
}

Task<int> Sum(int n) {
  int total = 0;
  // A million awaits of tasks that end at once: with symmetric transfer each resumes its
  // caller without a new stack frame.
  for (int i = 0; i < n; ++i) total += co_await Leaf(1);
  co_return total;
}

Task<void> Fails() {
  co_await Yield();
  throw SentrelError("broken");
}

Task<std::string> Catches() {
  try {
    co_await Fails();
  } catch (const SentrelError& e) {
    co_return std::string("caught ") + e.what();
  }
  co_return "nothing";
}

TEST_F(TaskTest, ValuesAndErrorsTravelUpTheChainWithoutGrowingTheStack) {
  EXPECT_EQ(RunToCompletion(Chain(2000)), 2000);
  EXPECT_EQ(RunToCompletion(Sum(1'000'000)), 1'000'000);
  EXPECT_EQ(RunToCompletion(Catches()), "caught broken");
  EXPECT_THROW(RunToCompletion(Fails()), SentrelError);
}

Task<void> SleepsThenCounts(int64_t ms, int* count) {
  co_await SleepFor(ms);
  ++*count;
}

Task<void> WaitsForever(int fd, bool* resumed) {
  co_await WaitFd(fd, EPOLLIN, -1);
  *resumed = true;
}

TEST_F(TaskTest, AGroupCancelsWhereTheTaskWaitsAndLeavesNothingBehind) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const size_t timersBefore = loop_->TimerCount();
  int count = 0;
  bool resumed = false;
  {
    TaskGroup group;
    group.Start(SleepsThenCounts(5000, &count), "sleeper");
    const TaskGroup::Id reader = group.Start(WaitsForever(pair[0], &resumed), "reader");
    EXPECT_EQ(group.Size(), 2u);
    EXPECT_TRUE(loop_->IsWatched(pair[0]));
    group.Cancel(reader);
    EXPECT_FALSE(loop_->IsWatched(pair[0]));
    EXPECT_FALSE(group.Running(reader));
    // The sleeper goes with the group.
  }
  EXPECT_EQ(loop_->TimerCount(), timersBefore);
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  clock_.AdvanceMs(10'000);
  loop_->Pump();
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(resumed);
  close(pair[0]);
  close(pair[1]);
}

Task<void> CancelsItself(TaskGroup* group, TaskGroup::Id* self, int* after) {
  group->Cancel(*self);  // while it runs: it must not be destroyed under itself
  ++*after;
  co_await Yield();
  ++*after;  // never reached: it is destroyed once suspended
}

TEST_F(TaskTest, ATaskCancelledWhileItRunsEndsAtItsNextSuspension) {
  TaskGroup group;
  TaskGroup::Id id = 1;  // a group numbers its tasks from 1; the body runs inside Start
  int after = 0;
  group.Start(CancelsItself(&group, &id, &after), "self");
  EXPECT_EQ(after, 1);
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() == 0; }, 1000));
  loop_->Pump();
  EXPECT_EQ(after, 1);
}

Task<void> TakesTurn(AsyncMutex* mutex, std::vector<std::string>* log, std::string name,
                     int64_t holdMs) {
  AsyncMutex::Guard turn = co_await mutex->Lock();
  log->push_back(name + " in");
  co_await SleepFor(holdMs);
  log->push_back(name + " out");
}

TEST_F(TaskTest, TheMutexServesInOrderAndACancelledWaiterPassesItsTurnOn) {
  AsyncMutex mutex;
  std::vector<std::string> log;
  TaskGroup group;
  group.Start(TakesTurn(&mutex, &log, "a", 100), "a");
  const TaskGroup::Id b = group.Start(TakesTurn(&mutex, &log, "b", 100), "b");
  group.Start(TakesTurn(&mutex, &log, "c", 100), "c");
  EXPECT_EQ(mutex.Waiting(), 2u);
  group.Cancel(b);
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() == 0; }, 10'000));
  EXPECT_EQ(log, (std::vector<std::string>{"a in", "a out", "c in", "c out"}));
  EXPECT_FALSE(mutex.Locked());
}

Task<void> WaitsForTrigger(Trigger* t, int64_t deadline, std::vector<bool>* out) {
  out->push_back(co_await t->Wait(deadline));
}

TEST_F(TaskTest, ATriggerWakesItsWaitersFromTheLoopOrTheDeadlineDoes) {
  Trigger t;
  std::vector<bool> got;
  TaskGroup group;
  group.Start(WaitsForTrigger(&t, clock_.MonotonicMs() + 1000, &got), "late");
  t.Fire();
  EXPECT_TRUE(got.empty()) << "never resumed from inside Fire";
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() == 0; }, 1000));
  EXPECT_EQ(got, std::vector<bool>{true});

  Trigger never;
  group.Start(WaitsForTrigger(&never, clock_.MonotonicMs() + 3000, &got), "never");
  const int64_t before = clock_.MonotonicMs();
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() == 0; }, 10'000));
  EXPECT_EQ(got, (std::vector<bool>{true, false}));
  EXPECT_EQ(clock_.MonotonicMs() - before, 3000);
}

Task<void> Reports() {
  LastActivity = "Mail to ops";
  co_await Yield();
  LastActivity = "Mail to ops: DATA";
  co_await Yield();
  throw SentrelError("Mail server did not complete the dialogue within 60 seconds");
}

Task<void> Busy() {
  for (int i = 0; i < 3; ++i) {
    LastActivity = "GetStatusHTML";
    co_await Yield();
  }
}

TEST_F(TaskTest, AnErrorThatEndsATaskNamesThatTasksActivity) {
  std::vector<std::string> causes;
  loop_->SetErrorHandler([&](const std::string& m) { causes.push_back(m + " | " + LastActivity); });
  TaskGroup group;
  group.Start(Reports(), "mail");
  group.Start(Busy(), "web");
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() == 0; }, 1000));
  EXPECT_EQ(causes, std::vector<std::string>{
                        "Mail server did not complete the dialogue within 60 seconds | Mail to ops: DATA"});
}

}  // namespace
}  // namespace sentrel::test
