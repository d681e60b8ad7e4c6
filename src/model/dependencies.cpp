#include "model/dependencies.h"

#include <algorithm>

#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/ini_file.h"

namespace sentrel {

std::vector<std::vector<bool>> LinksOnCycles(const std::vector<std::vector<size_t>>& links) {
  // Tarjan's strongly connected components, without recursion: a file of ten thousand
  // servers in one long chain must not run out of stack.
  const size_t n = links.size();
  constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> index(n, kNone), low(n, 0), component(n, kNone);
  std::vector<bool> onStack(n, false);
  std::vector<size_t> stack;
  size_t counter = 0, components = 0;
  struct Frame {
    size_t node;
    size_t next;  // the next link to follow
  };
  std::vector<Frame> calls;
  for (size_t root = 0; root < n; ++root) {
    if (index[root] != kNone) continue;
    calls.push_back({root, 0});
    index[root] = low[root] = counter++;
    stack.push_back(root);
    onStack[root] = true;
    while (!calls.empty()) {
      Frame& f = calls.back();
      const size_t v = f.node;
      if (f.next < links[v].size()) {
        const size_t w = links[v][f.next++];
        if (w >= n) continue;
        if (index[w] == kNone) {
          index[w] = low[w] = counter++;
          stack.push_back(w);
          onStack[w] = true;
          calls.push_back({w, 0});
        } else if (onStack[w]) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      if (low[v] == index[v]) {
        for (;;) {
          const size_t w = stack.back();
          stack.pop_back();
          onStack[w] = false;
          component[w] = components;
          if (w == v) break;
        }
        ++components;
      }
      calls.pop_back();
      if (!calls.empty()) low[calls.back().node] = std::min(low[calls.back().node], low[v]);
    }
  }
  std::vector<std::vector<bool>> onCycle(n);
  for (size_t v = 0; v < n; ++v) {
    onCycle[v].resize(links[v].size());
    for (size_t i = 0; i < links[v].size(); ++i) {
      const size_t w = links[v][i];
      onCycle[v][i] = w < n && component[w] == component[v];
    }
  }
  return onCycle;
}

bool ServerDown(const Server& server) {
  bool checked = false;
  for (int i = 0; i < server.ports.Count(); ++i) {
    const StatusColour colour = server.ports.Items(i)->Colour();
    if (colour == StatusColour::Red) {
      checked = true;
    } else if (colour == StatusColour::Green || colour == StatusColour::Yellow) {
      return false;
    }
  }
  return checked;
}

void ServerLinks::RebuildIfStale() {
  const int64_t mono = CurrentClock().MonotonicMs();
  if (version_ != list_.Version() || mono - builtMono_ >= 1000 || mono < builtMono_) Rebuild();
}

void ServerLinks::Rebuild() {
  version_ = list_.Version();
  builtMono_ = CurrentClock().MonotonicMs();
  entries_.clear();
  parents_.clear();
  const size_t n = static_cast<size_t>(list_.Count());
  std::unordered_map<std::string, size_t> byName;
  byName.reserve(n);
  for (size_t i = 0; i < n; ++i) byName.emplace(ToLower(list_.Items(static_cast<int>(i))->name), i);
  std::vector<std::vector<size_t>> links(n);
  bool any = false;
  for (size_t i = 0; i < n; ++i) {
    for (const std::string& name : list_.Items(static_cast<int>(i))->parents) {
      auto it = byName.find(ToLower(name));
      if (it == byName.end()) continue;
      links[i].push_back(it->second);
      any = true;
    }
  }
  const std::vector<std::vector<bool>> onCycle =
      any ? LinksOnCycles(links) : std::vector<std::vector<bool>>(n);
  for (size_t i = 0; i < n; ++i) {
    const Server* server = list_.Items(static_cast<int>(i));
    if (server->parents.empty()) continue;
    // Also for names of no server, so that asking again does not rebuild.
    Entry& entry = entries_[server];
    entry.names = server->parents;
    for (size_t k = 0; k < links[i].size(); ++k) {
      if (onCycle[i][k]) continue;
      Server* parent = list_.Items(static_cast<int>(links[i][k]));
      if (std::find(entry.parents.begin(), entry.parents.end(), parent) != entry.parents.end())
        continue;
      entry.parents.push_back(parent);
      parents_.insert(parent);
    }
  }
}

const std::vector<Server*>& ServerLinks::ParentsOf(const Server& server) {
  static const std::vector<Server*> none;
  if (server.parents.empty()) return none;
  RebuildIfStale();
  auto it = entries_.find(&server);
  if (it == entries_.end() || it->second.names != server.parents) {
    Rebuild();
    it = entries_.find(&server);
    if (it == entries_.end()) return none;
  }
  return it->second.parents;
}

bool ServerLinks::IsParent(const Server& server) {
  RebuildIfStale();
  return parents_.count(&server) != 0;
}

ServerHold HoldOf(ServerList& list, const Server& server, double now) {
  ServerHold hold;
  hold.maintenanceUntil = server.MaintenanceEnd(now);
  hold.maintenance = hold.maintenanceUntil > 0;
  if (server.parents.empty()) return hold;
  const std::vector<Server*>& parents = list.Links().ParentsOf(server);
  for (const Server* parent : parents) {
    if (!ServerDown(*parent)) {
      hold.through.clear();
      return hold;
    }
    hold.through.push_back(parent->name);
  }
  return hold;
}

MonitorHold HoldOfMonitor(const Monitor& monitor, const ServerHold& hold) {
  if (monitor.Colour() == StatusColour::Unchecked) return MonitorHold::None;
  if (hold.maintenance) return MonitorHold::Maintenance;
  if (hold.Unreachable()) return MonitorHold::Unreachable;
  return MonitorHold::None;
}

std::string UnreachableWords(const std::vector<std::string>& through) {
  std::string words = "unreachable through ";
  for (size_t i = 0; i < through.size(); ++i) {
    if (i > 0) words += i + 1 == through.size() ? " and " : ", ";
    words += through[i];
  }
  return words;
}

}  // namespace sentrel
