#pragma once

#include <string>

namespace sentrel {

// The program-wide text naming the activity in progress; the errors log quotes it as
// the likely cause of an error. Starts as "unknown". While a task runs it holds that
// task's own text (see task.h), so a failing mail is not blamed on the status page that
// happened to run last.
extern std::string LastActivity;

}  // namespace sentrel
