#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

class Server;
class IniFile;

// A check in flight that refers back to its monitor (an HTTP request). When the monitor
// is destroyed first, it calls DetachMonitor so the completion never touches it.
class CheckInFlight {
 public:
  virtual ~CheckInFlight() = default;
  virtual void DetachMonitor() = 0;
};

// Lets work that waits (a task, a pending request) find out that a model object is gone.
class LifeToken {
 public:
  LifeToken() = default;
  // A copy is another object with a life of its own: it never keeps the original's
  // watchers believing it is still there.
  LifeToken(const LifeToken&) {}
  LifeToken& operator=(const LifeToken&) { return *this; }
  std::weak_ptr<const char> Watch() const { return token_; }

 private:
  std::shared_ptr<const char> token_ = std::make_shared<const char>(0);
};

// The kinds of check a monitor makes; the server file names them "ping", "http" and
// "port", in lower case. Any other name is a monitor that is never checked.
enum class MonitorType { Ping, Http, Port, Unknown };
MonitorType MonitorTypeOf(std::string_view typ);
// The word its records carry: "PING", "HTTP", "PORT".
const char* RecordKind(MonitorType type);

// A monitor's colour: none before its first verdict, then green, yellow (slow or first
// failures) or red. The server file never holds it; the tree, the page and the exports
// show it.
enum class StatusColour { Unchecked, Green, Yellow, Red };
StatusColour ColourOf(std::string_view status);
// "green", "yellow", "red", or "" for unchecked: the words the model keeps.
const char* ColourWord(StatusColour colour);

// One monitor of a server: a "ping", "http" or "port" check, with its run-time state.
class Monitor {
 public:
  static constexpr int64_t kLongAgo = std::numeric_limits<int64_t>::min() / 2;

  explicit Monitor(Server* owner) : server(owner) {}
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // The value of the first data item with this key (any case), or "".
  std::string GetValue(std::string_view key) const;
  // A non-empty value replaces the first item of the key or appends one; an empty value
  // removes the first item of the key.
  void SetValue(std::string_view key, std::string_view value);

  void SaveToIni(IniFile& ini, const std::string& serverSection) const;
  void LoadFromIni(const IniFile& ini, size_t sectionIndex, const std::string& sectionName);

  // When the check was dispatched: the date-time for texts, the monotonic time for the
  // due test. ResetLastCheck makes the monitor due at once ("long ago").
  void MarkChecked(double now, int64_t monotonicMs) {
    lastCheck = now;
    lastCheckMono = monotonicMs;
  }
  void ResetLastCheck() {
    lastCheck = 0;
    lastCheckMono = kLongAgo;
  }
  std::weak_ptr<const char> Watch() const { return life_.Watch(); }
  MonitorType Type() const { return MonitorTypeOf(typ); }
  StatusColour Colour() const { return ColourOf(status); }
  void SetColour(StatusColour colour) { status = ColourWord(colour); }

  // Configuration.
  std::string typ;
  int32_t port = 80;
  std::vector<std::string> data;
  std::string alarm = "default";
  std::string name;
  int32_t interval = 60;

  // Run-time only.
  std::string status;
  int32_t lostCount = 0;
  double lastCheck = 0;
  int64_t lastCheckMono = kLongAgo;
  double lastUp = 0;
  // The same moment on the monotonic clock, for the downtime; kLongAgo while unknown.
  int64_t lastUpMono = kLongAgo;
  int32_t lastResponseMs = 0;
  // What the machine-readable status reports, where the fields above keep the figures the
  // page and the tree have always shown: the time of the last check, failed or not (a
  // failed port check leaves lastResponseMs at the 0 of its socket-error record); the
  // lost count the last record carries (an HTTP or port failure writes its record before
  // it counts on); and the last success of this run, 0 when there was none (lastUp
  // starts out shortly before the load, for the downtime of a first success).
  int32_t lastCheckMs = 0;
  int32_t lastRecordLost = 0;
  double lastSuccess = 0;
  // The last DOWN or UP record of this monitor as "Messages/Errors" shows it (with its
  // time), for the alerts that carry it.
  std::string lastErrorRecord;
  CheckInFlight* httpRequest = nullptr;
  // The check task under way for this monitor; deleting the monitor ends it.
  CheckInFlight* check = nullptr;
  // The day (whole date-time days) of the last notice that the server certificate of
  // this monitor expires soon; the notice comes once a day.
  int32_t certificateNoticeDay = -1;
  // A monitor the operator is adding: the scan leaves it alone until its editor is
  // confirmed (a cancelled editor takes it away again).
  bool beingAdded = false;
  // When its check now under way started and when its last verdict came (monotonic): a
  // server reached through this monitor's server decides its events on verdicts that are
  // not older than its own check.
  int64_t checkStartMono = kLongAgo;
  int64_t verdictMono = kLongAgo;
  // The events of the run of failures under way, as the alert policy let them through.
  struct AlertRun {
    int32_t base = 0;        // the failure numbers the events see: lostCount - base
    bool withheld = false;   // a failure event of this run was held back or waited
    bool announced = false;  // a failure event of this run ran
    bool held = false;       // held back now: raised when the hold ends and it is still red
    std::string heldText;    // the event text and status word of the last held failure
    std::string heldWord;
  };
  AlertRun alertRun;

  Server* server;
  // Tells this monitor apart from every other one of this run (an address can be reused
  // after a monitor is deleted; this number is not). Events keep their gates per monitor.
  const uint64_t runId = NextRunId();

 private:
  static uint64_t NextRunId();
  LifeToken life_;
};

// The monitors of one server, in order; owns them.
class MonitorList {
 public:
  explicit MonitorList(Server* owner) : server(owner) {}

  // Creates a monitor with the defaults, typ = base, name = UniqueName(base).
  int Add(const std::string& base);
  // A name no monitor of this list carries: base, base2, base3, ... Names are compared
  // without regard to case, since the server file's section names ignore case.
  std::string UniqueName(const std::string& base) const;
  // The same, as if `except` were not in the list: the name a monitor gets when its own
  // type changes, so that it never counts against itself.
  std::string UniqueName(const std::string& base, const Monitor* except) const;
  int Count() const { return static_cast<int>(monitors_.size()); }
  Monitor* Items(int index) const {
    return index >= 0 && index < Count() ? monitors_[static_cast<size_t>(index)].get() : nullptr;
  }
  void Delete(int index);
  void Clear();
  // The index of this monitor (by identity), or -1.
  int IndexOf(const Monitor* monitor) const;
  // Another monitor (not `except`) whose records carry what a monitor of this type on
  // this port would write: the same kind and port number (ping always 0). The two would
  // write indistinguishable records into the server's log. nullptr when there is none;
  // types that are never checked write no records.
  const Monitor* SameRecords(const std::string& typ, int32_t port, const Monitor* except) const;

  void SaveToIni(IniFile& ini, const std::string& serverSection) const;

  // Takes every monitor out of the list, in order, and puts monitors in: a reload keeps
  // the objects of unchanged monitors and puts them where the file has them.
  std::vector<std::unique_ptr<Monitor>> TakeAll() { return std::move(monitors_); }
  void PutAll(std::vector<std::unique_ptr<Monitor>> monitors);

  Server* server;

 private:
  std::vector<std::unique_ptr<Monitor>> monitors_;
};

}  // namespace sentrel
