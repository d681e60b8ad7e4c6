#include "app/log_commands.h"

#include <cstdio>
#include <exception>
#include <string>

#include "app/command_line.h"
#include "app/program.h"
#include "platform/settings_store.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/clock.h"
#include "reports/availability_report.h"
#include "reports/log_dump.h"
#include "reports/log_lines.h"
#include "reports/log_view.h"
#include "reports/request_times.h"

namespace sentrel {

namespace {

int Refuse(const std::string& message, int code) {
  std::fprintf(stderr, "sentrel: %s\n", message.c_str());
  return code;
}

// An error of the command itself. It goes to standard error only: the errors log in the
// data directory belongs to the program that monitors, which may be running right now.
int CommandFailed(const std::string& message) { return Refuse(message, 1); }

// The number of days, checked before anything is read: a bad number is a bad command
// line. Negative numbers would drop every line of a dump and count nothing in request
// times; 0 (which empties every log) needs --yes for a dump. Returns an exit code, or 0
// to go on.
int CheckDays(const CommandLine& cl) {
  const char* option = cl.mode == CommandLine::Mode::DumpLogs       ? "--dump-logs"
                       : cl.mode == CommandLine::Mode::Availability ? "--availability"
                                                                    : "--request-times";
  int32_t days;
  try {
    days = ParseDaysAnswer(cl.days);
  } catch (const std::exception&) {
    return Refuse(std::string(option) + " needs a whole number of days, not " + cl.days, 2);
  }
  if (days < 0)
    return Refuse(std::string(option) + " needs a number of days of 0 or more, not " + cl.days, 2);
  // A period of no days has no checks; nobody means that.
  if (cl.mode == CommandLine::Mode::Availability && (days < 1 || days > 36500))
    return Refuse("--availability needs a number of days from 1 to 36500, not " + cl.days, 2);
  if (cl.mode == CommandLine::Mode::DumpLogs && days == 0 && !cl.yes)
    return Refuse("--dump-logs 0 drops every record of every log; add --yes to do that", 2);
  return 0;
}

Server* FindServer(const ServerList& list, const std::string& name) {
  for (int i = 0; i < list.Count(); ++i)
    if (list.Items(i)->name == name) return list.Items(i);
  // Server names are unique regardless of case, so a name in another case is no guess.
  for (int i = 0; i < list.Count(); ++i)
    if (EqualsIgnoreCase(list.Items(i)->name, name)) return list.Items(i);
  return nullptr;
}

Monitor* FindMonitor(const Server& server, const std::string& name) {
  for (int i = 0; i < server.ports.Count(); ++i)
    if (server.ports.Items(i)->name == name) return server.ports.Items(i);
  for (int i = 0; i < server.ports.Count(); ++i)
    if (EqualsIgnoreCase(server.ports.Items(i)->name, name)) return server.ports.Items(i);
  return nullptr;
}

// stdout is a pipe or a file more often than a terminal here; a failed write (a full
// disk) must not end as success.
int FinishOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Refuse("cannot write the output", 1);
  return 0;
}

void PrintLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

int PrintLog(const Server& server, bool errorsOnly) {
  ReadLogLines(server.LogPath(), errorsOnly, PrintLine);
  return FinishOutput();
}

int PrintRequestTimes(const Monitor& monitor, const std::string& days) {
  RequestTimes times = ComputeRequestTimes(monitor, days);
  PrintLine(times.title);
  if (!times.footer.empty()) PrintLine(times.footer);
  std::string row;
  for (const RequestTimePoint& p : times.points) {
    row = FormatDate(p.time);
    row += ' ';
    row += FormatTime(p.time);
    row += ',';
    row += std::to_string(p.ms);
    row += p.good ? ",good" : ",lost";
    PrintLine(row);
  }
  return FinishOutput();
}

// Reads the logs (and their day summaries, where they still describe them) and writes
// nothing: a Sentrel that is monitoring may run meanwhile.
int PrintAvailability(ServerList& servers, const std::string& daysText, bool csv) {
  const int days = ParseDaysAnswer(daysText);
  const int64_t now = DateTimeToMs(Now());
  AvailabilityReader reader(servers, now, days * 24);
  const std::string text = AvailabilityReport(servers, reader, now, days, csv);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return FinishOutput();
}

int RunDump(const ServerList& servers, const std::string& days) {
  // The records a running Sentrel appends between our read of a log and our rename
  // would be lost, so the dump holds the data directory's lock while it works, and
  // refuses while another program holds it.
  DataDirLock lock;
  if (IsDirectory(DataDir())) {
    bool locked = false;
    try {
      locked = lock.Acquire(DataDir());
    } catch (const std::exception& e) {
      return CommandFailed(e.what());
    }
    if (!locked)
      return Refuse("a running Sentrel holds the data directory " + DataDir() +
                        "; stop that Sentrel (its service, or its window), then dump the logs",
                    1);
  }
  // One line per server: the panel text, then what the dump did. A server without a log
  // has nothing to dump; a log that cannot be dumped is told and left as it was, and the
  // others still get their turn.
  bool lineOpen = false;
  int failures = 0;
  try {
    DumpLogs(
        servers, days,
        [&lineOpen](const std::string& text) {
          std::fputs(text.c_str(), stdout);
          std::fflush(stdout);
          lineOpen = true;
        },
        [&lineOpen](const std::string&, const DumpFileResult& r) {
          if (r.noLog)
            std::fputs(": no log file, nothing to dump\n", stdout);
          else
            std::printf(": kept %lld lines, dropped %lld\n", static_cast<long long>(r.keptLines),
                        static_cast<long long>(r.droppedLines));
          lineOpen = false;
        },
        [&lineOpen, &failures](const std::string&, const std::string& error) {
          std::fputs(": failed\n", stdout);
          std::fflush(stdout);
          lineOpen = false;
          ++failures;
          std::fprintf(stderr, "sentrel: %s\n", error.c_str());
        });
  } catch (...) {
    if (lineOpen) std::fputs(": failed\n", stdout);
    std::fflush(stdout);
    throw;
  }
  if (int code = FinishOutput()) return code;
  return failures > 0 ? 1 : 0;
}

}  // namespace

