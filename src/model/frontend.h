#pragma once

#include <cstdint>
#include <string>

namespace sentrel {

// What an event's popup is about, for a desktop notification beside the popup line.
struct DesktopNotice {
  std::string message;
  std::string server;
  std::string status;    // the status word: "DOWN (3)", "UP", ...
  uint64_t monitor = 0;  // the monitor's run id; 0 when none (the event editor's test)
  // A failure (DOWN, LOST), not a recovery.
  bool Down() const { return status.rfind("DOWN", 0) == 0 || status.rfind("LOST", 0) == 0; }
};

// What the core asks of whatever shows it: the Qt window or the headless front end.
// The two panes are core objects (TextPane) that a front end observes; this interface
// carries the rest.
class Frontend {
 public:
  virtual ~Frontend() = default;
  // Refresh the tree's texts and status lights after a change of colour.
  virtual void ScreenUpdate() {}
  // The whole configuration was (re)loaded: build the tree from the server list anew and
  // refresh it. Without a tree that is just a refresh.
  virtual void BuildTree() { ScreenUpdate(); }
  // A status-bar panel changed: 0 is the scan activity, 1 the web server state.
  virtual void StatusPanelChanged(int /*panel*/, const std::string& /*text*/) {}
  // The popup window of an event: one more message line, the window brought forward.
  virtual void ShowPopupMessage(const std::string& message) = 0;
  // The popup action of an event: the line for the popup window, and what it is about
  // for the desktop's notifications where there are any.
  virtual void ShowEventPopup(const std::string& line, const DesktopNotice& /*notice*/) {
    ShowPopupMessage(line);
  }
  // The print notice: a message the operator acknowledges. The call returns at once;
  // nothing waits for the acknowledgement.
  virtual void ShowNotice(const std::string& text) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& question) = 0;
};

}  // namespace sentrel
