#pragma once

namespace sentrel {

struct CommandLine;

// --check: reads the server file (the one given, else the one the settings name) and the
// events file of the data directory as the program would, and prints one line per
// finding ("FILE:LINE: error|warning: text") and then one summary line per file. Writes
// nothing. Returns 0 without errors (and, with --strict, without warnings), 1 otherwise,
// 2 when the server file given does not exist.
int RunCheckCommand(const CommandLine& cl);

}  // namespace sentrel
