#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/findings.h"

namespace sentrel {

// The checks of the two files an operator writes by hand: they read a file as the
// program reads it and say what the program will not do as the file says (errors) and
// what works but is likely not meant (warnings). The --check command prints them; the
// program shows them when it loads the files.

// The server file. eventNames: the events a monitor may name, from the events file;
// nothing when there is no events file (names are then not checked).
void CheckServerFile(const std::string& path, const std::vector<std::string>* eventNames,
                     Findings& findings);

// The events file, which must exist. Returns the names of its events when it reads as an
// events file.
std::optional<std::vector<std::string>> CheckEventsFile(const std::string& path,
                                                        Findings& findings);

// Both files as the program would load them: the events file when it exists, then the
// server file (when one is named) against its events.
Findings CheckConfiguration(const std::string& serverFile, const std::string& eventsFile);

}  // namespace sentrel
