#pragma once

#include <cstdint>
#include <string>

namespace sentrel {

class ServerList;
class AvailabilitySource;

// What the program as a whole reports beside its monitors.
struct ProgramCounters {
  uint64_t checksDone = 0;        // check outcomes handled since start
  uint64_t recordsWritten = 0;    // records appended to the servers' log files
  uint64_t httpChecksQueued = 0;  // HTTP checks waiting for a free connection
  double startTime = 0;           // date-time of the program's start
};

// What the web server counts about itself.
struct WebCounters {
  uint64_t requests = 0;     // every answered request, whatever its path
  uint64_t disconnects = 0;  // clients that went away before their reply was out
};

// The monitor's colour as a number: 0 not checked ("" or "?"), 1 green, 2 yellow, 3 red.
int ColourCode(const std::string& status);
// A local date-time as seconds since 1970 (UTC); 0 stays 0 ("never").
double UnixSecondsFromDateTime(double dateTime);

// The monitors and the program's counters in the Prometheus text exposition format,
// version 0.0.4: one family per fact, each with HELP and TYPE, label values valid UTF-8
// and escaped.
// With availability, each monitor also gets its figures over 24 hours, 7 and 30 days
// (window="24h", "7d", "30d"), left out for a period without checks or while its log is
// still being read.
std::string BuildStatusMetrics(ServerList& servers, const ProgramCounters& program,
                               const WebCounters& web, AvailabilitySource* availability = nullptr);
// The same facts as the page, as one JSON document: groups in tree order with their
// servers and monitors, the counts by colour, and the History newest first.
// With availability, each monitor carries "availability" with the three periods.
std::string BuildStatusJson(ServerList& servers, const ProgramCounters& program,
                            const WebCounters& web, AvailabilitySource* availability = nullptr);

// The Content-Type of the metrics.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace sentrel
