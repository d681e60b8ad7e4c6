#pragma once

#include <string>
#include <vector>

namespace sentrel {

class Server;
class ServerList;

// One group node of the monitor tree with its server nodes.
struct TreeGroup {
  std::string name;
  std::vector<Server*> servers;
};

// The servers in the order the monitor tree shows them: one group per distinct group
// text, in the order in which the servers first use it, and under each group its
// servers in list order. Placing a server in the tree gives an empty group the name
// "Main" (the field itself is set), so this does too. The status page walks this order
// and the tree is built from it, so both always agree.
std::vector<TreeGroup> TreeOrder(ServerList& servers);
// The same without the servers another shard watches (and groups left empty): what the
// status page, the metrics and the JSON document report.
std::vector<TreeGroup> WatchedTreeOrder(ServerList& servers);

}  // namespace sentrel
