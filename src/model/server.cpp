#include "model/server.h"

#include "model/server_list.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/paths.h"

namespace sentrel {

double Server::MaintenanceEnd(double now) const {
  if (maintenance.empty() || now < maintenanceEndedUntil) return 0;
  return MaintenanceUntil(maintenance, now);
}

std::string Server::LogPath() const {
  return DataPath(LogFileName());
}

void Server::AppendLog(const std::string& text) const {
  double now = Now();
  // A stamp of exactly midnight would print as the date alone; two seconds later keeps
  // the time in every line.
  if (TimeOfDayMs(now) == 0) now += 2.0 / kSecondsPerDay;
  std::string line = FormatDateTime(now);
  line += ' ';
  line += text;
  line += "\r\n";
  const std::string path = LogPath();
  const uint64_t end = AppendToFile(path, line);
  if (owner && owner->logObserver) owner->logObserver->LineAppended(path, line, end);
}

}  // namespace sentrel
