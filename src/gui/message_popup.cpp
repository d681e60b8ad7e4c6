#include "gui/message_popup.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QVBoxLayout>

#include "gui/modal_answers.h"

namespace sentrel::gui {

Terrorwin::Terrorwin(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint) {
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
  connect(ok_, &QPushButton::clicked, this, &Terrorwin::OKClick);

  auto* bar = new QHBoxLayout;
  bar->addStretch();
  bar->addWidget(ok_);
  bar->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pane_, 1);
  layout->addLayout(bar);
}

void Terrorwin::AddMessage(const QString& text) {
  QTextCursor cursor(pane_->document());
  cursor.movePosition(QTextCursor::End);
  if (lines_ > 0) cursor.insertBlock();
  cursor.insertText(text);
  ++lines_;
  pane_->moveCursor(QTextCursor::End);
  pane_->ensureCursorVisible();

  if (!placed_) {
    // Centred on the screen the first time; afterwards it stays where the operator put it.
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
    placed_ = true;
  }
  showNormal();
  raise();
  activateWindow();
  ok_->setFocus();
}

QStringList Terrorwin::Lines() const {
  QStringList lines;
  if (lines_ == 0) return lines;
  for (QTextBlock b = pane_->document()->begin(); b.isValid(); b = b.next()) lines << b.text();
  return lines;
}

void Terrorwin::OKClick() {
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
