#include "events/event_list.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "model/last_activity.h"
#include "model/server_file.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"

namespace sentrel {

void Event::Assign(const Event& o) {
  UsePopup = o.UsePopup;
  PopupText = o.PopupText;
  UseSound = o.UseSound;
  Sound = o.Sound;
  UseExe = o.UseExe;
  Exe = o.Exe;
  ExePara = o.ExePara;
  UseMail = o.UseMail;
  MailAddress = o.MailAddress;
  Mailtext = o.Mailtext;
  UseNetSend = o.UseNetSend;
  NetSend = o.NetSend;
  NetSendText = o.NetSendText;
  UseShutdown = o.UseShutdown;
  Shutdown = o.Shutdown;
  UsePrint = o.UsePrint;
  Printer = o.Printer;
  PrinterText = o.PrinterText;
  UseSerial = o.UseSerial;
  SerialOptions = o.SerialOptions;
  SerialText = o.SerialText;
  UseWebhook = o.UseWebhook;
  WebhookURL = o.WebhookURL;
  WebhookBody = o.WebhookBody;
  WebhookHeaders = o.WebhookHeaders;
  count = o.count;
  always = o.always;
  RepeatMinutes = o.RepeatMinutes;
  notified = o.notified;
}

void Event::SaveToINI(IniFile& ini) const {
  LastActivity = "IPEvent.SaveToINI";
  // Events of names equal but for case share one section, the later one's values
  // overwriting, as they always have in this file.
  // Texts are quoted where reading would otherwise trim or unquote them.
  auto put = [&](const char* key, const std::string& v) {
    ini.WriteString(name, key, QuoteIniValue(v));
  };
  auto flag = [&](const char* key, bool v) { ini.WriteString(name, key, v ? "1" : "0"); };
  flag("UsePopup", UsePopup);
  put("PopupText", PopupText);
  flag("UseSound", UseSound);
  put("Sound", Sound);
  flag("UseExe", UseExe);
  put("Exe", Exe);
  put("ExePara", ExePara);
  flag("UseMail", UseMail);
  put("MailAddress", MailAddress);
  put("Mailtext", Mailtext);
  flag("UseNetSend", UseNetSend);
  put("NetSend", NetSend);
  put("NetSendText", NetSendText);
  flag("UseShutdown", UseShutdown);
  put("Shutdown", Shutdown);
  flag("UsePrint", UsePrint);
  put("Printer", Printer);
  put("PrinterText", PrinterText);
  flag("UseSerial", UseSerial);
  put("SerialOptions", SerialOptions);
  put("SerialText", SerialText);
  for (int i = 0; i < kWebhook; ++i) {
    put(("count" + std::to_string(i)).c_str(), std::to_string(count[static_cast<size_t>(i)]));
    flag(("always" + std::to_string(i)).c_str(), always[static_cast<size_t>(i)]);
  }
  // The webhook's keys only for an event that has one set up, so the sections of events
  // without it are written as they always were.
  if (UseWebhook || !WebhookURL.empty() || !WebhookBody.empty() || !WebhookHeaders.empty() ||
      count[kWebhook] != 2 || always[kWebhook]) {
    flag("UseWebhook", UseWebhook);
    put("WebhookURL", WebhookURL);
    put("WebhookBody", WebhookBody);
    put("WebhookHeaders", WebhookHeaders);
    put("count8", std::to_string(count[kWebhook]));
    flag("always8", always[kWebhook]);
  }
  // Only when reminders are on, so a file without them is written as it always was.
  if (RepeatMinutes > 0) put("RepeatMinutes", std::to_string(RepeatMinutes));
}

void Event::ReadFromINI(const std::string& section, const IniFile& ini) {
  LastActivity = "IPEvent.ReadFromINI";
  name = section;
  auto text = [&](const char* key, const std::string& def = "") {
    return ini.ReadString(section, key, def);
  };
  auto flag = [&](const char* key) { return ini.ReadBool(section, key, false); };
  UsePopup = flag("UsePopup");
  PopupText = text("PopupText");
  UseSound = flag("UseSound");
  Sound = text("Sound");
  UseExe = flag("UseExe");
  Exe = text("Exe");
  ExePara = text("ExePara");
  UseMail = flag("UseMail");
  MailAddress = text("MailAddress");
  Mailtext = text("Mailtext");
  UseNetSend = flag("UseNetSend");
  NetSend = text("NetSend");
  NetSendText = text("NetSendText");
  UseShutdown = flag("UseShutdown");
  Shutdown = text("Shutdown");
  UsePrint = flag("UsePrint");
  Printer = text("Printer");
  PrinterText = text("PrinterText");
  UseSerial = flag("UseSerial");
  SerialOptions = text("SerialOptions", kDefaultSerialOptions);
  SerialText = text("SerialText");
  UseWebhook = flag("UseWebhook");
  WebhookURL = text("WebhookURL");
  WebhookBody = text("WebhookBody");
  WebhookHeaders = text("WebhookHeaders");
  for (size_t i = 0; i < kActionCount; ++i) {
    int32_t c = ini.ReadInteger(section, "count" + std::to_string(i), 1);
    count[i] = c < 2 ? 2 : c;
    always[i] = ini.ReadBool(section, "always" + std::to_string(i), false);
  }
  RepeatMinutes = std::max<int32_t>(0, ini.ReadInteger(section, "RepeatMinutes", 0));
}

int EventList::Add(const std::string& name) {
  auto ev = std::make_unique<Event>();
  ev->name = name;
  events_.push_back(std::move(ev));
  return Count() - 1;
}

int EventList::AddDefault() {
  int i = Add("Default");
  Items(i)->UsePopup = true;
  return i;
}

void EventList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  auto doomed = std::move(events_[static_cast<size_t>(index)]);
  events_.erase(events_.begin() + index);
}

