#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sentrel {

struct CommandLine {
  enum class Mode { Window, Headless, DumpLogs, RequestTimes, Log, Help, Version };
  Mode mode = Mode::Window;
  std::string serverFile;
  std::string dataDir;
  std::string settingsPath;
  std::vector<int> webPorts{80, 8080, 8081};
  bool webPortsGiven = false;
  bool noWeb = false;
  // The log readers.
  std::string days;  // as typed
  std::string server;
  std::string monitor;
  bool errorsOnly = false;
};

// Parses argv. On a bad command line returns nothing and sets error to a message for
// the user (the program then exits with code 2).
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);
std::string UsageText();

}  // namespace sentrel
