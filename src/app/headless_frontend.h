#pragma once

#include <cstdio>

#include "model/frontend.h"

namespace sentrel {

class TextPane;

// The front end without windows: pane lines, popup messages and print notices go to
// standard output as they appear; questions are answered No.
class HeadlessFrontend : public Frontend {
 public:
  explicit HeadlessFrontend(FILE* out = stdout) : out_(out) {}
  // Writes each new line of the pane to the output.
  void Mirror(TextPane& pane);
  // The web server's panel: its start, stop and failure texts are worth a line; the
  // request count, which changes with every request, is not.
  void StatusPanelChanged(int panel, const std::string& text) override;
  void ShowPopupMessage(const std::string& message) override;
  void ShowNotice(const std::string& text) override;
  bool AskYesNo(const std::string& question) override;

 private:
  void Print(const std::string& line);
  FILE* out_;
};

}  // namespace sentrel
