#include "scan/network_checks.h"

#include "scan/http_check.h"
#include "scan/ping_check.h"
#include "scan/port_check.h"

namespace sentrel {

namespace {

class NetworkChecks final : public Checks {
 public:
  explicit NetworkChecks(Scanner& scan) : scan_(scan), http_(scan) {}
  Task<void> DoAping(Monitor& monitor) override { return RunPingCheck(scan_, monitor, pingRun_); }
  Task<void> DoAHTTP(Monitor& monitor) override { return http_.DoAHTTP(monitor); }
  Task<void> DoAPort(Monitor& monitor) override { return RunPortCheck(scan_, monitor); }
  size_t Waiting() const override { return http_.Waiting(); }
  void CancelAll() override { http_.CancelAll(); }

 private:
  Scanner& scan_;
  HttpChecks http_;
  std::shared_ptr<PingRunState> pingRun_ = std::make_shared<PingRunState>();
};

}  // namespace

std::unique_ptr<Checks> MakeNetworkChecks(Scanner& scan) {
  return std::make_unique<NetworkChecks>(scan);
}

}  // namespace sentrel
