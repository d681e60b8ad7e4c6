#include "platform/blocking_wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"
#include "platform/error.h"

namespace sentrel {

short WaitForFd(int fd, short events, int64_t deadlineMs, int64_t fakeGraceMs) {
  Clock& clock = CurrentClock();
  for (;;) {
    int64_t remaining = deadlineMs - clock.MonotonicMs();
    if (remaining <= 0) {
      // One last look, so bytes that are already there are never reported as a time-out.
      pollfd p{fd, events, 0};
      int n = poll(&p, 1, 0);
      return n > 0 ? p.revents : 0;
    }
    int64_t slice = remaining;
    if (clock.IsFake()) slice = std::min(slice, fakeGraceMs);
    slice = std::min<int64_t>(slice, 1'000'000'000);
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(slice));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("poll");
    }
    if (n > 0) return p.revents;
    if (clock.IsFake()) {
      auto& fake = static_cast<FakeClock&>(clock);
      if (fake.AutoAdvance()) fake.JumpMs(remaining);
    }
  }
}

}  // namespace sentrel
