// Reading and writing the server file: one INI section per server, followed by one
// "server:monitor" section per monitor.
#include "model/server_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>

#include "model/comma_text.h"
#include "model/findings.h"
#include "model/server_list.h"

#include <algorithm>
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"

namespace sentrel {

namespace {
constexpr size_t kMaxMonitorName = 255;

std::string ReadText(const IniFile& ini, size_t index, std::string_view key,
                     const std::string& def = "") {
  auto raw = ini.ReadRawAt(index, key);
  return raw ? std::string(Unquote(*raw)) : def;
}

int32_t ReadInt(const IniFile& ini, size_t index, std::string_view key, int32_t def) {
  auto raw = ini.ReadRawAt(index, key);
  if (!raw) return def;
  auto v = ParseIniInteger(Trim(Unquote(*raw)));
  return v ? *v : def;
}

// The Data value keeps its quotes until the comma form has read them: a value whose
// only item is quoted (an item with a blank) then reads back whole. A value in single
// quotes, which the program never writes, loses them as any INI value would.
std::vector<std::string> ReadData(const IniFile& ini, size_t index) {
  auto raw = ini.ReadRawAt(index, "Data");
  if (!raw) return {};
  std::string_view v = *raw;
  if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') v = v.substr(1, v.size() - 2);
  return FromCommaText(v);
}
}  // namespace

namespace {
std::string WithExtension(const std::string& path, const char* extension) {
  auto slash = path.rfind('/');
  auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + extension;
  return path.substr(0, dot) + extension;
}

std::string Quoted(std::string_view section) {
  return "[" + std::string(section) + "]";
}
}  // namespace

std::vector<std::string> SplitParentNames(std::string_view value) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    if (comma == std::string_view::npos) comma = value.size();
    std::string name(Trim(value.substr(pos, comma - pos)));
    if (!name.empty()) names.push_back(std::move(name));
    pos = comma + 1;
  }
  return names;
}

std::string BackupPath(const std::string& path) {
  return WithExtension(path, ".bak");
}

std::string OriginalBackupPath(const std::string& path) {
  return WithExtension(path, ".orig.bak");
}

ServerFileLayout LayOutServerFile(const IniFile& ini, const std::string& file, Findings* findings) {
  ServerFileLayout layout;
  layout.droppedSections = ini.UnclosedHeaders();
  const size_t count = ini.SectionCount();
  auto drop = [&](size_t section, const std::string& why) {
    ++layout.droppedSections;
    if (findings) findings->Error(file, ini.SectionLine(section), why);
  };

  // Monitor sections grouped by the server name before their first ":", in file order,
  // so the layout stays linear however many servers the file holds.
  std::unordered_map<std::string_view, std::vector<size_t>> monitorSections;
  for (size_t i = 0; i < count; ++i) {
    std::string_view name = ini.SectionName(i);
    auto colon = name.find(':');
    if (colon != std::string_view::npos) monitorSections[name.substr(0, colon)].push_back(i);
  }

  // Section names ignore case in an INI file, so a second section of the same name (only
  // ever made by hand) would read the first one's keys; it is dropped.
  std::unordered_map<std::string, size_t> firstServer;  // lower-case name -> section
  std::unordered_map<std::string, size_t> firstMonitor;
  std::unordered_set<std::string_view> loaded;
  for (size_t i = 0; i < count; ++i) {
    std::string_view name = ini.SectionName(i);
    if (name.find(':') != std::string_view::npos) continue;
    // "[]" is no server: a line of a JSON array or of plain text, never a saved server.
    if (name.empty()) {
      drop(i, "section [] has no name: it is ignored");
      continue;
    }
    auto [first, fresh] = firstServer.emplace(ToLower(name), i);
    if (!fresh) {
      const std::string_view earlier = ini.SectionName(first->second);
      drop(i, Quoted(name) + " repeats the server section " + Quoted(earlier) + " of line " +
                  std::to_string(ini.SectionLine(first->second)) +
                  (earlier == name ? "" : " (section names ignore case)") + ": it is ignored");
      continue;
    }
    ServerFileLayout::ServerSections server;
    server.section = i;
    loaded.insert(name);
    auto it = monitorSections.find(name);
    if (it != monitorSections.end()) {
      firstMonitor.clear();
      for (size_t m : it->second) {
        auto [firstM, freshM] = firstMonitor.emplace(ToLower(ini.SectionName(m)), m);
        if (!freshM) {
          const std::string_view earlier = ini.SectionName(firstM->second);
          drop(m, Quoted(ini.SectionName(m)) + " repeats the monitor section " + Quoted(earlier) +
                      " of line " + std::to_string(ini.SectionLine(firstM->second)) +
                      (earlier == ini.SectionName(m) ? "" : " (section names ignore case)") +
                      ": it is ignored");
          continue;
        }
        server.monitors.push_back(m);
      }
    }
    layout.servers.push_back(std::move(server));
  }

  for (size_t i = 0; i < count; ++i) {
    std::string_view name = ini.SectionName(i);
    auto colon = name.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view serverName = name.substr(0, colon);
    if (loaded.count(serverName)) continue;
    std::string why = "monitor section " + Quoted(name);
    if (serverName.empty()) {
      why += " names no server before ':'";
    } else {
      why += " has no server section " + Quoted(serverName);
      auto other = firstServer.find(ToLower(serverName));
      if (other != firstServer.end())
        why += " (the server is " + Quoted(ini.SectionName(other->second)) + " of line " +
               std::to_string(ini.SectionLine(other->second)) +
               ": the part before ':' must match it in letter case)";
    }
    drop(i, why + ": the monitor is ignored");
  }
  return layout;
}

