#include "scan/infini_scan.h"

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "model/text_pane.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
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
  bool lostRecordBefore;          // HTTP and port write "LOST" before the colour step
  bool screenUpdateBeforeEvent;   // HTTP and port refresh before the GtoY event
};

bool NamesEvent(const std::string& value) { return !value.empty() && value != "none"; }

std::string ToStr(long v) { return std::to_string(v); }

// A record that cannot be written (a log name that is no file, a missing directory, a
// full disk) goes to the errors log like any other error, but the handling of the check
// goes on: its colour step and its events matter most when the disk is full.
void AppendRecord(const TServer& server, const std::string& text) {
  try {
    server.AppendLog(text);
  } catch (const std::exception& e) {
    CurrentLoop().ReportError(e.what());
  }
}

}  // namespace

void TInfiniScan::ShowActivity() {
  host_.SetActivityPanel(activityText);
  LastActivity = activityText;
}

void TInfiniScan::AddActivityLine() {
  if (TextPane* pane = servers_.activityPane) pane->AddLine(FormatDateTime(Now()) + " " + recordText);
}

void TInfiniScan::AddMessageLine() {
  if (TextPane* pane = servers_.messagePane) pane->AddLine(FormatDateTime(Now()) + " " + recordText);
}

std::string WaitingActivityText(size_t waiting) {
  return std::to_string(waiting) + (waiting == 1 ? " HTTP check" : " HTTP checks") +
         " waiting for a free connection";
}

void TInfiniScan::Execute() {
  LastActivity = "Scan-Execute";
  ++passNumber_;
  struct Depth {
    int& depth;
    explicit Depth(int& d) : depth(d) { ++depth; }
    ~Depth() { --depth; }
  } depth(passDepth_);
  EventLoop& loop = CurrentLoop();
  Clock& clock = CurrentClock();
  const uint64_t generation = servers_.Generation();

  // The pass walks the servers and monitors that existed when it reached them. Every
  // pump can run a command that deletes any of them or loads another file, so each one
  // is looked at again through its token before it is touched.
  struct ServerRef {
    TServer* server;
    std::weak_ptr<const char> alive;
  };
  std::vector<ServerRef> servers;
  servers.reserve(static_cast<size_t>(servers_.Count()));
  for (int i = 0; i < servers_.Count(); ++i) {
    TServer* s = servers_.Items(i);
    servers.push_back({s, s->Watch()});
  }

  std::vector<std::pair<TPort*, std::weak_ptr<const char>>> monitors;
  for (const ServerRef& ref : servers) {
    if (servers_.Generation() != generation || host_.QuitRequested()) break;
    if (ref.alive.expired()) continue;
    if (!host_.ScanningActive()) continue;
    TServer* server = ref.server;
    monitors.clear();
    for (int j = 0; j < server->ports.Count(); ++j) {
      TPort* m = server->ports.Items(j);
      monitors.emplace_back(m, m->Watch());
    }
    for (auto& entry : monitors) {
      TPort* const monitor = entry.first;
      const std::weak_ptr<const char>& alive = entry.second;
      // A program that is closing waits for no further check: each one can take its
      // 10 seconds, and a pass over many silent ports would hold the close for minutes.
      if (host_.QuitRequested()) break;
      if (alive.expired() || ref.alive.expired() || servers_.Generation() != generation) continue;
      if (monitor->beingAdded) continue;
      const int64_t mono = clock.MonotonicMs();
      const int64_t elapsedMs = mono - monitor->lastCheckMono;
      const int64_t intervalMs = static_cast<int64_t>(monitor->interval) * 1000;
      if (elapsedMs <= intervalMs) {
        long n = static_cast<long>(std::nearbyint(static_cast<double>(elapsedMs - intervalMs) / 1000.0));
        activityText = "Next check for " + server->name + " in " + ToStr(n) + " s";
        ShowActivity();
        continue;
      }
      activityText = server->name + " " + monitor->typ;
      ShowActivity();

      // A check that fails with an error is recorded in the errors log and counts as
      // dispatched, so one broken monitor never starves the ones after it.
      auto run = [&](void (Checks::*check)(TPort&)) {
        if (!checks_) return;
        try {
          (checks_->*check)(*monitor);
        } catch (const std::exception& e) {
          loop.ReportError(e.what());
        }
      };
      const std::string typ = monitor->typ;
      if (typ == "ping") {
        run(&Checks::DoAping);
        loop.Pump();
      }
      if (typ == "http" && !alive.expired()) {
        run(&Checks::DoAHTTP);
        loop.Pump();
      }
      if (typ == "port" && !alive.expired()) run(&Checks::DoAPort);
      if (!alive.expired()) monitor->MarkChecked(Now(), clock.MonotonicMs());
      loop.Pump();
    }
  }
  // Checks still waiting for a connection are what the operator should see now.
  const size_t waiting = checks_ ? checks_->Waiting() : 0;
  activityText = waiting > 0 ? WaitingActivityText(waiting) : "All Servers done, idle";
  ShowActivity();
}

