#include "platform/descriptor_budget.h"

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <vector>

namespace sentrel {

namespace {

int Clamp(rlim_t value) {
  return value == RLIM_INFINITY || value > static_cast<rlim_t>(INT_MAX) ? INT_MAX
                                                                        : static_cast<int>(value);
}

}  // namespace

int RaiseOpenFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return OpenFileLimit();
  if (rl.rlim_cur < rl.rlim_max) {
    rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max;
    // An unlimited hard limit is refused (the kernel's own ceiling applies); the soft
    // limit then stays as it was, which is still a working limit.
    setrlimit(RLIMIT_NOFILE, &raised);
  }
  return OpenFileLimit();
}

int OpenFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
  return Clamp(rl.rlim_cur);
}

namespace {

// Descriptors opened while the soft limit was higher stay open after it is lowered, with
// numbers above the new limit. The count looks that far once after every change of the
// limit, and from then on only as far as the highest of them still open: no descriptor
// can be opened above the limit, so that is exact.
struct CountRange {
  int widestLimit = OpenFileLimit();  // the limit when the program started, or higher
  int countedLimit = -1;
  int end = 0;  // slots [0, end) can hold descriptors
};
CountRange range;

}  // namespace

int CountOpenDescriptors() {
  // poll() marks every slot that holds no descriptor with POLLNVAL, in one call for a
  // whole block of numbers: far cheaper than listing /proc/self/fd, which costs about a
  // microsecond per open descriptor. poll() takes at most the limit's count of entries,
  // whatever their numbers.
  const int limit = OpenFileLimit();
  range.widestLimit = std::max(range.widestLimit, limit);
  const int end = limit == range.countedLimit ? std::max(limit, range.end) : range.widestLimit;
  const int block = std::min(limit, 4096);
  std::vector<pollfd> slots(static_cast<size_t>(block));
  int open = 0;
  int highest = -1;
  for (int base = 0; base < end; base += block) {
    const int n = std::min(block, end - base);
    for (int i = 0; i < n; ++i) slots[static_cast<size_t>(i)] = pollfd{base + i, 0, 0};
    int rc;
    do {
      rc = poll(slots.data(), static_cast<nfds_t>(n), 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return limit;  // cannot tell: count the table as full, so nothing risks it
    for (int i = 0; i < n; ++i) {
      if (slots[static_cast<size_t>(i)].revents & POLLNVAL) continue;
      ++open;
      highest = base + i;
    }
  }
  range.countedLimit = limit;
  range.end = highest + 1;
  return open;
}

int DescriptorBudget::Reserve(int limit) {
  return std::clamp(limit / 4, 1, kMaxReserve);
}

bool DescriptorBudget::HasRoom(int needed, int keepFree, const std::function<int()>& promised) {
  const int limit = OpenFileLimit();
  if (counted_ && static_cast<long>(estimate_) + needed + keepFree <= limit) return true;
  // The limit on counting runs on the real clock: it bounds the program's own work, which
  // a test's frozen clock must not turn into a queue that never moves.
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (counted_ && now - countedAtMs_ < kRecountMs) return false;
  estimate_ = CountOpenDescriptors() + (promised ? promised() : 0);
  counted_ = true;
  countedAtMs_ = now;
  return static_cast<long>(estimate_) + needed + keepFree <= limit;
}

DescriptorBudget& Descriptors() {
  static DescriptorBudget budget;
  return budget;
}

}  // namespace sentrel
