#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/maintenance.h"
#include "model/monitor.h"

namespace sentrel {

class ServerList;
class IniFile;

// Hears of every line appended to a log file, right after it is written: what follows
// the logs as they grow (the availability figures) needs no second read of them.
class LogObserver {
 public:
  virtual ~LogObserver() = default;
  // raw is the line as written, with its line end; endOffset the file's size after it.
  virtual void LineAppended(const std::string& path, std::string_view raw, uint64_t endOffset) = 0;
};

// One watched host with its monitors.
class Server {
 public:
  explicit Server(ServerList* list) : ports(this), owner(list) {}
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Appends one time-stamped line to the server's log file in the data directory,
  // opening and closing the file for this one line, and tells the list's log observer.
  // Throws when it cannot be written.
  void AppendLog(const std::string& text) const;
  // The log file in use: logfile, or the name the editor proposes (the server's name
  // and ".log") when a hand-written file names none. logfile itself stays as the file
  // has it, so saving writes back what the operator wrote.
  std::string LogFileName() const { return logfile.empty() ? name + ".log" : logfile; }
  // The log file's path in the data directory; every writer and reader uses it.
  std::string LogPath() const;
  // The host the checks contact: ip, or the name when ip is empty.
  const std::string& Address() const { return ip.empty() ? name : ip; }
  // Whether a maintenance window holds `now` and the operator has not ended it, and when
  // that maintenance ends (0 when none holds).
  bool InMaintenance(double now) const { return MaintenanceEnd(now) > 0; }
  double MaintenanceEnd(double now) const;

  // One-off maintenance windows over by `now` are left out (now 0: none).
  void SaveToIni(IniFile& ini, double now) const;
  void LoadFromIni(const IniFile& ini, size_t sectionIndex);

  std::weak_ptr<const char> Watch() const { return life_.Watch(); }

  std::string ip;
  std::string name;
  std::string location;
  std::string notes;
  std::string logfile;
  std::string group;
  MonitorList ports;
  bool groupExpand = true;
  bool portExpand = true;
  // The servers this one is reached through, by name as written (Parent=a,b): while
  // every one of them is down, this one is unreachable and its events are held back.
  std::vector<std::string> parents;
  // Planned work: while a window holds, checks and records go on but no event runs.
  std::vector<MaintenanceWindow> maintenance;
  // Run-time only: "End maintenance" of a weekly window skips it until this date-time;
  // the schedule itself stays.
  double maintenanceEndedUntil = 0;
  ServerList* owner;

 private:
  LifeToken life_;
};

}  // namespace sentrel
