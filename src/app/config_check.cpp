#include "app/config_check.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>

#include "app/address_form.h"
#include "events/event_list.h"
#include "events/serial_action.h"
#include "events/webhook_action.h"
#include "model/comma_text.h"
#include "model/dependencies.h"
#include "model/maintenance.h"
#include "model/server.h"
#include "model/server_file.h"
#include "platform/clock.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/ip_address.h"
#include "platform/paths.h"
#include "scan/http_client.h"

namespace sentrel {

namespace {

// The path with "." and ".." taken out and the links of the part that exists resolved,
// so that "/data/../etc/passwd" is seen for what it is.
std::string CanonicalPath(const std::string& path) {
  std::string known = path, rest;
  while (!known.empty() && known != "/") {
    if (char* real = realpath(known.c_str(), nullptr)) {
      std::string out(real);
      free(real);
      return rest.empty() ? out : JoinPath(out, rest);
    }
    const size_t slash = known.find_last_of('/');
    const std::string last = known.substr(slash + 1);
    rest = rest.empty() ? last : JoinPath(last, rest);
    known = slash == 0 ? "/" : known.substr(0, slash);
  }
  // Nothing of it exists: the words alone.
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string Quoted(std::string_view section) {
  return "[" + std::string(section) + "]";
}

bool IsOneOf(std::string_view name, const std::vector<std::string>& names) {
  for (const std::string& n : names)
    if (EqualsIgnoreCase(n, name)) return true;
  return false;
}

std::string DidYouMean(const std::string& unknown, const std::vector<std::string>& known) {
  const std::string close = ClosestName(unknown, known);
  return close.empty() ? std::string() : " (did you mean " + close + "?)";
}

// One section's entries as a reader sees them: the first entry of a key counts, and a
// repeated key says so.
struct SectionKeys {
  SectionKeys(const IniFile& ini, size_t section, const std::string& file, Findings& findings)
      : ini(ini), section(section) {
    std::map<std::string, size_t> first;
    for (size_t e = 0; e < ini.EntryCount(section); ++e) {
      const std::string key(ini.EntryKey(section, e));
      auto [it, fresh] = first.emplace(ToLower(key), e);
      if (fresh) {
        entries.push_back(e);
      } else {
        findings.Warning(file, ini.EntryLine(section, e),
                         "repeated key " + key + " in " + Quoted(ini.SectionName(section)) +
                             ": the one of line " +
                             std::to_string(ini.EntryLine(section, it->second)) + " counts");
      }
    }
  }
  std::string_view Key(size_t e) const { return ini.EntryKey(section, e); }
  std::string_view Raw(size_t e) const { return ini.EntryValue(section, e); }
  std::string Text(size_t e) const { return std::string(Unquote(Raw(e))); }
  int Line(size_t e) const { return ini.EntryLine(section, e); }
  // The first entry of the key, or none.
  std::optional<size_t> Find(std::string_view key) const {
    for (size_t e : entries)
      if (EqualsIgnoreCase(Key(e), key)) return e;
    return std::nullopt;
  }
  // Read as the loaders read numbers: nothing when the value is not one.
  std::optional<int32_t> Number(size_t e) const { return ParseIniInteger(Trim(Unquote(Raw(e)))); }

  const IniFile& ini;
  size_t section;
  std::vector<size_t> entries;  // the first entry of each key, in file order
};

// Whether the file can be read and is INI text; says why not when it is neither.
std::optional<IniFile> ReadIniText(const std::string& path, const char* what,
                                   const std::string& consequence, Findings& findings) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    findings.Error(path, 0, std::string("cannot be read") + consequence);
    return std::nullopt;
  }
  IniFile ini = IniFile::Parse(*text);
  if (!ini.IsIniText()) {
    findings.Error(path, ini.BinaryLine(),
                   std::string("not ") + what + ": " + ini.NotIniReason() + consequence);
    return std::nullopt;
  }
  return ini;
}

// ---------------------------------------------------------------------------------------
// The server file

struct ServerFileCheck {
  const IniFile& ini;
  const std::string& file;
  const std::vector<std::string>* eventNames;
  Findings& findings;