// Text values go through QuoteIniValue: a note with blanks at its ends or a group in
// quotes then reads back exactly as it was typed.
void Server::SaveToIni(IniFile& ini, double now) const {
  size_t s = ini.AppendSection(name);
  ini.AppendEntry(s, "IP", QuoteIniValue(ip));
  ini.AppendEntry(s, "Location", QuoteIniValue(location));
  ini.AppendEntry(s, "Notes", QuoteIniValue(notes));
  ini.AppendEntry(s, "Logfile", QuoteIniValue(logfile));
  ini.AppendEntry(s, "Group", QuoteIniValue(group));
  ini.AppendEntry(s, "GroupExpand", groupExpand ? "1" : "0");
  ini.AppendEntry(s, "PortExpand", portExpand ? "1" : "0");
  // Written only when there is something to say, so a file that uses neither reads
  // exactly as before.
  if (!parents.empty()) {
    std::string joined;
    for (const std::string& p : parents) joined += (joined.empty() ? "" : ",") + p;
    ini.AppendEntry(s, "Parent", QuoteIniValue(joined));
  }
  // One-off windows that are over are dropped here, at the save after them.
  const std::string windows = FormatMaintenance(maintenance, now);
  if (!windows.empty()) ini.AppendEntry(s, "Maintenance", windows);
  ports.SaveToIni(ini, name);
}

void MonitorList::SaveToIni(IniFile& ini, const std::string& serverSection) const {
  for (const auto& m : monitors_) m->SaveToIni(ini, serverSection);
}

void Monitor::SaveToIni(IniFile& ini, const std::string& serverSection) const {
  size_t s = ini.AppendSection(serverSection + ":" + name);
  ini.AppendEntry(s, "Typ", QuoteIniValue(typ));
  ini.AppendEntry(s, "Port", std::to_string(port));
  ini.AppendEntry(s, "Data", ToCommaText(data));
  ini.AppendEntry(s, "Alarm", QuoteIniValue(alarm));
  ini.AppendEntry(s, "intervall", std::to_string(interval));
}

void Server::LoadFromIni(const IniFile& ini, size_t index) {
  ip = ReadText(ini, index, "IP");
  location = ReadText(ini, index, "Location");
  notes = ReadText(ini, index, "Notes");
  logfile = ReadText(ini, index, "Logfile");
  group = ReadText(ini, index, "Group");
  groupExpand = ReadInt(ini, index, "GroupExpand", 1) != 0;
  portExpand = ReadInt(ini, index, "PortExpand", 1) != 0;
  parents = SplitParentNames(ReadText(ini, index, "Parent"));
  // A window that is not understood is left out (the check says why): a server is never
  // put into maintenance by a guess.
  maintenance = ParseMaintenance(ReadText(ini, index, "Maintenance"));
}

