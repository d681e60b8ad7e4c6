#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace sentrel {

class ServerList;

// Log dumping: cuts the lines older than a number of days out of every server's log.
// A line's date (its first word) decides, not its time: with the answer 7 a line stays
// when its day started less than seven days before now, so today and the six days before
// remain. A line whose first word is no date (an empty line, a line from another date
// format) stays as well: it cannot be judged, and dropping it could lose text an operator
// wants.
//
// The lines to keep go to a copy beside the log, named like the log with its extension
// replaced by ".new". The copy is written completely and synced, then renamed over the
// log in one step. On any failure the log stays exactly as it was and the copy is
// removed, so a log is never replaced by an incomplete copy.

// What one file's dump did.
struct DumpFileResult {
  int64_t keptLines = 0;
  int64_t droppedLines = 0;
  bool noLog = false;  // the server has no log file (yet): nothing was dumped
};

// The name of the copy: the extension of the path's last component replaced by ".new",
// or ".new" appended when it has none ("web1.log" gives "web1.new").
std::string DumpCopyPath(const std::string& logPath);

// Dumps one log file through the copy at copyPath (a file left there by an earlier run is
// replaced): keeps the lines whose day started after now minus days. Throws SystemError
// when the log cannot be read or the copy cannot be written or put in place; the log is
// then unchanged and the copy gone.
DumpFileResult DumpLogFile(const std::string& logPath, const std::string& copyPath, int32_t days,
                           double now);

// The panel text shown while a server's log is dumped: "Dumping Logile " + logfile.
std::string DumpingLogText(const std::string& logfile);

// The whole command over all servers in list order. daysAnswer is the operator's answer
// as typed; one that is not a whole number throws before any file is touched. progress
// receives the panel text before each server, done (may be empty) the result after it.
// Without failed, the first server whose log cannot be dumped ends the command with its
// error; the servers before it are done, the later ones untouched. With failed, every
// server gets its turn: a server that has no log yet has nothing to dump (done hears of
// it, noLog set), and a log that cannot be dumped is told to failed with the error and
// stays as it was. A copy name that is some server's log file (a log named "web1.new",
// or "x.new" being its own copy) gets ".new" appended until it is none, so a dump never
// overwrites a log it has not read.
using DumpFailed = std::function<void(const std::string& logfile, const std::string& error)>;
void DumpLogs(
    const ServerList& servers, std::string_view daysAnswer,
    const std::function<void(const std::string&)>& progress,
    const std::function<void(const std::string& logfile, const DumpFileResult&)>& done = {},
    const DumpFailed& failed = {});

}  // namespace sentrel
