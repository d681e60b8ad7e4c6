#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "reports/log_lines.h"

namespace sentrel::gui {

// Status panel 0 of the main window as the report commands use it. No event loop runs
// while they read or dump, so show must paint the panel before it returns (repaint, not
// update: the loop that would serve an update is not running).
struct ActivityPanel {
  std::function<std::string()> text;
  std::function<void(const std::string&)> show;
};

// Shows how far a long read has come: once the read has taken longer than the delay,
// "Reading <name>: <n>%" in the panel at every whole percent. When it is done (or has
// failed) the panel gets back the text it had before, if the read showed anything.
class ReadProgressDisplay {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDefaultDelay{500};

  ReadProgressDisplay(const ActivityPanel& panel, std::string name,
                      std::chrono::milliseconds delay = kDefaultDelay);
  ~ReadProgressDisplay();
  ReadProgressDisplay(const ReadProgressDisplay&) = delete;
  ReadProgressDisplay& operator=(const ReadProgressDisplay&) = delete;

  // The callback for the reader.
  ReadProgress Callback();
  bool Shown() const { return shown_; }

 private:
  void Report(uint64_t bytesRead, uint64_t fileSize);

  const ActivityPanel& panel_;
  std::string name_;
  std::chrono::milliseconds delay_;
  Clock::time_point start_;
  std::string before_;
  bool shown_ = false;
  int lastPercent_ = -1;
};

// "Reading <name>: <percent>%".
std::string ReadingText(const std::string& name, int percent);

}  // namespace sentrel::gui
