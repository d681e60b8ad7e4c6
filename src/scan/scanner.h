#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/awaitables.h"
#include "platform/task.h"
#include "scan/alert_policy.h"

namespace sentrel {

class ServerList;
class Monitor;
class Server;

// What the scan engine needs from the program around it.
class ScanHost {
 public:
  virtual ~ScanHost() = default;
  // The scanning switch ("Scan Process Active").
  virtual bool ScanningActive() const = 0;
  // Status-bar panel 0.
  virtual void SetActivityPanel(const std::string& text) = 0;
  // Refresh the tree's status lights.
  virtual void ScreenUpdate() = 0;
  // The event list's RunEvent, for the monitor with this run id.
  virtual void RunEvent(const std::string& name, const std::string& message,
                        const std::string& server, const std::string& status, int32_t n,
                        uint64_t monitor) = 0;
  // The program is closing: a pass in progress checks no further monitor.
  virtual bool QuitRequested() const { return false; }
  // A line the operator must read in "Messages/Errors" (headless also on stderr).
  virtual void ReportProblem(const std::string& /*text*/) {}
};

// The three checks, as the scan pass calls them. The real ones talk to the network;
// tests put in scripted ones. Each is a task that ends with the check's verdict (the HTTP
// check ends once its request has started; its completion comes later from the loop).
// The monitor may be deleted while a check waits: a check looks at its token after every
// suspension and ends quietly when it is gone.
class Checks {
 public:
  virtual ~Checks() = default;
  virtual Task<void> DoAping(Monitor& monitor) = 0;
  virtual Task<void> DoAHTTP(Monitor& monitor) = 0;
  virtual Task<void> DoAPort(Monitor& monitor) = 0;
  // HTTP checks that wait for a free connection (started as checks in flight complete).
  virtual size_t Waiting() const { return 0; }
  // Ends every check that runs outside the scan engine's tasks (HTTP requests in flight
  // and waiting) where it is: none of them hands a verdict back any more.
  virtual void CancelAll() {}
};

// The activity text while HTTP checks wait for a free connection.
std::string WaitingActivityText(size_t waiting);

// The scan engine: one pass over all monitors, the record writers, and the status steps
// that turn a check's outcome into colours, records and events.
class Scanner {
 public:
  Scanner(ServerList& servers, ScanHost& host) : servers_(servers), host_(host) {}

  void SetChecks(Checks* checks) { checks_ = checks; }
  Checks* GetChecks() const { return checks_; }

  // Starts one scan pass, unless one is under way. The pass is a task: it suspends while
  // a ping or port check waits (in order, one at a time, unless checks run in parallel)
  // and the loop resumes it; commands, completions and events go on meanwhile. onEnd
  // runs when the pass has ended by itself (not when it was cancelled).
  void Execute(std::function<void()> onEnd = {});
  bool PassRunning() const { return passes_.Size() > 0; }
  // The number of the latest pass to start.
  uint64_t PassNumber() const { return passNumber_; }
  // Ends the pass and every check under way where they wait, HTTP requests included, with
  // no verdict and no record (scanning stops, or the program is closing).
  void CancelAll();

  // Checks in parallel (the default): a pass starts every due check as a task of its
  // own instead of waiting for each ping and port check in turn. A monitor whose check
  // still runs is not started again until it has ended. Ping and port checks run as many
  // at once as the descriptor budget allows, and at most `limit` when it is above 0;
  // when more are due than may run, the ones due longest start first.
  void SetParallel(bool on, int limit = 0);
  bool Parallel() const { return parallel_; }
  int ParallelLimit() const { return parallelLimit_; }
  // Checks started in parallel and not ended yet.
  size_t ChecksRunning() const { return checkTasks_.Size(); }
  // Ping and port checks that hold a descriptor now.
  size_t SlotsHeld() const { return slotsHeld_; }
  // Starts a check of the monitor now, outside the passes, unless one is under way;
  // returns whether a verdict of it is on its way (false: scanning is off, or the
  // monitor is never checked).
  bool CheckNow(Monitor& monitor);
  bool CheckUnderWay(const Monitor& monitor) const;
  // Where the status steps' events are let through, held back or made to wait.
  AlertPolicy& Alerts() { return alerts_; }
  void ShowActivity();
  void AddActivityLine();
  void AddMessageLine();

