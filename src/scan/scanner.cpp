#include "scan/scanner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "model/last_activity.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/descriptor_budget.h"
#include "platform/event_loop.h"

namespace sentrel {

namespace {

// The values of one check that the status steps put into records and event texts.
struct StepValues {
  const char* kind;
  int32_t ms;
  int32_t bytes;
  int32_t slowMs;
  std::string okDetail;
  std::string lostDetail;
  std::function<std::string(long)> upDetail;  // given the downtime in minutes
  std::string lostEventText;
  std::string downEventText;
  std::function<std::string(long)> upEventText;
  std::string upWord;
  std::function<std::string(int32_t)> downWord;  // first and later DOWN words
  bool lostRecordBefore;         // HTTP and port write "LOST" before the colour step
  bool screenUpdateBeforeEvent;  // HTTP and port refresh before the GtoY event
};

bool NamesEvent(const std::string& value) {
  return !value.empty() && value != "none";
}

std::string ToStr(long v) {
  return std::to_string(v);
}

// A record that cannot be written (a log name that is no file, a missing directory, a
// full disk) goes to the errors log like any other error, but the handling of the check
// goes on: its colour step and its events matter most when the disk is full.
bool AppendRecord(const Server& server, const std::string& text) {
  try {
    server.AppendLog(text);
    return true;
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
    return false;
  }
}

}  // namespace

void Scanner::ShowActivity() {
  host_.SetActivityPanel(activityText);
  LastActivity = activityText;
}

void Scanner::AddActivityLine() {
  if (TextPane* pane = servers_.activityPane)
    pane->AddLine(FormatDateTime(Now()) + " " + recordText);
}

void Scanner::AddMessageLine() {
  if (TextPane* pane = servers_.messagePane)
    pane->AddLine(FormatDateTime(Now()) + " " + recordText);
}

std::string WaitingActivityText(size_t waiting) {
  return std::to_string(waiting) + (waiting == 1 ? " HTTP check" : " HTTP checks") +
         " waiting for a free connection";
}

void Scanner::Execute(std::function<void()> onEnd) {
  if (PassRunning()) return;
  passes_.Start(Pass(), "Scan-Execute", [onEnd = std::move(onEnd)](std::exception_ptr error) {
    CurrentLoop().ReportException(error);
    if (onEnd) onEnd();
  });
}

void Scanner::CancelAll() {
  ++cancels_;
  passes_.CancelAll();
  checkTasks_.CancelAll();
  if (checks_) checks_->CancelAll();
}

void Scanner::SetParallel(bool on, int limit) {
  parallel_ = on;
  parallelLimit_ = std::max(limit, 0);
}

Task<void> Scanner::RunCheck(Monitor& monitor) {
  Checks* checks = checks_;
  if (!checks) co_return;
  const MonitorType type = monitor.Type();
  try {
    if (type == MonitorType::Ping)
      co_await checks->DoAping(monitor);
    else if (type == MonitorType::Http)
      co_await checks->DoAHTTP(monitor);
    else if (type == MonitorType::Port)
      co_await checks->DoAPort(monitor);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  }
}

// Ties a check task to its monitor: deleting the monitor cancels the task where it
// waits. Also counts the descriptor a ping or port check opens (an HTTP check counts its
// own connection), and when the check ends, however it ends, gives it back, takes the
// monitor off the checks in flight and tells the pass.
class Scanner::CheckHold final : public CheckInFlight {
 public:
  CheckHold(Scanner& scan, Monitor& monitor, std::shared_ptr<Trigger> ended)
      : scan_(scan),
        monitor_(&monitor),
        key_(&monitor),
        ended_(std::move(ended)),
        counted_(monitor.Type() != MonitorType::Http) {
    monitor.check = this;
    if (counted_) {
      Descriptors().Opened(1);
      ++scan_.slotsHeld_;
    }
  }
  ~CheckHold() override {
    if (monitor_ && monitor_->check == this) monitor_->check = nullptr;
    scan_.inFlight_.erase(key_);
    if (counted_) {
      Descriptors().Closed(1);
      --scan_.slotsHeld_;
    }
    ended_->Fire();
  }
  CheckHold(const CheckHold&) = delete;
  CheckHold& operator=(const CheckHold&) = delete;
  void DetachMonitor() override {
    monitor_ = nullptr;
    // Known once the task has first suspended; a check that deletes its own monitor
    // while it runs finds it gone by its token instead.
    auto it = scan_.inFlight_.find(key_);
    if (it != scan_.inFlight_.end() && it->second.task) scan_.checkTasks_.Cancel(it->second.task);
  }

