#include "reports/availability_report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "model/server_list.h"
#include "model/tree_order.h"
#include "platform/date_time.h"
#include "platform/file_util.h"

namespace sentrel {

namespace {

std::string Stamp(int64_t ms, bool seconds) {
  const double dt = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  const std::string text = FormatDateTime(dt);
  return seconds ? text : text.substr(0, 16);
}

// A field of a CSV line, quoted when it holds a comma, a quote or a line end.
void AppendCsv(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// The share in percent with four decimals, cut like the shown one: 100 only without a
// failed check.
std::string CsvPercent(const Availability& a) {
  if (!a.HasData()) return "";
  const int64_t parts = a.good * 1'000'000 / a.checks;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%04lld", static_cast<long long>(parts / 10000),
                static_cast<long long>(parts % 10000));
  return buf;
}

// How many characters wide a UTF-8 text is on a terminal (one per character).
size_t Columns(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  return n;
}

std::string Seconds(int64_t ms) {
  return std::to_string(ms / 1000);
}

}  // namespace

AvailabilityReader::AvailabilityReader(const ServerList& servers, int64_t nowMs, int hours)
    : nowMs_(nowMs) {
  const int64_t from = WindowStartMs(nowMs, hours);
  for (int i = 0; i < servers.Count(); ++i) {
    const std::string path = servers.Items(i)->LogPath();
    if (logs_.count(path)) continue;
    auto h = std::make_unique<LogHistory>(path);
    // A summary serves when it still describes the log and reaches back to the period's
    // start; the log is read for whatever it does not cover.
    bool summary = false;
    if (auto text = ReadWholeFile(SummaryPath(path)); text && h->Parse(*text) &&
                                                      h->KeepFromMs() <= from) {
      switch (h->CheckFile()) {
        case LogHistory::Check::Current:
          summary = true;
          break;
        case LogHistory::Check::Grown:
          break;
        case LogHistory::Check::Changed:
          h->Restart(from);
          break;
        case LogHistory::Check::Gone:
          h->Clear(from);
          break;
      }
    } else {
      h->Restart(from);
    }
    if (!summary && FileExists(path)) {
      while (!h->ReadMore(16 << 20)) {
      }
    }
    ++(summary ? fromSummaries_ : fromLogs_);
    logs_.emplace(path, std::move(h));
  }
}

Availability AvailabilityReader::MonitorAvailability(const Monitor& monitor, int hours) {
  Availability a;
  if (!monitor.server) return a;
  auto it = logs_.find(monitor.server->LogPath());
  if (it == logs_.end()) return a;
  return it->second->Figures(monitor.server->name, monitor.typ, monitor.port, nowMs_, hours);
}

std::string AvailabilityReport(ServerList& servers, AvailabilitySource& source, int64_t nowMs,
                               int days, bool csv) {
  const int hours = days * 24;
  const int64_t from = WindowStartMs(nowMs, hours);
  std::vector<std::vector<std::string>> rows;
  for (const TreeGroup& group : TreeOrder(servers)) {
    for (const Server* server : group.servers) {
      for (int m = 0; m < server->ports.Count(); ++m) {
        const Monitor& monitor = *server->ports.Items(m);
        const Availability a = source.MonitorAvailability(monitor, hours);
        const bool later = a.HasData() && a.fromMs > from;
        if (csv) {
          rows.push_back({group.name, server->name, monitor.name, std::to_string(a.checks),
                          CsvPercent(a), std::to_string(a.outages), Seconds(a.downtimeMs),
                          Seconds(a.longestMs), a.HasData() ? Stamp(a.fromMs, true) : ""});
        } else {
          rows.push_back({group.name, server->name, monitor.name, std::to_string(a.checks),
                          FormatAvailabilityPercent(a), std::to_string(a.outages),
                          FormatDuration(a.downtimeMs), FormatDuration(a.longestMs),
                          later ? Stamp(a.fromMs, false) : ""});
        }
      }
    }
  }

  std::string out;
  if (csv) {
    out = "group,server,monitor,checks,availability_percent,outages,downtime_seconds,"
          "longest_outage_seconds,data_from\n";
    for (const auto& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        if (i) out += ',';
        AppendCsv(out, row[i]);
      }
      out += '\n';
    }
    return out;
  }

  out = "Availability over the last " + std::to_string(days) + (days == 1 ? " day" : " days") +
        ", " + Stamp(from, false) + " to " + Stamp(nowMs, false) + "\n\n";
  const std::vector<std::string> head = {"Group",   "Server",   "Monitor",        "Checks",
                                         "Availability", "Outages", "Downtime", "Longest outage",
                                         "Data from"};
  // Numbers to the right, names to the left; the last column only when some row has it.
  const bool right[] = {false, false, false, true, true, true, true, true, false};
  bool anyLater = false;
  for (const auto& row : rows) anyLater = anyLater || !row[8].empty();
  const size_t columns = anyLater ? 9 : 8;
  std::vector<size_t> width(columns);
  for (size_t i = 0; i < columns; ++i) {
    width[i] = head[i].size();
    for (const auto& row : rows) width[i] = std::max(width[i], Columns(row[i]));
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < columns; ++i) {
      if (i) text += "  ";
      const std::string pad(width[i] - Columns(cells[i]), ' ');
      text += right[i] ? pad + cells[i] : cells[i] + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(head);
  for (const auto& row : rows) line(row);
  if (rows.empty()) out += "(no monitors)\n";
  return out;
}

}  // namespace sentrel
