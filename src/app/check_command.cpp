#include "app/check_command.h"

#include <algorithm>
#include <cstdio>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/program.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "platform/settings_store.h"

namespace sentrel {

namespace {

void Print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
}

std::string FileSummary(const Findings& findings, const std::string& file) {
  size_t errors = 0, warnings = 0;
  for (const Finding& f : findings.Items()) {
    if (f.file != file) continue;
    (f.severity == Finding::Severity::Error ? errors : warnings)++;
  }
  return file + ": " + CountText(errors, warnings);
}

}  // namespace

int RunCheckCommand(const CommandLine& cl) {
  SetDataDir(ResolveDataDir(cl.dataDir));
  std::string serverFile = cl.serverFile;
  if (!serverFile.empty()) {
    if (!FileExists(serverFile)) {
      std::fprintf(stderr, "sentrel: server file not found: %s\n", serverFile.c_str());
      return 2;
    }
  } else {
    SettingsStore settings(cl.settingsPath.empty() ? DefaultSettingsPath() : cl.settingsPath);
    if (cl.settingsPath.empty())
      settings.LoadOrAdopt(OldSettingsPath());
    else
      settings.Load();
    serverFile = settings.ReadText(kSettingsSection, "config", "");
  }
  const std::string eventsFile = DataPath(kEventsFileName);
  const bool haveEvents = FileExists(eventsFile);
  // The file the settings name may be gone: the program then starts empty.
  const bool haveServers = !serverFile.empty() && FileExists(serverFile);

  Findings findings = CheckConfiguration(haveServers ? serverFile : "", eventsFile);
  if (!haveServers && !serverFile.empty())
    findings.Error(serverFile, 0,
                   "no such file (the settings name it as the last one used): Sentrel starts "
                   "with no server");
  // In the order of the files and their lines, as a compiler lists them.
  std::vector<Finding> inOrder = findings.Items();
  std::stable_sort(inOrder.begin(), inOrder.end(), [&](const Finding& a, const Finding& b) {
    if (a.file != b.file) return a.file == serverFile;
    return a.line < b.line;
  });
  for (const Finding& f : inOrder) Print(FormatFinding(f));

  if (serverFile.empty())
    Print("no server file: Sentrel watches its default configuration (one ping of localhost)");
  else
    Print(FileSummary(findings, serverFile));
  if (haveEvents)
    Print(FileSummary(findings, eventsFile));
  else
    Print(eventsFile + ": no such file: Sentrel uses its built-in event Default (a popup)");

  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("sentrel: cannot write the output\n", stderr);
    return 1;
  }
  if (findings.ErrorCount() > 0) return 1;
  if (cl.strict && findings.WarningCount() > 0) return 1;
  return 0;
}

}  // namespace sentrel
