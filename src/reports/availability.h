#pragma once

// Availability of a monitor: the share of its checks that succeeded over a period, and
// its outages (from the first failed check to the next good one), worked out from the
// records of the server's log.
//
// A check writes one or two records, and which pairs belong together follows from the
// status steps: a success writes "OK", and "OK" then "UP" when it ends an outage; a
// failed HTTP or port check writes "LOST", and "LOST" then "DOWN" when it turns the
// monitor red; a failed ping writes "LOST", and "DOWN" then "LOST" when it turns red.
// The two records of one check follow each other with no record of that monitor between
// them, so a record joins the one before it exactly in those three shapes. A failed port
// check then sends its probe on the socket that never connected, and that failure step
// writes its own records ("LOST", or "LOST" then "DOWN", with the detail "Error=10057"):
// they join the failed check before them, so one port check may leave three records. A
// ping check may also leave a "Ping:" message line first; that is no record and counts
// for nothing.
//
// The figures are kept in hours: the last 24 hours are the current hour and the 23
// before it, 7 days 168 hours, 30 days 720. A log keeps its counts per day (24 hourly
// counts), its outages, and how its last records ended, so that reading can go on at
// the byte where it stopped; the same state is what a day summary file holds.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reports/log_lines.h"

namespace sentrel {

class Monitor;

constexpr int64_t kMsPerHour = 3'600'000;

// What a monitor's records say about one period.
struct Availability {
  int64_t checks = 0;
  int64_t good = 0;
  // Outages that overlap the period, and their time within it.
  int64_t outages = 0;
  int64_t downtimeMs = 0;
  int64_t longestMs = 0;
  // Where the figures begin: the period's start, or the monitor's first check in the log
  // when that came later (before it there is no data, which is never 100 %).
  int64_t fromMs = 0;
  int64_t toMs = 0;
  // An outage goes on at the end of the period.
  bool downNow = false;
  // The log is still being read: the figures are not complete yet.
  bool pending = false;

  bool HasData() const { return checks > 0; }
  double Ratio() const { return checks > 0 ? static_cast<double>(good) / static_cast<double>(checks) : 0.0; }
};

// Where the figures of a monitor come from: the program's live ones, or logs read once.
class AvailabilitySource {
 public:
  virtual ~AvailabilitySource() = default;
  // The monitor's figures over the hours that end now.
  virtual Availability MonitorAvailability(const Monitor& monitor, int hours) = 0;
};

// The periods the program shows, by their names in metrics, JSON and badge addresses.
struct AvailabilityWindow {
  const char* name;   // "24h", "7d", "30d"
  const char* label;  // "24 h", "7 d", "30 d"
  int hours;
};
inline constexpr AvailabilityWindow kAvailabilityWindows[] = {
    {"24h", "24 h", 24}, {"7d", "7 d", 168}, {"30d", "30 d", 720}};

// The start of a period of whole hours that ends with the hour of nowMs.
int64_t WindowStartMs(int64_t nowMs, int hours);

// "99.95%": the share cut (never rounded up) to two decimals, so that 100% means no
// failed check at all; a whole share ("100%", "90%") without decimals; "no data"
// without checks.
std::string FormatAvailabilityPercent(int64_t good, int64_t checks);
inline std::string FormatAvailabilityPercent(const Availability& a) {
  return FormatAvailabilityPercent(a.good, a.checks);
}
// A span of time for people: "0 s", "45 s", "12 min", "3 h 5 min", "2 d 4 h".
std::string FormatDuration(int64_t ms);

// The records of one monitor in a log (one server name, kind and port) as checks.
class MonitorHistory {
 public:
  // One record: its time, its word ("OK", "LOST", "DOWN", "UP"), whether it is a ping, and
  // whether it is the failure of a port's probe on a socket that never connected.
  void Record(int64_t ms, std::string_view word, bool ping, bool probe = false);
  // One check, for callers that know the check (tests, benchmarks).
  void AddCheck(int64_t ms, bool good);
  // A record older than what is kept: it counts for nothing, but the monitor's figures
  // then have data from before any period that starts later.
  void NoteEarlier(int64_t ms);
  Availability Figures(int64_t fromMs, int64_t nowMs) const;
  // Forgets everything before the day that starts at dayMs.
  void Prune(int64_t dayMs);
  bool Empty() const { return firstMs_ < 0; }
  int64_t FirstMs() const { return firstMs_; }

  void Serialize(std::string& out) const;
  // Reads what Serialize wrote after the key; false when the text is not that.
  bool Parse(std::string_view& text);

 private:
  struct Day {
    int32_t day = 0;  // days since 1899-12-30
    uint32_t total = 0;
    uint32_t totalGood = 0;
    uint32_t checks[24] = {};
    uint32_t good[24] = {};
  };
  struct Outage {
    int64_t start;
    int64_t end;
  };
  Day& DayOf(int32_t day);

