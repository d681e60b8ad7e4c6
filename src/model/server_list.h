#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/server.h"
#include "model/server_file.h"

namespace sentrel {

class TextPane;

// What LoadFromFile found at the path it was given.
enum class ServerFileContent {
  Missing,     // no file there: an empty configuration
  Servers,     // INI text with at least one server, or an empty file
  NoServer,    // no server section, or no INI text at all (binary, plain text, JSON)
  Unreadable,  // something is there, but it could not be read
};

// The whole configuration: servers in the one order of scanning, tree and saving.
class TServerList {
 public:
  TServerList() = default;
  ~TServerList() { Clear(); }
  TServerList(const TServerList&) = delete;
  TServerList& operator=(const TServerList&) = delete;

  int Add(const std::string& name);
  int Count() const { return static_cast<int>(servers_.size()); }
  TServer* Items(int index) const {
    return index >= 0 && index < Count() ? servers_[static_cast<size_t>(index)].get() : nullptr;
  }
  void Delete(int index);
  void Clear();
  int IndexOf(const TServer* server) const;
  // A server name no server carries, compared without regard to case (the file's section
  // names ignore case): base, base_2, base_3, ...
  std::string UniqueServerName(const std::string& base) const;

  // Where the old file goes when a save replaces it: to the ".bak" (replacing the one
  // before), or, after a load that dropped sections of it, to the ".orig.bak", so that
  // the ".bak" of the save before and the file as it was both stay.
  enum class Backup { Replace, KeepOriginal };
  // Writes the whole configuration; the old file becomes the backup. Throws
  // "Unable to write to <path>" when the file cannot be written; the previous content
  // then stays in the file and in the backup. Temporary files that an earlier save of
  // this path left behind when its process died are removed.
  void SaveToFile(const std::string& path, Backup backup = Backup::Replace) const;
  // The server file's text for this configuration, as SaveToFile writes it.
  std::string Content() const;
  // Replaces the whole configuration by the file's content; a missing file loads empty.
  // The result tells a caller whether the file was a server file at all: a file that
  // holds no server, that is not INI text (binary data, mostly other text), or that could
  // not be read, must never be saved over with the empty configuration it loaded as.
  // droppedSections, when given, counts the sections the configuration does not hold
  // (ServerFileLayout); a save would lose them.
  ServerFileContent LoadFromFile(const std::string& path, size_t* droppedSections = nullptr);
  // The default configuration: one server watched by one ping monitor.
  void CreateDefault();

  // Grows whenever the whole configuration is replaced (Clear, LoadFromFile), so a scan
  // pass waiting in a pump can tell that its servers are gone.
  uint64_t Generation() const { return generation_; }

  TextPane* activityPane = nullptr;
  TextPane* messagePane = nullptr;
  // Told of every line the servers append to their logs.
  LogObserver* logObserver = nullptr;

 private:
  std::vector<std::unique_ptr<TServer>> servers_;
  uint64_t generation_ = 0;
};

}  // namespace sentrel