std::string RecordText(const TPort& monitor, const std::string& kind, const std::string& word,
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
  t += detail;
  return t;
}

void TInfiniScan::LogResult(TPort& monitor, const std::string& kind, const std::string& word,
                            int32_t ms, int32_t bytes, const std::string& detail) {
  recordText = RecordText(monitor, kind, word, ms, bytes, detail);
  LastActivity = "LogResult " + recordText;
  if (monitor.lostCount > 0) recordText += " (" + std::to_string(monitor.lostCount) + " lost)";
  monitor.lastResponseMs = ms;
  AppendRecord(*monitor.server, recordText);
  AddActivityLine();
}

void TInfiniScan::LogError(TPort& monitor, const std::string& kind, const std::string& word,
                           int32_t ms, int32_t bytes, const std::string& detail) {
  recordText = RecordText(monitor, kind, word, ms, bytes, detail);
  LastActivity = "LogError " + recordText;
  if (monitor.lostCount > 0) recordText += " (" + std::to_string(monitor.lostCount) + " lost)";
  AppendRecord(*monitor.server, recordText);
  monitor.lastResponseMs = ms;
  AddMessageLine();
}

void TInfiniScan::PingDisplay(TServer& server, const std::string& message) {
  LastActivity = "PingDisplay " + message;
  AppendRecord(server, "Ping:" + message);
  recordText = message;
  AddActivityLine();
}

namespace {

// Success and failure steps, shared by the three checks. Events can pump the loop, and
// a command run there may delete the monitor: after every event the step looks at the
// monitor's token and ends quietly when it is gone.
void SuccessStep(TInfiniScan& scan, ScanHost& host, TPort& monitor, const StepValues& v) {
  auto alive = monitor.Watch();
  monitor.lostCount = 0;
  scan.LogResult(monitor, v.kind, "OK", v.ms, v.bytes, v.okDetail);
  const double now = Now();
  const long downtime = std::lround((now - monitor.lastUp) * 24.0 * 60.0);
  monitor.lastUp = now;
  if (monitor.status == "red") {
    scan.LogError(monitor, v.kind, "UP", v.ms, v.bytes, v.upDetail(downtime));
    std::string ev = monitor.GetValue("RYtoG");
    if (NamesEvent(ev)) {
      host.RunEvent(ev, v.upEventText(downtime), monitor.server->name, v.upWord, 99999999);
      if (alive.expired()) return;
    }
  }
  if (monitor.status != "green") {
    monitor.status = v.ms >= v.slowMs ? "yellow" : "green";
    host.ScreenUpdate();
  }
}

void FailureStep(TInfiniScan& scan, ScanHost& host, TPort& monitor, const StepValues& v) {
  auto alive = monitor.Watch();
  const std::string serverName = monitor.server->name;
  if (v.lostRecordBefore) scan.LogResult(monitor, v.kind, "LOST", v.ms, v.bytes, v.lostDetail);
  if (monitor.status == "green") {
    monitor.status = "yellow";
    std::string ev = monitor.GetValue("GtoY");
    if (v.screenUpdateBeforeEvent) host.ScreenUpdate();
    if (NamesEvent(ev)) {
      host.RunEvent(ev, v.lostEventText, serverName, "LOST", 1);
      if (alive.expired()) return;
    }
    if (!v.screenUpdateBeforeEvent) host.ScreenUpdate();
  } else if (monitor.status != "red") {
    monitor.lostCount = 2;
    monitor.status = "red";
    host.ScreenUpdate();
    scan.LogError(monitor, v.kind, "DOWN", v.ms, v.bytes, v.lostDetail);
    std::string ev = monitor.GetValue("GYtoR");
    if (ev.empty()) ev = "Default";
    if (ev != "none") {
      host.RunEvent(ev, v.downEventText, serverName, v.downWord(2), 2);
      if (alive.expired()) return;
    }
  } else {
    monitor.lostCount += 1;
    std::string ev = monitor.GetValue("GYtoR");
    if (ev.empty()) ev = "Default";
    if (ev != "none") {
      host.RunEvent(ev, v.downEventText, serverName, v.downWord(monitor.lostCount),
                    monitor.lostCount);
      if (alive.expired()) return;
    }
  }
  if (!v.lostRecordBefore) scan.LogResult(monitor, v.kind, "LOST", v.ms, v.bytes, v.lostDetail);
}

std::function<std::string(int32_t)> CountedDownWord() {
  return [](int32_t count) { return "DOWN (" + std::to_string(count) + ")"; };
}

}  // namespace

