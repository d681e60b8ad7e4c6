#pragma once

#include <cstdint>
#include <string>

#include "support/web_servers.h"

namespace sentrel::test {

// Alertmanager from Debian (prometheus-alertmanager), started by the test on loopback
// ports with a configuration and a data directory of its own, and stopped with the
// object. Its one route sends every group, after waits of a second, to the webhook
// receiver at receiverUrl (resolved alerts too). Without a cluster port it runs alone
// (--cluster.listen-address=); with one it gossips on 127.0.0.1:clusterPort, joins
// `peer` when one is given, and waits for its peers only briefly, so that a test of a
// cluster takes seconds.
class AlertmanagerServer : public PackagedServer {
 public:
  explicit AlertmanagerServer(const std::string& receiverUrl, uint16_t clusterPort = 0,
                              const std::string& peer = "");
  // "http://127.0.0.1:<port>".
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // GET of an API path ("/api/v2/alerts"), the body; empty when it failed.
  std::string Get(const std::string& path) const;
  // Whether the cluster has this many members and calls itself ready.
  bool ClusterReady(size_t members) const;
};

}  // namespace sentrel::test
