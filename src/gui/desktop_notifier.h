#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>

class QDBusPendingCallWatcher;

namespace sentrel::gui {

// Sends the events' popups to the desktop's notification service as well
// (org.freedesktop.Notifications on the session bus), where people look: the summary
// "server monitor DOWN" (or UP), the message as the body, urgency critical for a failure
// and normal for a recovery, and an action "Show" that brings the main window up with
// the monitor selected.
//
// Nothing here waits for the bus: the calls go out asynchronously and their answers come
// back through the loop. Without a session bus or a notification service the calls go
// nowhere and nothing else changes.
class DesktopNotifier : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";

  explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus(),
                           QObject* parent = nullptr);

  // One notification about this monitor (run id; 0 for none). `undelivered` runs when
  // it cannot be shown: no bus, or no service took it.
  void Notify(const QString& summary, const QString& body, bool critical, uint64_t monitor,
              std::function<void()> undelivered = {});
  // Whether a notification service owns its name on the bus, as last heard.
  bool ServiceRunning() const { return running_; }
  // Notifications sent whose answer has not come yet.
  int Pending() const { return pending_; }

  // The operator chose "Show" (or clicked the notification) for this monitor.
  std::function<void(uint64_t monitor)> onShow;

 private Q_SLOTS:
  // Signals of the service. QtDBus connects signals of the bus by their names only.
  void ActionInvoked(uint id, const QString& key);
  void NotificationClosed(uint id, uint reason);

 private:
  void Answered(QDBusPendingCallWatcher* call, uint64_t monitor,
                const std::function<void()>& undelivered);

  QDBusConnection bus_;
  bool running_ = false;
  int pending_ = 0;
  // The notifications on the desktop now, by the service's id: the monitor of each.
  std::map<uint, uint64_t> shown_;
};

}  // namespace sentrel::gui
