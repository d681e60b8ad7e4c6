#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sentrel {

class TServerList;
class TPort;
class TServer;

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
  // The event list's RunEvent.
  virtual void RunEvent(const std::string& name, const std::string& message,
                        const std::string& server, const std::string& status, int32_t n) = 0;
  // The program is closing: a pass in progress checks no further monitor.
  virtual bool QuitRequested() const { return false; }
};

// The three checks, as the scan pass calls them. The real ones talk to the network;
// tests put in scripted ones.
class Checks {
 public:
  virtual ~Checks() = default;
  virtual void DoAping(TPort& monitor) = 0;
  virtual void DoAHTTP(TPort& monitor) = 0;
  virtual void DoAPort(TPort& monitor) = 0;
  // HTTP checks that wait for a free connection (started as checks in flight complete).
  virtual size_t Waiting() const { return 0; }
};

// The activity text while HTTP checks wait for a free connection.
std::string WaitingActivityText(size_t waiting);

// The scan engine: one pass over all monitors, the record writers, and the status steps
// that turn a check's outcome into colours, records and events.
class TInfiniScan {
 public:
  TInfiniScan(TServerList& servers, ScanHost& host) : servers_(servers), host_(host) {}

  void SetChecks(Checks* checks) { checks_ = checks; }
  Checks* GetChecks() const { return checks_; }

  // One scan pass.
  void Execute();
  // Whether a pass is under way (passes can nest through a pump), and the number of the
  // latest pass to start.
  bool PassRunning() const { return passDepth_ > 0; }
  uint64_t PassNumber() const { return passNumber_; }
  void ShowActivity();
  void AddActivityLine();
  void AddMessageLine();

  // Record writers. LogResult's line goes to the "Activity log" pane, LogError's to the
  // "Messages/Errors" pane; both to the server's log file. A log file that cannot be
  // written is reported to the loop's error handler and the writer carries on, so the
  // status step around it still changes the colour and runs the events.
  void LogResult(TPort& monitor, const std::string& kind, const std::string& word, int32_t ms,
                 int32_t bytes, const std::string& detail);
  void LogError(TPort& monitor, const std::string& kind, const std::string& word, int32_t ms,
                int32_t bytes, const std::string& detail);
  // A message of the ping check: "Ping:" + message in the log, the message in the pane.
  void PingDisplay(TServer& server, const std::string& message);

  // Status steps, one per check with the check's own values.
  void PingVerdict(TPort& monitor, bool success, int32_t ms, const std::string& icmpText);
  // Success: reason is the reason phrase, errorCode the request's error code.
  // Failure: reason is the failure message.
  void HttpVerdict(TPort& monitor, bool success, int32_t ms, int32_t bytes, int32_t errorCode,
                   int32_t statusCode, const std::string& reason);
  void PortVerdict(TPort& monitor, bool success, int32_t ms);
  // The port check's socket-error form of the failure step.
  void PortSocketError(TPort& monitor, int32_t errorCode);

  std::string recordText;
  std::string activityText;
  // Since the start: check outcomes handled, and records written to the log files.
  uint64_t checksDone = 0;
  uint64_t recordsWritten = 0;

 private:
  TServerList& servers_;
  ScanHost& host_;
  Checks* checks_ = nullptr;
  int passDepth_ = 0;
  uint64_t passNumber_ = 0;
};

// The record text of a check without the lost suffix: server, kind, port, word,
// "<ms>ms ", "<bytes>Bytes " and the detail.
std::string RecordText(const TPort& monitor, const std::string& kind, const std::string& word,
                       int32_t ms, int32_t bytes, const std::string& detail);

}  // namespace sentrel
