#pragma once

namespace sentrel {

struct CommandLine;

// The log readers on the command line: --dump-logs, --request-times, --log and
// --availability. They load
// the configuration read-only (the server file given, else the one the settings name),
// save nothing, write no settings and start nothing; errors go to standard error only,
// never to the errors log of a Sentrel that may be running. Returns the exit code: 0 done,
// 1 the command failed, 2 the command line names a server file, server or monitor that
// is not there, a file that holds no server, or a number of days that is not a whole
// number of 0 or more (or 0 for a dump without --yes).
int RunLogReaderCommand(const CommandLine& cl);

}  // namespace sentrel
