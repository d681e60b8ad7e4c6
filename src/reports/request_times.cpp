#include "reports/request_times.h"

#include "model/last_activity.h"
#include "model/monitor.h"
#include "model/server.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/ini_file.h"
#include "reports/log_lines.h"

namespace sentrel {

namespace {

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
inline char UpperAZ(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualUpperAZ(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (UpperAZ(word[i]) != upper[i]) return false;
  return true;
}

// num / den rounded to a whole number, halves to the even one (num >= 0, den > 0). Done
// on the exact fraction, so 12.5 is a half and never 12.4999... of a binary division.
int64_t RoundHalfEven(int64_t num, int64_t den) {
  int64_t q = num / den;
  int64_t twiceRest = 2 * (num % den);
  if (twiceRest > den || (twiceRest == den && (q & 1) != 0)) ++q;
  return q;
}

// Word 4 as the program reads a whole number. Plain short digit runs, the only form the
// writers produce, skip the general parser.
int32_t PortWord(std::string_view w) {
  if (w.size() <= 9) {
    int32_t v = 0;
    size_t i = 0;
    for (; i < w.size() && IsDigit(w[i]); ++i) v = v * 10 + (w[i] - '0');
    if (i == w.size()) return v;
  }
  auto v = ParseIniInteger(w);
  if (!v) throw SentrelError("'" + std::string(w) + "' is not a valid integer value");
  return *v;
}

}  // namespace

std::string RequestTimesTitle(const Monitor& monitor, std::string_view daysAnswer) {
  std::string title = "Sentrel Request Times: ";
  if (monitor.server) title += monitor.server->name;
  title += " (" + monitor.typ + " " + std::to_string(monitor.port) + ", last ";
  title += daysAnswer;
  title += " days)";
  return title;
}

std::string RequestTimesFooter(int64_t goodCount, int64_t badCount, int64_t sumMs) {
  if (goodCount <= 0) return "";
  const int64_t total = goodCount + badCount;
  return "Average: " + std::to_string(RoundHalfEven(sumMs, goodCount)) +
         " ms, Good: " + std::to_string(RoundHalfEven(100 * goodCount, total)) +
         "%, Lost: " + std::to_string(RoundHalfEven(100 * badCount, total)) + "%";
}

RequestTimes ComputeRequestTimes(const Monitor& monitor, std::string_view daysAnswer,
                                 const ReadProgress& progress) {
  if (!monitor.server) throw SentrelError("monitor without a server");
  return ComputeRequestTimes(monitor, daysAnswer, monitor.server->LogPath(), Now(), progress);
}

RequestTimes ComputeRequestTimes(const Monitor& monitor, std::string_view daysAnswer,
                                 const std::string& logPath, double now,
                                 const ReadProgress& progress) {
  const int32_t days = ParseDaysAnswer(daysAnswer);
  RequestTimes result;
  result.title = RequestTimesTitle(monitor, daysAnswer);

  // A record counts when it is strictly later than this moment.
  const int64_t cutoffMs = DateTimeToMs(now) - static_cast<int64_t>(days) * kMsPerDay;
  std::string typUpper;
  for (char c : monitor.typ) typUpper += UpperAZ(c);

  LogLineReader reader(logPath);
  if (progress) reader.OnProgress(progress);
  LeadingLogWords w;
  DateWordCache dates;
  std::string_view line, previous;
  bool anyLine = false;
  // The activity names the line being read. Nothing can look at it while this loop runs,
  // so it is set only where it can be seen: at an error, and after the last line.
  auto readActivity = [&line] { LastActivity = "Read " + std::string(line); };
  while (reader.Next(line)) {
    anyLine = true;
    previous = line;
    w.Split(line, 8);
    if (w.Count() < 8) continue;
    std::string_view msWord = w[6];
    if (msWord.empty() || !IsDigit(msWord[0])) continue;
    if (w[4].empty() || !IsDigit(w[4][0])) continue;

    // The request time is the run of digits that starts word 6 ("120ms"). A word of
    // digits alone is no request time. An absurdly long run stops growing instead of
    // overflowing.
    int64_t ms = 0;
    size_t i = 0;
    for (; i < msWord.size() && IsDigit(msWord[i]); ++i)
      if (ms < 100'000'000'000'000LL) ms = ms * 10 + (msWord[i] - '0');
    if (i == msWord.size()) continue;

    int64_t day = 0;
    int seconds = 0;
    if (!dates.Days(w[0], day) || !TimeWordSeconds(w[1], seconds)) {
      readActivity();
      throw SentrelError("'" + std::string(w[0]) + " " + std::string(w[1]) +
                         "' is not a valid date and time");
    }
    if (day * kMsPerDay + seconds * 1000LL <= cutoffMs) continue;

    int32_t port = 0;
    try {
      port = PortWord(w[4]);
    } catch (...) {
      readActivity();
      throw;
    }
    if (port != monitor.port) continue;
    if (!EqualUpperAZ(w[3], typUpper)) continue;

    RequestTimePoint point;
    point.time = static_cast<double>(day) + EncodeTime(0, 0, seconds);
    if (w[5] == "OK" || w[5] == "UP") {
      point.good = true;
      point.ms = ms;
      ++result.goodCount;
      result.sumMs += ms;
      if (ms > result.valueAxisMax) result.valueAxisMax = ms;
    } else {
      ++result.badCount;
    }
    result.points.push_back(point);
  }

  // The reader leaves the last line in place after the end of the file.
  if (anyLine) {
    line = previous;
    readActivity();
  }

  if (result.valueAxisMax > kRequestTimeAxisCap) result.valueAxisMax = kRequestTimeAxisCap;
  result.footer = RequestTimesFooter(result.goodCount, result.badCount, result.sumMs);
  return result;
}

}  // namespace sentrel
