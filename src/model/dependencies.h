#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sentrel {

class Monitor;
class Server;
class ServerList;

// Given for each node the nodes it names as its parents, which of those links lie on a
// cycle: both ends in one strongly connected part of the graph, or a node naming itself.
// Such links are ignored, so that no server ever waits for itself.
std::vector<std::vector<bool>> LinksOnCycles(const std::vector<std::vector<size_t>>& links);

// Whether the server counts as down for the servers reached through it: it has checked
// monitors (green, yellow or red) and every one of them is red.
bool ServerDown(const Server& server);

// The servers each server is reached through, resolved by name (without regard to case,
// as the file's section names) from its Parent entries. Names of no server are left out,
// and so are links on a cycle. Kept until the list changes (a server added, deleted or
// the whole configuration replaced), a server's Parent entries change, or a second has
// passed (a rename).
class ServerLinks {
 public:
  explicit ServerLinks(const ServerList& list) : list_(list) {}
  const std::vector<Server*>& ParentsOf(const Server& server);
  // Whether some server is reached through this one.
  bool IsParent(const Server& server);

 private:
  struct Entry {
    std::vector<std::string> names;  // the Parent entries the links were made from
    std::vector<Server*> parents;
  };
  void RebuildIfStale();
  void Rebuild();

  const ServerList& list_;
  std::unordered_map<const Server*, Entry> entries_;
  std::unordered_set<const Server*> parents_;
  uint64_t version_ = UINT64_MAX;
  int64_t builtMono_ = 0;
};

// Why a server's events are held back now, as every view shows it.
struct ServerHold {
  bool maintenance = false;
  double maintenanceUntil = 0;       // when the maintenance ends
  std::vector<std::string> through;  // unreachable: the parents, all down
  bool Unreachable() const { return !through.empty(); }
  bool Any() const { return maintenance || Unreachable(); }
};
ServerHold HoldOf(ServerList& list, const Server& server, double now);

// The hold a monitor shows: its server's, for a monitor that has been checked (green,
// yellow or red); a monitor not checked shows none.
enum class MonitorHold { None, Unreachable, Maintenance };
MonitorHold HoldOfMonitor(const Monitor& monitor, const ServerHold& serverHold);

// "unreachable through router", "unreachable through a and b", "unreachable through a,
// b and c".
std::string UnreachableWords(const std::vector<std::string>& through);

}  // namespace sentrel
