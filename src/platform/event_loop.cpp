#include "platform/event_loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"

namespace sentrel {

namespace {
// How long a fake-clock loop listens for real traffic before it jumps the clock to the
// next deadline. Loopback replies arrive well within it.
constexpr int kFakeGraceMs = 20;
constexpr int kMaxEvents = 256;

int64_t RealMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

EventLoop::RealWork& EventLoop::RealWork::operator=(RealWork&& other) noexcept {
  if (this != &other) {
    Release();
    loop_ = std::exchange(other.loop_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

void EventLoop::RealWork::Release() {
  if (loop_) std::exchange(loop_, nullptr)->realWork_.erase(id_);
}

EventLoop::RealWork EventLoop::HoldForRealWork(int64_t graceMs) {
  const uint64_t id = nextHoldId_++;
  realWork_[id] = RealMs() + graceMs;
  return RealWork(this, id);
}

EventLoop::EventLoop() {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) ThrowErrno("epoll_create1");
  errorHandler_ = [](const std::string& message) {
    std::fprintf(stderr, "Sentrel: %s\n", message.c_str());
  };
}

EventLoop::~EventLoop() {
  if (epfd_ >= 0) close(epfd_);
}

void EventLoop::Watch(int fd, uint32_t events, FdCallback callback) {
  if (fds_.count(fd) != 0)
    throw std::logic_error("Descriptor " + std::to_string(fd) + " is watched already");
  uint64_t id = nextWatcherId_++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) < 0) ThrowErrno("epoll_ctl");
  fds_[fd] = id;
  watchers_[id] = std::make_shared<Watcher>(Watcher{fd, events, std::move(callback)});
}

void EventLoop::Modify(int fd, uint32_t events) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  auto& w = watchers_[it->second];
  if (w->events == events) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = it->second;
  if (epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) < 0) ThrowErrno("epoll_ctl");
  w->events = events;
}

void EventLoop::Unwatch(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  // The descriptor may already be closed; the kernel then dropped it from the set itself.
  epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
  watchers_.erase(it->second);
  fds_.erase(it);
}

EventLoop::TimerId EventLoop::AddTimer(int64_t delayMs, Callback callback) {
  TimerId id = nextTimerId_++;
  int64_t due = CurrentClock().MonotonicMs() + std::max<int64_t>(delayMs, 0);
  timers_.emplace(std::make_pair(due, id), std::move(callback));
  timerDue_[id] = due;
  TimerAdded();
  return id;
}

void EventLoop::CancelTimer(TimerId id) {
  auto it = timerDue_.find(id);
  if (it == timerDue_.end()) return;
  timers_.erase({it->second, id});
  timerDue_.erase(it);
}

int64_t EventLoop::MsToNextTimer() const {
  if (timers_.empty()) return -1;
  return std::max<int64_t>(0, timers_.begin()->first.first - CurrentClock().MonotonicMs());
}

void EventLoop::ReportError(const std::string& message) {
  if (errorHandler_) errorHandler_(message);
}

void EventLoop::ReportException(const std::exception_ptr& error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("Unknown error");
  }
}

void EventLoop::Guarded(const std::function<void()>& call) {
  ++depth_;
  try {
    call();
  } catch (...) {
    ReportException(std::current_exception());
  }
  --depth_;
}

void EventLoop::RunDueTimers() {
  // Only timers due when this round started run now; a timer added by a callback with
  // delay 0 runs in the next round, so a callback that re-posts itself cannot starve
  // the descriptors.
  int64_t now = CurrentClock().MonotonicMs();
  TimerId limit = nextTimerId_;
  while (!timers_.empty()) {
    auto it = timers_.begin();
    // A timer made during this round is due at `now` at the earliest, after every older
    // timer due by then: the first such one ends the round.
    if (it->first.first > now || it->first.second >= limit) break;
    Callback cb = std::move(it->second);
    timerDue_.erase(it->first.second);
    timers_.erase(it);
    Guarded(cb);
  }
}

bool EventLoop::DispatchOnce(int64_t timeoutMs) {
  Clock& clock = CurrentClock();
  int64_t wait = timeoutMs;
  bool fake = clock.IsFake();
  if (fake && (wait < 0 || wait > kFakeGraceMs)) wait = kFakeGraceMs;
  if (wait > 1'000'000'000) wait = 1'000'000'000;

  epoll_event events[kMaxEvents];
  int n;
  do {
    n = epoll_wait(epfd_, events, kMaxEvents, static_cast<int>(wait));
  } while (n < 0 && errno == EINTR && wait == 0);
  if (n < 0) {
    if (errno != EINTR) ThrowErrno("epoll_wait");
    n = 0;
  }

  if (n == 0 && fake && timeoutMs != 0) {
    auto& fakeClock = static_cast<FakeClock&>(clock);
    // Fake time stands still while real work that it cannot hurry is within its grace.
    const int64_t realNow = RealMs();
    bool holding = false;
    for (const auto& [id, until] : realWork_) holding = holding || until > realNow;
    if (fakeClock.AutoAdvance() && timeoutMs > 0 && !holding) fakeClock.JumpMs(timeoutMs);
  }

  for (int i = 0; i < n; ++i) {
    // epoll_event is packed on x86-64: its 64-bit field is read by value, never bound to
    // a reference at an address it is not aligned for.
    const uint64_t id = events[i].data.u64;
    auto it = watchers_.find(id);
    if (it == watchers_.end()) continue;  // removed by an earlier callback of this round
    std::shared_ptr<Watcher> w = it->second;
    uint32_t mask = events[i].events;
    Guarded([&] { w->callback(mask); });
  }
  size_t before = timers_.size();
  RunDueTimers();
  return n > 0 || timers_.size() != before;
}

void EventLoop::Pump() { DispatchOnce(0); }

bool EventLoop::WaitUntil(const std::function<bool()>& done, int64_t timeoutMs) {
  Clock& clock = CurrentClock();
  const int64_t deadline = timeoutMs < 0 ? -1 : clock.MonotonicMs() + timeoutMs;
  while (!done()) {
    int64_t now = clock.MonotonicMs();
    if (deadline >= 0 && now >= deadline) return done();
    int64_t wait = deadline < 0 ? -1 : deadline - now;
    int64_t toTimer = MsToNextTimer();
    if (toTimer >= 0 && (wait < 0 || toTimer < wait)) wait = toTimer;
    DispatchOnce(wait);
  }
  return true;
}

void EventLoop::Run() {
  quit_ = false;
  while (!quit_) DispatchOnce(MsToNextTimer());
}

namespace {
EventLoop* currentLoop = nullptr;
std::unique_ptr<EventLoop> defaultLoop;
}  // namespace

EventLoop& CurrentLoop() {
  if (currentLoop) return *currentLoop;
  if (!defaultLoop) defaultLoop = std::make_unique<EventLoop>();
  return *defaultLoop;
}

void SetCurrentLoop(EventLoop* loop) { currentLoop = loop; }

}  // namespace sentrel
