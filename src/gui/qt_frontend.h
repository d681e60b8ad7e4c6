#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <functional>

#include "model/frontend.h"

namespace sentrel::gui {

class MainWindow;

// The one adapter between the core and the windows: the core's calls (tree refresh,
// status-bar panels, the event actions' popup, notice and question) reach the widgets
// here. What arrives before the main window exists is kept and handed over when it comes.
class QtFrontend final : public Frontend {
 public:
  void SetWindow(MainWindow* window);

  void ScreenUpdate() override;
  void BuildTree() override;
  void StatusPanelChanged(int panel, const std::string& text) override;
  void ShowPopupMessage(const std::string& message) override;
  void ShowEventPopup(const std::string& line, const DesktopNotice& notice) override;
  void ShowNotice(const std::string& text) override;
  bool AskYesNo(const std::string& question) override;

  // The windows of the event actions fill these: the popup window (one more line, the
  // window brought forward) and the print notice (modal; returns when acknowledged).
  // Unset, a plain message box stands in for both.
  std::function<void(const QString& message)> popupMessage;
  std::function<void(const QString& text)> notice;
  // An event's popup with what it is about (the desktop notification goes with it).
  // Unset, it is a plain popup message.
  std::function<void(const QString& line, const DesktopNotice& notice)> eventPopup;

  // Popup messages that came before the window, in order (handed over by SetWindow).
  const QStringList& EarlyPopups() const { return earlyPopups_; }

 private:
  MainWindow* window_ = nullptr;
  std::array<QString, 2> panels_;
  std::array<bool, 2> panelSet_{false, false};
  QStringList earlyPopups_;
};

}  // namespace sentrel::gui
