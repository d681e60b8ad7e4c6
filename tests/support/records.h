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

// Whether text is before + a decimal number + after (for measured milliseconds).
bool IsWithNumber(const std::string& text, const std::string& before, const std::string& after);

}  // namespace sentrel::test