  std::vector<Day> days_;  // in order of their day
  std::vector<Outage> outages_;  // ended ones, in order
  int64_t downSince_ = -1;  // the first failed check of an outage still going on
  int64_t firstMs_ = -1;
  // The record before, for joining the two records of one check.
  char lastWord_ = 0;  // 'O', 'L', 'D', 'U', or 0
  bool lastJoined_ = false;
  int64_t lastMs_ = 0;
};

// One log file's records, by monitor, and how far the file has been read.
class LogHistory {
 public:
  explicit LogHistory(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // One line of the log as it is in the file, with its line end. Lines that are not
  // records, records older than KeepFromMs and records of unknown words are passed over.
  // The read position moves on by the line's size either way.
  void Feed(std::string_view raw);
  // Reads the file from the read position on, at most about maxBytes (a whole line more
  // at most); returns true at the end of the file. A last line without its line end is
  // left for later: it may still be being written. Throws SystemError when the file
  // cannot be read.
  bool ReadMore(size_t maxBytes);

  // The monitor's figures over the hours that end now; nowMs in the log's time.
  Availability Figures(const std::string& server, std::string_view typ, int32_t port,
                       int64_t nowMs, int hours) const;
  // Whether a monitor with this server, type and port has any record here.
  const MonitorHistory* Find(std::string_view server, std::string_view kind, int32_t port) const;

  // Records before this moment are neither counted nor kept.
  int64_t KeepFromMs() const { return keepFromMs_; }
  // Drops the days before the day of keepFromMs and keeps no older records from now on.
  void Prune(int64_t keepFromMs);

  // What the file looked like when it was last read or checked.
  struct FileState {
    ino_t inode = 0;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
  };
  uint64_t Offset() const { return offset_; }
  const FileState& Seen() const { return seen_; }

  enum class Check {
    Current,  // the file holds what was read, and no more
    Grown,    // lines were added behind what was read: read on from the offset
    Changed,  // cut, edited or replaced: read it again from the start of the period
    Gone,     // there is no such file (any more)
  };
  // Compares the file with what was read: size and time first, then the bytes at its
  // start and just before the read position.
  Check CheckFile();
  // Notes the file's size and time as current, when the file holds exactly what was read.
  void NoteFileState();

  // Forgets everything and gets ready to read the file again, from the line where the
  // records of keepFromMs begin (found by halving, since a log is written in time order).
  void Restart(int64_t keepFromMs);
  // Forgets everything: the file is gone.
  void Clear(int64_t keepFromMs);

  // The day summary of this log, and reading it back. Parse returns false (and leaves
  // the history empty) for a text that is no complete summary.
  std::string Serialize() const;
  bool Parse(std::string_view text);

  // Whether anything changed since the last Serialize (or since the flag was cleared).
  bool Dirty() const { return dirty_; }
  void SetDirty(bool dirty) { dirty_ = dirty; }

 private:
  struct Key {
    std::string server;
    std::string kind;  // "PING", "HTTP", "PORT" as written (upper case a-z)
    int32_t port;
    MonitorHistory history;
  };
  MonitorHistory& HistoryFor(std::string_view server, std::string_view kind, int32_t port);
  // Feed without keeping the tail: reading keeps it once per slice.
  void FeedLine(std::string_view raw);
  void NoteTail(std::string_view raw);
  // The first bytes of the file, for telling it apart from a replaced one.
  void ReadHead();

  std::string path_;
  std::vector<std::unique_ptr<Key>> keys_;
  size_t lastKey_ = 0;
  DateWordCache dates_;
  LeadingLogWords words_;
  uint64_t offset_ = 0;
  int64_t keepFromMs_ = 0;
  FileState seen_;
  std::string head_;  // the file's first bytes (up to kPrintSize)
  std::string tail_;  // the bytes just before offset_ (up to kPrintSize)
  std::unique_ptr<LogLineReader> reader_;
  bool dirty_ = false;
};

// The offset of the first line of the file whose date is on or after the day (days since
// 1899-12-30), found by halving on the dates of lines; 0 for a small file or one whose
// first line is already that late. Lines without a date are passed over.
uint64_t FindFirstLineOfDay(const std::string& path, int64_t day);

// The record kind a monitor type writes ("PING" for "ping"), as the log has it.
std::string RecordKindOf(std::string_view typ);

// The name of a log's day summary in the summary directory: the log file's name with
// every byte that is not a letter, digit, '.', '_' or '-' written as %XX, and ".days".
std::string SummaryFileName(const std::string& logfile);
// The folder of the day summaries ("availability" in the data directory), and the
// summary of the log at this path (named by its path within the data directory).
std::string SummaryDirectory();
std::string SummaryPath(const std::string& logPath);

}  // namespace sentrel
