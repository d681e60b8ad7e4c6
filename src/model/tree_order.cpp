#include "model/tree_order.h"

#include "model/server_list.h"

namespace sentrel {

std::vector<TreeGroup> TreeOrder(ServerList& servers) {
  std::vector<TreeGroup> groups;
  const int count = servers.Count();
  for (int i = 0; i < count; ++i) {
    Server* server = servers.Items(i);
    if (server->group.empty()) server->group = "Main";
    // Group texts are compared exactly, as the tree compares node texts. A list holds a
    // handful of groups, so a linear search beats any map here.
    TreeGroup* group = nullptr;
    for (auto& g : groups) {
      if (g.name == server->group) {
        group = &g;
        break;
      }
    }
    if (!group) {
      groups.push_back(TreeGroup{server->group, {}});
      group = &groups.back();
    }
    group->servers.push_back(server);
  }
  return groups;
}

std::vector<TreeGroup> WatchedTreeOrder(ServerList& servers) {
  std::vector<TreeGroup> groups = TreeOrder(servers);
  if (!servers.shard.Sharded()) return groups;
  std::vector<TreeGroup> watched;
  for (TreeGroup& g : groups) {
    std::erase_if(g.servers, [&](const Server* s) { return !servers.Watches(*s); });
    if (!g.servers.empty()) watched.push_back(std::move(g));
  }
  return watched;
}

}  // namespace sentrel
