#include "gui/log_window.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

#include "gui/widgets/log_text_view.h"
#include "ui_log_window.h"

namespace sentrel::gui {

void CentreOnScreen(QWidget* window, QWidget* parent) {
  QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  // An explicit move also keeps QDialog from centring the window over its parent instead.
  window->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window->size(),
                                          screen->availableGeometry()));
}

LogWindow::LogWindow(QWidget* parent) : QDialog(parent), ui_(new Ui::LogWindow) {
  ui_->setupUi(this);
  setModal(true);
  CentreOnScreen(this, parent);
}

LogWindow::~LogWindow() = default;

void LogWindow::ShowView(LogView view) {
  setWindowTitle(QString::fromStdString(view.caption));
  ui_->Memo1->SetLines(std::move(view.lines));
}

LogTextView* LogWindow::Memo1() const {
  return ui_->Memo1;
}

}  // namespace sentrel::gui
