#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/server.h"
#include "platform/event_loop.h"
#include "platform/task.h"
#include "reports/availability.h"

namespace sentrel {

class ServerList;

// The availability figures of every monitor while the program runs. Each log the
// servers write is followed as it grows: every line appended is counted as it is
// written, so the figures never need a read of the logs after the start.
//
// At the start each log's day summary (in the data directory's "availability" folder)
// is read and checked against the log: a summary that covers the whole log is the
// figures, and only what was written behind it is read. A log without a summary, or one
// that was cut or changed since (by Dump logs, by an editor), is read again from the
// first day that counts. That reading runs a slice at a time between the program's other
// work, so it never holds up checks, the window or the status page; until a log is read
// its monitors' figures say they are pending.
class AvailabilityTracker final : public LogObserver, public AvailabilitySource {
 public:
  // Days of records kept: the longest period shown (30 days, counted in whole hours)
  // reaches into the 31st day back.
  static constexpr int kKeepDays = 32;
  // The summaries are written this often (a summary at a time between other work), and
  // at once when the program ends.
  static constexpr int64_t kSaveEveryMs = 10 * 60 * 1000;
  // Bytes of a log read between two turns of the loop.
  static constexpr size_t kSliceBytes = 1 << 20;

  AvailabilityTracker();
  ~AvailabilityTracker() override;
  AvailabilityTracker(const AvailabilityTracker&) = delete;
  AvailabilityTracker& operator=(const AvailabilityTracker&) = delete;

  // Follows the logs of these servers (those already followed stay as they are): reads
  // their summaries now and has the rest read in slices.
  void Follow(const ServerList& servers);
  // LogObserver: a line was appended to a log.
  void LineAppended(const std::string& path, std::string_view raw, uint64_t endOffset) override;
  // AvailabilitySource. A log nobody followed yet is followed from now on.
  Availability MonitorAvailability(const Monitor& monitor, int hours) override;

  // Compares every log with what was read of it now: one that was cut or changed (Dump
  // logs) is read again, one that grew is read on.
  void Recheck();
  // Writes the summaries that changed since they were last written. A failure is
  // reported to the loop's error handler once, until a later write works again.
  void SaveSummaries();
  // Whether some log is still to be read.
  bool Reading() const { return !queue_.empty(); }
  void SetSliceBytes(size_t bytes) { sliceBytes_ = bytes; }
  // The history of a log, for tests; null when it is not followed.
  const LogHistory* History(const std::string& path) const;

 private:
  struct Log {
    explicit Log(std::string path) : history(std::move(path)) {}
    LogHistory history;
    bool queued = false;
    bool restart = false;  // read it again from the first day that counts
    std::string summaryPath;
  };
  Log& LogFor(const std::string& path);
  // Puts the log in the queue of logs to read (again, when restart).
  void Queue(Log& log, bool restart);
  // How the log compares with its file decides what is done about it.
  void Apply(Log& log, LogHistory::Check check);
  Task<void> ReadQueued();
  // Writes the log's summary when it changed; the first failure goes to failure.
  void SaveOne(Log& log, int64_t keepFrom, std::string& failure);
  void SaveEnded(const std::string& failure);
  // The periodic save, a summary at a time between the program's other work.
  Task<void> SaveInSlices();
  void ArmSaveTimer();
  int64_t KeepFromMs() const;

  std::unordered_map<std::string, std::unique_ptr<Log>> logs_;
  std::deque<Log*> queue_;
  size_t sliceBytes_ = kSliceBytes;
  EventLoop::TimerId saveTimer_ = 0;
  bool saveFailed_ = false;
  TaskGroup::Id readTask_ = 0;
  // Declared last: the reading task goes first, before the logs it reads.
  TaskGroup tasks_;
};

}  // namespace sentrel
