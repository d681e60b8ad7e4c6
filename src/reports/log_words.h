#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

// Splits a log line into words the way every log reader does: blanks and control
// characters separate words, a comma separates words too (",," gives an empty word), a
// word in double quotes may hold blanks ("" inside stands for one quote).
void SplitLogWords(std::string_view line, std::vector<std::string>& words);
std::vector<std::string> SplitLogWords(std::string_view line);

}  // namespace sentrel