  void CheckServer(const ServerFileLayout::ServerSections& layout);
  void Address(const SectionKeys& keys, const ServerFileLayout::ServerSections& layout);
  void CheckMonitor(size_t section, const std::string& serverName, const std::string& logFile,
                    std::map<std::pair<std::string, int32_t>, size_t>& records);
  void Data(const SectionKeys& keys, size_t entry, const std::string& typ);
  void UnknownKey(const SectionKeys& keys, size_t entry, bool monitor,
                  const std::string& serverName);
  void Maintenance(const SectionKeys& keys, size_t entry);
  // The Parent entries of every server, checked together once all servers are known.
  void Parents(const std::vector<ServerFileLayout::ServerSections>& servers);

  struct ParentEntry {
    size_t server;  // index into the layout's servers
    int line;
    std::vector<std::string> names;
  };
  std::vector<ParentEntry> parentEntries;
  size_t serverIndex = 0;
};

void ServerFileCheck::Maintenance(const SectionKeys& keys, size_t e) {
  std::vector<std::string> errors;
  const std::vector<MaintenanceWindow> windows = ParseMaintenance(keys.Text(e), &errors);
  for (const std::string& why : errors)
    findings.Error(file, keys.Line(e), "Maintenance window " + why + ": it is ignored");
  const double now = Now();
  for (const MaintenanceWindow& w : windows)
    if (w.ExpiredAt(now))
      findings.Warning(file, keys.Line(e),
                       "Maintenance window " + FormatMaintenanceWindow(w) +
                           " is over: the next save leaves it out");
}

void ServerFileCheck::Parents(const std::vector<ServerFileLayout::ServerSections>& servers) {
  if (parentEntries.empty()) return;
  std::vector<std::string> names;
  std::map<std::string, size_t> byName;
  for (size_t i = 0; i < servers.size(); ++i) {
    names.emplace_back(ini.SectionName(servers[i].section));
    byName.emplace(ToLower(names.back()), i);
  }
  // The links as the program makes them: names of no server and the server itself said
  // here, cycles below.
  std::vector<std::vector<size_t>> links(servers.size());
  std::vector<std::vector<int>> linkLines(servers.size());
  for (const ParentEntry& entry : parentEntries) {
    std::set<size_t> seen;
    const std::string& self = names[entry.server];
    for (const std::string& name : entry.names) {
      auto it = byName.find(ToLower(name));
      if (it == byName.end()) {
        findings.Error(file, entry.line,
                       "Parent=" + name + " of " + Quoted(self) +
                           " names no server of this file: the dependency is ignored" +
                           DidYouMean(name, names));
        continue;
      }
      if (it->second == entry.server) {
        findings.Error(file, entry.line,
                       "Parent=" + name + " of " + Quoted(self) +
                           " names the server itself: the dependency is ignored");
        continue;
      }
      if (!seen.insert(it->second).second) {
        findings.Warning(file, entry.line,
                         "Parent of " + Quoted(self) + " names " + name + " twice");
        continue;
      }
      links[entry.server].push_back(it->second);
      linkLines[entry.server].push_back(entry.line);
    }
  }
  const std::vector<std::vector<bool>> onCycle = LinksOnCycles(links);
  for (size_t s = 0; s < links.size(); ++s) {
    for (size_t k = 0; k < links[s].size(); ++k) {
      if (!onCycle[s][k]) continue;
      // The way back from the parent to this server, for the message.
      const size_t target = s;
      std::vector<size_t> from(links.size(), SIZE_MAX);
      std::vector<size_t> queue{links[s][k]};
      from[links[s][k]] = links[s][k];
      for (size_t q = 0; q < queue.size() && from[target] == SIZE_MAX; ++q) {
        const size_t v = queue[q];
        for (size_t j = 0; j < links[v].size(); ++j) {
          const size_t w = links[v][j];
          if (!onCycle[v][j] || from[w] != SIZE_MAX) continue;
          from[w] = v;
          queue.push_back(w);
        }
      }
      std::vector<std::string> path{names[target]};
      for (size_t v = target; from[v] != SIZE_MAX && v != links[s][k]; v = from[v])
        path.push_back(names[from[v]]);
      std::string cycle = names[s];
      for (auto it = path.rbegin(); it != path.rend(); ++it) cycle += " > " + *it;
      findings.Error(file, linkLines[s][k],
                     "Parent=" + names[links[s][k]] + " of " + Quoted(names[s]) +
                         " closes a cycle (" + cycle + "): the dependency is ignored");
    }
  }
}

void ServerFileCheck::UnknownKey(const SectionKeys& keys, size_t e, bool monitor,
                                 const std::string& serverName) {
  const std::string key(keys.Key(e));
  std::string hint = DidYouMean(key, monitor ? kMonitorKeys : kServerKeys);
  // A key of the other kind of section, as it is or nearly.
  if (hint.empty()) {
    const std::string other = ClosestName(key, monitor ? kServerKeys : kMonitorKeys);
    if (!other.empty())
      hint = std::string(" (") +
             (EqualsIgnoreCase(other, key) ? "" : "did you mean " + other + "? ") + other +
             " is a key of " +
             (monitor ? "the server section " + Quoted(serverName)
                      : "monitor sections such as " + Quoted(serverName + ":ping")) +
             ")";
  }
  if (hint.empty() && monitor) {
    std::vector<std::string> items = kHttpDataKeys;
    items.insert(items.end(), kEventDataKeys.begin(), kEventDataKeys.end());
    const std::string item = ClosestName(key, items);
    if (!item.empty()) hint = " (" + item + " is an item of Data: Data=" + item + "=...)";
  }
  if (key[0] == '#') hint = " (a line starting with # is no comment: start it with ;)";
  findings.Error(file, keys.Line(e),
                 "unknown key " + key + " in " + Quoted(keys.ini.SectionName(keys.section)) +
                     ": it is ignored" + hint);
}

void ServerFileCheck::CheckServer(const ServerFileLayout::ServerSections& layout) {
  const std::string name(ini.SectionName(layout.section));
  SectionKeys keys(ini, layout.section, file, findings);
  // The readers of the logs take a record's words by their position.
  if (name.find_first_of(" \t,") != std::string::npos)
    findings.Warning(file, ini.SectionLine(layout.section),
                     "server name " + Quoted(name) +
                         " holds a blank or a comma: its records cannot be read back "
                         "(log views, request times, dumps take words by position)");
  // The server as the program loads it: the messages say what the loader made of it.
  Server loaded(nullptr);
  loaded.LoadFromIni(ini, layout.section);
  std::string logFile = name + ".log";
  for (size_t e : keys.entries) {
    const std::string key(keys.Key(e));
    if (!IsOneOf(key, kServerKeys)) {
      UnknownKey(keys, e, false, name);
      continue;
    }
    const bool group = EqualsIgnoreCase(key, "GroupExpand");
    if ((group || EqualsIgnoreCase(key, "PortExpand")) && !keys.Number(e))
      findings.Warning(file, keys.Line(e),
                       key + "=" + keys.Text(e) + " is not a number: the flag is " +
                           ((group ? loaded.groupExpand : loaded.portExpand) ? "on" : "off"));
    if (EqualsIgnoreCase(key, "Logfile") && !keys.Text(e).empty()) {
      logFile = keys.Text(e);
      // Records are appended to the log, and trimming and dumps rewrite it: an absolute
      // name can point them at any file this user may write.
      if (logFile[0] == '/' && !DataDir().empty()) {
        const std::string dir = CanonicalPath(DataDir());
        const std::string log = CanonicalPath(logFile);
        if (log.rfind(dir + "/", 0) != 0)
          findings.Warning(file, keys.Line(e),
                           "Logfile=" + logFile + " lies outside the data directory " + dir +
                               ": records are appended to that file, and trimming the logs "
                               "rewrites it");
      }
    }
    if (EqualsIgnoreCase(key, "Maintenance")) Maintenance(keys, e);
    if (EqualsIgnoreCase(key, "Parent"))
      parentEntries.push_back({serverIndex, keys.Line(e), SplitParentNames(keys.Text(e))});
  }
  Address(keys, layout);
  ++serverIndex;
  std::map<std::pair<std::string, int32_t>, size_t> records;
  for (size_t m : layout.monitors) CheckMonitor(m, name, logFile, records);
}

void ServerFileCheck::Address(const SectionKeys& keys,
                              const ServerFileLayout::ServerSections& layout) {
  // Only ping and port checks go to the server's address; an HTTP check goes to its URL.
  bool reached = false;
  for (size_t m : layout.monitors) {
    std::string typ = "ping";
    for (size_t e = 0; e < ini.EntryCount(m); ++e)
      if (EqualsIgnoreCase(ini.EntryKey(m, e), "Typ")) {
        typ = std::string(Unquote(ini.EntryValue(m, e)));
        break;
      }
    reached = reached || typ == "ping" || typ == "port";
  }
  const std::string name(ini.SectionName(layout.section));
  const auto ip = keys.Find("IP");
  const std::string text = ip ? std::string(Trim(keys.Text(*ip))) : std::string();
  if (text.empty()) {
    // The name stands in for the address; a name with a blank has been told of already.
    if (!reached || name.find_first_of(" \t,") != std::string::npos) return;
    const AddressForm f = JudgeAddress(name);
    if (f.problem.empty() || f.worksAnyway) return;
    findings.Error(file, ini.SectionLine(layout.section),
                   Quoted(name) + " has no IP, so its ping and port checks go to its name, which " +
                       f.problem + ": they fail (set its IP" +
                       (f.hint.empty() ? std::string() : "; " + f.hint) + ")");
    return;
  }
  const AddressForm f = JudgeAddress(text);
  if (f.problem.empty()) return;
  std::string message = "IP=" + text + " " + f.problem;
  if (f.worksAnyway)
    message += ": it works";
  else if (reached)
    message += ": the ping and port checks of " + Quoted(name) + " cannot reach it";
  else
    message += ": a ping or port check of " + Quoted(name) + " could not reach it";
  if (!f.hint.empty()) message += " (" + f.hint + ")";
  findings.Add(file, keys.Line(*ip),
               f.worksAnyway ? Finding::Severity::Warning : Finding::Severity::Error, message);
}

void ServerFileCheck::CheckMonitor(size_t section, const std::string& serverName,
                                   const std::string& logFile,
                                   std::map<std::pair<std::string, int32_t>, size_t>& records) {
  const std::string_view sectionName = ini.SectionName(section);
  const int line = ini.SectionLine(section);
  SectionKeys keys(ini, section, file, findings);
  for (size_t e : keys.entries)
    if (!IsOneOf(keys.Key(e), kMonitorKeys)) UnknownKey(keys, e, true, serverName);

  // The monitor as the program loads it: the messages say what the loader made of it.
  Server owner(nullptr);
  Monitor loaded(&owner);
  loaded.LoadFromIni(ini, section, std::string(sectionName));
  const std::string& typ = loaded.typ;
  const bool known = loaded.Type() != MonitorType::Unknown;
  if (!known) {
    const std::string lower = ToLower(typ);
    const bool caseOnly = lower == "ping" || lower == "http" || lower == "port";
    findings.Error(file, keys.Find("Typ") ? keys.Line(*keys.Find("Typ")) : line,
                   "unknown Typ " + typ + " in " + Quoted(sectionName) +
                       ": the monitor is never checked (the types are ping, http and port" +
                       (caseOnly ? ", in lower case: " + lower : std::string()) + ")");
  }

  int32_t port = 0;
  if (typ != "ping") {
    bool portSaid = false;
    if (auto e = keys.Find("Port")) {
      auto value = keys.Number(*e);
      portSaid = !value || *value < 0 || *value > 65535;
      if (!value)
        findings.Error(file, keys.Line(*e),
                       "Port=" + keys.Text(*e) + " is not a number: the monitor uses port " +
                           std::to_string(loaded.port));
      else if (portSaid)
        findings.Error(file, keys.Line(*e),
                       "Port=" + keys.Text(*e) + " is out of range: ports are 0 to 65535");
      port = loaded.port;
    }
    if (typ == "port" && port == 0 && !portSaid)
      findings.Error(
          file, keys.Find("Port") ? keys.Line(*keys.Find("Port")) : line,
          "the port monitor " + Quoted(sectionName) + " has no port (Port 0): every check fails");
  }

  if (auto e = keys.Find("intervall")) {
    auto value = keys.Number(*e);
    if (!value)
      findings.Error(file, keys.Line(*e),
                     "intervall=" + keys.Text(*e) +
                         " is not a number: the monitor is checked every " +
                         std::to_string(loaded.interval) + " seconds");
    else if (*value < 1 || *value > 86400)
      findings.Error(file, keys.Line(*e),
                     "intervall=" + keys.Text(*e) + " is out of range: 1 to 86400 seconds");
  }

  bool hasUrl = false;
  if (auto e = keys.Find("Data")) {
    Data(keys, *e, typ);
    for (const std::string& item : FromCommaText(keys.Raw(*e)))
      if (EqualsIgnoreCase(item.substr(0, item.find('=')), "url") &&
          item.find('=') != std::string::npos)
        hasUrl = true;
  }
  if (typ == "http" && !hasUrl)
    findings.Error(
        file, line,
        "the http monitor " + Quoted(sectionName) + " has no url item in Data: every check fails");

  // Records name the server, the check's kind and the port; two monitors that agree on
  // those write records nobody can tell apart.
  if (known) {
    auto [first, fresh] = records.emplace(std::make_pair(typ, port), section);
    if (!fresh) {
      const std::string record =
          serverName + " " + RecordKind(loaded.Type()) + " " + std::to_string(port);
      findings.Warning(file, line,
                       "the monitor " + Quoted(sectionName) + " has the type and port of " +
                           Quoted(ini.SectionName(first->second)) + " (line " +
                           std::to_string(ini.SectionLine(first->second)) + "): both write \"" +
                           record + "\" records to " + logFile +
                           ", so their records mix in the log views and request times");
    }
  }
}

void ServerFileCheck::Data(const SectionKeys& keys, size_t e, const std::string& typ) {
  // Read as the loader reads it: single quotes go, double quotes are the comma form's.
  std::string_view raw = keys.Raw(e);
  if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'')
    raw = raw.substr(1, raw.size() - 2);
  const int line = keys.Line(e);
  std::vector<std::string> all = kHttpDataKeys;
  all.insert(all.end(), kEventDataKeys.begin(), kEventDataKeys.end());
  std::set<std::string> seen;
  for (const std::string& item : FromCommaText(raw)) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      findings.Error(file, line,
                     "Data item \"" + item +
                         "\" is no key=value: it is ignored (an unquoted blank ends an item; "
                         "write an item with blanks in double quotes)");
      continue;
    }
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    if (!IsOneOf(key, all)) {
      findings.Error(
          file, line,
          "Data item " + key + "= is read by nothing: it is ignored" + DidYouMean(key, all));
      continue;
    }
    if (!seen.insert(ToLower(key)).second) {
      findings.Warning(file, line, "Data item " + key + "= repeated: the first one counts");
      continue;
    }
    if (IsOneOf(key, kHttpDataKeys)) {
      if (typ != "http") {
        // A monitor of an unknown type has been said to be never checked.
        if (typ == "ping" || typ == "port")
          findings.Warning(file, line,
                           "Data item " + key + "= is read by http monitors only: this " + typ +
                               " monitor ignores it");
        continue;
      }
      if (EqualsIgnoreCase(key, "url")) {
        const std::string lower = ToLower(value);
        if (std::string why = UrlProblem(value); !why.empty())
          findings.Error(file, line, "url=" + value + " cannot be requested: " + why);
        else if (value.find("://") == std::string::npos &&
                 (lower.rfind("http:", 0) == 0 || lower.rfind("https:", 0) == 0))
          findings.Error(file, line,
                         "url=" + value + " cannot be requested: its scheme lacks the \"//\" (" +
                             value.substr(0, value.find(':')) + "://...)");
        else if (value.find("://") == std::string::npos)
          findings.Warning(file, line,
                           "url=" + value + " has no scheme: it is requested as http://" + value +
                               " (write http:// or https:// in front)");
      } else if (EqualsIgnoreCase(key, "proxyport") && !value.empty()) {
        auto n = ParseIniInteger(value);
        if (!n || *n < 1 || *n > 65535)
          findings.Error(file, line, "proxyport=" + value + " is no TCP port (1 to 65535)");
      } else if (EqualsIgnoreCase(key, "proxy") && !value.empty()) {
        if (std::string why = ProxyProblem(value); !why.empty())
          findings.Error(file, line, "proxy=" + value + " cannot be reached: " + why);
      }
      continue;
    }
    // An event choice. RtoY is kept but never run, so its name does not matter.
    if (!eventNames || EqualsIgnoreCase(key, "RtoY") || value == "none") continue;
    bool found = false;
    std::string otherCase;
    for (const std::string& name : *eventNames) {
      if (name == value) found = true;
      if (EqualsIgnoreCase(name, value)) otherCase = name;
    }
    if (found) continue;
    findings.Error(file, line,
                   key + "=" + value +
                       " names an event that the events file does not hold: " + "nothing runs" +
                       (otherCase.empty()
                            ? std::string()
                            : " (event names count letter case: the event is " + otherCase + ")"));
  }
}

