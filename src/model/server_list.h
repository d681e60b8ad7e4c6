#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/server.h"

namespace sentrel {

class TextPane;

// What LoadFromFile found at the path it was given.
enum class ServerFileContent {
  Missing,     // no file there: an empty configuration
  Servers,     // INI text with at least one server, or an empty file
  NoServer,    // text without a single server section (plain text, JSON, ...)
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

  // Writes the whole configuration; the old file becomes the ".bak". Throws
  // "Unable to write to <path>" when the file cannot be written; the previous content
  // then stays in the file and in the ".bak".
  void SaveToFile(const std::string& path) const;
  // Replaces the whole configuration by the file's content; a missing file loads empty.
  // The result tells a caller whether the file was a server file at all: a file that
  // holds no server, or one that could not be read, must never be saved over with the
  // empty configuration it loaded as.
  ServerFileContent LoadFromFile(const std::string& path);
  // The default configuration: one server watched by one ping monitor.
  void CreateDefault();

  // Grows whenever the whole configuration is replaced (Clear, LoadFromFile), so a scan
  // pass waiting in a pump can tell that its servers are gone.
  uint64_t Generation() const { return generation_; }

  TextPane* activityPane = nullptr;
  TextPane* messagePane = nullptr;

 private:
  std::vector<std::unique_ptr<TServer>> servers_;
  uint64_t generation_ = 0;
};

// The backup path of a server file: its extension replaced by ".bak".
std::string BackupPath(const std::string& path);

}  // namespace sentrel
