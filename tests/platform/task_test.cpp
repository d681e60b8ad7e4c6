// The task type and what tasks wait for: results and errors travel up the chain, long
// chains do not grow the stack, and a task destroyed where it waits leaves nothing
// registered with the loop.
#include "platform/task.h"

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

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

Task<std::string> Word(std::string word) {
  co_await Yield();
  co_return word;
}

// A task that has ended is never resumed again: awaiting it once more gives its outcome.
Task<std::string> AwaitsTwice() {
  Task<std::string> task = Word("ok");
  std::string first = co_await task;
  std::string second = co_await task;
  co_return first + " " + second;
}

Task<void> AwaitsNothing() {
  Task<void> none;
  co_await none;
}

TEST_F(TaskTest, ValuesAndErrorsTravelUpTheChainWithoutGrowingTheStack) {
  EXPECT_EQ(RunToCompletion(Chain(2000)), 2000);
  EXPECT_EQ(RunToCompletion(Sum(1'000'000)), 1'000'000);
  EXPECT_EQ(RunToCompletion(Catches()), "caught broken");
  EXPECT_THROW(RunToCompletion(Fails()), SentrelError);
  EXPECT_EQ(RunToCompletion(AwaitsTwice()), "ok ok");
  EXPECT_THROW(RunToCompletion(AwaitsNothing()), std::logic_error);
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

// Counts the destruction of the frame that holds it.
struct FrameMark {
  int* destroyed;
  ~FrameMark() { ++*destroyed; }
};

enum class Loss { kCancelsItself, kCancelsItselfAndServesTheLoop, kDestroysItsGroup };

Task<void> LosesItsOwner(std::unique_ptr<TaskGroup>* group, const TaskGroup::Id* self, Loss loss,
                         int* destroyed, int* seen) {
  FrameMark mark{destroyed};
  co_await Yield();
  if (loss == Loss::kDestroysItsGroup)
    group->reset();
  else
    (*group)->Cancel(*self);
  // As a modal dialog opened from here would: the loop runs while this task is on the stack.
  if (loss == Loss::kCancelsItselfAndServesTheLoop) CurrentLoop().Pump();
  *seen = *destroyed;
  co_await Yield();
  *seen = -1;  // never resumed again
}

TEST_F(TaskTest, ATaskThatLosesItsOwnerWhileItRunsStaysWholeUntilItSuspends) {
  for (Loss loss : {Loss::kCancelsItself, Loss::kCancelsItselfAndServesTheLoop,
                    Loss::kDestroysItsGroup}) {
    SCOPED_TRACE(static_cast<int>(loss));
    const size_t timersBefore = loop_->TimerCount();
    auto group = std::make_unique<TaskGroup>();
    TaskGroup::Id id = 0;
    int destroyed = 0;
    int seen = -2;
    id = group->Start(LosesItsOwner(&group, &id, loss, &destroyed, &seen), "loser");
    ASSERT_TRUE(loop_->WaitUntil([&] { return destroyed > 0; }, 1000));
    EXPECT_EQ(seen, 0) << "the frame was destroyed while it ran";
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(group ? group->Size() : 0u, 0u);
    loop_->Pump();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(loop_->TimerCount(), timersBefore);
  }
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

Task<void> Busy() {
  for (int i = 0; i < 3; ++i) {
    LastActivity = "GetStatusHTML";
    co_await Yield();
  }
}

// Starts other work halfway, which runs up to its first wait and sets its own text.
Task<void> Reports(TaskGroup* others) {
  LastActivity = "Mail to ops";
  co_await Yield();
  LastActivity = "Mail to ops: DATA";
  others->Start(Busy(), "web");
  co_await Yield();
  throw SentrelError("Mail server did not complete the dialogue within 60 seconds");
}

// Fails in the same resumption that named what it does.
Task<void> FailsAtOnce() {
  co_await Yield();
  LastActivity = "IPEvent.DoSerial";
  throw SentrelError("Serial port gone");
}

TEST_F(TaskTest, AnErrorThatEndsATaskNamesThatTasksActivity) {
  std::vector<std::string> causes;
  loop_->SetErrorHandler([&](const std::string& m) { causes.push_back(m + " | " + LastActivity); });
  TaskGroup group;
  TaskGroup others;
  group.Start(Reports(&others), "mail");
  group.Start(FailsAtOnce(), "serial");
  others.Start(Busy(), "web");
  ASSERT_TRUE(loop_->WaitUntil([&] { return group.Size() + others.Size() == 0; }, 1000));
  EXPECT_EQ(causes, (std::vector<std::string>{
                        "Serial port gone | IPEvent.DoSerial",
                        "Mail server did not complete the dialogue within 60 seconds | Mail to ops: DATA"}));
}

}  // namespace
}  // namespace sentrel::test
