#pragma once

#include <cstdint>

namespace sentrel {

class EventLoop;

// One source of "now" for the whole program. Date-time values are doubles counting days
// since 1899-12-30 in local time (the fraction is the time of day); they are for texts,
// downtimes and the status page. Deciding whether something is due uses the monotonic
// milliseconds, so a clock step or a daylight-saving change never stops or floods checks.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double Now() const = 0;
  virtual int64_t MonotonicMs() const = 0;
  // A fake clock may jump forward instead of letting the loop sleep in real time.
  virtual bool IsFake() const { return false; }
};

class SystemClock final : public Clock {
 public:
  double Now() const override;
  int64_t MonotonicMs() const override;
};

// Test clock: time moves only when told. With auto-advance on, a loop that would sleep
// until a deadline (a timer, a 10 s wait) jumps the clock to that deadline once nothing
// real has arrived for a short grace period, so ten-second waits take milliseconds.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double now = 46000.5, int64_t monotonicMs = 1'000'000)
      : now_(now), mono_(monotonicMs) {}
  double Now() const override { return now_; }
  int64_t MonotonicMs() const override { return mono_; }
  bool IsFake() const override { return true; }

  // Moves both clocks forward and fires the due timers of the attached loop.
  void AdvanceMs(int64_t ms);
  void AdvanceSeconds(double s) { AdvanceMs(static_cast<int64_t>(s * 1000.0)); }
  // Sets the wall clock alone (a clock step); the monotonic clock does not move.
  void SetWallClock(double now) { now_ = now; }
  void SetNow(double now) { now_ = now; }
  // Used by the loop: jumps forward without firing timers (the loop fires them itself).
  void JumpMs(int64_t ms);

  void AttachLoop(EventLoop* loop) { loop_ = loop; }
  void SetAutoAdvance(bool on) { autoAdvance_ = on; }
  bool AutoAdvance() const { return autoAdvance_; }

 private:
  double now_;
  int64_t mono_;
  EventLoop* loop_ = nullptr;
  bool autoAdvance_ = true;
};

// The clock the program reads. Tests install a FakeClock; nothing else changes it.
Clock& CurrentClock();
void SetCurrentClock(Clock* clock);  // nullptr restores the system clock

// Shorthand for CurrentClock().Now().
double Now();

}  // namespace sentrel
