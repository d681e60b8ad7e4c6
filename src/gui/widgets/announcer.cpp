#include "gui/widgets/announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>
#include <QTimer>
#include <QtGlobal>

namespace sentrel::gui {

namespace {

std::function<void(QAccessibleEvent&)>& Listener() {
  static std::function<void(QAccessibleEvent&)> listener;
  return listener;
}

class AnnouncerAccessible final : public QAccessibleWidget {
 public:
  explicit AnnouncerAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Notification) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return static_cast<const Announcer*>(widget())->Last();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
  if (className == QLatin1String("sentrel::gui::Announcer") && object && object->isWidgetType())
    return new AnnouncerAccessible(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

Announcer::Announcer(QWidget* window) : QWidget(window) {
  static const bool installed = [] {
    QAccessible::installFactory(&Factory);
    return true;
  }();
  (void)installed;
  setObjectName(QStringLiteral("Announcer"));
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  words_ = new QLabel(this);
  words_->setGeometry(0, 0, 1, 1);
  // A pixel at the window's corner, beneath everything else.
  setGeometry(0, 0, 1, 1);
  lower();
}

void Announcer::Announce(const QString& text) {
  if (text.isEmpty()) return;
  pending_ << text;
  if (pending_.size() == 1) QTimer::singleShot(0, this, &Announcer::Say);
}

void Announcer::Say() {
  QStringList said = pending_.mid(0, kSaidInFull);
  if (pending_.size() > kSaidInFull)
    said << QStringLiteral("and %1 more").arg(pending_.size() - kSaidInFull);
  pending_.clear();
  const QString text = said.join(QStringLiteral("; "));
  last_ = text;
  words_->setText(text);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
  QAccessibleAnnouncementEvent announcement(this, text);
  SendAccessibleEvent(announcement);
#else
  // Hidden and shown again: the reader hears a notification come up, with its words.
  QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
  SendAccessibleEvent(nameChanged);
  hide();
  show();
  lower();
  QAccessibleEvent alert(this, QAccessible::Alert);
  SendAccessibleEvent(alert);
#endif
}

void SendAccessibleEvent(QAccessibleEvent& event) {
  if (Listener()) Listener()(event);
  QAccessible::updateAccessibility(&event);
}

void SetAccessibleEventListener(std::function<void(QAccessibleEvent&)> listener) {
  Listener() = std::move(listener);
}

void Announce(QWidget* within, const QString& text) {
  if (!within) return;
  QWidget* window = within->window();
  auto* announcer = window->findChild<Announcer*>(QStringLiteral("Announcer"),
                                                  Qt::FindDirectChildrenOnly);
  if (!announcer) {
    announcer = new Announcer(window);
    announcer->show();
  }
  announcer->Announce(text);
}

}  // namespace sentrel::gui
