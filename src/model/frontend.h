#pragma once

#include <string>

namespace sentrel {

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
  // The print notice: a message the operator acknowledges. The call returns at once;
  // nothing waits for the acknowledgement.
  virtual void ShowNotice(const std::string& text) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& question) = 0;
};

}  // namespace sentrel
