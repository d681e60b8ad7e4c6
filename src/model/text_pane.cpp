#include "model/text_pane.h"

namespace sentrel {

namespace {
uint64_t lastVersion = 0;
}  // namespace

void TextPane::AddLine(const std::string& line) {
  while (lines_.size() > kKeepLines) {
    lines_.pop_front();
    if (listener_.firstRemoved) listener_.firstRemoved();
  }
  lines_.push_back(line);
  version_ = ++lastVersion;
  if (listener_.added) listener_.added(line);
}

void TextPane::Clear() {
  lines_.clear();
  version_ = ++lastVersion;
  if (listener_.cleared) listener_.cleared();
}

}  // namespace sentrel
