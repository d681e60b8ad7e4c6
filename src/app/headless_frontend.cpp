#include "app/headless_frontend.h"

#include "model/text_pane.h"

namespace sentrel {

void HeadlessFrontend::Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  // A service's journal should see each line when it happens.
  std::fflush(out_);
}

void HeadlessFrontend::Mirror(TextPane& pane) {
  TextPane::Listener l;
  l.added = [this](const std::string& line) { Print(line); };
  pane.SetListener(std::move(l));
}

void HeadlessFrontend::StatusPanelChanged(int panel, const std::string& text) {
  if (panel != 1) return;
  if (text.size() >= 9 && text.compare(text.size() - 9, 9, " requests") == 0) return;
  Print(text);
}

void HeadlessFrontend::ShowPopupMessage(const std::string& message) { Print("Popup: " + message); }

void HeadlessFrontend::ShowNotice(const std::string& text) {
  std::string flat = text;
  for (size_t p; (p = flat.find("\r\n")) != std::string::npos;) flat.replace(p, 2, " / ");
  Print("Notice: " + flat);
}

bool HeadlessFrontend::AskYesNo(const std::string&) { return false; }

}  // namespace sentrel
