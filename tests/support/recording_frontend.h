#pragma once

#include <string>
#include <vector>

#include "app/frontend.h"

namespace sentrel::test {

// A front end that keeps what the core shows: popup lines and notices, in order.
class RecordingFrontend : public Frontend {
 public:
  void ShowPopupMessage(const std::string& message) override {
    popups.push_back(message);
    shown.push_back("popup:" + message);
  }
  void ShowNotice(const std::string& text) override {
    notices.push_back(text);
    shown.push_back("notice:" + text);
  }
  bool AskYesNo(const std::string&) override { return false; }

  std::vector<std::string> popups;
  std::vector<std::string> notices;
  std::vector<std::string> shown;
};

}  // namespace sentrel::test
