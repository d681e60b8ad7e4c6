#include "model/comma_text.h"

namespace sentrel {

namespace {
inline unsigned char U(char c) { return static_cast<unsigned char>(c); }
bool NeedsQuotes(const std::string& s) {
  for (char c : s)
    if (U(c) <= 32 || c == '"' || c == ',') return true;
  return false;
}
}  // namespace

std::string ToCommaText(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    const std::string& s = items[i];
    if (!NeedsQuotes(s)) {
      out += s;
      continue;
    }
    out += '"';
    for (char c : s) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

std::vector<std::string> FromCommaText(std::string_view text) {
  // A NUL ends the text, as it always has for this form.
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> items;
  size_t p = 0;
  const size_t n = text.size();
  auto skipBlanks = [&] {
    while (p < n && U(text[p]) >= 1 && U(text[p]) <= 32) ++p;
  };
  skipBlanks();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += text[p++];
      }
    } else {
      size_t b = p;
      while (p < n && U(text[p]) > 32 && text[p] != ',') ++p;
      item.assign(text.substr(b, p - b));
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (p < n && text[p] == ',') {
      ++p;
      skipBlanks();
    }
  }
  return items;
}

}  // namespace sentrel