void EventList::Clear() {
  for (int i = Count() - 1; i >= 0; --i) Delete(i);
}

bool EventList::Exists(const std::string& name) const {
  return Find(name) != nullptr;
}

int32_t EventList::AlertAfter(const std::string& name) const {
  const Event* ev = Find(name);
  if (!ev) return -1;
  const bool enabled[kActionCount] = {ev->UsePopup, ev->UseSound,   ev->UseExe,
                                      ev->UseMail,  ev->UseNetSend, ev->UseShutdown,
                                      ev->UsePrint, ev->UseSerial,  ev->UseWebhook};
  int32_t lowest = INT32_MAX;
  for (size_t i = 0; i < kActionCount; ++i)
    if (enabled[i]) lowest = std::min(lowest, ev->count[i]);
  return lowest == INT32_MAX ? 2 : lowest;
}

int EventList::IndexIgnoringCase(const std::string& name) const {
  for (size_t i = 0; i < events_.size(); ++i)
    if (EqualsIgnoreCase(events_[i]->name, name)) return static_cast<int>(i);
  return -1;
}

int EventList::IndexOf(const Event* event) const {
  for (size_t i = 0; i < events_.size(); ++i)
    if (events_[i].get() == event) return static_cast<int>(i);
  return -1;
}

Event* EventList::Find(const std::string& name) const {
  for (const auto& ev : events_)
    if (ev->name == name) return ev.get();
  return nullptr;
}

void EventList::GetNames(std::vector<std::string>& names) const {
  names.clear();
  for (const auto& ev : events_) names.push_back(ev->name);
}

void EventList::SaveToFile(const std::string& path) const {
  IniFile ini;
  for (const auto& ev : events_) ev->SaveToINI(ini);
  RemoveDeadTemporaries(path);
  // The list loaded nothing from such a file, and the event manager saves as it opens:
  // without this, opening it would replace a file of events saved in another encoding.
  if (auto old = ReadWholeFile(path); old && !IniFile::Parse(*old).IsIniText()) {
    const std::string backup = BackupPath(path);
    unlink(backup.c_str());
    if (link(path.c_str(), backup.c_str()) < 0) {
      try {
        WriteFileAtomic(backup, *old);
      } catch (const SentrelError&) {
        // Without its copy the file is not replaced.
        throw SentrelError("Unable to write to " + backup);
      }
    }
  }
  try {
    ini.Save(path);
  } catch (const SentrelError&) {
    throw SentrelError("Unable to write to " + path);
  }
}

