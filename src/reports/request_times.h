#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reports/log_lines.h"

namespace sentrel {

class Monitor;

// One counted record of a monitor: a good one (its request time) or a lost one (drawn
// on the zero line).
struct RequestTimePoint {
  double time = 0;  // the record's time stamp
  int64_t ms = 0;   // the request time; 0 for a lost record
  bool good = false;
};

// Everything the request-time chart shows, worked out from the log file.
struct RequestTimes {
  std::string title;
  // In file order; the chart draws the good ones as the request-time line and the lost
  // ones as marks on the zero line.
  std::vector<RequestTimePoint> points;
  int64_t goodCount = 0;
  int64_t badCount = 0;
  int64_t sumMs = 0;
  // The top of the value axis: the largest request time drawn, never above 20000 ms.
  int64_t valueAxisMax = 0;
  // "Average: ... ms, Good: ...%, Lost: ...%", or empty when no good record was counted.
  std::string footer;
};

constexpr int64_t kRequestTimeAxisCap = 20000;

// "Sentrel Request Times: <server> (<typ> <port>, last <days as typed> days)".
std::string RequestTimesTitle(const Monitor& monitor, std::string_view daysAnswer);

// The footer line for these counters, or empty when there is no good record. Each number
// is rounded to a whole number, halves to the even one; the lost share is 100 minus the
// unrounded good share.
std::string RequestTimesFooter(int64_t goodCount, int64_t badCount, int64_t sumMs);

// Reads the monitor's records of the last days from its server's log file. daysAnswer is
// the operator's answer exactly as typed; it must be a whole number. Throws SentrelError
// for an answer that is not a whole number, a log file that cannot be read, and a counted
// line whose time stamp or port cannot be read; LastActivity then names that line
// ("Read " and the line), and after a complete read the last line of the file.
// progress, when given, hears about every block read.
RequestTimes ComputeRequestTimes(const Monitor& monitor, std::string_view daysAnswer,
                                 const ReadProgress& progress = {});
// The same over a given file and moment, for callers that resolved them already.
RequestTimes ComputeRequestTimes(const Monitor& monitor, std::string_view daysAnswer,
                                 const std::string& logPath, double now,
                                 const ReadProgress& progress = {});

}  // namespace sentrel
