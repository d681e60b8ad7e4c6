#include "platform/task.h"

#include <vector>

#include "platform/error.h"
#include "platform/event_loop.h"

namespace sentrel {

std::string LastActivity = "unknown";

namespace {
TaskContext* currentContext = nullptr;

// Puts a task's activity text in place for as long as it runs, and keeps what it set
// for its next resumption. The text stays the program's latest activity afterwards, as
// any other work's does.
class Running {
 public:
  explicit Running(std::shared_ptr<TaskContext> context)
      : context_(std::move(context)), outer_(currentContext) {
    LastActivity = context_->activity;
    ++context_->running;
    currentContext = context_.get();
  }
  ~Running() {
    --context_->running;
    context_->activity = LastActivity;
    currentContext = outer_;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  std::shared_ptr<TaskContext> context_;
  TaskContext* outer_;
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

TaskContext* CurrentTaskContext() { return currentContext; }

namespace task_detail {

void RootFinished(TaskGroup* group, uint64_t id) noexcept { group->Finished(id); }

}  // namespace task_detail

TaskGroup::~TaskGroup() {
  *alive_ = false;
  CancelAll();
}

TaskGroup::Id TaskGroup::Start(Task<void> task, std::string activity, EndHandler onEnd) {
  const Id id = next_++;
  auto context = std::make_shared<TaskContext>();
  context->activity = std::move(activity);
  auto handle = task.handle();
  handle.promise().group = this;
  handle.promise().id = id;
  handle.promise().context = context;
  tasks_.emplace(id, Entry{std::move(task), context, std::move(onEnd), false});
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
  if (entry.cancelled) return;
  try {
    if (entry.onEnd) {
      entry.onEnd(error);
    } else if (error) {
      // The errors log names this task's activity as the cause.
      std::string saved = LastActivity;
      LastActivity = entry.context->activity;
      CurrentLoop().ReportException(error);
      LastActivity = std::move(saved);
    }
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  } catch (...) {
    CurrentLoop().ReportError("Unknown error");
  }
}

void TaskGroup::Destroy(Id id) {
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return;
  // Taken out of the map first: destroying the frames runs destructors that may call
  // back into this group (a cancelled check starting nothing, an end being counted).
  Entry entry = std::move(it->second);
  tasks_.erase(it);
  entry.task.Reset();
}

void TaskGroup::Cancel(Id id) {
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return;
  if (it->second.context->running > 0) {
    // It is on the stack right now: destroy it once it has suspended, from the loop.
    it->second.cancelled = true;
    it->second.context->cancelled = true;
    std::weak_ptr<bool> alive = alive_;
    CurrentLoop().Post([this, alive, id] {
      if (auto a = alive.lock(); a && *a) Destroy(id);
    });
    return;
  }
  Destroy(id);
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
