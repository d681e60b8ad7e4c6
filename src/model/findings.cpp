#include "model/findings.h"

#include <algorithm>

#include "platform/ini_file.h"

namespace sentrel {

void Findings::Add(const std::string& file, int line, Finding::Severity severity,
                   std::string text) {
  items_.push_back(Finding{file, line, severity, std::move(text)});
  if (severity == Finding::Severity::Error) ++errors_;
}

void Findings::Append(const Findings& other) {
  for (const Finding& f : other.items_) Add(f.file, f.line, f.severity, f.text);
}

std::vector<Finding> Findings::Grouped() const {
  // Files in the order they were first checked.
  std::vector<std::string> files;
  for (const Finding& f : items_)
    if (std::find(files.begin(), files.end(), f.file) == files.end()) files.push_back(f.file);
  auto fileRank = [&files](const std::string& file) {
    return std::find(files.begin(), files.end(), file) - files.begin();
  };
  std::vector<Finding> out = items_;
  // Stable: findings of one line keep the order they were made in.
  std::stable_sort(out.begin(), out.end(), [&](const Finding& a, const Finding& b) {
    if (a.severity != b.severity) return a.severity == Finding::Severity::Error;
    if (a.file != b.file) return fileRank(a.file) < fileRank(b.file);
    return a.line < b.line;
  });
  return out;
}

std::string FormatFinding(const Finding& f) {
  std::string out = f.file;
  if (f.line > 0) out += ":" + std::to_string(f.line);
  out += f.severity == Finding::Severity::Error ? ": error: " : ": warning: ";
  out += f.text;
  return out;
}

std::string CountText(size_t errors, size_t warnings) {
  if (errors == 0 && warnings == 0) return "no problems";
  auto count = [](size_t n, const char* word) {
    return (n == 0 ? std::string("no") : std::to_string(n)) + " " + word + (n == 1 ? "" : "s");
  };
  return count(errors, "error") + ", " + count(warnings, "warning");
}

std::vector<std::string> StartupFindingLines(const Findings& findings,
                                             const std::string& checkCommand, size_t limit) {
  std::vector<std::string> lines;
  const std::vector<Finding> grouped = findings.Grouped();
  for (size_t i = 0; i < grouped.size() && i < limit; ++i)
    lines.push_back(FormatFinding(grouped[i]));
  if (grouped.size() > limit)
    lines.push_back("... and " + std::to_string(grouped.size() - limit) + " more: run " +
                    checkCommand);
  return lines;
}

void AddIniTextFindings(const IniFile& ini, const std::string& file, Findings& findings) {
  if (!ini.IsIniText()) return;
  using Kind = IniFile::Irregularity::Kind;
  for (const auto& irregular : ini.Irregularities()) {
    switch (irregular.kind) {
      case Kind::UnclosedHeader:
        findings.Error(
            file, irregular.line,
            "header without its closing ']': " + irregular.text + " is no section; it is ignored" +
                (irregular.droppedEntries > 0
                     ? " with the " + std::to_string(irregular.droppedEntries) +
                           (irregular.droppedEntries == 1 ? " key" : " keys") + " below it"
                     : std::string()));
        break;
      case Kind::StrayLine:
        findings.Warning(
            file, irregular.line,
            "line ignored: it is no [section], key=value or ; comment: " + irregular.text);
        break;
      case Kind::EntryBeforeSections:
        findings.Warning(file, irregular.line,
                         "key=value before the first [section] is ignored: " + irregular.text);
        break;
    }
  }
}

namespace {

// Edit distance without regard to ASCII letter case.
size_t Distance(const std::string& a, const std::string& b) {
  const std::string x = ToLower(a), y = ToLower(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

}  // namespace

std::string ClosestName(const std::string& unknown, const std::vector<std::string>& known) {
  // Short names are too alike for two differences to mean a slip of the finger.
  const size_t allowed = unknown.size() > 5 ? 2 : 1;
  std::string best;
  size_t bestDistance = allowed + 1;
  for (const std::string& name : known) {
    const size_t d = Distance(unknown, name);
    if (d < bestDistance) {
      best = name;
      bestDistance = d;
    }
  }
  return best;
}

}  // namespace sentrel
