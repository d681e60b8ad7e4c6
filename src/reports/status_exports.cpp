#include "reports/status_exports.h"

#include <charconv>
#include <iterator>
#include <cmath>
#include <ctime>
#include <string_view>
#include <vector>

#include "model/dependencies.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "model/tree_order.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "reports/availability.h"
#include "reports/status_encoding.h"

namespace sentrel {

namespace {

void AppendNumber(std::string& out, double value) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void AppendNumber(std::string& out, uint64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void AppendNumber(std::string& out, int64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// Times to the millisecond: the date-time values carry no more, and a shorter number
// reads better.
double Millis(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

struct MonitorRow {
  const Server* server;
  const Monitor* monitor;
  std::string labels;  // {server="...",...}
  const ServerHold* hold;  // why the server's events are held back now
};

// The holds of the servers, made once per answer: most servers have none to make.
std::vector<ServerHold> Holds(ServerList& servers, const std::vector<TreeGroup>& tree) {
  std::vector<ServerHold> holds;
  const double now = Now();
  for (const auto& group : tree)
    for (const Server* server : group.servers)
      holds.push_back(server->parents.empty() && server->maintenance.empty()
                          ? ServerHold{}
                          : HoldOf(servers, *server, now));
  return holds;
}

std::vector<MonitorRow> Rows(const std::vector<TreeGroup>& tree, const std::vector<ServerHold>& holds) {
  std::vector<MonitorRow> rows;
  size_t serverIndex = 0;
  for (const auto& group : tree) {
    for (const Server* server : group.servers) {
      const ServerHold* hold = &holds[serverIndex++];
      for (int m = 0; m < server->ports.Count(); ++m) {
        const Monitor* monitor = server->ports.Items(m);
        std::string l = "{server=\"";
        AppendLabelValue(l, server->name);
        l += "\",monitor=\"";
        AppendLabelValue(l, monitor->name);
        l += "\",type=\"";
        AppendLabelValue(l, monitor->typ);
        l += "\",port=\"";
        l += std::to_string(monitor->port);
        l += "\",group=\"";
        AppendLabelValue(l, server->group);
        l += "\"}";
        rows.push_back({server, monitor, std::move(l), hold});
      }
    }
  }
  return rows;
}

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

template <typename Value>
void Sample(std::string& out, std::string_view name, std::string_view labels, Value value) {
  out += name;
  out += labels;
  out += ' ';
  AppendNumber(out, value);
  out += '\n';
}

template <typename F>
void MonitorFamily(std::string& out, const std::vector<MonitorRow>& rows, std::string_view name,
                   std::string_view help, F value) {
  Family(out, name, "gauge", help);
  for (const MonitorRow& row : rows) Sample(out, name, row.labels, value(*row.monitor));
}

template <typename F>
void HoldFamily(std::string& out, const std::vector<MonitorRow>& rows, std::string_view name,
                std::string_view help, F value) {
  Family(out, name, "gauge", help);
  for (const MonitorRow& row : rows) Sample(out, name, row.labels, int64_t{value(*row.hold)});
}

struct ColourCounts {
  int64_t byCode[4] = {0, 0, 0, 0};
};

ColourCounts CountColours(const std::vector<TreeGroup>& tree) {
  ColourCounts c;
  for (const auto& group : tree)
    for (const Server* server : group.servers)
      for (int m = 0; m < server->ports.Count(); ++m)
        ++c.byCode[ColourCode(server->ports.Items(m)->status)];
  return c;
}

bool IsUp(const std::string& status) {
  const StatusColour colour = ColourOf(status);
  return colour == StatusColour::Green || colour == StatusColour::Yellow;
}

constexpr const char* kColourNames[] = {"unchecked", "green", "yellow", "red"};

// The figures of every monitor for the three periods; a period without checks, or one
// whose log is still being read, has no sample rather than a wrong one.
void AvailabilityFamilies(std::string& out, const std::vector<MonitorRow>& rows,
                          AvailabilitySource& source) {
  constexpr size_t kWindows = std::size(kAvailabilityWindows);
  std::vector<Availability> figures;
  figures.reserve(rows.size() * kWindows);
  for (const MonitorRow& row : rows)
    for (const AvailabilityWindow& w : kAvailabilityWindows)
      figures.push_back(source.MonitorAvailability(*row.monitor, w.hours));
  auto family = [&](std::string_view name, std::string_view help, auto value) {
    Family(out, name, "gauge", help);
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::string& labels = rows[r].labels;
      for (size_t w = 0; w < kWindows; ++w) {
        const Availability& a = figures[r * kWindows + w];
        if (!a.HasData() || a.pending) continue;
        std::string l(labels, 0, labels.size() - 1);
        l += ",window=\"";
        l += kAvailabilityWindows[w].name;
        l += "\"}";
        Sample(out, name, l, value(a));
      }
    }
  };
  family("sentrel_monitor_availability_ratio",
         "Share of the monitor's checks that succeeded in the window (whole hours up to now: "
         "24h, 7d, 30d); no sample without checks in it.",
         [](const Availability& a) { return a.Ratio(); });
  family("sentrel_monitor_outages",
         "Outages (from a failed check to the next good one) that overlap the window.",
         [](const Availability& a) { return a.outages; });
  family("sentrel_monitor_downtime_seconds", "Time of the window that the monitor's outages took.",
         [](const Availability& a) { return Millis(a.downtimeMs / 1000.0); });
}

}  // namespace

int ColourCode(const std::string& status) {
  // 0 unchecked, 1 green, 2 yellow, 3 red: the order of the colours.
  return static_cast<int>(ColourOf(status));
}

double UnixSecondsFromDateTime(double dateTime) {
  if (dateTime == 0) return 0;
  int year, month, day;
  DecodeDate(dateTime, year, month, day);
  int ms = TimeOfDayMs(dateTime);
  if (ms >= 86'400'000) ms = 86'399'999;
  tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = ms / 3'600'000;
  local.tm_min = ms / 60'000 % 60;
  local.tm_sec = ms / 1000 % 60;
  local.tm_isdst = -1;  // the offset in force at that moment, summer time or not
  const time_t t = mktime(&local);
  return static_cast<double>(t) + (ms % 1000) / 1000.0;
}

std::string BuildStatusMetrics(ServerList& servers, const ProgramCounters& program,
                               const WebCounters& web, AvailabilitySource* availability) {
  const std::vector<TreeGroup> tree = WatchedTreeOrder(servers);
  const std::vector<ServerHold> holds = Holds(servers, tree);
  const std::vector<MonitorRow> rows = Rows(tree, holds);
  std::string out;
  size_t labelBytes = 0;
  for (const MonitorRow& row : rows) labelBytes += row.labels.size();
  out.reserve(4096 + 6 * (labelBytes + rows.size() * 64));

  MonitorFamily(out, rows, "sentrel_monitor_up",
                "Whether the monitor's checks succeed: 1 green or yellow, 0 red or not checked.",
                [](const Monitor& m) { return int64_t{IsUp(m.status)}; });
  MonitorFamily(out, rows, "sentrel_monitor_colour",
                "The monitor's colour: 0 not checked, 1 green, 2 yellow, 3 red.",
                [](const Monitor& m) { return int64_t{ColourCode(m.status)}; });
  HoldFamily(out, rows, "sentrel_monitor_unreachable",
             "1 while every server the monitor's server is reached through is down: its "
             "events are held back.",
             [](const ServerHold& h) { return h.Unreachable(); });
  HoldFamily(out, rows, "sentrel_monitor_in_maintenance",
             "1 while a maintenance window of the monitor's server holds: its events are "
             "held back.",
             [](const ServerHold& h) { return h.maintenance; });
  MonitorFamily(out, rows, "sentrel_monitor_last_request_duration_seconds",
                "How long the monitor's last check took, failed or not.",
                [](const Monitor& m) { return m.lastCheckMs / 1000.0; });
  MonitorFamily(out, rows, "sentrel_monitor_lost_checks",
                "Failed checks in a row, as the monitor's last record counts them; 0 after a "
                "success.",
                [](const Monitor& m) { return int64_t{m.lastRecordLost}; });
  MonitorFamily(out, rows, "sentrel_monitor_last_check_timestamp_seconds",
                "When the monitor was last checked, in seconds since 1970; 0 when not since "
                "the start or the last Stop Scan.",
                [](const Monitor& m) { return Millis(UnixSecondsFromDateTime(m.lastCheck)); });
  MonitorFamily(out, rows, "sentrel_monitor_last_success_timestamp_seconds",
                "When the monitor last succeeded, in seconds since 1970; 0 when not since the "
                "start.",
                [](const Monitor& m) { return Millis(UnixSecondsFromDateTime(m.lastSuccess)); });
  if (availability) AvailabilityFamilies(out, rows, *availability);

  const ColourCounts counts = CountColours(tree);
  Family(out, "sentrel_monitors", "gauge", "Monitors by colour.");
  for (int code = 0; code < 4; ++code)
    Sample(out, "sentrel_monitors", std::string("{colour=\"") + kColourNames[code] + "\"}",
           counts.byCode[code]);

  Family(out, "sentrel_checks_total", "counter", "Check outcomes handled since the start.");
  Sample(out, "sentrel_checks_total", "", program.checksDone);
  Family(out, "sentrel_records_written_total", "counter",
         "Records written to the servers' log files since the start.");
  Sample(out, "sentrel_records_written_total", "", program.recordsWritten);
  Family(out, "sentrel_http_checks_queued", "gauge", "HTTP checks waiting for a free connection.");
  Sample(out, "sentrel_http_checks_queued", "", program.httpChecksQueued);
  Family(out, "sentrel_web_requests_total", "counter",
         "Requests the status web server answered since the start.");
  Sample(out, "sentrel_web_requests_total", "", web.requests);
  Family(out, "sentrel_web_client_disconnects_total", "counter",
         "Clients of the status web server that went away before their reply was out.");
  Sample(out, "sentrel_web_client_disconnects_total", "", web.disconnects);
  Family(out, "sentrel_start_time_seconds", "gauge",
         "When the program started, in seconds since 1970.");
  Sample(out, "sentrel_start_time_seconds", "", Millis(UnixSecondsFromDateTime(program.startTime)));
  Family(out, "sentrel_build_info", "gauge", "The program's version, as a label; always 1.");
  Sample(out, "sentrel_build_info", "{version=\"2.2\"}", int64_t{1});
  return out;
}

namespace {

void JsonKey(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\":";
}

void JsonTime(std::string& out, double dateTime) {
  if (dateTime == 0)
    out += "null";
  else
    AppendNumber(out, Millis(UnixSecondsFromDateTime(dateTime)));
}

// "availability": {"pending": false, "24h": {"ratio": 0.9995, "checks": 8640, ...}, ...};
// the ratio is null for a period without checks, and "from" says where the figures
// begin (later than the period's start when the log begins later).
void JsonAvailability(std::string& out, const Monitor& monitor, AvailabilitySource& source) {
  out += ",\"availability\":{";
  bool pending = false;
  std::string periods;
  for (const AvailabilityWindow& w : kAvailabilityWindows) {
    const Availability a = source.MonitorAvailability(monitor, w.hours);
    pending = pending || a.pending;
    periods += ',';
    JsonKey(periods, w.name);
    periods += "{\"ratio\":";
    if (a.HasData())
      AppendNumber(periods, a.Ratio());
    else
      periods += "null";
    periods += ",\"checks\":";
    AppendNumber(periods, a.checks);
    periods += ",\"good\":";
    AppendNumber(periods, a.good);
    periods += ",\"outages\":";
    AppendNumber(periods, a.outages);
    periods += ",\"downtimeSeconds\":";
    AppendNumber(periods, Millis(a.downtimeMs / 1000.0));
    periods += ",\"longestOutageSeconds\":";
    AppendNumber(periods, Millis(a.longestMs / 1000.0));
    periods += ",\"downNow\":";
    periods += a.downNow ? "true" : "false";
    periods += ",\"from\":";
    JsonTime(periods, static_cast<double>(a.fromMs) / 86'400'000.0);
    periods += '}';
  }
  out += "\"pending\":";
  out += pending ? "true" : "false";
  out += periods;
  out += '}';
}

}  // namespace

std::string BuildStatusJson(ServerList& servers, const ProgramCounters& program,
                            const WebCounters& web, AvailabilitySource* availability) {
  const std::vector<TreeGroup> tree = WatchedTreeOrder(servers);
  const std::vector<ServerHold> holds = Holds(servers, tree);
  size_t serverIndex = 0;
  std::string out = "{\"product\":\"Sentrel\",\"version\":\"2.2\",";
  JsonKey(out, "time");
  JsonTime(out, Now());
  out += ',';
  JsonKey(out, "startTime");
  JsonTime(out, program.startTime);
  const ColourCounts counts = CountColours(tree);
  out += ",\"alarm\":";
  out += counts.byCode[3] > 0 ? "true" : "false";
  out += ",\"monitors\":{";
  for (int code = 0; code < 4; ++code) {
    if (code) out += ',';
    JsonKey(out, kColourNames[code]);
    AppendNumber(out, counts.byCode[code]);
  }
  out += "},\"checks\":";
  AppendNumber(out, program.checksDone);
  out += ",\"records\":";
  AppendNumber(out, program.recordsWritten);
  out += ",\"httpChecksQueued\":";
  AppendNumber(out, program.httpChecksQueued);
  out += ",\"webRequests\":";
  AppendNumber(out, web.requests);

  out += ",\"groups\":[";
  for (size_t g = 0; g < tree.size(); ++g) {
    if (g) out += ',';
    out += '{';
    JsonKey(out, "name");
    AppendJsonString(out, tree[g].name);
    out += ",\"servers\":[";
    for (size_t s = 0; s < tree[g].servers.size(); ++s) {
      const Server& server = *tree[g].servers[s];
      const ServerHold& hold = holds[serverIndex++];
      if (s) out += ',';
      out += '{';
      JsonKey(out, "name");
      AppendJsonString(out, server.name);
      out += ",\"monitors\":[";
      for (int m = 0; m < server.ports.Count(); ++m) {
        const Monitor& monitor = *server.ports.Items(m);
        if (m) out += ',';
        out += '{';
        JsonKey(out, "name");
        AppendJsonString(out, monitor.name);
        out += ',';
        JsonKey(out, "type");
        AppendJsonString(out, monitor.typ);
        out += ',';
        JsonKey(out, "port");
        AppendNumber(out, int64_t{monitor.port});
        if (monitor.Type() == MonitorType::Http) {
          out += ',';
          JsonKey(out, "url");
          AppendJsonString(out, monitor.GetValue("url"));
        }
        out += ',';
        JsonKey(out, "status");
        AppendJsonString(out, monitor.status);
        out += ',';
        JsonKey(out, "colour");
        AppendNumber(out, int64_t{ColourCode(monitor.status)});
        out += ",\"up\":";
        out += IsUp(monitor.status) ? "true" : "false";
        out += ',';
        JsonKey(out, "lastResponseMs");
        AppendNumber(out, int64_t{monitor.lastResponseMs});
        out += ',';
        JsonKey(out, "lostCount");
        AppendNumber(out, int64_t{monitor.lastRecordLost});
        out += ',';
        JsonKey(out, "lastCheck");
        JsonTime(out, monitor.lastCheck);
        out += ',';
        JsonKey(out, "lastSuccess");
        JsonTime(out, monitor.lastSuccess);
        out += ",\"unreachable\":";
        out += hold.Unreachable() ? "true" : "false";
        if (hold.Unreachable()) {
          out += ",\"unreachableThrough\":[";
          for (size_t p = 0; p < hold.through.size(); ++p) {
            if (p) out += ',';
            AppendJsonString(out, hold.through[p]);
          }
          out += ']';
        }
        out += ",\"inMaintenance\":";
        out += hold.maintenance ? "true" : "false";
        if (hold.maintenance) {
          out += ',';
          JsonKey(out, "maintenanceUntil");
          JsonTime(out, hold.maintenanceUntil);
        }
        if (availability) JsonAvailability(out, monitor, *availability);
        out += '}';
      }
      out += "]}";
    }
    out += "]}";
  }
  out += "],\"history\":[";
  if (const TextPane* history = servers.messagePane) {
    const auto& lines = history->Lines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it != lines.rbegin()) out += ',';
      AppendJsonString(out, *it);
    }
  }
  out += "]}\n";
  return out;
}

}  // namespace sentrel
