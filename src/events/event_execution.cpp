// Running an event: the latency gates, the fixed order of the actions, and the texts.
#include <array>
#include <exception>
#include <memory>

#include "events/event_actions.h"
#include "events/event_list.h"
#include "events/placeholders.h"
#include "model/last_activity.h"
#include "model/text_pane.h"
#include "platform/awaitables.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/event_loop.h"

namespace sentrel {

void EventList::RunEvent(const std::string& name, const std::string& message,
                         const std::string& server, const std::string& status, int32_t n,
                         uint64_t monitor) {
  Event* ev = Find(name);
  if (!ev) return;
  const bool repeats = ev->RepeatMinutes > 0;
  Task<void> run = ev->Execute(context, message, server, status, n, monitor);
  const bool acted = run.Valid();
  if (acted)
    runs_.Start(std::move(run), "IPEvent.Execute " + message + " " + server + " " + status);
  if (monitor == 0) return;
  // A recovery ends the reminders, and so does the start of another run of failures (a
  // failure number no latency count lets through).
  if (n == 99999999 || n <= 2)
    EndReminder(name, monitor);
  if (acted && repeats && n != 99999999) StartReminder(name, monitor, message, server, status);
}

namespace {

struct Step {
  int index;
  bool Event::*enabled;
};
// The order the actions run in; the print notice comes last.
// The webhook comes with the actions that do not wait: its delivery goes on by itself.
constexpr Step kOrder[] = {
    {kNetSend, &Event::UseNetSend}, {kPopup, &Event::UsePopup},   {kExe, &Event::UseExe},
    {kWebhook, &Event::UseWebhook}, {kMail, &Event::UseMail},     {kShutdown, &Event::UseShutdown},
    {kSound, &Event::UseSound},     {kSerial, &Event::UseSerial}, {kPrint, &Event::UsePrint}};

// The actions whose gates opened, in their order, as a task of their own: an action that
// waits (a mail server, a modem, a sound) delays only the actions after it.
Task<void> RunActions(EventActions* actions, Event settings, std::array<bool, kActionCount> fire,
                      std::string message, std::string server, std::string status,
                      uint64_t monitor) {
  for (const Step& step : kOrder) {
    if (!fire[static_cast<size_t>(step.index)]) continue;
    // One way of telling the operator failing (the mail server refuses, the serial port is
    // gone) must not silence the others: the failure goes to the errors log, with the failed
    // action as its probable cause, and the next action runs. Its notified flag stays set, so
    // it is not retried this run.
    std::exception_ptr failure;
    try {
      switch (step.index) {
        case kNetSend: actions->DoNetSend(settings, message, server, status); break;
        case kPopup: actions->DoPopupAbout(settings, {message, server, status, monitor}); break;
        case kExe: actions->DoExe(settings, message, server, status); break;
        case kWebhook: actions->DoWebhook(settings, message, server, status); break;
        case kMail: co_await actions->DoMail(settings, message, server, status); break;
        case kShutdown: co_await actions->DoShutdown(settings); break;
        case kSound: co_await actions->DoSound(settings); break;
        case kSerial: co_await actions->DoSerial(settings); break;
        case kPrint: actions->DoPrint(settings, server, status); break;
        default: break;
      }
    } catch (...) {
      failure = std::current_exception();
    }
    CurrentLoop().ReportException(failure);
    LastActivity = "IPEvent.Execute " + message + " " + server + " " + status;
  }
}

}  // namespace

Task<void> Event::Execute(const EventContext& context, const std::string& message,
                          const std::string& server, const std::string& status, int32_t n,
                          uint64_t monitor) {
  LastActivity = "IPEvent.Execute " + message + " " + server + " " + status;
  // The gates are decided now, in the actions' order, on the event's flags; what the
  // actions then do takes as long as it takes. They work on a copy of the settings, so
  // an event list replaced meanwhile leaves them untouched.
  std::array<bool, kActionCount> fire{};
  bool any = false;
  for (const Step& step : kOrder) {
    if (!(this->*step.enabled)) continue;
    const bool open = ShouldFire(step.index, n, monitor);
    fire[static_cast<size_t>(step.index)] = open;
    any = any || open;
  }
  if (!any || !context.actions) return {};
  Event settings;
  settings.Assign(*this);
  settings.name = name;
  return RunActions(context.actions, std::move(settings), fire, message, server, status, monitor);
}

namespace {

// Reminds of one monitor's outage through one event: every RepeatMinutes after the first
// act, the actions that acted for it act again while the monitor stays red.
Task<void> RemindTask(EventList* list, std::string name, uint64_t monitor, std::string message,
                      std::string server, std::string status) {
  int64_t due = CurrentClock().MonotonicMs();
  for (;;) {
    const Event* ev = list->Find(name);
    if (!ev || ev->RepeatMinutes <= 0) co_return;
    due += static_cast<int64_t>(ev->RepeatMinutes) * 60'000;
    co_await SleepUntil(due);
    // The event list may have been edited or reloaded meanwhile.
    ev = list->Find(name);
    if (!ev || ev->RepeatMinutes <= 0 || !list->context.reminderState) co_return;
    const ReminderState state = list->context.reminderState(monitor);
    if (!state.red) co_return;
    // Held back now (maintenance, a parent down): this one is skipped, not the next.
    if (state.held) continue;
    const std::array<bool, kActionCount>& notified = ev->NotifiedFor(monitor);
    std::array<bool, kActionCount> fire{};
    bool any = false;
    for (const Step& step : kOrder) {
      const auto i = static_cast<size_t>(step.index);
      fire[i] = ev->*step.enabled && notified[i];
      any = any || fire[i];
    }
    if (!any || !list->context.actions) co_return;
    Event settings;
    settings.Assign(*ev);
    settings.name = ev->name;
    const std::string word = status.rfind("DOWN (", 0) == 0
                                 ? "DOWN (" + std::to_string(state.lostCount) + ")"
                                 : status;
    const std::string text =
        "Reminder: " + message + ", down since " + FormatDateTime(state.downSince);
    LastActivity = "IPEvent.Execute " + text + " " + server + " " + word;
    co_await RunActions(list->context.actions, std::move(settings), fire, text, server, word,
                        monitor);
  }
}

}  // namespace

void EventList::StartReminder(const std::string& name, uint64_t monitor, const std::string& message,
                              const std::string& server, const std::string& status) {
  const auto key = std::make_pair(name, monitor);
  // One per outage: an action with a higher latency count that acts later in the same
  // outage keeps the reminders where they are.
  if (auto it = reminders_.find(key); it != reminders_.end() && reminderTasks_.Running(it->second))
    return;
  const TaskGroup::Id id = reminderTasks_.Start(
      RemindTask(this, name, monitor, message, server, status),
      "IPEvent.Remind " + message + " " + server, [this, key](std::exception_ptr error) {
        CurrentLoop().ReportException(error);
        reminders_.erase(key);
      });
  if (reminderTasks_.Running(id)) reminders_[key] = id;
}

void EventList::EndReminder(const std::string& name, uint64_t monitor) {
  auto it = reminders_.find(std::make_pair(name, monitor));
  if (it == reminders_.end()) return;
  const TaskGroup::Id id = it->second;
  reminders_.erase(it);
  reminderTasks_.Cancel(id);
}

std::string ReplaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement) {
  if (pattern.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(pattern, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(replacement);
    pos = hit + pattern.size();
  }
  out.append(text.substr(pos));
  return out;
}

namespace {
std::string History(const TextPane* pane, const std::string* server) {
  std::string out;
  if (!pane) return out;
  if (server && server->empty()) return out;
  for (const auto& line : pane->Lines()) {
    if (server && line.find(*server) == std::string::npos) continue;
    if (line.find("Doing") != std::string::npos) continue;
    if (line.find("Executing") != std::string::npos) continue;
    out += line;
    out += "\r\n";
  }
  return out;
}
}  // namespace

std::string ServerHistory(const TextPane* history, const std::string& server) {
  return History(history, &server);
}

std::string FullHistory(const TextPane* history) { return History(history, nullptr); }

std::string ExpandPlaceholders(std::string_view templ, const std::string& message,
                               const std::string& server, const std::string& status,
                               const TextPane* history) {
  double now = Now();
  std::string s = ReplaceAll(templ, "<#server>", server);
  s = ReplaceAll(s, "<#status>", status);
  s = ReplaceAll(s, "<#date>", FormatDate(now));
  s = ReplaceAll(s, "<#time>", FormatTime(now));
  // The message can carry text a monitored server sent (an HTTP reason phrase). The
  // histories are filled in around the inserted messages, never inside them: a phrase
  // full of "<#allhist>" would otherwise copy the whole history thousands of times.
  std::string out;
  std::string serverHistory, fullHistory;
  bool haveServer = false, haveFull = false;
  auto fillHistories = [&](std::string_view part) {
    std::string p(part);
    // The histories are taken only when their placeholder is there: they can be long.
    if (p.find("<#hist>") != std::string::npos) {
      if (!haveServer) serverHistory = ServerHistory(history, server), haveServer = true;
      p = ReplaceAll(p, "<#hist>", serverHistory);
    }
    if (p.find("<#allhist>") != std::string::npos) {
      if (!haveFull) fullHistory = FullHistory(history), haveFull = true;
      p = ReplaceAll(p, "<#allhist>", fullHistory);
    }
    out += p;
  };
  size_t pos = 0;
  for (size_t hit; (hit = s.find("<#msg>", pos)) != std::string::npos; pos = hit + 6) {
    fillHistories(std::string_view(s).substr(pos, hit - pos));
    out += message;
  }
  fillHistories(std::string_view(s).substr(pos));
  return out;
}

}  // namespace sentrel