 private:
  Scanner& scan_;
  Monitor* monitor_;
  const Monitor* key_;
  std::shared_ptr<Trigger> ended_;
  const bool counted_;
};

Task<void> Scanner::CheckTask(Monitor& monitor, std::shared_ptr<Trigger> ended) {
  auto alive = monitor.Watch();
  CheckHold hold(*this, monitor, std::move(ended));
  co_await RunCheck(monitor);
  if (!alive.expired()) monitor.MarkChecked(Now(), CurrentClock().MonotonicMs());
}

bool Scanner::CheckUnderWay(const Monitor& monitor) const {
  if (monitor.httpRequest) return true;
  auto it = inFlight_.find(&monitor);
  return it != inFlight_.end() && !it->second.alive.expired();
}

bool Scanner::CheckNow(Monitor& monitor) {
  if (CheckUnderWay(monitor)) return true;
  if (!checks_ || !host_.ScanningActive() || host_.QuitRequested() || monitor.beingAdded)
    return false;
  if (monitor.Type() == MonitorType::Unknown) return false;
  if (!servers_.Watches(*monitor.server)) return false;
  StartCheck(monitor);
  return true;
}

std::shared_ptr<Trigger> Scanner::StartCheck(Monitor& monitor) {
  monitor.checkStartMono = CurrentClock().MonotonicMs();
  auto ended = std::make_shared<Trigger>();
  inFlight_[&monitor] = InFlight{monitor.Watch(), 0};
  const std::string activity = "DoA" + monitor.typ + " " + monitor.server->name;
  const TaskGroup::Id id =
      checkTasks_.Start(CheckTask(monitor, ended), activity, [this](std::exception_ptr error) {
        CurrentLoop().ReportException(error);
        // The last check of a pass in parallel has ended: the status bar says so, not
        // "under way" until the next pass.
        if (!PassRunning() && checkTasks_.Size() == 0 && (!checks_ || checks_->Waiting() == 0) &&
            activityText.find(" under way") != std::string::npos) {
          activityText = "All Servers done, idle";
          ShowActivity();
        }
      });
  if (checkTasks_.Running(id)) {
    auto it = inFlight_.find(&monitor);
    if (it != inFlight_.end()) it->second.task = id;
  }
  return ended;
}

Task<void> Scanner::Pass() {
  LastActivity = "Scan-Execute";
  ++passNumber_;
  // Events held back for a maintenance window that has ended are raised now.
  alerts_.Sweep();
  Clock& clock = CurrentClock();
  const int64_t passStart = clock.MonotonicMs();
  const auto passStartReal = std::chrono::steady_clock::now();
  const uint64_t generation = servers_.Generation();
  const uint64_t cancels = cancels_;
  // What the pass in order spent waiting for checks, and the monitor with the shortest
  // interval, for the note on passes longer than an interval.
  int64_t waitedMs = 0;
  int waitedChecks = 0;
  std::string fastest;  // "server typ" of the monitor with the shortest interval
  int64_t fastestMs = 0;
  bool capped = false;

  // The pass walks the servers and monitors that existed when it reached them. While the
  // pass is suspended any command can delete them or load another file, so each one is
  // looked at again through its token before it is touched.
  struct ServerRef {
    Server* server;
    std::weak_ptr<const char> alive;
  };
  std::vector<ServerRef> servers;
  servers.reserve(static_cast<size_t>(servers_.Count()));
  for (int i = 0; i < servers_.Count(); ++i) {
    Server* s = servers_.Items(i);
    servers.push_back({s, s->Watch()});
  }

  // In parallel the walk only collects the due monitors; they start after it, so that
  // when not all of them may run at once the ones due longest go first.
  std::vector<DueMonitor> due;
  std::vector<std::pair<Monitor*, std::weak_ptr<const char>>> monitors;
  for (const ServerRef& ref : servers) {
    if (servers_.Generation() != generation || host_.QuitRequested()) break;
    if (ref.alive.expired()) continue;
    if (!host_.ScanningActive()) continue;
    Server* server = ref.server;
    // Another Sentrel of the shards watches it.
    if (!servers_.Watches(*server)) continue;
    monitors.clear();
    for (int j = 0; j < server->ports.Count(); ++j) {
      Monitor* m = server->ports.Items(j);
      monitors.emplace_back(m, m->Watch());
    }
    for (auto& entry : monitors) {
      Monitor* const monitor = entry.first;
      const std::weak_ptr<const char> alive = entry.second;
      // A program that is closing starts no further check.
      if (host_.QuitRequested()) break;
      if (alive.expired() || ref.alive.expired() || servers_.Generation() != generation) continue;
      if (monitor->beingAdded) continue;
      const int64_t intervalMs = static_cast<int64_t>(monitor->interval) * 1000;
      if (fastest.empty() || intervalMs < fastestMs) {
        fastest = server->name + " " + monitor->typ;
        fastestMs = intervalMs;
      }
      const int64_t mono = clock.MonotonicMs();
      const int64_t elapsedMs = mono - monitor->lastCheckMono;
      if (elapsedMs <= intervalMs) {
        long n =
            static_cast<long>(std::nearbyint(static_cast<double>(elapsedMs - intervalMs) / 1000.0));
        activityText = "Next check for " + server->name + " in " + ToStr(n) + " s";
        ShowActivity();
        continue;
      }
      // Its check from an earlier pass still runs (a port check that waits, an HTTP
      // check in its wait after an abort): it is not started twice.
      if (auto it = inFlight_.find(monitor); it != inFlight_.end() && !it->second.alive.expired())
        continue;

      if (parallel_) {
        due.push_back({monitor, alive, ref.alive, elapsedMs - intervalMs});
        continue;
      }

      // In order: the pass waits for a ping or port check to end before it goes on. The
      // check is a task of its own all the same, so deleting its monitor ends it at once.
      // An HTTP check is only started: its request and the wait after aborting an old one
      // hold up nothing but itself.
      activityText = server->name + " " + monitor->typ;
      ShowActivity();
      const int64_t checkStart = clock.MonotonicMs();
      std::shared_ptr<Trigger> ended = StartCheck(*monitor);
      if (monitor->Type() != MonitorType::Http || alive.expired()) {
        co_await ended->Wait();
        LastActivity = "Scan-Execute";
        const int64_t took = clock.MonotonicMs() - checkStart;
        if (took >= 1000) {
          waitedMs += took;
          ++waitedChecks;
        }
      }
      if (host_.QuitRequested()) break;
      // Commands, completions and the web server get their turn between two checks.
      co_await Yield();
    }
  }
  if (parallel_) capped = StartDue(due, generation, cancels);
  // Checks still under way are what the operator should see now.
  const size_t waiting = checks_ ? checks_->Waiting() : 0;
  if (waiting > 0)
    activityText = WaitingActivityText(waiting);
  else if (parallel_ && checkTasks_.Size() > 0)
    activityText = std::to_string(checkTasks_.Size()) +
                   (checkTasks_.Size() == 1 ? " check" : " checks") + " under way" +
                   (capped ? " (limit reached)" : "");
  else
    activityText = "All Servers done, idle";
  ShowActivity();
  lastPassUs = std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - passStartReal)
                   .count();
  if (!parallel_)
    NoteLongPass(clock.MonotonicMs() - passStart, waitedMs, waitedChecks, fastest, fastestMs);
}

