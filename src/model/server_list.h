#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/dependencies.h"
#include "model/server.h"
#include "model/server_file.h"
#include "model/shard.h"

namespace sentrel {

class TextPane;

// What LoadFromFile found at the path it was given.
enum class ServerFileContent {
  Missing,     // no file there: an empty configuration
  Servers,     // INI text with at least one server, or an empty file
  NoServer,    // no server section, or no INI text at all (binary, plain text, JSON)
  Unreadable,  // something is there, but it could not be read
};

// What a reload did to the monitors.
struct ReloadCounts {
  int kept = 0;     // unchanged: their colour, counts and marks go on
  int added = 0;    // new or changed: checked anew
  int removed = 0;  // gone or changed: their checks end
};

// The whole configuration: servers in the one order of scanning, tree and saving.
class ServerList {
 public:
  ServerList() = default;
  ~ServerList() { Clear(); }
  ServerList(const ServerList&) = delete;
  ServerList& operator=(const ServerList&) = delete;

  int Add(const std::string& name);
  int Count() const { return static_cast<int>(servers_.size()); }
  Server* Items(int index) const {
    return index >= 0 && index < Count() ? servers_[static_cast<size_t>(index)].get() : nullptr;
  }
  void Delete(int index);
  void Clear();
  int IndexOf(const Server* server) const;
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
  // The server file's text for this configuration, as SaveToFile writes it; without
  // dropExpired, with the one-off maintenance windows that are over (a text to compare
  // that does not change by itself as time passes).
  std::string Content(bool dropExpired = true) const;
  // Replaces the whole configuration by the file's content; a missing file loads empty.
  // The result tells a caller whether the file was a server file at all: a file that
  // holds no server, that is not INI text (binary data, mostly other text), or that could
  // not be read, must never be saved over with the empty configuration it loaded as.
  // droppedSections, when given, counts the sections the configuration does not hold
  // (ServerFileLayout); a save would lose them.
  ServerFileContent LoadFromFile(const std::string& path, size_t* droppedSections = nullptr);
  // The default configuration: one server watched by one ping monitor.
  void CreateDefault();
  // Takes over the configuration of `fresh` (the file read again), in its order. A
  // monitor of the same server name and monitor name (without regard to case), address,
  // type, port and check settings stays the same object with its run-time state (colour,
  // counts, checks under way, the events' marks); it takes the file's other settings
  // (interval, events). Every other monitor of the file comes as new, and monitors that
  // are not in it any more are destroyed. `fresh` is left empty.
  ReloadCounts Adopt(ServerList& fresh);

  // Grows whenever the whole configuration is replaced (Clear, LoadFromFile), so a scan
  // pass suspended between two checks can tell that its servers are gone.
  uint64_t Generation() const { return generation_; }
  // Grows whenever a server is added or destroyed; what keeps pointers to servers
  // (the links between them) knows then to look again.
  uint64_t Version() const { return version_; }
  // Which servers each server is reached through.
  ServerLinks& Links() { return links_; }

  TextPane* activityPane = nullptr;
  TextPane* messagePane = nullptr;
  // Told of every line the servers append to their logs.
  LogObserver* logObserver = nullptr;
  // The part of the servers this Sentrel watches (--shard K/N); the others are loaded,
  // saved and shown, but never checked.
  Shard shard;
  bool Watches(const Server& server) const { return shard.Watches(server.name); }

 private:
  std::vector<std::unique_ptr<Server>> servers_;
  uint64_t generation_ = 0;
  uint64_t version_ = 0;
  ServerLinks links_{*this};
};

}  // namespace sentrel
