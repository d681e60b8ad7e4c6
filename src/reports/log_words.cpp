#include "reports/log_words.h"

namespace sentrel {

namespace {
inline bool IsSpace(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}
inline bool EndsWord(char c) { return static_cast<unsigned char>(c) <= 32 || c == ','; }
}  // namespace

void SplitLogWords(std::string_view line, std::vector<std::string>& words) {
  words.clear();
  // A NUL ends the line, as it ends the text the readers were always handed.
  if (auto nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
  size_t p = 0;
  const size_t n = line.size();
  while (p < n && IsSpace(line[p])) ++p;
  while (p < n) {
    std::string word;
    if (line[p] == '"') {
      ++p;
      while (p < n) {
        if (line[p] == '"') {
          if (p + 1 < n && line[p + 1] == '"') {
            word += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        word += line[p++];
      }
    } else {
      size_t b = p;
      while (p < n && !EndsWord(line[p])) ++p;
      word.assign(line.substr(b, p - b));
    }
    words.push_back(std::move(word));
    while (p < n && IsSpace(line[p])) ++p;
    if (p < n && line[p] == ',') {
      ++p;
      while (p < n && IsSpace(line[p])) ++p;
    }
  }
}

std::vector<std::string> SplitLogWords(std::string_view line) {
  std::vector<std::string> words;
  SplitLogWords(line, words);
  return words;
}

}  // namespace sentrel
