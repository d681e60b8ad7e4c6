#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/monitor.h"
#include "platform/task.h"

namespace sentrel {

class IniFile;
class EventActions;
class TextPane;

// What a reminder needs to know of the monitor it is for, found by its run id.
struct ReminderState {
  bool red = false;      // the monitor is there and red
  bool held = false;     // its events are held back now (maintenance, unreachable)
  double downSince = 0;  // its last success
  int32_t lostCount = 0;
};

// What an execution needs besides the event: the actions that carry it out and the
// "Messages/Errors" pane the history placeholders read; for reminders, the state of a
// monitor (without it there are none).
struct EventContext {
  EventActions* actions = nullptr;
  const TextPane* history = nullptr;
  std::function<ReminderState(uint64_t monitor)> reminderState;
};

constexpr int kActionCount = 9;
// Action indices: popup 0, sound 1, program 2, mail 3, network message 4, reboot 5,
// print 6, serial script 7, webhook 8.
enum ActionIndex {
  kPopup = 0,
  kSound,
  kExe,
  kMail,
  kNetSend,
  kShutdown,
  kPrint,
  kSerial,
  kWebhook
};

inline constexpr const char* kDefaultSerialOptions = "port=0,bits=3,baud=4,parity=0,stop=0";

// A named bundle of the nine notification actions.
class Event {
  friend class EventList;

 public:
  Event() = default;
  // Copies every field but the name, latency counts and flags included.
  void Assign(const Event& other);
  void SaveToINI(IniFile& ini) const;
  void ReadFromINI(const std::string& section, const IniFile& ini);
  std::weak_ptr<const char> Watch() const { return life_.Watch(); }

  // Whether action i runs for failure number n; keeps `notified` (see event_execution.cpp).
  bool ShouldFire(int action, int32_t n);
  // The same gate for one monitor's failure run: each monitor that names the event has
  // flags of its own, so one monitor's outage neither silences nor repeats another's
  // alerts. Monitor 0 uses the event's own flags.
  bool ShouldFire(int action, int32_t n, uint64_t monitor);
  // The flags of one monitor (the event's own for 0).
  const std::array<bool, kActionCount>& NotifiedFor(uint64_t monitor) const;
  // Decides the latency gates of the enabled actions now and returns the execution of
  // those that open, in the order network message, popup, program, webhook, mail, reboot,
  // sound, serial, print; an empty task when none opens.
  // The execution works on a copy of the settings: the event may be gone meanwhile.
  Task<void> Execute(const EventContext& context, const std::string& message,
                     const std::string& server, const std::string& status, int32_t n,
                     uint64_t monitor = 0);

  std::string name;
  bool UsePopup = false;
  std::string PopupText;
  bool UseSound = false;
  std::string Sound;
  bool UseExe = false;
  std::string Exe;
  std::string ExePara;
  bool UseMail = false;
  std::string MailAddress;
  std::string Mailtext;
  bool UseNetSend = false;
  std::string NetSend;
  std::string NetSendText;
  bool UseShutdown = false;
  std::string Shutdown;
  bool UsePrint = false;
  std::string Printer;
  std::string PrinterText;
  bool UseSerial = false;
  std::string SerialOptions = kDefaultSerialOptions;
  std::string SerialText;
  // The webhook: an HTTP POST to WebhookURL with WebhookBody (placeholders filled, JSON-
  // escaped in a JSON body) and the headers of WebhookHeaders ("Name: value" items
  // separated by "|").
  bool UseWebhook = false;
  std::string WebhookURL;
  std::string WebhookBody;
  std::string WebhookHeaders;
  std::array<int32_t, kActionCount> count{2, 2, 2, 2, 2, 2, 2, 2, 2};
  std::array<bool, kActionCount> always{};
  // Reminders: while a monitor whose outage made actions act stays red, those actions
  // act again every this many minutes; 0 is off.
  int32_t RepeatMinutes = 0;
  std::array<bool, kActionCount> notified{};