// ---------------------------------------------------------------------------------------
// The events file

const std::vector<std::string>& EventKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k = {
        "UsePopup",    "PopupText",     "UseSound",    "Sound",    "UseExe",     "Exe",
        "ExePara",     "UseMail",       "MailAddress", "Mailtext", "UseNetSend", "NetSend",
        "NetSendText", "UseShutdown",   "Shutdown",    "UsePrint", "Printer",    "PrinterText",
        "UseSerial",   "SerialOptions", "SerialText",  "UseWebhook", "WebhookURL", "WebhookBody",
        "WebhookHeaders"};
    for (int i = 0; i < kActionCount; ++i) {
      k.push_back("count" + std::to_string(i));
      k.push_back("always" + std::to_string(i));
    }
    k.push_back("RepeatMinutes");
    return k;
  }();
  return keys;
}

// The table of each serial option: its highest index.
constexpr struct {
  const char* key;
  int last;
} kSerialTables[] = {{"port", 7}, {"baud", 12}, {"bits", 3}, {"parity", 4}, {"stop", 2}};

void CheckEvent(const IniFile& ini, size_t section, const std::string& file, Findings& findings) {
  SectionKeys keys(ini, section, file, findings);
  const std::string name(ini.SectionName(section));
  // The event as the program loads it, written back: each key as the loader decided it.
  Event loaded;
  loaded.name = name;
  loaded.ReadFromINI(name, ini);
  IniFile decided;
  loaded.SaveToINI(decided);
  auto text = [&](std::string_view key) { return decided.ReadString(name, key, ""); };
  auto flag = [&](std::string_view key) { return text(key) == "1"; };
  for (size_t e : keys.entries) {
    const std::string key(keys.Key(e));
    if (!IsOneOf(key, EventKeys())) {
      const std::string lower = ToLower(key);
      std::string hint;
      if ((lower.rfind("count", 0) == 0 || lower.rfind("always", 0) == 0) &&
          key.find_first_of("0123456789") != std::string::npos)
        hint = " (the actions are numbered 0 to 8)";
      else
        hint = DidYouMean(key, EventKeys());
      findings.Error(file, keys.Line(e),
                     "unknown key " + key + " in " + Quoted(name) + ": it is ignored" + hint);
      continue;
    }
    const std::string lower = ToLower(key);
    const auto value = keys.Number(e);
    if (lower.rfind("use", 0) == 0 && !value) {
      findings.Error(file, keys.Line(e),
                     key + "=" + keys.Text(e) + " is not a number: the action is " +
                         (flag(key) ? "on" : "off") + " (1 is on)");
    } else if (lower.rfind("always", 0) == 0 && !value) {
      findings.Warning(file, keys.Line(e), key + "=" + keys.Text(e) + " is not a number");
    } else if (lower == "repeatminutes" && (!value || *value < 0)) {
      findings.Error(file, keys.Line(e),
                     key + "=" + keys.Text(e) +
                         " is not a number of minutes: no reminders (0 is off)");
    } else if (lower.rfind("count", 0) == 0) {
      if (!value)
        findings.Error(
            file, keys.Line(e),
            key + "=" + keys.Text(e) + " is not a number: the latency count is " + text(key));
      else if (*value < 2)
        findings.Warning(
            file, keys.Line(e),
            key + "=" + keys.Text(e) + " reads as " + text(key) + ", the lowest latency count");
      else if (*value > 999)
        findings.Warning(
            file, keys.Line(e),
            key + "=" + keys.Text(e) + " is more than the 999 the event manager offers");
    }
  }

  const bool serial = flag("UseSerial");
  if (auto e = keys.Find("SerialOptions")) {
    const auto severity = serial ? Finding::Severity::Error : Finding::Severity::Warning;
    try {
      const SerialOptions options = ParseSerialOptions(keys.Text(*e));
      const int values[] = {options.port, options.baud, options.bits, options.parity, options.stop};
      for (size_t i = 0; i < std::size(kSerialTables); ++i)
        if (values[i] < 0 || values[i] > kSerialTables[i].last)
          findings.Add(file, keys.Line(*e), severity,
                       std::string("SerialOptions: ") + kSerialTables[i].key + "=" +
                           std::to_string(values[i]) + " is not in its table (0 to " +
                           std::to_string(kSerialTables[i].last) + ")");
    } catch (const std::exception& ex) {
      findings.Add(file, keys.Line(*e), severity, std::string("SerialOptions: ") + ex.what());
    }
  }

  // Enabled actions that cannot work as written.
  const int line = ini.SectionLine(section);
  auto needs = [&](const char* use, const char* key, const std::string& consequence) {
    if (flag(use) && text(key).empty())
      findings.Error(file, line,
                     Quoted(name) + ": " + use + "=1 without " + key + ": " + consequence);
  };
  needs("UseMail", "Mailtext", "the mail action fails");
  needs("UseMail", "MailAddress", "the mail goes to nobody");
  needs("UseSerial", "SerialText", "the serial action fails");
  needs("UseWebhook", "WebhookURL", "the webhook is not sent");
  if (auto e = keys.Find("WebhookURL"); e && !keys.Text(*e).empty()) {
    const std::string text = keys.Text(*e);
    const WebhookTarget target = SplitWebhookTarget(text);
    const std::string& url = target.url;
    std::string problem = UrlProblem(url);
    if (target.method.empty())
      problem = "the method is not POST, PUT or PATCH";
    else if (problem.empty() && url.find("://") == std::string::npos)
      problem = "it needs http:// or https:// in front";
    if (!problem.empty())
      findings.Add(file, keys.Line(*e),
                   flag("UseWebhook") ? Finding::Severity::Error : Finding::Severity::Warning,
                   "WebhookURL=" + text + ": " + problem + ": the webhook cannot be sent");
  }
  if (auto e = keys.Find("WebhookHeaders"))
    for (const std::string& problem : WebhookHeaderProblems(keys.Text(*e)))
      findings.Warning(file, keys.Line(*e), "WebhookHeaders: " + problem);
  // Relative names are taken from the working directory of the program, which is not
  // known here; absolute ones can be looked at.
  for (auto [use, key] : {std::pair{"UseMail", "Mailtext"}, std::pair{"UseSerial", "SerialText"},
                          std::pair{"UseSound", "Sound"}}) {
    const std::string path = text(key);
    if (flag(use) && !path.empty() && path[0] == '/' && !FileExists(path))
      findings.Warning(file, keys.Line(*keys.Find(key)),
                       std::string(key) + "=" + path + ": no such file here");
  }
}

}  // namespace

