#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace sentrel {

// One of the two text panes ("Activity log", "Messages/Errors"). A core object because
// the event placeholders and the status page read it; a window only mirrors it.
class TextPane {
 public:
  static constexpr size_t kKeepLines = 1000;

  // Called after each change: a line added (text given) or the first line dropped.
  struct Listener {
    std::function<void(const std::string& line)> added;
    std::function<void()> firstRemoved;
    std::function<void()> cleared;
  };

  explicit TextPane(std::string title = "") : title_(std::move(title)) {}

  // While the pane holds more than 1000 lines the first is dropped; then the line is
  // appended. A pane therefore never holds more than 1001 lines.
  void AddLine(const std::string& line);
  void Clear();
  size_t Count() const { return lines_.size(); }
  const std::deque<std::string>& Lines() const { return lines_; }
  const std::string& Title() const { return title_; }
  void SetListener(Listener listener) { listener_ = std::move(listener); }
  // Changes with every change of the lines, and no two states of any panes share a
  // value (0 is a pane that never had a line), so a reader can keep what it derived.
  uint64_t Version() const { return version_; }

 private:
  std::string title_;
  uint64_t version_ = 0;
  std::deque<std::string> lines_;
  Listener listener_;
};

}  // namespace sentrel
