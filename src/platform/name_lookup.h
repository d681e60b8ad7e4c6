#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ip_address.h"
#include "platform/socket_errors.h"
#include "platform/task.h"

namespace sentrel {

// Name lookup, for both families (the checks) or for IPv4 alone (the mail client).
//
// An address written out ("127.0.0.1", the short forms inet_addr() accepts, "::1",
// "[::1]") never asks the resolver. A name with a blank or a control character in it is
// rejected at once ("host not found"), as the C library rejects it, without a query.
// Other names go to our own resolver, which works on the loop's descriptors and needs no
// thread: names in /etc/hosts are answered from there at once, never waiting for DNS;
// the rest are asked of the name servers of /etc/resolv.conf, every lookup side by side,
// so one name server that never answers delays no other name. "localhost" (and names
// under it) never leave the machine: without a hosts entry they are 127.0.0.1. The
// addresses of a name come in the order the C library would give them (/etc/gai.conf's
// precedence; on most machines IPv6 first where the name has it).
//
// Every lookup has a deadline. One that passes it ends with kLookupTimedOut; the query
// itself may go on in the resolver until the name servers' own time-outs end it.

// Parses a dotted IPv4 address; false when the text is none.
bool ParseDottedAddress(const std::string& text, in_addr* address);

// The error of a lookup that ran out of time (the Windows Sockets code of a time-out).
constexpr int kLookupTimedOut = wsa::kTimedOut;
// How long a lookup may take unless its caller gives it less.
constexpr int64_t kLookupLimitMs = 10000;
// The reason a check gives for a lookup that ran out of time.
constexpr const char* kLookupTimedOutText = "name lookup timed out";

// An asynchronous lookup. The handler runs from the loop, never from inside Start.
// Destroying the lookup before it completes cancels it: its handler never runs.
class NameLookup {
 public:
  // error is 0 with the first address, or the Windows Sockets code of the failure.
  using Handler = std::function<void(int error, in_addr address)>;
  // error is 0 with every address (at least one), or the Windows Sockets code of the
  // failure with none.
  using AddressesHandler = std::function<void(int error, const std::vector<IpAddress>& addresses)>;

  // Starts looking name up for its IPv4 addresses, to end within limitMs on the
  // program's clock. A dotted address completes without a lookup (still through the
  // loop).
  static std::unique_ptr<NameLookup> Start(const std::string& name, Handler handler,
                                           int64_t limitMs = kLookupLimitMs);
  // The same for the addresses of both families, in the order above, each once. An
  // address of either family written out completes without a lookup.
  static std::unique_ptr<NameLookup> StartAny(const std::string& name, AddressesHandler handler,
                                              int64_t limitMs = kLookupLimitMs);
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  bool Done() const;

  struct Request;  // internal

 private:
  NameLookup() = default;
  std::shared_ptr<Request> request_;
};

// A task's name lookup, for both families: suspends until the resolver has answered or
// the deadline (on the program's monotonic clock; negative: kLookupLimitMs from now)
// has passed. An address written out completes without asking it. Destroying the
// waiting task cancels the lookup.
struct LookupResult {
  int error = 0;                     // 0, or the Windows Sockets code of the failure
  std::vector<IpAddress> addresses;  // in the order above; at least one without error
  in_addr address{};                 // the first IPv4 address among them, for IPv4-only callers
  bool TimedOut() const { return error == kLookupTimedOut; }
};
Task<LookupResult> Lookup(std::string name, int64_t deadlineMs = -1);

// Queries the resolver still works on, including those whose lookup has ended (tests
// and diagnostics).
size_t LookupsInFlight();

}  // namespace sentrel
