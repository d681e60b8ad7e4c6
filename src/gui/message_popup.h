#pragma once

#include <QDeadlineTimer>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace sentrel::gui {

// The events' popup window ("Sentrel Message(s)"): made once at start and only shown and
// hidden afterwards. Messages pile up one line each until the operator presses OK, which
// hides the window and clears it; closing it from the title bar only hides it, so the
// lines stay and the next message goes below them. The reboot action reports its
// failures here too.
class MessagePopup : public QWidget {
  Q_OBJECT

 public:
  explicit MessagePopup(QWidget* parent = nullptr);

  // One more line at the end; the window comes up in its normal state, in front, showing
  // the start of the new line. It takes the input focus only when none of the program's
  // windows has it, and the message is announced to a screen reader. Above a modal
  // dialog it stays usable: it becomes that dialog's own window, which the dialog does
  // not block.
  void AddMessage(const QString& text);
  // The pane's lines as shown.
  QStringList Lines() const;

  QPlainTextEdit* Pane() const { return pane_; }
  QPushButton* OkButton() const { return ok_; }

  // A message that has waited unacknowledged for days must not grow without end: the
  // oldest lines go beyond this many.
  static constexpr int kMaxLines = 10000;

 protected:
  bool event(QEvent* event) override;

 private:
  void OKClick();
  // Puts the window above the modal dialog that blocks it (or back with its parent when
  // none does).
  void FollowModalDialog();

  QPlainTextEdit* pane_;
  QPushButton* ok_;
  // Lines the pane holds; the first message is the first line.
  int lines_ = 0;
  bool placed_ = false;
  // The window that had the keyboard when a message came: should the window system
  // activate the popup anyway, soon after showing it, that window gets it back.
  static constexpr int kGiveBackMs = 1000;
  QPointer<QWidget> giveBackTo_;
  QDeadlineTimer giveBackUntil_;
};

// The print action's notice: a modal box with "printer", the server and the status word
// on three lines; it returns when the operator closed it. While it is open the window
// keeps being served, so checks and events go on.
void ShowPrintNotice(QWidget* parent, const QString& text);

}  // namespace sentrel::gui
