#pragma once

#include <string>

namespace sentrel {

// The program-wide text naming the most recent activity; the errors log quotes it as
// the likely cause of an error. Starts as "unknown".
extern std::string LastActivity;

}  // namespace sentrel
