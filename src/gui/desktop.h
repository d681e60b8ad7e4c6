#pragma once

namespace sentrel {

struct CommandLine;

// The desktop program: Qt application, main window and the message loop, on the parsed
// command line. Returns the exit code.
int RunDesktop(const CommandLine& commandLine);

}  // namespace sentrel
