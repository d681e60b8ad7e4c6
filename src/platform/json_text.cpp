#include "platform/json_text.h"

#include <array>
#include <cstdint>

namespace sentrel {

namespace {

void AppendCodePoint(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// Windows-1252 at 0x80..0x9f; the five unassigned bytes become U+FFFD. Above 0x9f the
// code page is Latin-1, whose bytes are their own code points.
constexpr std::array<uint16_t, 32> kCp1252 = {
    0x20ac, 0xfffd, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xfffd, 0x017d, 0xfffd, 0xfffd, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0xfffd, 0x017e, 0x0178};

// The length of the valid UTF-8 sequence at text[i] (never an overlong form, a
// surrogate or a code point past U+10FFFF), or 0.
size_t ValidSequence(std::string_view text, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const size_t left = text.size() - i;
  const unsigned char c = b(0);
  const auto cont = [&](size_t k) { return k < left && (b(k) & 0xc0) == 0x80; };
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) return cont(1) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xe0 && b(1) < 0xa0) return 0;   // overlong
    if (c == 0xed && b(1) >= 0xa0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xf0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xf4 && b(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

void AppendValidUtf8(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Plain ASCII runs are the common case: copy them whole.
    size_t run = i;
    while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) ++run;
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;
    const size_t n = ValidSequence(text, i);
    if (n > 0) {
      out.append(text.data() + i, n);
      i += n;
      continue;
    }
    const auto c = static_cast<unsigned char>(text[i++]);
    AppendCodePoint(out, c < 0xa0 ? kCp1252[c - 0x80] : c);
  }
}

void AppendJsonString(std::string& out, std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  AppendValidUtf8(valid, text);
  out += '"';
  for (char ch : valid) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace sentrel
