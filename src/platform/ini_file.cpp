#include "platform/ini_file.h"

#include <cctype>
#include <climits>

#include "platform/file_util.h"

namespace sentrel {

namespace {
// Names are compared in ASCII case; the C library's locale-aware tolower costs a call
// per character, which dominates loading a large file.
inline char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
}  // namespace

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldCase(c);
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
    return s.substr(1, s.size() - 2);
  return s;
}

std::optional<int32_t> ParseIniInteger(std::string_view s) {
  if (s.empty()) return std::nullopt;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    long long v = 0;
    for (size_t i = 2; i < s.size(); ++i) {
      int d;
      char c = s[i];
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return std::nullopt;
      v = v * 16 + d;
      if (v > 0xFFFFFFFFLL) return std::nullopt;
    }
    // Hex texts name the 32 bits: 0xFFFFFFFF is -1.
    return static_cast<int32_t>(static_cast<uint32_t>(v));
  }
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i >= s.size()) return std::nullopt;
  long long v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (neg) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::string QuoteIniValue(std::string_view value) {
  const bool blankAtEnd = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  if (!blankAtEnd && Unquote(value).size() == value.size()) return std::string(value);
  std::string out;
  out.reserve(value.size() + 2);
  out += '"';
  out += value;
  out += '"';
  return out;
}

bool SectionNameSurvives(std::string_view name) {
  if (Trim(name).size() != name.size()) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ']' || u < 32 || u == 127) return false;
  }
  return true;
}

size_t IniFile::FoldHash::operator()(std::string_view s) const {
  // FNV-1a over the case-folded bytes.
  size_t h = 1469598103934665603ULL;
  for (char c : s) {
    h ^= static_cast<unsigned char>(FoldCase(c));
    h *= 1099511628211ULL;
  }
  return h;
}

bool IniFile::FoldEqual::operator()(std::string_view a, std::string_view b) const {
  return EqualsIgnoreCase(a, b);
}

std::string_view IniFile::Keep(std::string_view text) {
  std::string clean(text);
  for (char& c : clean)
    if (c == '\r' || c == '\n') c = ' ';
  kept_.push_back(std::move(clean));
  return kept_.back();
}

namespace {
constexpr size_t kIrregularityText = 80;

// Bytes no text file holds: control characters other than tab, CR and LF.
inline bool IsBinaryByte(unsigned char c) {
  return (c < 32 && c != '\t' && c != '\r' && c != '\n') || c == 127;
}
}  // namespace

IniFile IniFile::Parse(std::string_view source) {
  IniFile ini;
  ini.text_ = std::make_unique<std::string>(source);
  std::string_view text = *ini.text_;
  Section* current = nullptr;
  // The unclosed header whose keys are being dropped, as an index into irregularities_.
  size_t dropping = SIZE_MAX;
  size_t pos = 0;
  int lineNumber = 0;
  if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") ini.utf16_ = true;
  // A file saved by an editor that marks UTF-8 would otherwise hide its first section
  // behind the mark, and the next save would drop that section.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
  auto note = [&ini](Irregularity::Kind kind, int line, std::string_view what) {
    if (ini.irregularities_.size() >= kMaxIrregularities) return false;
    ini.irregularities_.push_back(
        Irregularity{kind, line, std::string(what.substr(0, kIrregularityText)), 0});
    return true;
  };
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? text.npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineNumber;
    if (ini.binaryLine_ == 0) {
      for (size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        // A DOS end-of-file mark closing the file is no reason to refuse it.
        if (IsBinaryByte(c) && !(c == 0x1A && pos >= text.size() && i + 1 == line.size())) {
          ini.binaryLine_ = lineNumber;
          break;
        }
      }
    }
    line = Trim(line);
    if (line.empty()) continue;
    ++ini.nonEmptyLines_;
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) {
        // Taken for a section, "[abc" would become one (an event, a server) that nobody
        // wrote; its section and keys are dropped instead, and said to be.
        ++ini.unclosedHeaders_;
        ++ini.otherLines_;
        current = nullptr;
        dropping = note(Irregularity::Kind::UnclosedHeader, lineNumber, line)
                       ? ini.irregularities_.size() - 1
                       : SIZE_MAX;
        continue;
      }
      std::string_view name = Trim(line.substr(1, close - 1));
      ini.sections_.push_back(Section{name, {}, lineNumber});
      current = &ini.sections_.back();
      dropping = SIZE_MAX;
      continue;
    }
    size_t eq = line.find('=');
    std::string_view key =
        eq == std::string_view::npos ? std::string_view() : Trim(line.substr(0, eq));
    if (key.empty()) {
      // "#" lines are no comments to the reader, but they are meant as ones.
      if (line[0] != '#') {
        ++ini.otherLines_;
        note(Irregularity::Kind::StrayLine, lineNumber, line);
      }
      continue;
    }
    if (current) {
      current->entries.push_back(Entry{key, Trim(line.substr(eq + 1)), lineNumber});
    } else if (dropping != SIZE_MAX) {
      ++ini.irregularities_[dropping].droppedEntries;
    } else {
      note(Irregularity::Kind::EntryBeforeSections, lineNumber, line);
    }
  }
  ini.Reindex();
  return ini;
}