int RunLogReaderCommand(const CommandLine& cl) {
  SetDataDir(ResolveDataDir(cl.dataDir));
  if (cl.mode == CommandLine::Mode::DumpLogs || cl.mode == CommandLine::Mode::RequestTimes ||
      cl.mode == CommandLine::Mode::Availability)
    if (int code = CheckDays(cl)) return code;

  std::string serverFile = cl.serverFile;
  if (!serverFile.empty()) {
    if (!FileExists(serverFile)) return Refuse("server file not found: " + serverFile, 2);
  } else {
    SettingsStore settings(cl.settingsPath.empty() ? DefaultSettingsPath() : cl.settingsPath);
    if (cl.settingsPath.empty())
      settings.LoadOrAdopt(OldSettingsPath());
    else
      settings.Load();
    serverFile = settings.ReadText(kSettingsSection, "config", "");
  }

  ServerList servers;
  try {
    // Without a server file the program watches its default configuration; so do we.
    if (serverFile.empty()) {
      servers.CreateDefault();
    } else {
      ServerFileContent content = servers.LoadFromFile(serverFile);
      if (content == ServerFileContent::NoServer)
        return Refuse("server file " + serverFile +
                          " holds no server: it is not INI text with [server] sections",
                      2);
      if (content == ServerFileContent::Unreadable)
        return CommandFailed("server file " + serverFile + " cannot be read");
    }

    if (cl.mode == CommandLine::Mode::DumpLogs) return RunDump(servers, cl.days);
    if (cl.mode == CommandLine::Mode::Availability) return PrintAvailability(servers, cl.days, cl.csv);

    Server* server = FindServer(servers, cl.server);
    if (!server)
      return Refuse("no server named " + cl.server + " in " +
                        (serverFile.empty() ? "the default configuration" : serverFile),
                    2);
    if (cl.mode == CommandLine::Mode::Log) return PrintLog(*server, cl.errorsOnly);

    Monitor* monitor = FindMonitor(*server, cl.monitor);
    if (!monitor)
      return Refuse("server " + server->name + " has no monitor named " + cl.monitor, 2);
    return PrintRequestTimes(*monitor, cl.days);
  } catch (const std::exception& e) {
    return CommandFailed(e.what());
  }
}

}  // namespace sentrel
