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

// HTTP monitors of one server "web1" against real servers, on a clock that moves only
// when the test says so.
class Web1HttpFixture : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    clock_.SetAutoAdvance(false);
    web1_ = AddServer("web1");
  }
  Monitor* MonitorFor(const std::string& url) {
    Monitor* m = AddMonitor(web1_, "http");
    m->SetValue("url", url);
    return m;
  }

  Server* web1_ = nullptr;
};

}  // namespace sentrel::test