bool Scanner::StartDue(std::vector<DueMonitor>& due, uint64_t generation, uint64_t cancels) {
  // A ping or port check holds a descriptor while it waits; HTTP checks keep their own
  // queue for connections and always start.
  size_t slotted = 0;
  for (const DueMonitor& d : due) slotted += d.monitor->Type() != MonitorType::Http;
  const int reserve = DescriptorBudget::Reserve(OpenFileLimit());
  auto room = [&](size_t needed) {
    if (parallelLimit_ > 0 && slotsHeld_ + needed > static_cast<size_t>(parallelLimit_))
      return false;
    return Descriptors().HasRoom(static_cast<int>(needed), reserve);
  };
  // Everything fits: the file's order. Otherwise the monitors due longest go first (in
  // the file's order among equals), so a monitor late in the file is never starved by
  // the ones before it coming due again and again.
  if (slotted > 0 && !room(slotted))
    std::stable_sort(due.begin(), due.end(), [](const DueMonitor& a, const DueMonitor& b) {
      return a.overdueMs > b.overdueMs;
    });
  bool capped = false;
  for (const DueMonitor& d : due) {
    if (host_.QuitRequested() || servers_.Generation() != generation || cancels_ != cancels) break;
    // A check started before this one may have run events that changed the model.
    if (d.alive.expired() || d.serverAlive.expired()) continue;
    if (auto it = inFlight_.find(d.monitor); it != inFlight_.end() && !it->second.alive.expired())
      continue;
    if (d.monitor->Type() != MonitorType::Http && !room(1)) {
      capped = true;
      continue;
    }
    activityText = d.monitor->server->name + " " + d.monitor->typ;
    ShowActivity();
    StartCheck(*d.monitor);
  }
  return capped;
}

