#pragma once

#include <memory>

#include "scan/scanner.h"

namespace sentrel {

// The checks that talk to the network: ICMP echo, HTTP and TCP port. The scan engine
// calls them; they hand their verdicts back to it.
std::unique_ptr<Checks> MakeNetworkChecks(Scanner& scan);

}  // namespace sentrel
