#include "platform/awaitables.h"

#include <algorithm>

#include "platform/clock.h"

namespace sentrel {

namespace {
int64_t MsUntil(int64_t deadline) {
  return std::max<int64_t>(0, deadline - CurrentClock().MonotonicMs());
}
}  // namespace

SleepUntil SleepFor(int64_t ms) {
  return SleepUntil(CurrentClock().MonotonicMs() + std::max<int64_t>(ms, 0));
}

SleepUntil::~SleepUntil() {
  if (timer_) CurrentLoop().CancelTimer(timer_);
}

void SleepUntil::Arm() {
  timer_ = CurrentLoop().AddTimer(MsUntil(due_), [this] {
    timer_ = 0;
    Resume();
  });
}

WaitFd::~WaitFd() { Disarm(); }

void WaitFd::Arm() {
  EventLoop& loop = CurrentLoop();
  loop.Watch(fd_, events_, [this](uint32_t got) {
    got_ = got;
    Disarm();
    Resume();
  });
  watching_ = true;
  if (deadline_ >= 0) {
    timer_ = loop.AddTimer(MsUntil(deadline_), [this] {
      timer_ = 0;
      Disarm();
      Resume();
    });
  }
}

void WaitFd::Disarm() {
  EventLoop& loop = CurrentLoop();
  if (watching_) {
    loop.Unwatch(fd_);
    watching_ = false;
  }
  if (timer_) {
    loop.CancelTimer(timer_);
    timer_ = 0;
  }
}

struct Trigger::State {
  bool fired = false;
  std::vector<Trigger::Awaiter*> waiters;
};

Trigger::Trigger() : state_(std::make_shared<State>()) {}

Trigger::~Trigger() {
  // Waiters keep the state alive; they go on waiting for their deadline.
}

void Trigger::Fire() {
  if (state_->fired) return;
  state_->fired = true;
  std::vector<Awaiter*> waiters = std::move(state_->waiters);
  state_->waiters.clear();
  for (Awaiter* w : waiters) {
    w->registered_ = false;
    w->Wake();
  }
}

Trigger::Awaiter::~Awaiter() { Disarm(); }

bool Trigger::Awaiter::await_ready() const noexcept { return state_->fired; }

bool Trigger::Awaiter::await_resume() const noexcept { return state_->fired; }

void Trigger::Awaiter::Arm() {
  state_->waiters.push_back(this);
  registered_ = true;
  if (deadline_ >= 0) {
    timer_ = CurrentLoop().AddTimer(MsUntil(deadline_), [this] {
      timer_ = 0;
      Disarm();
      Resume();
    });
  }
}

void Trigger::Awaiter::Wake() {
  // From the loop, not from inside Fire.
  if (timer_) CurrentLoop().CancelTimer(timer_);
  timer_ = CurrentLoop().AddTimer(0, [this] {
    timer_ = 0;
    Resume();
  });
}

void Trigger::Awaiter::Disarm() {
  if (registered_) {
    auto& w = state_->waiters;
    w.erase(std::remove(w.begin(), w.end(), this), w.end());
    registered_ = false;
  }
  if (timer_) {
    CurrentLoop().CancelTimer(timer_);
    timer_ = 0;
  }
}

AsyncMutex::Guard& AsyncMutex::Guard::operator=(Guard&& other) noexcept {
  if (this != &other) {
    Release();
    mutex_ = std::exchange(other.mutex_, nullptr);
  }
  return *this;
}

void AsyncMutex::Guard::Release() {
  if (mutex_) std::exchange(mutex_, nullptr)->Unlock();
}

void AsyncMutex::Unlock() {
  if (waiters_.empty()) {
    locked_ = false;
    return;
  }
  // The lock passes straight to the next waiter, so nobody can overtake it; that waiter
  // is resumed from the loop.
  Awaiter* next = waiters_.front();
  waiters_.pop_front();
  next->granted_ = true;
  next->wake_ = CurrentLoop().AddTimer(0, [next] {
    next->wake_ = 0;
    next->Resume();
  });
}

AsyncMutex::Awaiter::~Awaiter() {
  if (wake_) CurrentLoop().CancelTimer(wake_);
  if (granted_ && !taken_) {
    // Handed the lock but destroyed before it could use it: pass it on.
    mutex_.Unlock();
    return;
  }
  auto& w = mutex_.waiters_;
  w.erase(std::remove(w.begin(), w.end(), this), w.end());
}

bool AsyncMutex::Awaiter::await_ready() noexcept {
  if (mutex_.locked_) return false;
  mutex_.locked_ = true;
  granted_ = true;
  return true;
}

AsyncMutex::Guard AsyncMutex::Awaiter::await_resume() noexcept {
  taken_ = true;
  return Guard(&mutex_);
}

}  // namespace sentrel
