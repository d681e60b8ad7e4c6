#include "gui/read_progress.h"

#include <algorithm>

namespace sentrel::gui {

std::string ReadingText(const std::string& name, int percent) {
  return "Reading " + name + ": " + std::to_string(percent) + "%";
}

ReadProgressDisplay::ReadProgressDisplay(const ActivityPanel& panel, std::string name,
                                         std::chrono::milliseconds delay)
    : panel_(panel), name_(std::move(name)), delay_(delay), start_(Clock::now()) {}

ReadProgressDisplay::~ReadProgressDisplay() {
  if (shown_ && panel_.show) panel_.show(before_);
}

ReadProgress ReadProgressDisplay::Callback() {
  return [this](uint64_t bytesRead, uint64_t fileSize) { Report(bytesRead, fileSize); };
}

void ReadProgressDisplay::Report(uint64_t bytesRead, uint64_t fileSize) {
  if (!panel_.show) return;
  if (!shown_ && Clock::now() - start_ < delay_) return;
  // A file that grew after it was opened reads past its size: it stays at 100%.
  int percent =
      fileSize == 0 ? 100 : static_cast<int>(std::min<uint64_t>(100, bytesRead * 100 / fileSize));
  if (percent == lastPercent_) return;
  if (!shown_) {
    before_ = panel_.text ? panel_.text() : std::string();
    shown_ = true;
  }
  lastPercent_ = percent;
  panel_.show(ReadingText(name_, percent));
}

}  // namespace sentrel::gui
