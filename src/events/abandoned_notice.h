#pragma once

#include <string>
#include <utility>

#include "platform/event_loop.h"

namespace sentrel {

// Says in the errors log that an action's work ended before it was done (the program
// closed, its task was cancelled where it waited), since no line of its success or
// failure will follow. Finished() before the end keeps it quiet.
class AbandonedNotice {
 public:
  explicit AbandonedNotice(std::string line) : line_(std::move(line)) {}
  ~AbandonedNotice() {
    if (!finished_) CurrentLoop().ReportError(line_);
  }
  AbandonedNotice(const AbandonedNotice&) = delete;
  AbandonedNotice& operator=(const AbandonedNotice&) = delete;
  void Finished() { finished_ = true; }

 private:
  std::string line_;
  bool finished_ = false;
};

}  // namespace sentrel
