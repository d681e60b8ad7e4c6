#pragma once

#include <string>

namespace sentrel {

// The data directory stands in for "the program's directory": server log files,
// "events.ini" and "Sentrel errors.log" live there.
const std::string& DataDir();
void SetDataDir(const std::string& dir);
// The path of a file in the data directory (an absolute name stays as it is).
std::string DataPath(const std::string& name);

// --data-dir, else $SENTREL_HOME, else $XDG_DATA_HOME/sentrel, else ~/.local/share/sentrel.
std::string ResolveDataDir(const std::string& option);
// $XDG_CONFIG_HOME/sentrel/sentrel.ini, else ~/.config/sentrel/sentrel.ini.
std::string DefaultSettingsPath();
// Where earlier versions kept the settings: $XDG_CONFIG_HOME/Hallvik/Corvane.ini, else
// ~/.config/Hallvik/Corvane.ini. Read once when the file above is missing.
std::string OldSettingsPath();

// Holds an exclusive lock on "<dir>/.sentrel.lock" for as long as it lives, so two
// programs never write the same logs at once.
class DataDirLock {
 public:
  DataDirLock() = default;
  ~DataDirLock();
  DataDirLock(const DataDirLock&) = delete;
  DataDirLock& operator=(const DataDirLock&) = delete;
  // Takes the lock; false when another process holds it. Throws when the lock file
  // cannot be made.
  bool Acquire(const std::string& dir);
  // Whether another process holds the lock on dir right now.
  static bool HeldByOther(const std::string& dir);

 private:
  int fd_ = -1;
};

}  // namespace sentrel
