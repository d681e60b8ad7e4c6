#include "model/server_list.h"

#include "platform/ini_file.h"

namespace sentrel {

int TServerList::Add(const std::string& name) {
  auto server = std::make_unique<TServer>(this);
  server->name = name;
  servers_.push_back(std::move(server));
  return Count() - 1;
}

void TServerList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  auto doomed = std::move(servers_[static_cast<size_t>(index)]);
  servers_.erase(servers_.begin() + index);
}

void TServerList::Clear() {
  ++generation_;
  // Last index first, as deleting one at a time always has.
  while (!servers_.empty()) {
    auto doomed = std::move(servers_.back());
    servers_.pop_back();
  }
}

int TServerList::IndexOf(const TServer* server) const {
  for (size_t i = 0; i < servers_.size(); ++i)
    if (servers_[i].get() == server) return static_cast<int>(i);
  return -1;
}

std::string TServerList::UniqueServerName(const std::string& base) const {
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

void TServerList::CreateDefault() {
  Clear();
  TServer* server = Items(Add("localhost"));
  server->group = "Main";
  server->logfile = server->name + ".log";
  TPort* monitor = server->ports.Items(server->ports.Add("ping"));
  monitor->port = 80;
}

}  // namespace sentrel
