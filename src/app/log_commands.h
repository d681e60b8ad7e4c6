#pragma once

#include <string_view>

namespace sentrel {

struct CommandLine;
class Program;

// "&Dump logs" inside the program: dumps every server's log, showing "Dumping Logile "
// and the log file of the server at work in status panel 0, which keeps the last text.
// Errors end the command and reach the caller (the loop's error handler).
void ShortenLogs(Program& program, std::string_view daysAnswer);

// The log readers on the command line: --dump-logs, --request-times and --log. They load
// the configuration read-only (the server file given, else the one the settings name),
// save nothing, write no settings and start nothing; errors go to standard error only,
// never to the errors log of a Sentrel that may be running. Returns the exit code: 0 done,
// 1 the command failed, 2 the command line names a server file, server or monitor that
// is not there, a file that holds no server, or a number of days a dump refuses.
int RunLogReaderCommand(const CommandLine& cl);

}  // namespace sentrel