void Scanner::NoteLongPass(int64_t passMs, int64_t waitedMs, int waitedChecks,
                           const std::string& fastest, int64_t fastestMs) {
  if (longPassNoted_ || fastest.empty() || waitedChecks == 0 || passMs <= fastestMs) return;
  longPassNoted_ = true;
  auto seconds = [](int64_t ms) { return std::to_string((ms + 500) / 1000) + " s"; };
  host_.ReportProblem(
      "A scan pass took " + seconds(passMs) + ", longer than the " + seconds(fastestMs) +
      " interval of " + fastest + ": " + std::to_string(waitedChecks) +
      (waitedChecks == 1 ? " check" : " checks") + " waited " + seconds(waitedMs) +
      " for an answer, one after another. Options > Check "
      "monitors in parallel (ParallelChecks=1 in [Sentrel]) lets them wait side by side");
}

std::string RecordText(const Monitor& monitor, const std::string& kind, const std::string& word,
                       int32_t ms, int32_t bytes, const std::string& detail) {
  std::string t = monitor.server->name;
  t += ' ';
  t += kind;
  t += ' ';
  t += std::to_string(monitor.port);
  t += ' ';
  t += word;
  t += ' ';
  t += std::to_string(ms);
  t += "ms ";
  t += std::to_string(bytes);
  t += "Bytes ";
  // A record is one line of its log file: a control character in what a server said
  // (a bare CR in a reason phrase) would split it, or hide text on a terminal.
  for (char c : detail) {
    const auto u = static_cast<unsigned char>(c);
    t += (u < 0x20 && c != '\t') || u == 0x7f ? ' ' : c;
  }
  return t;
}

void Scanner::LogResult(Monitor& monitor, const std::string& kind, const std::string& word,
                        int32_t ms, int32_t bytes, const std::string& detail) {
  recordText = RecordText(monitor, kind, word, ms, bytes, detail);
  LastActivity = "LogResult " + recordText;
  if (monitor.lostCount > 0) recordText += " (" + std::to_string(monitor.lostCount) + " lost)";
  monitor.lastResponseMs = ms;
  monitor.lastRecordLost = monitor.lostCount;
  if (AppendRecord(*monitor.server, recordText)) ++recordsWritten;
  AddActivityLine();
}

void Scanner::LogError(Monitor& monitor, const std::string& kind, const std::string& word,
                       int32_t ms, int32_t bytes, const std::string& detail) {
  recordText = RecordText(monitor, kind, word, ms, bytes, detail);
  LastActivity = "LogError " + recordText;
  if (monitor.lostCount > 0) recordText += " (" + std::to_string(monitor.lostCount) + " lost)";
  if (AppendRecord(*monitor.server, recordText)) ++recordsWritten;
  monitor.lastResponseMs = ms;
  monitor.lastRecordLost = monitor.lostCount;
  monitor.lastErrorRecord = FormatDateTime(Now()) + " " + recordText;
  AddMessageLine();
}

