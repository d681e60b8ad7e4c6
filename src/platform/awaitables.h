#pragma once

// The things a task can wait for. Each one registers with the loop when its task
// suspends and lets go when it resumes or when the task is destroyed where it waits, so
// a cancelled task leaves no watch, timer or waiter behind. Deadlines are on the
// program's monotonic clock in milliseconds; a negative deadline means none.

#include <coroutine>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/task.h"

namespace sentrel {

// What every awaitable here shares: the task it suspended and how to resume it.
class LoopAwaiter {
 public:
  LoopAwaiter() = default;
  LoopAwaiter(const LoopAwaiter&) = delete;
  LoopAwaiter& operator=(const LoopAwaiter&) = delete;
  bool await_ready() const noexcept { return false; }

 protected:
  template <class P>
  void Capture(std::coroutine_handle<P> h) {
    handle_ = h;
    context_ = h.promise().context;
  }
  // Resumes the task. The awaiter lives in the task's frame and may be gone when this
  // returns: nothing may touch it afterwards.
  void Resume() {
    std::coroutine_handle<> h = handle_;
    std::shared_ptr<TaskContext> context = context_;
    ResumeTask(h, context);
  }

 private:
  std::coroutine_handle<> handle_;
  std::shared_ptr<TaskContext> context_;
};

// Resumes the task at a time on the monotonic clock (at once, from the loop, when that
// time has passed: it always gives the loop a turn).
class SleepUntil : public LoopAwaiter {
 public:
  explicit SleepUntil(int64_t dueMs) : due_(dueMs) {}
  ~SleepUntil();
  template <class P>
  void await_suspend(std::coroutine_handle<P> h) {
    Capture(h);
    Arm();
  }
  void await_resume() noexcept {}

 private:
  void Arm();
  int64_t due_;
  EventLoop::TimerId timer_ = 0;
};

// Sleeps for a while; SleepFor(0) lets everything that waits in the loop run first.
SleepUntil SleepFor(int64_t ms);
inline SleepUntil Yield() { return SleepFor(0); }

// Waits until the descriptor reports one of the epoll events, or the deadline passes.
// Returns the events that arrived, 0 on time-out. The descriptor must not be watched
// by anything else meanwhile.
class WaitFd : public LoopAwaiter {
 public:
  WaitFd(int fd, uint32_t events, int64_t deadlineMs) : fd_(fd), events_(events), deadline_(deadlineMs) {}
  ~WaitFd();
  template <class P>
  void await_suspend(std::coroutine_handle<P> h) {
    Capture(h);
    Arm();
  }
  uint32_t await_resume() noexcept { return got_; }

 private:
  void Arm();
  void Disarm();
  int fd_;
  uint32_t events_;
  int64_t deadline_;
  uint32_t got_ = 0;
  bool watching_ = false;
  EventLoop::TimerId timer_ = 0;
};

// A flag that callbacks set and tasks wait for: a socket's connect outcome, a request's
// completion. Waiters are resumed from the loop, never from inside Fire, so whoever
// fires never runs a waiting task on its own stack.
class Trigger {
  struct State;

 public:
  Trigger();
  ~Trigger();
  Trigger(const Trigger&) = delete;
  Trigger& operator=(const Trigger&) = delete;

  void Fire();

  class Awaiter : public LoopAwaiter {
   public:
    Awaiter(std::shared_ptr<State> state, int64_t deadlineMs)
        : state_(std::move(state)), deadline_(deadlineMs) {}
    ~Awaiter();
    bool await_ready() const noexcept;
    template <class P>
    void await_suspend(std::coroutine_handle<P> h) {
      Capture(h);
      Arm();
    }
    // True when the trigger fired, false when the deadline passed first.
    bool await_resume() const noexcept;

   private:
    friend class Trigger;
    void Arm();
    void Wake();
    void Disarm();
    std::shared_ptr<State> state_;
    int64_t deadline_;
    bool registered_ = false;
    EventLoop::TimerId timer_ = 0;
  };
  // Waits until the trigger has fired (at once when it has already).
  Awaiter Wait(int64_t deadlineMs = -1) { return Awaiter(state_, deadlineMs); }

 private:
  std::shared_ptr<State> state_;
};

// A lock that tasks take in turn, first come first served: two serial scripts never talk
// to one modem at once, and neither is lost.
class AsyncMutex {
 public:
  AsyncMutex() = default;
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  class Guard {
   public:
    Guard() = default;
    explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
    Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
    Guard& operator=(Guard&& other) noexcept;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { Release(); }
    void Release();

   private:
    AsyncMutex* mutex_ = nullptr;
  };

  class Awaiter : public LoopAwaiter {
   public:
    explicit Awaiter(AsyncMutex& mutex) : mutex_(mutex) {}
    ~Awaiter();
    bool await_ready() noexcept;
    template <class P>
    void await_suspend(std::coroutine_handle<P> h) {
      Capture(h);
      mutex_.waiters_.push_back(this);
    }
    Guard await_resume() noexcept;

   private:
    friend class AsyncMutex;
    AsyncMutex& mutex_;
    bool granted_ = false;  // the lock was handed over while this waited
    bool taken_ = false;    // await_resume took it into a guard
    EventLoop::TimerId wake_ = 0;
  };
  Awaiter Lock() { return Awaiter(*this); }
  bool Locked() const { return locked_; }
  size_t Waiting() const { return waiters_.size(); }

 private:
  void Unlock();
  bool locked_ = false;
  std::deque<Awaiter*> waiters_;
};

}  // namespace sentrel
