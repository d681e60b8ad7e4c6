#pragma once

#include <memory>

#include "scan/network_checks.h"
#include "support/loopback_server.h"
#include "support/records.h"
#include "support/scan_fixture.h"

namespace sentrel::test {

// The scan fixture with the real network checks in place of the scripted ones.
class NetworkCheckFixture : public ScanFixture {
 protected:
  void SetUp() override {
    ScanFixture::SetUp();
    network_ = MakeNetworkChecks(scan());
    scan().SetChecks(network_.get());
  }
  void TearDown() override {
    scan().SetChecks(nullptr);
    network_.reset();
    ScanFixture::TearDown();
  }
  Checks& checks() { return *network_; }

  std::unique_ptr<Checks> network_;
};

}  // namespace sentrel::test