void Scanner::PingDisplay(Server& server, const std::string& message) {
  LastActivity = "PingDisplay " + message;
  if (AppendRecord(server, "Ping:" + message)) ++recordsWritten;
  recordText = message;
  AddActivityLine();
}

namespace {

// Success and failure steps, shared by the three checks. An event's actions run up to
// their first wait before RunEvent returns, and what they do may delete the monitor:
// after every event the step looks at the monitor's token and ends quietly when it is
// gone.
void SuccessStep(Scanner& scan, ScanHost& host, Monitor& monitor, const StepValues& v) {
  auto alive = monitor.Watch();
  AlertPolicy& alerts = scan.Alerts();
  alerts.NoteVerdict(monitor);
  monitor.lostCount = 0;
  scan.LogResult(monitor, v.kind, "OK", v.ms, v.bytes, v.okDetail);
  // The downtime is measured on the monotonic clock: a step of the wall clock during an
  // outage changes the time stamps, never how long the outage took.
  const double now = Now();
  const int64_t mono = CurrentClock().MonotonicMs();
  const long downtime = monitor.lastUpMono != Monitor::kLongAgo
                            ? std::lround(static_cast<double>(mono - monitor.lastUpMono) / 60000.0)
                            : std::lround((now - monitor.lastUp) * 24.0 * 60.0);
  monitor.lastUp = now;
  monitor.lastUpMono = mono;
  monitor.lastSuccess = now;
  if (monitor.Colour() == StatusColour::Red) {
    scan.LogError(monitor, v.kind, "UP", v.ms, v.bytes, v.upDetail(downtime));
    std::string ev = monitor.GetValue("RYtoG");
    if (NamesEvent(ev)) {
      alerts.Recovery(monitor, ev, v.upEventText(downtime), v.upWord);
      if (alive.expired()) return;
    }
  }
  if (monitor.Colour() != StatusColour::Green) {
    monitor.SetColour(v.ms >= v.slowMs ? StatusColour::Yellow : StatusColour::Green);
    host.ScreenUpdate();
  }
  alerts.StepDone(monitor, true);
}

void FailureStep(Scanner& scan, ScanHost& host, Monitor& monitor, const StepValues& v) {
  auto alive = monitor.Watch();
  AlertPolicy& alerts = scan.Alerts();
  alerts.NoteVerdict(monitor);
  if (v.lostRecordBefore) scan.LogResult(monitor, v.kind, "LOST", v.ms, v.bytes, v.lostDetail);
  if (monitor.Colour() == StatusColour::Green) {
    monitor.SetColour(StatusColour::Yellow);
    std::string ev = monitor.GetValue("GtoY");
    if (v.screenUpdateBeforeEvent) host.ScreenUpdate();
    if (NamesEvent(ev)) {
      alerts.Failure(monitor, ev, v.lostEventText, "LOST", 1);
      if (alive.expired()) return;
    }
    if (!v.screenUpdateBeforeEvent) host.ScreenUpdate();
  } else if (monitor.Colour() != StatusColour::Red) {
    monitor.lostCount = 2;
    monitor.SetColour(StatusColour::Red);
    host.ScreenUpdate();
    scan.LogError(monitor, v.kind, "DOWN", v.ms, v.bytes, v.lostDetail);
    std::string ev = monitor.GetValue("GYtoR");
    if (ev.empty()) ev = "Default";
    if (ev != "none") {
      alerts.Failure(monitor, ev, v.downEventText, v.downWord(2), 2);
      if (alive.expired()) return;
    }
  } else {
    monitor.lostCount += 1;
    std::string ev = monitor.GetValue("GYtoR");
    if (ev.empty()) ev = "Default";
    if (ev != "none") {
      alerts.Failure(monitor, ev, v.downEventText, v.downWord(monitor.lostCount),
                     monitor.lostCount);
      if (alive.expired()) return;
    }
  }
  if (!v.lostRecordBefore) scan.LogResult(monitor, v.kind, "LOST", v.ms, v.bytes, v.lostDetail);
  alerts.StepDone(monitor, false);
}

std::function<std::string(int32_t)> CountedDownWord() {
  return [](int32_t count) { return "DOWN (" + std::to_string(count) + ")"; };
}

// A port check's verdict and its socket errors step the colour alike; only their DOWN
// words differ.
StepValues PortStepValues(const Monitor& monitor, int32_t ms, const std::string& detail,
                          std::function<std::string(int32_t)> downWord) {
  const std::string& s = monitor.server->name;
  const std::string p = std::to_string(monitor.port);
  return {.kind = RecordKind(MonitorType::Port),
          .ms = ms,
          .bytes = 0,
          .slowMs = 5000,
          .okDetail = "",
          .lostDetail = detail,
          .upDetail = [](long n) { return "Downtime=" + ToStr(n) + " min"; },
          // A port check has no reason to give: its texts carry no empty "()".
          .lostEventText = s + " PORT " + p + " LOST",
          .downEventText = s + " PORT " + p + " DOWN",
          .upEventText =
              [s, p](long n) { return s + " PORT " + p + " UP, Downtime=" + ToStr(n) + " min"; },
          .upWord = "UP",
          .downWord = std::move(downWord),
          .lostRecordBefore = true,
          .screenUpdateBeforeEvent = true};
}

}  // namespace

