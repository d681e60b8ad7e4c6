#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/shard.h"

namespace sentrel {

struct CommandLine {
  enum class Mode {
    Window, Headless, DumpLogs, RequestTimes, Log, Availability, Check, Help, Version };
  Mode mode = Mode::Window;
  std::string serverFile;
  std::string dataDir;
  std::string settingsPath;
  std::vector<int> webPorts{80, 8080, 8081};
  bool webPortsGiven = false;
  std::string webBind;  // empty: all interfaces
  bool noWeb = false;
  // --shard K/N: this Sentrel watches the servers that fall to K of N.
  Shard shard;
  // The log readers.
  std::string days;  // as typed
  std::string server;
  std::string monitor;
  bool errorsOnly = false;
  bool yes = false;  // --dump-logs 0 empties every log only with it
  bool strict = false;  // --check: warnings fail the check too
  bool csv = false;     // --availability: CSV instead of the table
};

// Parses argv. An option's value follows it ("--data-dir DIR") or is joined to it with
// "=" ("--data-dir=DIR"); a following argument that begins with "--" is the next option,
// so the value is missing. On a bad command line returns nothing and sets error to a
// message for the user (the program then exits with code 2).
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);
std::string UsageText();

}  // namespace sentrel