void CheckServerFile(const std::string& path, const std::vector<std::string>* eventNames,
                     Findings& findings) {
  const std::string consequence = "; Sentrel loads nothing from it and never writes over it";
  std::optional<IniFile> ini = ReadIniText(path, "a server file", consequence, findings);
  if (!ini) return;
  AddIniTextFindings(*ini, path, findings);
  const ServerFileLayout layout = LayOutServerFile(*ini, path, &findings);
  if (layout.servers.empty()) {
    // An empty file is an empty configuration, written as usual.
    if (ini->NonEmptyLines() == 0)
      findings.Warning(path, 0, "the file is empty: no server is watched");
    else
      findings.Error(path, 0, "no server section" + consequence);
    return;
  }
  ServerFileCheck check{*ini, path, eventNames, findings, {}, 0};
  for (const ServerFileLayout::ServerSections& server : layout.servers) check.CheckServer(server);
  check.Parents(layout.servers);
}

std::optional<std::vector<std::string>> CheckEventsFile(const std::string& path,
                                                        Findings& findings) {
  std::optional<IniFile> ini = ReadIniText(
      path, "an events file", "; no event is loaded from it, so no alert is raised", findings);
  if (!ini) return std::nullopt;
  AddIniTextFindings(*ini, path, findings);
  std::vector<std::string> names;
  std::map<std::string, size_t> first;
  for (size_t i = 0; i < ini->SectionCount(); ++i) {
    const std::string name(ini->SectionName(i));
    names.push_back(name);
    auto [it, fresh] = first.emplace(ToLower(name), i);
    if (!fresh) {
      // Loading makes an event of it that reads the first section's keys.
      const std::string earlier(ini->SectionName(it->second));
      findings.Error(path, ini->SectionLine(i),
                     Quoted(name) + " repeats the event " + Quoted(earlier) + " of line " +
                         std::to_string(ini->SectionLine(it->second)) +
                         (earlier == name ? "" : " (section names ignore case)") +
                         ": its own keys are ignored, and the event manager saves the two as "
                         "one");
      continue;
    }
    if (name.empty())
      findings.Warning(path, ini->SectionLine(i), "an event named [] cannot be named by a monitor");
    CheckEvent(*ini, i, path, findings);
  }
  if (names.empty())
    findings.Warning(path, 0, "the file holds no event: no alert is raised");
  else if (std::find(names.begin(), names.end(), "Default") == names.end())
    findings.Warning(path, 0,
                     "no event [Default]: a monitor that names no GYtoR event raises no alert "
                     "when it turns red");
  return names;
}

Findings CheckConfiguration(const std::string& serverFile, const std::string& eventsFile) {
  // The events file is read first for its names, but its findings come second: the
  // server file is what an operator checks most.
  Findings events, findings;
  std::optional<std::vector<std::string>> names;
  if (!eventsFile.empty() && FileExists(eventsFile)) names = CheckEventsFile(eventsFile, events);
  if (!serverFile.empty()) CheckServerFile(serverFile, names ? &*names : nullptr, findings);
  findings.Append(events);
  return findings;
}

}  // namespace sentrel
