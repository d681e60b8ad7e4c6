#include "gui/message_popup.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>
#include <QWindow>
#include <utility>

#include "gui/modal_answers.h"
#include "gui/widgets/announcer.h"

namespace sentrel::gui {

namespace {

// The popup is an alert: a screen reader names it as one and reads its lines as its
// description.
class PopupAccessible final : public QAccessibleWidget {
 public:
  explicit PopupAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::AlertMessage) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Description)
      return static_cast<const MessagePopup*>(widget())->Lines().join(QLatin1Char('\n'));
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* PopupFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("sentrel::gui::MessagePopup") && object && object->isWidgetType())
    return new PopupAccessible(static_cast<QWidget*>(object));
  return nullptr;
}

}  // namespace

MessagePopup::MessagePopup(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint) {
  static const bool installed = [] {
    QAccessible::installFactory(&PopupFactory);
    return true;
  }();
  (void)installed;
  setObjectName(QStringLiteral("Terrorwin"));
  setWindowTitle(QStringLiteral("Sentrel Message(s)"));
  resize(480, 220);

  pane_ = new QPlainTextEdit(this);
  pane_->setObjectName(QStringLiteral("Memo1"));
  pane_->setReadOnly(true);
  pane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pane_->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane_->setMaximumBlockCount(kMaxLines);
  pane_->setAccessibleName(QStringLiteral("Messages"));
  // The pane reads as part of the window, not as a field to type into.
  QPalette palette = pane_->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  pane_->setPalette(palette);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(QStringLiteral("Button1"));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &MessagePopup::OKClick);

  auto* bar = new QHBoxLayout;
  bar->addStretch();
  bar->addWidget(ok_);
  bar->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pane_, 1);
  layout->addLayout(bar);
}

void MessagePopup::AddMessage(const QString& text) {
  QTextCursor cursor(pane_->document());
  cursor.movePosition(QTextCursor::End);
  if (lines_ > 0) cursor.insertBlock();
  cursor.insertText(text);
  ++lines_;
  // The new line in view from its start (its time and server), not scrolled to its end.
  cursor.movePosition(QTextCursor::StartOfBlock);
  pane_->setTextCursor(cursor);
  pane_->ensureCursorVisible();
  pane_->horizontalScrollBar()->setValue(pane_->horizontalScrollBar()->minimum());

  if (!placed_) {
    // Centred on the screen the first time; afterwards it stays where the operator put it.
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
    placed_ = true;
  }
  // The operator typing in another of our windows keeps the keyboard: the popup comes up
  // in front without it, and a screen reader hears the message instead. Only when none of
  // our windows is active does the popup take the focus, so Enter acknowledges it.
  QWidget* active = QApplication::activeWindow();
  const bool takeFocus = !active || active == this;
  setAttribute(Qt::WA_ShowWithoutActivating, !takeFocus);
  // A window system that activates every window it shows all the same gets the active
  // window back from us (see event()).
  giveBackTo_ = takeFocus ? nullptr : active;
  giveBackUntil_.setRemainingTime(kGiveBackMs);
  showNormal();
  FollowModalDialog();
  raise();
  if (takeFocus) {
    activateWindow();
    ok_->setFocus();
  }
  QAccessibleEvent described(this, QAccessible::DescriptionChanged);
  SendAccessibleEvent(described);
  Announce(parentWidget() ? parentWidget() : this, windowTitle() + QStringLiteral(": ") + text);
}

bool MessagePopup::event(QEvent* event) {
  // A modal dialog opened after the window blocks it: it goes above that dialog.
  if (event->type() == QEvent::WindowBlocked) FollowModalDialog();
  if (event->type() == QEvent::WindowActivate && giveBackTo_) {
    QPointer<QWidget> back = std::exchange(giveBackTo_, nullptr);
    if (back && back->isVisible() && !giveBackUntil_.hasExpired()) back->activateWindow();
  }
  // The operator's own click or key on the popup keeps it active.
  if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
    giveBackTo_ = nullptr;
  return QWidget::event(event);
}

void MessagePopup::FollowModalDialog() {
  QWindow* handle = windowHandle();
  if (!handle) return;
  // A modal dialog blocks every window but its own: as the dialog's transient window the
  // popup takes input while the dialog is open, and stays in front of it.
  QWidget* modal = QApplication::activeModalWidget();
  QWindow* owner = nullptr;
  if (modal && modal != this && !isAncestorOf(modal))
    owner = modal->windowHandle();
  else if (parentWidget())
    owner = parentWidget()->window()->windowHandle();
  if (handle->transientParent() != owner) handle->setTransientParent(owner);
}

QStringList MessagePopup::Lines() const {
  QStringList lines;
  if (lines_ == 0) return lines;
  for (QTextBlock b = pane_->document()->begin(); b.isValid(); b = b.next()) lines << b.text();
  return lines;
}

void MessagePopup::OKClick() {
  hide();
  pane_->clear();
  lines_ = 0;
}

void ShowPrintNotice(QWidget* parent, const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  OpenMessage(parent, QStringLiteral("Sentrel2"), shown, QMessageBox::NoIcon);
}

}  // namespace sentrel::gui
