#pragma once

// Work that waits, written as C++20 coroutines on a small task type of our own.
//
// The program's rule is that nothing waits inside anything else. A check, a mail
// dialogue or a serial script that has to wait for a descriptor, a deadline, a name
// lookup or a child process suspends at a `co_await`; the loop resumes it when the
// thing it waits for is ready. Nothing below the suspension point stays on the stack,
// so a modal dialog, a silent mail server or another check's wait never holds it up.
//
// - `Task<T>` is lazy: its body starts when it is awaited, or when a `TaskGroup` (its
//   owner) starts it. When it ends it resumes whoever awaited it by symmetric transfer,
//   so long chains never grow the stack.
// - Every task that is not awaited belongs to a `TaskGroup`. Destroying a suspended task
//   (the group cancels it, or the group goes away) destroys its whole chain of frames;
//   the awaitables in them release their descriptor watch, timer, lookup or child.
// - An exception that leaves a task reaches whoever awaits it. One that leaves a task of
//   a group ends at the group as an errors-log line naming that task's activity.
// - A task keeps its own activity text (`LastActivity` while it runs), so an error it
//   reports names what this task was doing, not whatever ran last.
// - Parameters of a coroutine are taken by value, or by reference only to what outlives
//   every task; a task that touches the model looks at its object's liveness token after
//   every resumption, since any command may have run meanwhile.
//
// Everything stays on the one thread.

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/activity.h"

namespace sentrel {

// What one piece of work carries with it through its suspensions.
struct TaskContext {
  std::string activity;
  // How many resumptions of this task are on the stack now (0 or 1: nothing nests).
  int running = 0;
  // Cancelled while it ran: it is never resumed again.
  bool cancelled = false;
  // The frames of a task cancelled while it ran, now owned by nobody but this context:
  // destroyed as soon as the running resumption has left the stack.
  std::coroutine_handle<> orphan;
};

class TaskGroup;

namespace task_detail {

void RootFinished(TaskGroup* group, uint64_t id) noexcept;

struct PromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;
  std::shared_ptr<TaskContext> context;
  // Set on a task a group owns: the group is told when it ends.
  TaskGroup* group = nullptr;
  uint64_t id = 0;

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
      PromiseBase& p = h.promise();
      if (p.continuation) return p.continuation;
      if (p.group) {
        // The group destroys this frame: nothing here may touch it afterwards.
        TaskGroup* group = p.group;
        const uint64_t id = p.id;
        RootFinished(group, id);
      }
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  template <class U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T Take() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
  T Copy() const {
    if (error) std::rethrow_exception(error);
    return *value;
  }
};

template <>
struct Promise<void> : PromiseBase {
  void return_void() noexcept {}
  void Take() const {
    if (error) std::rethrow_exception(error);
  }
  void Copy() const { Take(); }
};

}  // namespace task_detail

// Resumes a suspended task from the loop: its activity text becomes `LastActivity` for
// as long as it runs, and what it sets there stays its own. Resumed from inside another
// task (that task started it, or served the loop), it hands `LastActivity` back to that
// task when it suspends.
void ResumeTask(std::coroutine_handle<> handle, const std::shared_ptr<TaskContext>& context);

template <class T = void>
class [[nodiscard]] Task {
 public:
  struct promise_type : task_detail::Promise<T> {
    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
  };
  using Handle = std::coroutine_handle<promise_type>;

  Task() = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { Reset(); }

  // Destroys the task where it stands; what it waits for is released.
  void Reset() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }
  bool Valid() const { return static_cast<bool>(handle_); }
  bool Done() const { return handle_ && handle_.done(); }
  Handle handle() const { return handle_; }

  // A task that has ended is not resumed again: awaiting it once more gives its outcome
  // at once (its value moved out when awaited as a temporary, copied otherwise).
  template <bool Moves>
  struct Awaiter {
    Handle handle;
    bool await_ready() const noexcept { return !handle || handle.done(); }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
      handle.promise().continuation = parent;
      handle.promise().context = parent.promise().context;
      return handle;
    }
    T await_resume() {
      if (!handle) throw std::logic_error("A task without work was awaited");
      if constexpr (Moves)
        return handle.promise().Take();
      else
        return handle.promise().Copy();
    }
  };
  Awaiter<true> operator co_await() && noexcept { return {handle_}; }
  Awaiter<false> operator co_await() & noexcept { return {handle_}; }

 private:
  friend class TaskGroup;
  explicit Task(Handle h) : handle_(h) {}
  // Gives up the frames without destroying them.
  Handle Release() { return std::exchange(handle_, {}); }
  Handle handle_;
};

// The owner of tasks that nobody awaits: the scan engine's checks, the event runner's
// executions. Start runs a task up to its first suspension; the loop does the rest.
// Cancel destroys a task where it waits. A task that is running at that moment (it
// cancelled itself, something it called did, or its group was destroyed under it) leaves
// the group at once and is destroyed as soon as it suspends or ends, never resumed again:
// whatever the loop serves meanwhile, the frame on the stack stays intact.
class TaskGroup {
 public:
  using Id = uint64_t;
  // Called when a task ends by itself, with the exception that ended it (or null).
  using EndHandler = std::function<void(std::exception_ptr)>;

  TaskGroup() = default;
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Takes the task over and starts it. The activity names it in the errors log until
  // the task sets its own. Without an end handler, an exception that ends the task goes
  // to the loop's error handler. The task may have ended when Start returns.
  Id Start(Task<void> task, std::string activity, EndHandler onEnd = {});
  bool Running(Id id) const { return tasks_.count(id) != 0; }
  void Cancel(Id id);
  void CancelAll();
  size_t Size() const { return tasks_.size(); }
  // The activity texts of the tasks now running, in the order they were started.
  std::vector<std::string> Activities() const;

 private:
  friend void task_detail::RootFinished(TaskGroup*, uint64_t) noexcept;
  struct Entry {
    Task<void> task;
    std::shared_ptr<TaskContext> context;
    EndHandler onEnd;
  };
  void Finished(Id id) noexcept;

  Id next_ = 1;
  std::map<Id, Entry> tasks_;
};

}  // namespace sentrel
