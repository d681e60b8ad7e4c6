#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace sentrel {

class Clock;

// The program's one message loop: descriptors watched with epoll, timers kept here
// against the injected clock, and the points where the program lets waiting work run
// (`Pump`) or blocks until something holds (`WaitUntil`). Everything runs on one thread.
//
// Re-entrancy is expected: a callback may remove any watcher or timer (its own included),
// add new ones, pump again or wait again. A removed watcher never gets another call, even
// when its event was already fetched in the same round.
//
// Every callback runs inside the one error boundary of the program: an exception that
// escapes it goes to the error handler (the errors log) and the loop carries on.
class EventLoop {
 public:
  using FdCallback = std::function<void(uint32_t events)>;
  using Callback = std::function<void()>;
  using TimerId = uint64_t;
  using ErrorHandler = std::function<void(const std::string& message)>;

  EventLoop();
  virtual ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Starts watching fd for the epoll event mask. A descriptor has one watcher: watching
  // one that is watched already throws std::logic_error and leaves its watcher as it was
  // (Modify changes the mask).
  void Watch(int fd, uint32_t events, FdCallback callback);
  void Modify(int fd, uint32_t events);
  void Unwatch(int fd);
  bool IsWatched(int fd) const { return fds_.count(fd) != 0; }
  size_t WatchCount() const { return fds_.size(); }

  // One-shot timer, due delayMs after now on the monotonic clock. Ids are never reused.
  TimerId AddTimer(int64_t delayMs, Callback callback);
  void CancelTimer(TimerId id);
  bool TimerPending(TimerId id) const { return timerDue_.count(id) != 0; }
  size_t TimerCount() const { return timerDue_.size(); }
  // Runs the callback from the loop as soon as it next dispatches.
  void Post(Callback callback) { AddTimer(0, std::move(callback)); }

  // Processes what is waiting now (ready descriptors, due timers) and returns.
  virtual void Pump();
  // Serves the loop until done() holds or timeoutMs has passed (negative: no limit).
  // Returns done() at the end. Blocks in epoll_wait; never spins.
  virtual bool WaitUntil(const std::function<bool()>& done, int64_t timeoutMs);

  // Runs until Quit(); Quit() takes effect when the message in progress has finished and
  // control is back in this outermost loop, never inside a nested wait.
  void Run();
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }

  // Fires every timer that is due by now. The fake clock calls this when it advances.
  void RunDueTimers();

  int EpollFd() const { return epfd_; }
  // Milliseconds until the earliest timer falls due (0 when one is due already), or -1
  // when no timer is pending. A loop that embeds this one sleeps at most that long.
  int64_t MsToNextTimer() const;
  void SetErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }
  // Hands a message to the error handler, as an escaped error would be.
  void ReportError(const std::string& message);
  // The same for an error caught as it flew (its text, or "Unknown error"); nothing for
  // a null one.
  void ReportException(const std::exception_ptr& error);
  // How deep the dispatch is nested (0 outside any callback).
  int Depth() const { return depth_; }

  // Real work under way that a fake clock cannot hurry (a child process, a name lookup).
  // While one is held, a loop on a fake clock gives it up to graceMs of real time before
  // it jumps to the next deadline; on the system clock it changes nothing.
  class RealWork {
   public:
    RealWork() = default;
    RealWork(EventLoop* loop, uint64_t id) : loop_(loop), id_(id) {}
    RealWork(RealWork&& other) noexcept
        : loop_(std::exchange(other.loop_, nullptr)), id_(other.id_) {}
    RealWork& operator=(RealWork&& other) noexcept;
    RealWork(const RealWork&) = delete;
    RealWork& operator=(const RealWork&) = delete;
    ~RealWork() { Release(); }
    void Release();

   private:
    EventLoop* loop_ = nullptr;
    uint64_t id_ = 0;
  };
  RealWork HoldForRealWork(int64_t graceMs);

 protected:
  // Called after a timer was added. A loop that embeds this one (the window's) re-arms
  // its own wake-up here, since the epoll descriptor says nothing about timers.
  virtual void TimerAdded() {}

 private:
  struct Watcher {
    int fd;
    uint32_t events;
    FdCallback callback;
  };

  // One round: wait up to timeoutMs for descriptors, dispatch them, then due timers.
  // Returns whether anything was dispatched.
  bool DispatchOnce(int64_t timeoutMs);
  void Guarded(const std::function<void()>& call);

  int epfd_ = -1;
  uint64_t nextWatcherId_ = 1;
  std::unordered_map<int, uint64_t> fds_;                      // fd -> watcher id
  std::unordered_map<uint64_t, std::shared_ptr<Watcher>> watchers_;
  TimerId nextTimerId_ = 1;
  std::map<std::pair<int64_t, TimerId>, Callback> timers_;     // (due, id) -> callback
  std::unordered_map<TimerId, int64_t> timerDue_;              // id -> due
  ErrorHandler errorHandler_;
  uint64_t nextHoldId_ = 1;
  std::map<uint64_t, int64_t> realWork_;  // hold id -> real-time deadline (steady ms)
  bool quit_ = false;
  int depth_ = 0;
};

// The loop the program runs on. Tests install their own; without one a default is made.
EventLoop& CurrentLoop();
void SetCurrentLoop(EventLoop* loop);

}  // namespace sentrel
