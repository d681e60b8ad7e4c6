#pragma once

#include <string>
#include <vector>

namespace sentrel {
class TextPane;
}

namespace sentrel::test {

// The lines of a log file or a pane without their time stamp ("yyyy-mm-dd hh:nn:ss ").
std::vector<std::string> RecordLines(const std::string& fileText);
std::vector<std::string> RecordLines(const TextPane& pane);

}  // namespace sentrel::test
