#include "gui/qt_frontend.h"

#include "gui/main_window.h"
#include "gui/modal_answers.h"
#include "gui/text.h"

namespace sentrel::gui {

void QtFrontend::SetWindow(MainWindow* window) {
  window_ = window;
  if (!window_) return;
  for (int i = 0; i < 2; ++i)
    if (panelSet_[static_cast<size_t>(i)])
      window_->SetStatusPanel(i, panels_[static_cast<size_t>(i)]);
  const QStringList early = std::exchange(earlyPopups_, {});
  for (const QString& m : early) ShowPopupMessage(ToStd(m));
}

void QtFrontend::ScreenUpdate() {
  if (window_) window_->RefreshTree();
}

void QtFrontend::BuildTree() {
  if (!window_) return;
  window_->BuildTree();
  window_->RefreshTree();
}

void QtFrontend::StatusPanelChanged(int panel, const std::string& text) {
  if (panel < 0 || panel > 1) return;
  const QString q = ToQ(text);
  panels_[static_cast<size_t>(panel)] = q;
  panelSet_[static_cast<size_t>(panel)] = true;
  if (window_) window_->SetStatusPanel(panel, q);
}

void QtFrontend::ShowPopupMessage(const std::string& message) {
  const QString q = ToQ(message);
  if (popupMessage) {
    popupMessage(q);
    return;
  }
  if (!window_) {
    earlyPopups_ << q;
    return;
  }
  window_->ShowPopupStandIn(q);
}

void QtFrontend::ShowEventPopup(const std::string& line, const DesktopNotice& notice) {
  if (eventPopup) {
    eventPopup(ToQ(line), notice);
    return;
  }
  ShowPopupMessage(line);
}

void QtFrontend::ShowNotice(const std::string& text) {
  QString q = ToQ(text);
  if (notice) {
    notice(q);
    return;
  }
  q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  OpenMessage(window_, QStringLiteral("Sentrel"), q);
}

bool QtFrontend::AskYesNo(const std::string& question) {
  return gui::AskYesNo(window_, QStringLiteral("Confirm"), ToQ(question));
}

}  // namespace sentrel::gui
