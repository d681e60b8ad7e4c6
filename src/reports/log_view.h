#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sentrel {

class TServer;

// The two views of a server's log file: the whole file, or the lines that are neither a
// plain success nor a plain loss (the state changes and the ping messages that name an
// address). Both read the file as it is at the moment of the call and never change it.

// Whether the errors-only view shows this line: at least six words and word 5 neither
// "OK" nor "LOST" (compared exactly).
bool IsErrorsOnlyLine(std::string_view line);

// Hands every line of the log file (or only the errors-only lines) to sink, in file
// order, without its line end. Throws SystemError when the file does not exist or cannot
// be read; the sink has then seen nothing only when opening failed.
void ReadLogLines(const std::string& path, bool errorsOnly,
                  const std::function<void(std::string_view)>& sink);

// What a log window shows: its caption and its lines.
struct LogView {
  std::string caption;
  std::vector<std::string> lines;
};

// "Sentrel Logfile: " + name, with " (errors only)" for the errors-only view.
std::string LogViewCaption(const TServer& server, bool errorsOnly);
// Reads the server's log file in the data directory into a view; throws as ReadLogLines.
LogView ViewServerLog(const TServer& server, bool errorsOnly);

}  // namespace sentrel
