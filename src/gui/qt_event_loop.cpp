#include "gui/qt_event_loop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <climits>

#include "platform/clock.h"

namespace sentrel::gui {

QtEventLoop::QtEventLoop() {
  notifier_ = std::make_unique<QSocketNotifier>(EpollFd(), QSocketNotifier::Read);
  // Not disabled while the core runs: a dialog of Qt's own opened by a command (a message
  // box, a file dialog) runs Qt's loop, and the core must go on being served inside it.
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    ++wakeups_;
    DispatchCore();
  });
  timer_.setSingleShot(true);
  // A coarse timer may fire a little early; the core would then find nothing due and
  // the process would wake twice for one deadline.
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] {
    ++wakeups_;
    DispatchCore();
  });
}

QtEventLoop::~QtEventLoop() {
  Detach();
}

void QtEventLoop::Detach() {
  detached_ = true;
  timer_.stop();
  if (notifier_) notifier_->setEnabled(false);
}

QtEventLoop::Work::Work(QtEventLoop& loop) : loop_(loop) {
  ++loop_.workDepth_;
}

QtEventLoop::Work::~Work() {
  if (--loop_.workDepth_ == 0) emit loop_.Settled();
}

void QtEventLoop::DispatchCore() {
  if (detached_) return;
  Work work(*this);
  EventLoop::Pump();
  ArmTimer();
}

void QtEventLoop::ArmTimer() {
  if (detached_) return;
  const int64_t ms = MsToNextTimer();
  if (ms < 0) {
    timer_.stop();
    return;
  }
  timer_.start(static_cast<int>(std::min<int64_t>(ms, INT_MAX)));
}

void QtEventLoop::TimerAdded() {
  ArmTimer();
}

void QtEventLoop::Pump() {
  if (detached_) {
    EventLoop::Pump();
    return;
  }
  Work work(*this);
  // The core's waiting work first, then everything Qt has waiting: window events,
  // commands, and (through the notifier) whatever the core received meanwhile.
  EventLoop::Pump();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  ArmTimer();
}

bool QtEventLoop::WaitUntil(const std::function<bool()>& done, int64_t timeoutMs) {
  Clock& clock = CurrentClock();
  // A fake clock jumps over waits; only the core's own wait knows how to do that.
  if (detached_ || clock.IsFake()) return EventLoop::WaitUntil(done, timeoutMs);

  Work work(*this);
  ++nestedWaits_;
  const int64_t deadline = timeoutMs < 0 ? -1 : clock.MonotonicMs() + timeoutMs;
  // Wakes Qt's loop at the deadline; nothing is connected, its timer event is enough.
  QTimer deadlineTimer;
  deadlineTimer.setSingleShot(true);
  deadlineTimer.setTimerType(Qt::PreciseTimer);
  if (deadline >= 0) deadlineTimer.start(static_cast<int>(std::min<int64_t>(timeoutMs, INT_MAX)));
  // Sleeps until Qt or the core has something, serves it, and looks at the condition
  // again after every round. A window that goes away meanwhile leaves the rest of the
  // wait to the core's own loop.
  while (!done() && !detached_) {
    if (deadline >= 0 && clock.MonotonicMs() >= deadline) break;
    ArmTimer();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  --nestedWaits_;
  if (detached_ && !done()) {
    const int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - clock.MonotonicMs());
    return EventLoop::WaitUntil(done, left);
  }
  ArmTimer();
  return done();
}

}  // namespace sentrel::gui
