#pragma once

#include <cstdint>

namespace sentrel {

// Waits for a descriptor without serving the loop: the serial script's waits and a
// child that must finish before an action goes on block the whole program on purpose.
// The deadline is on the program's monotonic clock. Under a fake clock the wait behaves
// like the loop's own: after a short spell of real quiet it jumps fake time to the
// deadline (when auto-advance is on), so a 30-second wait costs milliseconds in a test.
// fakeGraceMs is that spell: waits on another process's work (a child that must finish)
// give it longer, since a fake clock cannot make that work any faster.
// Returns the poll events that arrived, or 0 when the deadline passed first.
// Throws SystemError when poll itself fails.
inline constexpr int64_t kBlockingWaitGraceMs = 20;
short WaitForFd(int fd, short events, int64_t deadlineMs,
                int64_t fakeGraceMs = kBlockingWaitGraceMs);

}  // namespace sentrel
