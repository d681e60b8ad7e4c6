#pragma once

#include <netinet/in.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/task.h"

namespace sentrel {

// Name lookup, IPv4 only, as the checks have always used it.
//
// A dotted address ("127.0.0.1", and the short forms inet_addr() accepts) never asks the
// resolver. Names go through the C library's resolver with its own rules; a name with a
// blank in it, for instance, is rejected without a query.

// Parses a dotted address; false when the text is none.
bool ParseDottedAddress(const std::string& text, in_addr* address);

// Looks a name up and blocks the thread meanwhile (the ping and port checks do so).
// Returns 0 and the first address, or the Windows Sockets code of the failure (11001 for
// an unknown host).
int LookupBlocking(const std::string& name, in_addr* address);

// An asynchronous lookup: glibc's getaddrinfo_a runs it, and its completion signal is
// read from a signalfd watched by the event loop, so the loop never blocks on a lookup.
//
// The completion signal (a realtime signal, LookupSignal()) must be blocked in every
// thread, or it would kill the process. It is blocked while the program starts, before
// main() and so before any thread exists: see the initialiser in name_lookup.cpp. Threads
// created later inherit the mask; BlockLookupSignal() blocks it again for a thread that
// was started with another mask, and a front end may call it first thing in main().
//
// Destroying the lookup before it completes cancels it: its handler never runs. A lookup
// that the resolver cannot stop any more is finished in the background and dropped.
class NameLookup {
 public:
  // error is 0 with the first address, or the Windows Sockets code of the failure.
  using Handler = std::function<void(int error, in_addr address)>;

  // Starts looking name up; the handler runs from the loop, never from inside Start.
  // A dotted address completes without a lookup (still through the loop).
  static std::unique_ptr<NameLookup> Start(const std::string& name, Handler handler);
  ~NameLookup();
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  bool Done() const;

  struct Request;  // internal

 private:
  NameLookup() = default;
  std::shared_ptr<Request> request_;
};

// A task's name lookup: suspends until the resolver has answered. A dotted address
// completes without asking it. Destroying the waiting task cancels the lookup.
struct LookupResult {
  int error = 0;  // 0, or the Windows Sockets code of the failure
  in_addr address{};
};
Task<LookupResult> Lookup(std::string name);

int LookupSignal();
void BlockLookupSignal();
// Lookups started but not yet seen finished (tests and diagnostics).
size_t LookupsInFlight();

}  // namespace sentrel
