#include "reports/availability_tracker.h"

#include <exception>
#include <vector>

#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel {

namespace {

int64_t NowMs() {
  return DateTimeToMs(Now());
}

}  // namespace

AvailabilityTracker::AvailabilityTracker() = default;

AvailabilityTracker::~AvailabilityTracker() {
  if (saveTimer_) CurrentLoop().CancelTimer(saveTimer_);
}

int64_t AvailabilityTracker::KeepFromMs() const {
  const int64_t now = NowMs();
  return (now / kMsPerDay - kKeepDays) * kMsPerDay;
}

AvailabilityTracker::Log& AvailabilityTracker::LogFor(const std::string& path) {
  auto it = logs_.find(path);
  if (it != logs_.end()) return *it->second;
  auto log = std::make_unique<Log>(path);
  log->summaryPath = SummaryPath(path);
  Log& ref = *log;
  logs_.emplace(path, std::move(log));

  // The summary, when there is one that reads whole, stands for everything it covers;
  // the log decides whether it still covers it. A log with no summary is read from the
  // first day that counts; finding that day is part of the reading, not of the start.
  const int64_t keepFrom = KeepFromMs();
  if (auto text = ReadWholeFile(ref.summaryPath); text && ref.history.Parse(*text)) {
    ref.history.Prune(keepFrom);
    ref.history.SetDirty(false);
  } else {
    ref.history.Clear(keepFrom);
  }
  Apply(ref, ref.history.CheckFile());
  ArmSaveTimer();
  return ref;
}

void AvailabilityTracker::Apply(Log& log, LogHistory::Check check) {
  switch (check) {
    case LogHistory::Check::Current:
      break;
    case LogHistory::Check::Grown:
      Queue(log, false);
      break;
    case LogHistory::Check::Changed:
      Queue(log, true);
      break;
    case LogHistory::Check::Gone:
      // Its records are gone with it; a new file starts from nothing.
      if (log.history.Offset() > 0 || log.history.Seen().inode != 0) {
        log.history.Clear(KeepFromMs());
      }
      break;
  }
}

void AvailabilityTracker::Queue(Log& log, bool restart) {
  log.restart = log.restart || restart;
  if (log.queued) return;
  log.queued = true;
  queue_.push_back(&log);
  if (!tasks_.Running(readTask_))
    readTask_ = tasks_.Start(ReadQueued(), "Availability: reading the logs");
}

void AvailabilityTracker::Follow(const ServerList& servers) {
  for (int i = 0; i < servers.Count(); ++i) {
    const Server* server = servers.Items(i);
    const std::string path = server->LogPath();
    LogFor(path);
  }
}

void AvailabilityTracker::LineAppended(const std::string& path, std::string_view raw,
                                       uint64_t endOffset) {
  // The first line of a log that nobody followed yet, and that had no summary: the file
  // holds this line alone, so counting it is all there is to read.
  if (endOffset == raw.size() && !logs_.count(path) && !FileExists(SummaryPath(path))) {
    auto log = std::make_unique<Log>(path);
    log->summaryPath = SummaryPath(path);
    log->history.Clear(KeepFromMs());
    log->history.Feed(raw);
    log->history.NoteFileState();
    logs_.emplace(path, std::move(log));
    ArmSaveTimer();
    return;
  }
  Log& log = LogFor(path);
  // A log being read takes the line with the rest of the file.
  if (log.queued) return;
  if (endOffset >= raw.size() && endOffset - raw.size() == log.history.Offset()) {
    const bool first = log.history.Offset() == 0;
    log.history.Feed(raw);
    // A log that starts now: which file it is, so that a later check can tell.
    if (first) log.history.NoteFileState();
    return;
  }
  // Something else wrote to the file, or cut it, since it was read: find out what.
  Apply(log, log.history.CheckFile());
  // The file matched what was read after all (the line went to a file that was made
  // anew and holds it alone): count it now.
  if (!log.queued && endOffset - raw.size() == log.history.Offset()) log.history.Feed(raw);
}

