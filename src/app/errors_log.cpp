#include "app/errors_log.h"

#include <cstdio>

#include "model/last_activity.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel {

namespace {
// What one line may hold of a message and of its cause. A server name of megabytes would
// otherwise write megabytes at every check.
constexpr size_t kMaxPart = 2000;
const char kCut[] = "... [cut]";

std::string Capped(const std::string& text) {
  if (text.size() <= kMaxPart) return text;
  return text.substr(0, kMaxPart - sizeof kCut + 1) + kCut;
}
}  // namespace

std::string RunTimeErrorLine(const std::string& message) {
  return FormatDateTime(Now()) + " RunTimeError " + Capped(message) + " (Cause might be \"" +
         Capped(LastActivity) + "\")";
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
