#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "platform/event_loop.h"

class QSocketNotifier;

namespace sentrel::gui {

// The core's loop embedded in Qt's, which stays the outermost loop. The core loop's epoll
// descriptor is watched by a QSocketNotifier, and one single-shot QTimer is kept armed to
// the core's next timer, so Qt sleeps until there is work for either side and never polls.
// Inside the core, the points where a pass lets waiting work run serve Qt's events too:
// Pump processes what Qt has waiting, and WaitUntil runs Qt's loop until its condition
// holds or its time is up, so a port check on a silent peer keeps the window alive and a
// modal dialog keeps the checks running. Everything stays on the one thread.
class QtEventLoop final : public QObject, public EventLoop {
  Q_OBJECT

 public:
  QtEventLoop();
  ~QtEventLoop() override;

  void Pump() override;
  bool WaitUntil(const std::function<bool()>& done, int64_t timeoutMs) override;

  // Marks the stretch in which Qt-side code runs program work (a command, a dispatch of
  // the core loop). Work can only be interrupted inside a Pump or WaitUntil of such a
  // stretch; Busy() says whether one is on the stack. When the outermost one ends,
  // Settled is emitted: a close asked for in the middle can now go ahead.
  class Work {
   public:
    explicit Work(QtEventLoop& loop);
    ~Work();
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;

   private:
    QtEventLoop& loop_;
  };
  bool Busy() const { return workDepth_ > 0; }
  // How many WaitUntil calls are on the stack right now.
  int NestedWaits() const { return nestedWaits_; }
  // Stops serving the core from Qt (the window has closed; the program is going away).
  void Detach();

  // Times the Qt side woke up to serve the core (descriptor or timer), for measurements.
  uint64_t Wakeups() const { return wakeups_; }

 signals:
  void Settled();

 protected:
  void TimerAdded() override;

 private:
  // Serves the core once without blocking, then arms the timer for its next deadline.
  void DispatchCore();
  void ArmTimer();

  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer timer_;
  int workDepth_ = 0;
  int nestedWaits_ = 0;
  bool detached_ = false;
  uint64_t wakeups_ = 0;
};

}  // namespace sentrel::gui
