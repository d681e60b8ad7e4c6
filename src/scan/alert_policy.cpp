#include "scan/alert_policy.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "model/dependencies.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "scan/scanner.h"

namespace sentrel {

namespace {

bool Checkable(const Monitor& m) {
  return !m.beingAdded && m.Type() != MonitorType::Unknown;
}

}  // namespace

AlertPolicy::AlertPolicy(ServerList& servers, ScanHost& host, Scanner& scan)
    : servers_(servers), host_(host), scan_(scan) {}

AlertPolicy::~AlertPolicy() {
  if (followUp_) CurrentLoop().CancelTimer(followUp_);
  if (deadline_) CurrentLoop().CancelTimer(deadline_);
}

void AlertPolicy::NoteVerdict(Monitor& monitor) {
  monitor.verdictMono = CurrentClock().MonotonicMs();
}

AlertPolicy::Decision AlertPolicy::Decide(Monitor& monitor, int64_t since, Look look) {
  Server& server = *monitor.server;
  if (server.InMaintenance(Now())) return Decision::Hold;
  if (server.parents.empty()) return Decision::Run;
  const std::vector<Server*>& parents = servers_.Links().ParentsOf(server);
  if (parents.empty()) return Decision::Run;
  bool waiting = false;
  // Copied: starting a check may reach back into the list of links.
  const std::vector<Server*> copy = parents;
  for (Server* parent : copy) {
    // A verdict of the parent that is not older than this check, or one on its way.
    bool fresh = true, coming = false;
    for (int i = 0; i < parent->ports.Count(); ++i) {
      Monitor& pm = *parent->ports.Items(i);
      if (!Checkable(pm) || pm.verdictMono >= since - kFreshSlackMs) continue;
      fresh = false;
      if (look == Look::StartChecks)
        coming = scan_.CheckNow(pm) || coming;
      else if (look == Look::UnderWay)
        coming = scan_.CheckUnderWay(pm) || coming;
    }
    if (!fresh && coming) {
      waiting = true;
      continue;
    }
    // One way in that is not down: the server is reached.
    if (!ServerDown(*parent)) return Decision::Run;
  }
  return waiting ? Decision::Wait : Decision::Hold;
}

bool AlertPolicy::HasParked(const Monitor& monitor) const {
  for (const Parked& p : parked_)
    if (p.monitor == &monitor && !p.alive.expired()) return true;
  return false;
}

void AlertPolicy::Failure(Monitor& monitor, const std::string& event, const std::string& text,
                          const std::string& word, int32_t n) {
  // Behind an event that still waits: in its order.
  const Decision decision = HasParked(monitor)
                                ? Decision::Wait
                                : Decide(monitor, monitor.checkStartMono, Look::StartChecks);
  Apply(monitor, decision, event, text, word, n);
}

void AlertPolicy::Apply(Monitor& monitor, Decision decision, const std::string& event,
                        const std::string& text, const std::string& word, int32_t n) {
  Monitor::AlertRun& run = monitor.alertRun;
  switch (decision) {
    case Decision::Run:
      Act(monitor, event, text, word, n);
      return;
    case Decision::Hold:
      run.withheld = true;
      run.held = true;
      run.heldText = text;
      run.heldWord = word;
      return;
    case Decision::Wait:
      run.withheld = true;
      parked_.push_back(Parked{monitor.Watch(), &monitor, event, text, word, n,
                               monitor.checkStartMono,
                               CurrentClock().MonotonicMs() + kWaitLimitMs});
      ArmDeadline();
      // The check of a parent started for it may have ended before it was parked (a call
      // that fails at once): looking again from the loop costs little.
      ScheduleFollowUp();
      return;
  }
}

void AlertPolicy::Act(Monitor& monitor, const std::string& event, const std::string& text,
                      const std::string& word, int32_t n) {
  Monitor::AlertRun& run = monitor.alertRun;
  if (run.held) {
    // The hold is over and the monitor still fails: a new outage from now on, so the
    // latency counts start again here.
    run.held = false;
    if (n >= 2) run.base = n - 2;
  }
  run.announced = true;
  host_.RunEvent(event, text, monitor.server->name, word, std::max(1, n - run.base), monitor.runId);
}

void AlertPolicy::Recovery(Monitor& monitor, const std::string& event, const std::string& text,
                           const std::string& word) {
  if (monitor.server->InMaintenance(Now())) return;
  // An outage whose failures were all held back was never told: its recovery is not
  // either (a latency mark left from an earlier outage would otherwise fire).
  const Monitor::AlertRun& run = monitor.alertRun;
  if (run.withheld && !run.announced) return;
  host_.RunEvent(event, text, monitor.server->name, word, 99999999, monitor.runId);
}

void AlertPolicy::StepDone(Monitor& monitor, bool success) {
  if (success) {
    for (Parked& p : parked_)
      if (p.monitor == &monitor) p.alive.reset();
    monitor.alertRun = {};
  }
  // A server that fails or recovers may be what others wait for or are held by. The
  // follow-up runs from the loop, so a port check's two failure steps count as one.
  if (!servers_.Links().IsParent(*monitor.server)) return;
  if (success) sweepDue_ = true;
  if (success || !parked_.empty()) ScheduleFollowUp();
}

void AlertPolicy::ScheduleFollowUp() {
  if (followUp_) return;
  followUp_ = CurrentLoop().AddTimer(0, [this] {
    followUp_ = 0;
    DecideParked();
    if (std::exchange(sweepDue_, false)) Sweep();
  });
}

void AlertPolicy::ArmDeadline() {
  if (deadline_) CurrentLoop().CancelTimer(deadline_);
  deadline_ = 0;
  int64_t earliest = INT64_MAX;
  for (const Parked& p : parked_)
    if (!p.alive.expired()) earliest = std::min(earliest, p.deadline);
  if (earliest == INT64_MAX) return;
  const int64_t delay = std::max<int64_t>(0, earliest - CurrentClock().MonotonicMs());
  deadline_ = CurrentLoop().AddTimer(delay, [this] {
    deadline_ = 0;
    DecideParked();
  });
}

void AlertPolicy::DecideParked() {
  // Taken out first: an event that runs may bring new verdicts and new waiting events.
  std::deque<Parked> pending = std::move(parked_);
  parked_.clear();
  std::deque<Parked> still;
  std::unordered_set<const Monitor*> blocked;
  const int64_t now = CurrentClock().MonotonicMs();
  for (Parked& p : pending) {
    if (p.alive.expired()) continue;
    Monitor& monitor = *p.monitor;
    if (blocked.count(&monitor)) {
      still.push_back(std::move(p));
      continue;
    }
    Decision decision = Decide(monitor, p.since, now >= p.deadline ? Look::Known : Look::UnderWay);
    if (decision == Decision::Wait) {
      blocked.insert(&monitor);
      still.push_back(std::move(p));
      continue;
    }
    Apply(monitor, decision, p.event, p.text, p.word, p.n);
  }
  // What waits still comes before what arrived meanwhile.
  for (Parked& p : parked_) still.push_back(std::move(p));
  parked_ = std::move(still);
  ArmDeadline();
}

void AlertPolicy::Sweep() {
  struct Held {
    Monitor* monitor;
    std::weak_ptr<const char> alive;
  };
  std::vector<Held> held;
  std::vector<const Server*> inMaintenance;
  const double now = Now();
  for (int i = 0; i < servers_.Count(); ++i) {
    Server* server = servers_.Items(i);
    if (!server->maintenance.empty() && server->InMaintenance(now)) inMaintenance.push_back(server);
    for (int j = 0; j < server->ports.Count(); ++j) {
      Monitor* m = server->ports.Items(j);
      if (m->alertRun.held) held.push_back({m, m->Watch()});
    }
  }
  // A window that began or ended changes lights that no verdict changes.
  if (inMaintenance != inMaintenance_) {
    inMaintenance_ = std::move(inMaintenance);
    host_.ScreenUpdate();
  }
  for (const Held& h : held) {
    if (h.alive.expired() || HasParked(*h.monitor)) continue;
    if (HoldOf(servers_, *h.monitor->server, now).Any()) continue;
    Release(*h.monitor);
  }
}

void AlertPolicy::Release(Monitor& monitor) {
  Monitor::AlertRun& run = monitor.alertRun;
  if (!run.held) return;
  run.held = false;
  if (monitor.Colour() != StatusColour::Red) return;
  std::string event = monitor.GetValue("GYtoR");
  if (event.empty()) event = "Default";
  if (event == "none") return;
  // Raised now as a monitor turning red is: the latency counts start from here.
  run.base = monitor.lostCount - 2;
  run.announced = true;
  host_.RunEvent(event, run.heldText, monitor.server->name, run.heldWord, 2, monitor.runId);
}

void AlertPolicy::Reset() {
  parked_.clear();
  if (deadline_) CurrentLoop().CancelTimer(deadline_);
  deadline_ = 0;
  for (int i = 0; i < servers_.Count(); ++i) {
    Server* server = servers_.Items(i);
    for (int j = 0; j < server->ports.Count(); ++j) server->ports.Items(j)->alertRun = {};
  }
}

}  // namespace sentrel
