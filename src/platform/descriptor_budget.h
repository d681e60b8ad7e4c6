#pragma once

#include <cstdint>
#include <functional>

namespace sentrel {

// Raises the soft limit of open files to the hard limit, as servers commonly do at
// start-up, so that thousands of checks in flight fit. Returns the soft limit in force
// afterwards (unchanged when the system refuses).
int RaiseOpenFileLimit();
// The soft limit of open files now.
int OpenFileLimit();
// How many descriptors the process has open now (exact, one system call per 4096 slots).
int CountOpenDescriptors();

// Keeps the program's own work from running out of descriptors. Thousands of HTTP
// checks in flight each hold a connection; without a limit of their own they take the
// last descriptor, and then the records, the errors log and the server file can no
// longer be opened. The budget keeps a reserve free for everything that is not an HTTP
// check: the log files, the errors log, the server, events and settings files, the
// status web server's connections, the ping and port checks with their lookups, mail,
// serial and the programs that events start.
//
// Counting the open descriptors exactly costs a system call that looks at every open
// one, so the budget keeps an estimate: the last exact count, plus what its users say
// they opened and closed since (with a share to spare). It counts again only when the
// estimate says room is short, and then at most once every kRecountMs, so a queue of
// thousands of checks draining one by one does not count thousands of times.
class DescriptorBudget {
 public:
  // The reserve under a given limit: a quarter of a small limit, at most 64.
  static int Reserve(int limit);
  static constexpr int kMaxReserve = 64;
  static constexpr int kRecountMs = 10;

  // Whether `needed` more descriptors can be opened and still leave `keepFree` of the
  // limit unused. `promised` tells how many descriptors work already under way will open
  // shortly (a check still looking up its host has no socket yet); it is asked only for
  // an exact count, which happens only when the estimate is short.
  bool HasRoom(int needed, int keepFree, const std::function<int()>& promised = {});
  // Records that descriptors were (or are about to be) opened, or closed again.
  void Opened(int count) { estimate_ += count; }
  void Closed(int count) { estimate_ -= count; }
  // Forget the estimate: the next question counts (after a failure to open one).
  void Recount() { counted_ = false; }

 private:
  bool counted_ = false;
  int estimate_ = 0;
  int64_t countedAtMs_ = 0;
};

// The program's one budget.
DescriptorBudget& Descriptors();

}  // namespace sentrel
