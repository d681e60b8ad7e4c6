#include "platform/task.h"

#include <vector>

#include "platform/error.h"
#include "platform/event_loop.h"

namespace sentrel {

std::string LastActivity = "unknown";

namespace {
TaskContext* currentContext = nullptr;

// Puts a task's activity text in place for as long as it runs, and keeps what it set
// for its next resumption. At the loop's level the text stays the program's latest
// activity afterwards, as any other work's does; inside another task (which started
// this one, or served the loop) that task gets its own text back. A task cancelled while
// it ran is destroyed here, once nothing of it is on the stack any more.
class Running {
 public:
  explicit Running(std::shared_ptr<TaskContext> context)
      : context_(std::move(context)), outer_(currentContext) {
    if (outer_) outerActivity_ = LastActivity;
    LastActivity = context_->activity;
    ++context_->running;
    currentContext = context_.get();
  }
  ~Running() {
    context_->activity = LastActivity;
    currentContext = outer_;
    if (--context_->running == 0 && context_->orphan) {
      // Its destructors may start or cancel other work: they run outside this task.
      std::exchange(context_->orphan, {}).destroy();
    }
    if (outer_) LastActivity = std::move(outerActivity_);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  std::shared_ptr<TaskContext> context_;
  TaskContext* outer_;
  std::string outerActivity_;
};
}  // namespace

void ResumeTask(std::coroutine_handle<> handle, const std::shared_ptr<TaskContext>& context) {
  if (!context) {
    handle.resume();
    return;
  }
  if (context->cancelled) return;
  // The copy keeps the context while the task may end and its owner drop it.
  Running running(context);
  handle.resume();
}

namespace task_detail {

void RootFinished(TaskGroup* group, uint64_t id) noexcept { group->Finished(id); }

}  // namespace task_detail

TaskGroup::~TaskGroup() { CancelAll(); }

TaskGroup::Id TaskGroup::Start(Task<void> task, std::string activity, EndHandler onEnd) {
  const Id id = next_++;
  auto context = std::make_shared<TaskContext>();
  context->activity = std::move(activity);
  auto handle = task.handle();
  handle.promise().group = this;
  handle.promise().id = id;
  handle.promise().context = context;
  tasks_.emplace(id, Entry{std::move(task), context, std::move(onEnd)});
  ResumeTask(handle, context);
  return id;
}

void TaskGroup::Finished(Id id) noexcept {
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return;
  Entry entry = std::move(it->second);
  tasks_.erase(it);
  std::exception_ptr error = entry.task.handle().promise().error;
  // The frame is suspended at its end: destroying it now is safe, and nothing of it is
  // needed any more.
  entry.task.Reset();
  try {
    // Still inside the task's last resumption: an errors-log line names what it was
    // doing when it ended.
    if (entry.onEnd)
      entry.onEnd(error);
    else
      CurrentLoop().ReportException(error);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  } catch (...) {
    CurrentLoop().ReportError("Unknown error");
  }
}

void TaskGroup::Cancel(Id id) {
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return;
  // Taken out of the map first: destroying the frames runs destructors that may call
  // back into this group (a cancelled check starting nothing, an end being counted).
  Entry entry = std::move(it->second);
  tasks_.erase(it);
  if (entry.context->running == 0) {
    entry.task.Reset();
    return;
  }
  // It is on the stack right now: it belongs to nobody but its context from here on,
  // which destroys it once it has suspended or ended (ResumeTask).
  Task<void>::Handle handle = entry.task.Release();
  handle.promise().group = nullptr;
  entry.context->cancelled = true;
  entry.context->orphan = handle;
}

void TaskGroup::CancelAll() {
  std::vector<Id> ids;
  ids.reserve(tasks_.size());
  for (const auto& [id, entry] : tasks_) ids.push_back(id);
  for (Id id : ids) Cancel(id);
}

std::vector<std::string> TaskGroup::Activities() const {
  std::vector<std::string> out;
  out.reserve(tasks_.size());
  for (const auto& [id, entry] : tasks_) out.push_back(entry.context->activity);
  return out;
}

}  // namespace sentrel
