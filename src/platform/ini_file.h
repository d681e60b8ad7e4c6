#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sentrel {

// INI text with the rules the server file, the events file and the settings rely on:
// section and key names match without regard to case (the first of equal names counts),
// values are trimmed and lose one pair of enclosing double or single quotes, integers
// may be "0x" hex, section names come back in file order. The file is built whole in
// memory and written in one atomic replace, lines ending in CR LF.
//
// Parsing also notes what is not such text: a header without its "]" (its section and
// keys are dropped, never taken for a section), lines that are neither a header, a
// key=value entry nor a comment, entries before the first section, and bytes that no
// text holds. IsIniText tells from that whether the text is the kind of file the program
// writes; the loaders refuse anything else.
class IniFile {
 public:
  IniFile() = default;
  IniFile(IniFile&&) = default;
  IniFile& operator=(IniFile&&) = default;
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // Something parsing met that is not a section, an entry or a comment. Line numbers
  // count from 1.
  struct Irregularity {
    enum class Kind {
      UnclosedHeader,       // "[name" without "]": the section and its keys are dropped
      StrayLine,            // no header, no "=", no comment (or "=" with nothing before)
      EntryBeforeSections,  // key=value before the first section: read by nothing
    };
    Kind kind;
    int line = 0;
    std::string text;        // the trimmed line, cut to a readable length
    int droppedEntries = 0;  // UnclosedHeader: the key=value lines that went with it
  };

  static IniFile Parse(std::string_view text);
  // A missing or unreadable file gives an empty IniFile.
  static IniFile Load(const std::string& path);

  std::string Serialize() const;
  // Atomic replace (temporary file, fsync, rename); throws SystemError on failure.
  void Save(const std::string& path) const;

  // Whether the text is INI text as the program writes it: no NUL and no control byte
  // other than tab, CR and LF, and nearly every non-empty line a section header, a
  // key=value entry or a comment (at most two other lines, or one in ten).
  bool IsIniText() const;
  // Why IsIniText is false, in a few words ("binary data", "UTF-16 text", "12 of 20
  // lines are not INI"); empty when it is true.
  std::string NotIniReason() const;
  // The line of the first byte that no text holds; 0 when there is none.
  int BinaryLine() const { return binaryLine_; }
  // In file order. Only the first kMaxIrregularities are kept; the counts cover all.
  static constexpr size_t kMaxIrregularities = 10000;
  const std::vector<Irregularity>& Irregularities() const { return irregularities_; }
  size_t UnclosedHeaders() const { return unclosedHeaders_; }
  // Lines with anything but blanks on them, comments included.
  size_t NonEmptyLines() const { return nonEmptyLines_; }

  std::vector<std::string> SectionNames() const;
  size_t SectionCount() const { return sections_.size(); }
  std::string_view SectionName(size_t index) const { return sections_[index].name; }
  bool HasSection(std::string_view section) const { return Find(section) >= 0; }

  // The value as stored: trimmed, enclosing quotes kept. Nothing when the key is absent.
  std::optional<std::string> ReadRaw(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // Decimal or "0x" hex; a value that is not a number gives def.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // Read as an integer: non-zero is true; missing or not a number gives def.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Sets key=value in the section, creating the section at the end when needed and
  // appending the key when it is new. Line breaks in a value become blanks: a value
  // must never start a new line of the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int64_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteInteger(section, key, value ? 1 : 0);
  }
  void EraseSection(std::string_view section);

  // Index-based access for fast loaders and writers.
  std::optional<std::string> ReadRawAt(size_t index, std::string_view key) const;
  // The line of a section's header, and each entry of a section in file order with its
  // line (line numbers are 0 for what was written after parsing).
  int SectionLine(size_t index) const { return sections_[index].line; }
  size_t EntryCount(size_t index) const { return sections_[index].entries.size(); }
  std::string_view EntryKey(size_t index, size_t entry) const {
    return sections_[index].entries[entry].key;
  }
  std::string_view EntryValue(size_t index, size_t entry) const {
    return sections_[index].entries[entry].value;
  }
  int EntryLine(size_t index, size_t entry) const { return sections_[index].entries[entry].line; }
  // Appends a new section without looking for an existing one of that name, and keys
  // to it without looking for existing keys: for writers that build a whole file.
  size_t AppendSection(std::string_view section);
  void AppendEntry(size_t index, std::string_view key, std::string_view value);

 private:
  // Names and values are views: into the parsed text, or into strings this file keeps
  // for what was written later. A large file then loads without one allocation per key.
  struct Entry {
    std::string_view key;
    std::string_view value;  // trimmed, quotes kept
    int line = 0;
  };
  struct Section {
    std::string_view name;
    std::vector<Entry> entries;
    int line = 0;
  };
  struct FoldHash {
    size_t operator()(std::string_view s) const;
  };
  struct FoldEqual {
    bool operator()(std::string_view a, std::string_view b) const;
  };

  int Find(std::string_view section) const;
  void Reindex();
  std::string_view Keep(std::string_view text);
  static const Entry* FindEntry(const Section& s, std::string_view key);

  std::unique_ptr<std::string> text_;  // the parsed text; its address never changes
  std::deque<std::string> kept_;       // names and values written after parsing
  std::vector<Section> sections_;
  std::unordered_map<std::string_view, size_t, FoldHash, FoldEqual> index_;  // first section
  std::vector<Irregularity> irregularities_;
  size_t unclosedHeaders_ = 0;
  size_t otherLines_ = 0;  // non-empty lines that are no header, entry or comment
  size_t nonEmptyLines_ = 0;
  int binaryLine_ = 0;
  bool utf16_ = false;
};

// Shared helpers of the INI rules.
std::string ToLower(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view s);
// Removes one pair of enclosing double or single quotes.
std::string_view Unquote(std::string_view s);
// Decimal with optional sign, or "0x"/"0X" hex when longer than two characters.
std::optional<int32_t> ParseIniInteger(std::string_view s);

// A text value as it has to be written so that reading gives it back whole. Reading trims
// blanks and removes one pair of enclosing quotes, so a value that starts or ends with a
// blank, or is itself enclosed in a pair of quotes, is written inside one more pair of
// double quotes; every other value is written as it is.
std::string QuoteIniValue(std::string_view value);
// Whether a section name reads back as written: the reader takes the name up to the first
// "]" and trims it, and a control character (a line break above all) would not stay in
// one line. Blanks inside the name are fine.
bool SectionNameSurvives(std::string_view name);

}  // namespace sentrel