bool IniFile::IsIniText() const {
  if (binaryLine_ != 0 || utf16_) return false;
  return otherLines_ <= 2 || otherLines_ * 10 <= nonEmptyLines_;
}

std::string IniFile::NotIniReason() const {
  if (utf16_) return "UTF-16 text (save it as UTF-8 or plain ASCII)";
  if (binaryLine_ != 0)
    return "binary data (a byte that no text holds, on line " + std::to_string(binaryLine_) + ")";
  if (IsIniText()) return "";
  return std::to_string(otherLines_) + " of " + std::to_string(nonEmptyLines_) +
         " lines are no [section], key=value or ; comment";
}

IniFile IniFile::Load(const std::string& path) {
  auto text = ReadWholeFile(path);
  if (!text) return IniFile();
  return Parse(*text);
}

void IniFile::Reindex() {
  index_.clear();
  index_.reserve(sections_.size());
  for (size_t i = 0; i < sections_.size(); ++i) index_.emplace(sections_[i].name, i);
}

std::string IniFile::Serialize() const {
  size_t size = 0;
  for (const auto& s : sections_) {
    size += s.name.size() + 6;
    for (const auto& e : s.entries) size += e.key.size() + e.value.size() + 3;
  }
  std::string out;
  out.reserve(size);
  bool first = true;
  for (const auto& s : sections_) {
    if (!first) out += "\r\n";
    first = false;
    out += '[';
    out += s.name;
    out += "]\r\n";
    for (const auto& e : s.entries) {
      out += e.key;
      out += '=';
      out += e.value;
      out += "\r\n";
    }
  }
  return out;
}

void IniFile::Save(const std::string& path) const { WriteFileAtomic(path, Serialize()); }

std::vector<std::string> IniFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const auto& s : sections_) names.emplace_back(s.name);
  return names;
}

int IniFile::Find(std::string_view section) const {
  auto it = index_.find(section);
  return it == index_.end() ? -1 : static_cast<int>(it->second);
}

const IniFile::Entry* IniFile::FindEntry(const Section& s, std::string_view key) {
  for (const auto& e : s.entries)
    if (EqualsIgnoreCase(e.key, key)) return &e;
  return nullptr;
}

std::optional<std::string> IniFile::ReadRawAt(size_t index, std::string_view key) const {
  if (index >= sections_.size()) return std::nullopt;
  const Entry* e = FindEntry(sections_[index], key);
  if (!e) return std::nullopt;
  return std::string(e->value);
}

std::optional<std::string> IniFile::ReadRaw(std::string_view section,
                                            std::string_view key) const {
  int i = Find(section);
  if (i < 0) return std::nullopt;
  return ReadRawAt(static_cast<size_t>(i), key);
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& def) const {
  auto raw = ReadRaw(section, key);
  if (!raw) return def;
  return std::string(Unquote(*raw));
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t def) const {
  auto raw = ReadRaw(section, key);
  if (!raw) return def;
  auto v = ParseIniInteger(Trim(Unquote(*raw)));
  return v ? *v : def;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  auto raw = ReadRaw(section, key);
  if (!raw) return def;
  auto v = ParseIniInteger(Trim(Unquote(*raw)));
  return v ? *v != 0 : def;
}

void IniFile::WriteString(std::string_view section, std::string_view key,
                          std::string_view value) {
  int i = Find(section);
  if (i < 0) i = static_cast<int>(AppendSection(section));
  Section& s = sections_[static_cast<size_t>(i)];
  for (auto& e : s.entries) {
    if (EqualsIgnoreCase(e.key, key)) {
      e.value = Keep(value);
      return;
    }
  }
  s.entries.push_back(Entry{Keep(key), Keep(value), 0});
}

size_t IniFile::AppendSection(std::string_view section) {
  sections_.push_back(Section{Keep(section), {}, 0});
  index_.emplace(sections_.back().name, sections_.size() - 1);
  return sections_.size() - 1;
}

void IniFile::AppendEntry(size_t index, std::string_view key, std::string_view value) {
  sections_[index].entries.push_back(Entry{Keep(key), Keep(value), 0});
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::EraseSection(std::string_view section) {
  std::erase_if(sections_, [&](const Section& s) { return EqualsIgnoreCase(s.name, section); });
  Reindex();
}

}  // namespace sentrel
