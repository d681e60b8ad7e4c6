#include "app/errors_log.h"

#include <cstdio>

#include "model/last_activity.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel {

std::string RunTimeErrorLine(const std::string& message) {
  return FormatDateTime(Now()) + " RunTimeError " + message + " (Cause might be \"" +
         LastActivity + "\")";
}

void HandleRunTimeError(const std::string& message) {
  std::string line;
  try {
    line = RunTimeErrorLine(message);
    AppendToFile(DataPath(kErrorsLogName), line + "\r\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n(errors log not writable: %s)\n", line.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

}  // namespace sentrel
