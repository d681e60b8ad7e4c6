#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace sentrel {

class ScanHost;
class Scanner;
class Monitor;
class Server;
class ServerList;

// Whether a monitor's event may act now: the one place that holds events back while a
// server is in maintenance or is reached only through servers that are down, and that
// raises them when that ends. The status steps hand every event to it and it alone calls
// the host's RunEvent, so whatever acts on an event comes after this decision.
//
// A failure of a server reached through others is decided on verdicts of those others
// that are not older than its own check: when they are, a check of them starts at once
// (when none runs) and the event waits for its verdict.
class AlertPolicy {
 public:
  AlertPolicy(ServerList& servers, ScanHost& host, Scanner& scan);
  ~AlertPolicy();
  AlertPolicy(const AlertPolicy&) = delete;
  AlertPolicy& operator=(const AlertPolicy&) = delete;

  // A status step has a verdict for the monitor (before it changes anything).
  void NoteVerdict(Monitor& monitor);
  // A failure event of the step: GtoY (n 1) or GYtoR (n the lost count).
  void Failure(Monitor& monitor, const std::string& event, const std::string& text,
               const std::string& word, int32_t n);
  // The recovery event of a red monitor that succeeds.
  void Recovery(Monitor& monitor, const std::string& event, const std::string& text,
                const std::string& word);
  // The step is done: after a success the run of failures is over; events that wait for
  // this monitor's server are decided from the loop (a port check's two failure steps are
  // one verdict), and held events whose hold has ended are raised.
  void StepDone(Monitor& monitor, bool success);
  // Raises what is held no longer (a maintenance window ended, a parent came back).
  void Sweep();
  // Scanning stopped (every monitor "?"): every run of failures is over.
  void Reset();

  // Events still waiting for a verdict of a parent.
  size_t Waiting() const { return parked_.size(); }
  // How long an event waits at most for the verdicts of its parents.
  static constexpr int64_t kWaitLimitMs = 30'000;
  // A parent's verdict this much older than the child's check still counts: in order,
  // a parent checked just before its children need not be checked again.
  static constexpr int64_t kFreshSlackMs = 2'000;

 private:
  struct Parked {
    std::weak_ptr<const char> alive;
    Monitor* monitor;
    std::string event, text, word;
    int32_t n;
    int64_t since;     // the child's check started then
    int64_t deadline;  // decided on what is known by then
  };
  enum class Decision { Run, Hold, Wait };
  // How a parent whose verdict is older than the child's check is taken: a check of it
  // started now, one under way waited for, or what it shows now (the wait is over).
  enum class Look { StartChecks, UnderWay, Known };
  Decision Decide(Monitor& monitor, int64_t since, Look look);
  void Apply(Monitor& monitor, Decision decision, const std::string& event, const std::string& text,
             const std::string& word, int32_t n);
  void Act(Monitor& monitor, const std::string& event, const std::string& text,
           const std::string& word, int32_t n);
  // Releases one held monitor whose hold has ended.
  void Release(Monitor& monitor);
  bool HasParked(const Monitor& monitor) const;
  // Decides the events that may be decided now, in their order per monitor.
  void DecideParked();
  void ScheduleFollowUp();
  void ArmDeadline();

  ServerList& servers_;
  ScanHost& host_;
  Scanner& scan_;
  std::deque<Parked> parked_;
  // The servers in maintenance at the last sweep.
  std::vector<const Server*> inMaintenance_;
  EventLoop::TimerId followUp_ = 0;
  EventLoop::TimerId deadline_ = 0;
  bool sweepDue_ = false;
};

}  // namespace sentrel