  // Record writers. LogResult's line goes to the "Activity log" pane, LogError's to the
  // "Messages/Errors" pane; both to the server's log file. A log file that cannot be
  // written is reported to the loop's error handler and the writer carries on, so the
  // status step around it still changes the colour and runs the events.
  void LogResult(Monitor& monitor, const std::string& kind, const std::string& word, int32_t ms,
                 int32_t bytes, const std::string& detail);
  void LogError(Monitor& monitor, const std::string& kind, const std::string& word, int32_t ms,
                int32_t bytes, const std::string& detail);
  // A message of the ping check: "Ping:" + message in the log, the message in the pane.
  void PingDisplay(Server& server, const std::string& message);

  // Status steps, one per check with the check's own values.
  void PingVerdict(Monitor& monitor, bool success, int32_t ms, const std::string& icmpText);
  // Success: reason is the reason phrase, errorCode the request's error code.
  // Failure: reason is the failure message.
  void HttpVerdict(Monitor& monitor, bool success, int32_t ms, int32_t bytes, int32_t errorCode,
                   int32_t statusCode, const std::string& reason);
  // A failure's detail says why when there is more to say than "not connected" (a name
  // lookup that timed out).
  void PortVerdict(Monitor& monitor, bool success, int32_t ms, const std::string& detail = "");
  // The port check's socket-error form of the failure step.
  void PortSocketError(Monitor& monitor, int32_t errorCode, int32_t ms = 0);

  std::string recordText;
  std::string activityText;
  // Since the start: check outcomes handled, and records written to the log files.
  uint64_t checksDone = 0;
  uint64_t recordsWritten = 0;
  // How long the latest pass that ended took in real time, from its start to
  // its end, waits included (in parallel it only starts the checks).
  int64_t lastPassUs = 0;

 private:
  Task<void> Pass();
  struct DueMonitor {
    Monitor* monitor;
    std::weak_ptr<const char> alive;
    std::weak_ptr<const char> serverAlive;
    int64_t overdueMs;  // how long it has been due
  };
  // Starts the due monitors of a parallel pass while there is room; true when some had
  // to wait for the next pass.
  bool StartDue(std::vector<DueMonitor>& due, uint64_t generation, uint64_t cancels);
  // One check of the monitor through the current checks; an error it throws goes to the
  // errors log and counts as dispatched, so one broken monitor never starves the rest.
  Task<void> RunCheck(Monitor& monitor);
  // One check as a task of its own: it marks the monitor checked when it ends, and
  // fires `ended` however it ends (a deleted monitor takes its check with it).
  Task<void> CheckTask(Monitor& monitor, std::shared_ptr<Trigger> ended);
  // Starts CheckTask for the monitor; the trigger fires when it has ended.
  std::shared_ptr<Trigger> StartCheck(Monitor& monitor);
  // Says once per run that sequential passes take longer than a monitor's interval.
  void NoteLongPass(int64_t passMs, int64_t waitedMs, int waitedChecks, const std::string& fastest,
                    int64_t fastestMs);

  ServerList& servers_;
  ScanHost& host_;
  Checks* checks_ = nullptr;
  uint64_t passNumber_ = 0;
  // How often CancelAll ran: a pass cancelled while it starts checks (a check that ended
  // at once stopped the scan or quit) starts no further one.
  uint64_t cancels_ = 0;
  bool parallel_ = true;
  int parallelLimit_ = 0;
  size_t slotsHeld_ = 0;
  bool longPassNoted_ = false;
  // Monitors whose check has not ended: the monitor's token and the check's task.
  struct InFlight {
    std::weak_ptr<const char> alive;
    TaskGroup::Id task = 0;
  };
  std::map<const Monitor*, InFlight> inFlight_;
  AlertPolicy alerts_{servers_, host_, *this};
  class CheckHold;
  // Declared last: the tasks go first, before anything they use.
  TaskGroup checkTasks_;
  TaskGroup passes_;
};

// The record text of a check without the lost suffix: server, kind, port, word,
// "<ms>ms ", "<bytes>Bytes " and the detail.
std::string RecordText(const Monitor& monitor, const std::string& kind, const std::string& word,
                       int32_t ms, int32_t bytes, const std::string& detail);

}  // namespace sentrel
