#include "gui/desktop_notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace sentrel::gui {

namespace {
constexpr const char* kInterface = "org.freedesktop.Notifications";
}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
  if (!bus_.isConnected()) return;
  // Whether a service is there now, asked without waiting; then every change of its owner.
  auto* watcher = new QDBusServiceWatcher(QString::fromLatin1(kService), bus_,
                                          QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& owner) {
            running_ = !owner.isEmpty();
            if (!running_) shown_.clear();
          });
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  ask << QString::fromLatin1(kService);
  auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(ask), this);
  connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* c) {
    QDBusPendingReply<bool> reply = *c;
    if (!reply.isError()) running_ = running_ || reply.value();
    c->deleteLater();
  });
  bus_.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
               QString::fromLatin1(kInterface), QStringLiteral("ActionInvoked"), this,
               SLOT(ActionInvoked(uint, QString)));
  bus_.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
               QString::fromLatin1(kInterface), QStringLiteral("NotificationClosed"), this,
               SLOT(NotificationClosed(uint, uint)));
}

void DesktopNotifier::Notify(const QString& summary, const QString& body, bool critical,
                             uint64_t monitor, std::function<void()> undelivered) {
  if (!bus_.isConnected()) {
    if (undelivered) undelivered();
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kInterface), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"),
               QVariant::fromValue(static_cast<uchar>(critical ? 2 : 1)));
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("sentrel"));
  hints.insert(QStringLiteral("category"),
               critical ? QStringLiteral("network.error") : QStringLiteral("network"));
  // "default" is what a click on the notification itself does.
  const QStringList actions = {QStringLiteral("default"), QStringLiteral("Show"),
                               QStringLiteral("show"), QStringLiteral("Show")};
  call << QStringLiteral("Sentrel") << uint(0) << QStringLiteral("sentrel") << summary << body
       << actions << hints << int(-1);
  ++pending_;
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, monitor, undelivered = std::move(undelivered)](QDBusPendingCallWatcher* c) {
            Answered(c, monitor, undelivered);
          });
}

void DesktopNotifier::Answered(QDBusPendingCallWatcher* call, uint64_t monitor,
                               const std::function<void()>& undelivered) {
  --pending_;
  QDBusPendingReply<uint> reply = *call;
  call->deleteLater();
  // Whether a service runs is left to the bus's word on the name: an answer may come
  // after the news that its service went, or that another one came.
  if (reply.isError()) {
    if (undelivered) undelivered();
    return;
  }
  shown_[reply.value()] = monitor;
}

void DesktopNotifier::ActionInvoked(uint id, const QString& key) {
  // Every program's notifications come by here; only our own are ours to answer.
  auto it = shown_.find(id);
  if (it == shown_.end()) return;
  if ((key == QLatin1String("show") || key == QLatin1String("default")) && onShow)
    onShow(it->second);
}

void DesktopNotifier::NotificationClosed(uint id, uint) {
  shown_.erase(id);
}

}  // namespace sentrel::gui