void TInfiniScan::PingVerdict(TPort& monitor, bool success, int32_t ms,
                              const std::string& icmpText) {
  const std::string& s = monitor.server->name;
  StepValues v{"PING", ms, 56, 5000, icmpText, icmpText,
               [&](long n) { return icmpText + " Downtime=" + ToStr(n) + " min"; },
               s + " PING LOST (" + icmpText + ")", s + " PING DOWN (" + icmpText + ")",
               [&](long n) { return s + " PING UP (" + icmpText + "), Downtime=" + ToStr(n) + " min"; },
               "UP", CountedDownWord(), false, false};
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void TInfiniScan::HttpVerdict(TPort& monitor, bool success, int32_t ms, int32_t bytes,
                              int32_t errorCode, int32_t statusCode, const std::string& reason) {
  const std::string& s = monitor.server->name;
  const std::string code = std::to_string(statusCode);
  StepValues v{"HTTP", ms, bytes, 10000,
               "E" + std::to_string(errorCode) + " " + code + " " + reason, code + " " + reason,
               [&](long n) { return code + " " + reason + " Downtime=" + ToStr(n) + " min"; },
               s + " HTTP LOST (" + code + " " + reason + ")",
               s + " HTTP DOWN (" + code + " " + reason + ")",
               [&](long n) {
                 return s + " HTTP UP (" + code + " " + reason + "), Downtime=" + ToStr(n) + " min";
               },
               "OK", CountedDownWord(), true, true};
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void TInfiniScan::PortVerdict(TPort& monitor, bool success, int32_t ms) {
  const std::string& s = monitor.server->name;
  const std::string p = std::to_string(monitor.port);
  StepValues v{"PORT", ms, 0, 5000, "", "",
               [](long n) { return "Downtime=" + ToStr(n) + " min"; },
               s + " PORT " + p + " LOST (" + ")", s + " PORT " + p + " DOWN (" + ")",
               [&](long n) { return s + " PORT " + p + " UP (" + "), Downtime=" + ToStr(n) + " min"; },
               "UP", CountedDownWord(), true, true};
  if (success)
    SuccessStep(*this, host_, monitor, v);
  else
    FailureStep(*this, host_, monitor, v);
}

void TInfiniScan::PortSocketError(TPort& monitor, int32_t errorCode) {
  const std::string& s = monitor.server->name;
  const std::string p = std::to_string(monitor.port);
  const std::string detail = "Error=" + std::to_string(errorCode);
  StepValues v{"PORT", 0, 0, 5000, "", detail,
               [](long n) { return "Downtime=" + ToStr(n) + " min"; },
               s + " PORT " + p + " LOST (" + ")", s + " PORT " + p + " DOWN (" + ")",
               [&](long n) { return s + " PORT " + p + " UP (" + "), Downtime=" + ToStr(n) + " min"; },
               "UP", [](int32_t) { return std::string("DOWN"); }, true, true};
  FailureStep(*this, host_, monitor, v);
}

}  // namespace sentrel
