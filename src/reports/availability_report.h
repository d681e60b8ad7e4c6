#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "reports/availability.h"

namespace sentrel {

class ServerList;

// The availability of a configuration's monitors worked out once, read-only: from each
// log's day summary where it still describes the log and reaches back far enough, and
// from the log itself for the rest. Nothing is written, so it can run beside a program
// that is monitoring.
class AvailabilityReader final : public AvailabilitySource {
 public:
  // Reads what the servers' logs say about the hours that end at nowMs.
  AvailabilityReader(const ServerList& servers, int64_t nowMs, int hours);
  Availability MonitorAvailability(const Monitor& monitor, int hours) override;
  // How many logs were read from their summaries alone, and how many (partly) from the log.
  int FromSummaries() const { return fromSummaries_; }
  int FromLogs() const { return fromLogs_; }

 private:
  std::unordered_map<std::string, std::unique_ptr<LogHistory>> logs_;
  int64_t nowMs_;
  int fromSummaries_ = 0;
  int fromLogs_ = 0;
};

// The report of the last days: a table (group, server, monitor, checks, availability,
// outages, downtime, longest outage, and where the data begins when that is later than
// the period) or the same as CSV, for every monitor in tree order.
std::string AvailabilityReport(ServerList& servers, AvailabilitySource& source, int64_t nowMs,
                               int days, bool csv);

}  // namespace sentrel