 private:
  // Run-time only, never saved: the gate flags of each monitor that reported.
  std::map<uint64_t, std::array<bool, kActionCount>> monitorNotified_;
  LifeToken life_;
};

// What LoadFromFile found at its path.
enum class EventsFileContent {
  Events,      // INI text: its sections are the events (there may be none)
  Missing,     // no file there: an empty list
  NotIniText,  // binary data or other text: nothing is loaded from it
  Unreadable,  // something is there, but it could not be read
};

// The events of a list as they were at one moment, to be put back (the event manager's
// Cancel). Each entry remembers its event by identity.
struct EventListSnapshot {
  struct Entry {
    const Event* original = nullptr;
    std::weak_ptr<const char> alive;
    Event copy;  // settings and latency marks of that moment
  };
  std::vector<Entry> entries;
};

// The ordered list of events; owns them.
class EventList {
 public:
  EventList() = default;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  int Add(const std::string& name);
  // Appends the event "Default" with the popup on.
  int AddDefault();
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(events_.size()); }
  Event* Items(int index) const {
    return index >= 0 && index < Count() ? events_[static_cast<size_t>(index)].get() : nullptr;
  }
  bool Exists(const std::string& name) const;
  // The index of the first event whose name equals this one without regard to case, or
  // -1. The events file keeps one section per such name, so the editor refuses a second.
  int IndexIgnoringCase(const std::string& name) const;
  // The index of this event (by identity), or -1.
  int IndexOf(const Event* event) const;
  void GetNames(std::vector<std::string>& names) const;
  // The first event of exactly this name, or nullptr.
  Event* Find(const std::string& name) const;
  // Runs the first event of exactly this name; nothing when there is none. Its actions
  // run as a task of this list: the call returns once they have started, and a mail
  // server or a modem that takes its time delays nothing but that event's later actions.
  // monitor is the run id of the monitor reporting (0: none, as the editor's tests).
  void RunEvent(const std::string& name, const std::string& message, const std::string& server,
                const std::string& status, int32_t n, uint64_t monitor = 0);
  // The failure number after which the first of the named event's enabled actions acts
  // (its lowest latency count; 2, the default count, when it enables none); -1 when
  // there is no such event. Alerts that go elsewhere than the actions (Alertmanager) fire
  // where the event would.
  int32_t AlertAfter(const std::string& name) const;
  // Executions still under way, and their end (the program is closing).
  size_t RunsUnderWay() const { return runs_.Size(); }
  std::vector<std::string> RunActivities() const { return runs_.Activities(); }
  void CancelRuns() {
    runs_.CancelAll();
    reminderTasks_.CancelAll();
  }
  // Reminders waiting for their next turn, one per event and monitor.
  size_t Reminders() const { return reminders_.size(); }

  EventContext context;

  EventListSnapshot Snapshot() const;
  // Puts back the events of the snapshot: their order, names and settings. Latency marks
  // are not put back but kept as they are now, so an outage reported meanwhile, or before,
  // is not reported again; an event deleted since comes back with the marks it had.
  // Events added since go.
  void Restore(const EventListSnapshot& snapshot);

  // Throws "Unable to write to <path>" when the file cannot be written; the file then
  // keeps its previous content. A file there that is no INI text (one the program never
  // wrote, or one in UTF-16) is kept as its ".bak" before it is replaced.
  void SaveToFile(const std::string& path) const;
  // A header without its "]" is no event; a file that is not INI text loads no event.
  EventsFileContent LoadFromFile(const std::string& path);
  // The file read again while the program runs: events of a name that was there before
  // keep their latency marks (and their reminders go on); without the file, "Default".
  EventsFileContent ReloadFromFile(const std::string& path);

 private:
  void StartReminder(const std::string& name, uint64_t monitor, const std::string& message,
                     const std::string& server, const std::string& status);
  void EndReminder(const std::string& name, uint64_t monitor);

  std::vector<std::unique_ptr<Event>> events_;
  std::map<std::pair<std::string, uint64_t>, TaskGroup::Id> reminders_;
  // Declared last, so executions end before the events go.
  TaskGroup runs_;
  TaskGroup reminderTasks_;
};

}  // namespace sentrel