void Scanner::PingVerdict(Monitor& monitor, bool success, int32_t ms, const std::string& icmpText) {
  ++checksDone;
  monitor.lastCheckMs = ms;
  const std::string& s = monitor.server->name;
  const StepValues v{
      .kind = RecordKind(MonitorType::Ping),
      .ms = ms,
      .bytes = 56,
      .slowMs = 5000,
      .okDetail = icmpText,
      .lostDetail = icmpText,
      .upDetail = [&](long n) { return icmpText + " Downtime=" + ToStr(n) + " min"; },
      .lostEventText = s + " PING LOST (" + icmpText + ")",
      .downEventText = s + " PING DOWN (" + icmpText + ")",
      .upEventText =
          [&](long n) { return s + " PING UP (" + icmpText + "), Downtime=" + ToStr(n) + " min"; },
      .upWord = "UP",
      .downWord = CountedDownWord(),
      .lostRecordBefore = false,
      .screenUpdateBeforeEvent = false};
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void Scanner::HttpVerdict(Monitor& monitor, bool success, int32_t ms, int32_t bytes,
                          int32_t errorCode, int32_t statusCode, const std::string& reason) {
  ++checksDone;
  monitor.lastCheckMs = ms;
  const std::string& s = monitor.server->name;
  const std::string code = std::to_string(statusCode);
  const StepValues v{
      .kind = RecordKind(MonitorType::Http),
      .ms = ms,
      .bytes = bytes,
      .slowMs = 10000,
      .okDetail = "E" + std::to_string(errorCode) + " " + code + " " + reason,
      .lostDetail = code + " " + reason,
      .upDetail = [&](long n) { return code + " " + reason + " Downtime=" + ToStr(n) + " min"; },
      .lostEventText = s + " HTTP LOST (" + code + " " + reason + ")",
      .downEventText = s + " HTTP DOWN (" + code + " " + reason + ")",
      .upEventText =
          [&](long n) {
            return s + " HTTP UP (" + code + " " + reason + "), Downtime=" + ToStr(n) + " min";
          },
      .upWord = "OK",
      .downWord = CountedDownWord(),
      .lostRecordBefore = true,
      .screenUpdateBeforeEvent = true};
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void Scanner::PortVerdict(Monitor& monitor, bool success, int32_t ms, const std::string& detail) {
  ++checksDone;
  monitor.lastCheckMs = ms;
  const StepValues v = PortStepValues(monitor, ms, detail, CountedDownWord());
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void Scanner::PortSocketError(Monitor& monitor, int32_t errorCode, int32_t ms) {
  ++checksDone;
  const std::string detail = "Error=" + std::to_string(errorCode);
  const StepValues v =
      PortStepValues(monitor, ms, detail, [](int32_t) { return std::string("DOWN"); });
  FailureStep(*this, host_, monitor, v);
}

}  // namespace sentrel