Availability AvailabilityTracker::MonitorAvailability(const Monitor& monitor, int hours) {
  Availability a;
  if (!monitor.server) return a;
  const std::string path = monitor.server->LogPath();
  const Log& log = LogFor(path);
  a = log.history.Figures(monitor.server->name, monitor.typ, monitor.port, NowMs(), hours);
  a.pending = log.queued;
  return a;
}

const LogHistory* AvailabilityTracker::History(const std::string& path) const {
  auto it = logs_.find(path);
  return it == logs_.end() ? nullptr : &it->second->history;
}

void AvailabilityTracker::Recheck() {
  for (auto& [path, log] : logs_)
    if (!log->queued) Apply(*log, log->history.CheckFile());
}

Task<void> AvailabilityTracker::ReadQueued() {
  // Nothing is read before the loop runs: a start hands over at once.
  co_await Yield();
  while (!queue_.empty()) {
    Log* log = queue_.front();
    LastActivity = "Availability: reading " + log->history.Path();
    bool done = true;
    try {
      if (log->restart) {
        log->restart = false;
        log->history.Restart(KeepFromMs());
      }
      // A log that went away meanwhile has nothing more to tell.
      if (!FileExists(log->history.Path()))
        log->history.Clear(KeepFromMs());
      else
        done = log->history.ReadMore(sliceBytes_);
    } catch (const std::exception& e) {
      // A log that cannot be read keeps what was read of it; the next line written
      // to it, or the next check of the logs, tries again.
      CurrentLoop().ReportError(e.what());
      done = true;
    }
    if (done) {
      queue_.pop_front();
      log->queued = false;
      log->history.NoteFileState();
    }
    // Checks, commands and the status page go first between two slices.
    co_await Yield();
  }
  // What a long read found is kept at once, not only at the next save.
  SaveSummaries();
}

void AvailabilityTracker::ArmSaveTimer() {
  if (saveTimer_) return;
  saveTimer_ = CurrentLoop().AddTimer(kSaveEveryMs, [this] {
    saveTimer_ = 0;
    Recheck();
    tasks_.Start(SaveInSlices(), "Availability: keeping the summaries");
    ArmSaveTimer();
  });
}

void AvailabilityTracker::SaveOne(Log& log, int64_t keepFrom, std::string& failure) {
  LogHistory& h = log.history;
  h.Prune(keepFrom);
  // Nothing read yet: nothing to keep.
  if (!h.Dirty() || h.Offset() == 0) return;
  if (!log.queued) h.NoteFileState();
  try {
    MakeDirectories(DirectoryOf(log.summaryPath));
    WriteFileUnsynced(log.summaryPath, h.Serialize());
    h.SetDirty(false);
  } catch (const std::exception& e) {
    if (failure.empty()) failure = e.what();
  }
}

void AvailabilityTracker::SaveEnded(const std::string& failure) {
  if (!failure.empty() && !saveFailed_)
    CurrentLoop().ReportError("Availability summaries cannot be written (they are made again "
                              "from the logs at the next start): " + failure);
  saveFailed_ = !failure.empty();
}

void AvailabilityTracker::SaveSummaries() {
  const int64_t keepFrom = KeepFromMs();
  std::string failure;
  for (auto& entry : logs_) SaveOne(*entry.second, keepFrom, failure);
  SaveEnded(failure);
}

Task<void> AvailabilityTracker::SaveInSlices() {
  // One summary between two turns of the loop: a thousand logs never hold up a check.
  // Logs are never forgotten while the tracker lives, so the list stays good.
  std::vector<Log*> logs;
  for (auto& entry : logs_) logs.push_back(entry.second.get());
  const int64_t keepFrom = KeepFromMs();
  std::string failure;
  for (Log* log : logs) {
    SaveOne(*log, keepFrom, failure);
    co_await Yield();
  }
  SaveEnded(failure);
}

}  // namespace sentrel
