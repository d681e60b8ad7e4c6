#include "support/alertmanager_server.h"

#include <nlohmann/json.hpp>

namespace sentrel::test {

AlertmanagerServer::AlertmanagerServer(const std::string& receiverUrl, uint16_t clusterPort,
                                       const std::string& peer) {
  const std::string program = FindProgram("prometheus-alertmanager");
  if (program.empty()) {
    why_ = "Alertmanager is not installed (Debian package prometheus-alertmanager)";
    return;
  }
  const std::string d = dir_.Path();
  WriteFile(d + "/alertmanager.yml",
            "route:\n"
            "  receiver: hook\n"
            "  group_by: ['alertname', 'server', 'monitor']\n"
            "  group_wait: 1s\n"
            "  group_interval: 1s\n"
            "  repeat_interval: 1h\n"
            "receivers:\n"
            "  - name: hook\n"
            "    webhook_configs:\n"
            "      - url: '" +
                receiverUrl +
                "'\n"
                "        send_resolved: true\n");
  port_ = FreeLoopbackPort();
  std::vector<std::string> argv = {
      program, "--config.file=" + d + "/alertmanager.yml", "--storage.path=" + d + "/data",
      "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"};
  if (clusterPort == 0) {
    argv.push_back("--cluster.listen-address=");
  } else {
    argv.push_back("--cluster.listen-address=127.0.0.1:" + std::to_string(clusterPort));
    argv.push_back("--cluster.advertise-address=127.0.0.1:" + std::to_string(clusterPort));
    if (!peer.empty()) argv.push_back("--cluster.peer=" + peer);
    // The second of two waits this long for the first's notice before it sends its own.
    argv.push_back("--cluster.peer-timeout=3s");
    argv.push_back("--cluster.gossip-interval=50ms");
    argv.push_back("--cluster.pushpull-interval=1s");
    argv.push_back("--cluster.settle-timeout=2s");
  }
  Start(argv);
}

std::string AlertmanagerServer::Get(const std::string& path) const {
  std::string out;
  if (RunProcess({FindProgram("curl"), "-sf", "--max-time", "5", BaseUrl() + path}, "/", &out) != 0)
    return "";
  return out;
}

bool AlertmanagerServer::ClusterReady(size_t members) const {
  const std::string status = Get("/api/v2/status");
  if (status.empty()) return false;
  try {
    const nlohmann::json j = nlohmann::json::parse(status);
    return j["cluster"]["status"] == "ready" && j["cluster"]["peers"].size() == members;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace sentrel::test
