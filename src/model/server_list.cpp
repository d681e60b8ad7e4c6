#include "model/server_list.h"

#include <unordered_map>

#include "model/server_file.h"
#include "platform/ini_file.h"

namespace sentrel {

int ServerList::Add(const std::string& name) {
  auto server = std::make_unique<Server>(this);
  server->name = name;
  servers_.push_back(std::move(server));
  ++version_;
  return Count() - 1;
}

void ServerList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  auto doomed = std::move(servers_[static_cast<size_t>(index)]);
  servers_.erase(servers_.begin() + index);
  ++version_;
}

void ServerList::Clear() {
  ++generation_;
  ++version_;
  // Last index first, as deleting one at a time always has.
  while (!servers_.empty()) {
    auto doomed = std::move(servers_.back());
    servers_.pop_back();
  }
}

int ServerList::IndexOf(const Server* server) const {
  for (size_t i = 0; i < servers_.size(); ++i)
    if (servers_[i].get() == server) return static_cast<int>(i);
  return -1;
}

std::string ServerList::UniqueServerName(const std::string& base) const {
  auto taken = [&](const std::string& candidate) {
    for (const auto& s : servers_)
      if (EqualsIgnoreCase(s->name, candidate)) return true;
    return false;
  };
  if (!taken(base)) return base;
  for (int n = 2;; ++n) {
    std::string candidate = base + "_" + std::to_string(n);
    if (!taken(candidate)) return candidate;
  }
}

void ServerList::CreateDefault() {
  Clear();
  Server* server = Items(Add("localhost"));
  server->group = "Main";
  server->logfile = server->name + ".log";
  Monitor* monitor = server->ports.Items(server->ports.Add("ping"));
  monitor->port = 80;
}

}  // namespace sentrel

namespace sentrel {

namespace {

// Whether a monitor of the file checks what the running one checks.
bool SameCheck(const Server& oldServer, const Monitor& old, const Server& newServer,
               const Monitor& fresh) {
  if (oldServer.Address() != newServer.Address() || old.typ != fresh.typ || old.port != fresh.port)
    return false;
  for (const std::string& key : kHttpDataKeys)
    if (old.GetValue(key) != fresh.GetValue(key)) return false;
  return true;
}

}  // namespace

ReloadCounts ServerList::Adopt(ServerList& fresh) {
  ReloadCounts counts;
  std::unordered_map<std::string, std::unique_ptr<Server>> oldByName;
  for (auto& server : servers_) {
    for (int i = 0; i < server->ports.Count(); ++i) ++counts.removed;
    oldByName.emplace(ToLower(server->name), std::move(server));
  }
  servers_.clear();
  for (auto& incoming : fresh.servers_) {
    auto it = oldByName.find(ToLower(incoming->name));
    if (it == oldByName.end()) {
      incoming->owner = this;
      counts.added += incoming->ports.Count();
      servers_.push_back(std::move(incoming));
      continue;
    }
    std::unique_ptr<Server> server = std::move(it->second);
    oldByName.erase(it);
    std::vector<std::unique_ptr<Monitor>> oldMonitors = server->ports.TakeAll();
    std::vector<std::unique_ptr<Monitor>> freshMonitors = incoming->ports.TakeAll();
    std::vector<std::unique_ptr<Monitor>> monitors;
    for (auto& candidate : freshMonitors) {
      std::unique_ptr<Monitor> keep;
      for (auto& old : oldMonitors) {
        if (old && EqualsIgnoreCase(old->name, candidate->name) &&
            SameCheck(*server, *old, *incoming, *candidate)) {
          keep = std::move(old);
          break;
        }
      }
      if (keep) {
        keep->name = candidate->name;
        keep->data = candidate->data;
        keep->alarm = candidate->alarm;
        keep->interval = candidate->interval;
        ++counts.kept;
        --counts.removed;
        monitors.push_back(std::move(keep));
      } else {
        ++counts.added;
        monitors.push_back(std::move(candidate));
      }
    }
    server->name = incoming->name;
    server->ip = incoming->ip;
    server->location = incoming->location;
    server->notes = incoming->notes;
    server->logfile = incoming->logfile;
    server->group = incoming->group;
    server->groupExpand = incoming->groupExpand;
    server->portExpand = incoming->portExpand;
    server->parents = incoming->parents;
    server->maintenance = incoming->maintenance;
    server->ports.PutAll(std::move(monitors));
    servers_.push_back(std::move(server));
    // The monitors of the old server not taken over go with oldMonitors here.
  }
  fresh.servers_.clear();
  ++fresh.version_;
  ++version_;
  // Servers that are not in the file any more go last, with their monitors.
  oldByName.clear();
  return counts;
}

}  // namespace sentrel
