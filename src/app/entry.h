#pragma once

#include <string>
#include <vector>

namespace sentrel {

// The whole program behind main(): parses the command line and runs the chosen mode.
// Returns the exit code.
int RunSentrel(const std::vector<std::string>& args);

}  // namespace sentrel