void Monitor::LoadFromIni(const IniFile& ini, size_t index, const std::string& sectionName) {
  auto colon = sectionName.find(':');
  name = sectionName.substr(colon + 1, kMaxMonitorName);
  typ = ReadText(ini, index, "Typ", "ping");
  port = ReadInt(ini, index, "Port", 0);
  if (typ == "ping") port = 0;
  data = ReadData(ini, index);
  alarm = ReadText(ini, index, "Alarm", "default");
  interval = ReadInt(ini, index, "intervall", 10);
}

std::string ServerList::Content(bool dropExpired) const {
  IniFile ini;
  const double now = dropExpired ? Now() : 0;
  for (const auto& server : servers_) server->SaveToIni(ini, now);
  return ini.Serialize();
}

void ServerList::SaveToFile(const std::string& path, Backup backup) const {
  std::string content = Content();
  RemoveDeadTemporaries(path);

  // The old file stays where it is until the new one has completely replaced it: the
  // backup is a second name for the old content, and the new file arrives by rename.
  // So a failed save leaves the previous content both in the file and in the backup,
  // and no section of a deleted server can survive in the new file.
  if (FileExists(path)) {
    std::string backupPath =
        backup == Backup::KeepOriginal ? OriginalBackupPath(path) : BackupPath(path);
    unlink(backupPath.c_str());
    if (link(path.c_str(), backupPath.c_str()) < 0) {
      // A file system without hard links: fall back to a copy.
      if (auto old = ReadWholeFile(path)) {
        try {
          WriteFileAtomic(backupPath, *old);
        } catch (const SentrelError&) {
          // The backup is a courtesy; the save itself must still happen.
        }
      }
    }
  }
  try {
    WriteFileAtomic(path, content);
  } catch (const SentrelError&) {
    throw SentrelError("Unable to write to " + path);
  }
}

ServerFileContent ServerList::LoadFromFile(const std::string& path, size_t* droppedSections) {
  Clear();
  if (droppedSections) *droppedSections = 0;
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text)
    return FileExists(path) || IsDirectory(path) ? ServerFileContent::Unreadable
                                                 : ServerFileContent::Missing;
  IniFile ini = IniFile::Parse(*text);
  // Random bytes or some other text would load as servers nobody wrote; the window
  // would then write them over the file at its close.
  if (!ini.IsIniText()) return ServerFileContent::NoServer;
  const ServerFileLayout layout = LayOutServerFile(ini, path, nullptr);
  if (droppedSections) *droppedSections = layout.droppedSections;

  const double loadTime = Now() - 58.0 / 86400.0;
  const int64_t loadMono = CurrentClock().MonotonicMs() - 58'000;  // the default interval's
  for (const ServerFileLayout::ServerSections& s : layout.servers) {
    Server* server = Items(Add(std::string(ini.SectionName(s.section))));
    server->LoadFromIni(ini, s.section);
    server->ports.Clear();
    for (size_t m : s.monitors) {
      std::string section(ini.SectionName(m));
      Monitor* monitor = server->ports.Items(server->ports.Add("new"));
      monitor->LoadFromIni(ini, m, section);
      monitor->lastCheck = loadTime;
      // Due two seconds after the load whatever its interval: a monitor with an interval of
      // a day would otherwise stay grey for a day after every start.
      monitor->lastCheckMono =
          std::min(loadMono, loadMono + 58'000 - static_cast<int64_t>(monitor->interval) * 1000 + 2000);
      monitor->lastUp = loadTime;
      monitor->lastUpMono = loadMono;
      monitor->lastResponseMs = 0;
    }
  }
  if (Count() == 0 && !Trim(*text).empty()) return ServerFileContent::NoServer;
  return ServerFileContent::Servers;
}

}  // namespace sentrel
