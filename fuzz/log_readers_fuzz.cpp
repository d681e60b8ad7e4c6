// A server log through the request-time statistics, the availability figures and the log
// dump, all reading the same file the way the program reads it. Input: the first line is
// the operator's answer to "how many days", the rest is the log file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "reports/availability.h"
#include "reports/log_dump.h"
#include "reports/log_lines.h"
#include "reports/log_words.h"
#include "reports/request_times.h"

using namespace sentrel;
using fuzz::Check;

namespace {

void WriteRaw(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    fuzz::Broken("cannot write the log");
  close(fd);
}

// The lines of a log, worked out the plain way: split at LF, one CR before it (or at the
// very end) belongs to the line end.
std::vector<std::string> PlainLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = fuzz::ScratchDirectory("log_readers");
  static const std::string logPath = dir + "/web1.log";
  static const std::string copyPath = DumpCopyPath(logPath);
  static const double now = EncodeDate(2026, 12, 7) + EncodeTime(14, 0, 0);

  std::string_view in(reinterpret_cast<const char*>(data), size);
  size_t lf = in.find('\n');
  std::string answer(in.substr(0, lf == std::string_view::npos ? 0 : lf));
  std::string_view log = lf == std::string_view::npos ? in : in.substr(lf + 1);
  WriteRaw(logPath, log);

  // The line reader and the word splitters against the plain reading.
  std::vector<std::string> lines = PlainLines(log);
  {
    LogLineReader reader(logPath);
    std::string_view line, raw;
    size_t i = 0;
    size_t rawTotal = 0;
    LeadingLogWords leading;
    while (reader.Next(line, raw)) {
      Check(i < lines.size() && line == lines[i], "the reader gives the lines of the file");
      Check(raw.substr(0, line.size()) == line, "a raw line starts with the line");
      rawTotal += raw.size();
      std::vector<std::string> words = SplitLogWords(line);
      leading.Split(line, LeadingLogWords::kMaxWords);
      Check(leading.Count() == std::min(words.size(), LeadingLogWords::kMaxWords),
            "the leading words count as the splitter's");
      for (size_t w = 0; w < leading.Count(); ++w)
        Check(leading[w] == words[w], "the leading words are the splitter's");
      ++i;
    }
    Check(i == lines.size(), "the reader gives every line");
    Check(rawTotal == log.size(), "the raw lines cover the file");
  }

  // The availability figures: the same whether the log is read in slices or line by line
  // as it is written, and from the day summary made of it; the input itself read as a
  // summary is refused or taken, never more.
  {
    LogHistory whole(logPath);
    whole.Restart(0);
    while (!whole.ReadMore(512)) {
    }
    LogHistory fed(logPath);
    LogLineReader reader(logPath);
    std::string_view line, raw;
    while (reader.Next(line, raw))
      if (raw.back() == '\n') fed.Feed(raw);
    LogHistory back(logPath);
    Check(back.Parse(whole.Serialize()), "a summary reads back");
    LogHistory junk(logPath);
    junk.Parse(log);
    const int64_t nowMs = DateTimeToMs(now);
    for (const char* typ : {"http", "port", "ping"}) {
      for (int hours : {1, 24, 720}) {
        const int32_t port = typ[1] == 'i' ? 0 : 80;
        const Availability a = whole.Figures("web1", typ, port, nowMs, hours);
        Check(a.good >= 0 && a.good <= a.checks, "no more good checks than checks");
        Check(a.longestMs <= a.downtimeMs && a.downtimeMs <= nowMs - WindowStartMs(nowMs, hours),
              "the downtime fits the period");
        for (const LogHistory* other : {&fed, &back}) {
          const Availability b = other->Figures("web1", typ, port, nowMs, hours);
          Check(a.checks == b.checks && a.good == b.good && a.outages == b.outages &&
                    a.downtimeMs == b.downtimeMs && a.fromMs == b.fromMs,
                "the same figures however the log was read");
        }
      }
    }
  }

  int32_t days = 0;
  try {
    days = ParseDaysAnswer(answer);
  } catch (const SentrelError&) {
    return 0;
  }
  const int64_t cutoffMs = DateTimeToMs(now) - static_cast<int64_t>(days) * kMsPerDay;

  ServerList servers;
  Server* server = servers.Items(servers.Add("web1"));
  Monitor* monitor = server->ports.Items(server->ports.Add("http"));
  monitor->port = 80;
  try {
    RequestTimes r = ComputeRequestTimes(*monitor, answer, logPath, now);
    Check(r.goodCount + r.badCount == static_cast<int64_t>(r.points.size()), "every point counted");
    int64_t sum = 0, max = 0;
    for (const auto& p : r.points) {
      Check(DateTimeToMs(p.time) > cutoffMs, "a point is within the days asked for");
      Check(p.good || p.ms == 0, "a lost record has no request time");
      sum += p.ms;
      max = std::max(max, p.ms);
    }
    Check(sum == r.sumMs, "the sum is the points' sum");
    Check(r.valueAxisMax == std::min(max, kRequestTimeAxisCap), "the axis fits the largest time");
    Check(r.footer.empty() == (r.goodCount == 0), "a footer when a good record was counted");
  } catch (const SentrelError&) {
    // A counted line with a time stamp or port that cannot be read.
  }

  // The dump keeps what the plain reading keeps, every line ending in CR LF.
  std::string expected;
  int64_t kept = 0, dropped = 0;
  for (const auto& line : lines) {
    std::vector<std::string> words = SplitLogWords(line);
    auto date = !words.empty() && words[0].size() == 10 ? ParseDate(words[0]) : std::nullopt;
    if (date && static_cast<int64_t>(*date) * kMsPerDay <= cutoffMs) {
      ++dropped;
      continue;
    }
    ++kept;
    expected += line + "\r\n";
  }
  DumpFileResult result = DumpLogFile(logPath, copyPath, days, now);
  Check(result.keptLines == kept && result.droppedLines == dropped, "the dump counts its lines");
  Check(ReadWholeFile(logPath) == expected, "the dumped log holds the kept lines");
  Check(!FileExists(copyPath), "the copy is gone");
  return 0;
}
