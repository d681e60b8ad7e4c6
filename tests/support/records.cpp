#include "support/records.h"

#include <sstream>

#include "model/text_pane.h"

namespace sentrel::test {

namespace {
std::string WithoutStamp(const std::string& line) {
  return line.size() > 20 ? line.substr(20) : line;
}
}  // namespace

std::vector<std::string> RecordLines(const std::string& fileText) {
  std::vector<std::string> out;
  std::istringstream in(fileText);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(WithoutStamp(line));
  }
  return out;
}

std::vector<std::string> RecordLines(const TextPane& pane) {
  std::vector<std::string> out;
  for (const auto& l : pane.Lines()) out.push_back(WithoutStamp(l));
  return out;
}

bool IsWithNumber(const std::string& text, const std::string& before, const std::string& after) {
  if (text.size() <= before.size() + after.size()) return false;
  if (text.compare(0, before.size(), before) != 0) return false;
  if (text.compare(text.size() - after.size(), after.size(), after) != 0) return false;
  std::string number = text.substr(before.size(), text.size() - before.size() - after.size());
  return number.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace sentrel::test
