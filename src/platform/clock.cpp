#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include "platform/date_time.h"
#include "platform/event_loop.h"

namespace sentrel {

double SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  double day = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  double ms = ((local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec) * 1000.0 +
              static_cast<double>(ts.tv_nsec / 1'000'000);
  return day + ms / 86'400'000.0;
}

int64_t SystemClock::MonotonicMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

void FakeClock::JumpMs(int64_t ms) {
  if (ms <= 0) return;
  mono_ += ms;
  now_ += static_cast<double>(ms) / 86'400'000.0;
}

void FakeClock::AdvanceMs(int64_t ms) {
  JumpMs(ms);
  if (loop_) loop_->RunDueTimers();
}

namespace {
SystemClock systemClock;
Clock* current = &systemClock;
}  // namespace

Clock& CurrentClock() { return *current; }
void SetCurrentClock(Clock* clock) { current = clock ? clock : &systemClock; }
double Now() { return current->Now(); }

}  // namespace sentrel
