#include "support/records.h"

#include <sstream>

#include "app/text_pane.h"

namespace sentrel::test {

namespace {
std::string WithoutStamp(const std::string& line) { return line.size() > 20 ? line.substr(20) : line; }
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

}  // namespace sentrel::test
