#pragma once

#include <string>

namespace sentrel {

// The run-time error handler: one line per error in "Sentrel errors.log" in the data
// directory: the date-time, " RunTimeError ", the message, and the last activity as the
// likely cause. When the errors log itself cannot be written, the line goes to standard
// error instead; the handler never throws.
void HandleRunTimeError(const std::string& message);
// The line the handler writes (without CR LF), for the given message.
std::string RunTimeErrorLine(const std::string& message);

constexpr const char* kErrorsLogName = "Sentrel errors.log";

}  // namespace sentrel
