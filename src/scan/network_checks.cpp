#include "scan/network_checks.h"

#include "scan/http_check.h"
#include "scan/ping_check.h"
#include "scan/port_check.h"

namespace sentrel {

namespace {

class NetworkChecks final : public Checks {
 public:
  explicit NetworkChecks(TInfiniScan& scan) : scan_(scan), http_(scan) {}
  void DoAping(TPort& monitor) override { RunPingCheck(scan_, monitor); }
  void DoAHTTP(TPort& monitor) override { http_.DoAHTTP(monitor); }
  void DoAPort(TPort& monitor) override { RunPortCheck(scan_, monitor); }
  size_t Waiting() const override { return http_.Waiting(); }

 private:
  TInfiniScan& scan_;
  HttpChecks http_;
};

}  // namespace

std::unique_ptr<Checks> MakeNetworkChecks(TInfiniScan& scan) {
  return std::make_unique<NetworkChecks>(scan);
}

}  // namespace sentrel
