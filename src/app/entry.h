#pragma once

#include <string>
#include <vector>

namespace sentrel {

struct CommandLine;

// Runs the window on the parsed command line and returns the exit code. The desktop
// front end provides it; the program entry hands it in, so this folder never reaches up.
using DesktopRunner = int (*)(const CommandLine& commandLine);

// Why no window can be shown: no display named in the environment, or the named local
// X11 or Wayland display does not answer. Empty when a window can be shown.
std::string DisplayProblem();
bool DisplayAvailable();

// The whole program behind main(): parses the command line and runs the chosen mode.
// Without a desktop runner, or without a display, the window mode runs headless.
// Returns the exit code.
int RunSentrel(const std::vector<std::string>& args, DesktopRunner desktop = nullptr);

}  // namespace sentrel
