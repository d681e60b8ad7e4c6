#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sentrel {

class IniFile;

// What a check of a configuration file found: something the program will not do as the
// file says (an error), or something that works but is likely not meant (a warning).
struct Finding {
  enum class Severity { Error, Warning };
  std::string file;
  int line = 0;  // 0: the file as a whole
  Severity severity = Severity::Error;
  std::string text;
};

// The findings of one check, in the order they were made. The same list feeds the
// --check command, the loaders' messages and the lines shown at start-up.
class Findings {
 public:
  void Error(const std::string& file, int line, std::string text) {
    Add(file, line, Finding::Severity::Error, std::move(text));
  }
  void Warning(const std::string& file, int line, std::string text) {
    Add(file, line, Finding::Severity::Warning, std::move(text));
  }
  void Add(const std::string& file, int line, Finding::Severity severity, std::string text);
  void Append(const Findings& other);

  const std::vector<Finding>& Items() const { return items_; }
  bool Empty() const { return items_.empty(); }
  size_t Count() const { return items_.size(); }
  size_t ErrorCount() const { return errors_; }
  size_t WarningCount() const { return items_.size() - errors_; }
  // Errors first, then warnings, each group in file and line order.
  std::vector<Finding> Grouped() const;

 private:
  std::vector<Finding> items_;
  size_t errors_ = 0;
};

// "FILE:LINE: error: text" ("FILE: error: text" for the file as a whole).
std::string FormatFinding(const Finding& finding);
// "3 errors, 1 warning", "no errors, 2 warnings", "no problems".
std::string CountText(size_t errors, size_t warnings);

// The lines start-up shows for the findings: grouped (errors first), at most `limit`,
// then "... and N more: run sentrel --check FILE" for the rest.
std::vector<std::string> StartupFindingLines(const Findings& findings,
                                             const std::string& checkCommand, size_t limit = 20);

// What the INI reader met in the text that is not a section, an entry or a comment:
// an error for a header without "]" (its section is dropped), a warning for lines that
// are read by nothing. Nothing for a text that is not INI text at all: the caller says
// that once instead.
void AddIniTextFindings(const IniFile& ini, const std::string& file, Findings& findings);

// The known name closest to an unknown one, for "did you mean": equal but for case,
// one is the other with a letter more or less, or at most two letters apart (only for
// names of four letters or more). Empty when none is close.
std::string ClosestName(const std::string& unknown, const std::vector<std::string>& known);

}  // namespace sentrel