EventsFileContent EventList::LoadFromFile(const std::string& path) {
  Clear();
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text)
    return FileExists(path) || IsDirectory(path) ? EventsFileContent::Unreadable
                                                 : EventsFileContent::Missing;
  IniFile ini = IniFile::Parse(*text);
  if (!ini.IsIniText()) return EventsFileContent::NotIniText;
  for (const auto& section : ini.SectionNames()) {
    Items(Add(section))->ReadFromINI(section, ini);
  }
  return EventsFileContent::Events;
}

EventsFileContent EventList::ReloadFromFile(const std::string& path) {
  struct Marks {
    std::array<bool, kActionCount> notified;
    std::map<uint64_t, std::array<bool, kActionCount>> monitors;
  };
  std::map<std::string, Marks> marks;
  for (const auto& ev : events_) marks.emplace(ev->name, Marks{ev->notified, ev->monitorNotified_});
  const EventsFileContent content = LoadFromFile(path);
  if (content == EventsFileContent::Missing) AddDefault();
  for (const auto& ev : events_) {
    auto it = marks.find(ev->name);
    if (it == marks.end()) continue;
    ev->notified = it->second.notified;
    ev->monitorNotified_ = it->second.monitors;
  }
  return content;
}

EventListSnapshot EventList::Snapshot() const {
  EventListSnapshot snapshot;
  snapshot.entries.reserve(events_.size());
  for (const auto& ev : events_) snapshot.entries.push_back({ev.get(), ev->Watch(), *ev});
  return snapshot;
}

void EventList::Restore(const EventListSnapshot& snapshot) {
  std::vector<std::unique_ptr<Event>> restored;
  restored.reserve(snapshot.entries.size());
  for (const EventListSnapshot::Entry& entry : snapshot.entries) {
    std::unique_ptr<Event> ev;
    if (!entry.alive.expired()) {
      auto it = std::find_if(events_.begin(), events_.end(),
                             [&](const auto& e) { return e.get() == entry.original; });
      if (it != events_.end()) ev = std::move(*it);
    }
    if (!ev) {
      restored.push_back(std::make_unique<Event>(entry.copy));
      continue;
    }
    // The object stays (whoever watches it keeps it); its marks stay as they are now.
    const std::array<bool, kActionCount> notified = ev->notified;
    auto monitors = std::move(ev->monitorNotified_);
    *ev = entry.copy;
    ev->notified = notified;
    ev->monitorNotified_ = std::move(monitors);
    restored.push_back(std::move(ev));
  }
  events_ = std::move(restored);
}

}  // namespace sentrel

namespace sentrel {

bool Event::ShouldFire(int action, int32_t n, uint64_t monitor) {
  if (monitor == 0) return ShouldFire(action, n);
  // The same rule on this monitor's flags, swapped in for the moment.
  std::array<bool, kActionCount>& flags = monitorNotified_[monitor];
  std::swap(flags, notified);
  const bool result = ShouldFire(action, n);
  std::swap(flags, notified);
  return result;
}

const std::array<bool, kActionCount>& Event::NotifiedFor(uint64_t monitor) const {
  if (monitor == 0) return notified;
  static const std::array<bool, kActionCount> none{};
  auto it = monitorNotified_.find(monitor);
  return it == monitorNotified_.end() ? none : it->second;
}

bool Event::ShouldFire(int action, int32_t n) {
  const auto i = static_cast<size_t>(action);
  if (n <= count[i]) notified[i] = false;
  bool result;
  if (n == 99999999)
    result = notified[i];
  else
    result = n > count[i] && !notified[i];
  if (result) notified[i] = true;
  return result;
}

}  // namespace sentrel
