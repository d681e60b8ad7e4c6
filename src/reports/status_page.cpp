#include "reports/status_page.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "model/dependencies.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "model/text_pane.h"
#include "model/tree_order.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace sentrel {

namespace {

constexpr std::string_view kFont = "<font size=2 face=\"Tahoma,arial,sans serif\">";

void AppendInt(std::string& out, int64_t value) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

}  // namespace

StatusPageAddresses StatusPageAddresses::ForSite(std::string_view site, std::string_view homepage) {
  StatusPageAddresses a;
  std::string base(site);
  while (!base.empty() && base.back() == '/') base.pop_back();
  a.alarmSound = base + "/donotmovethis/alarm.wav";
  a.logo = base + "/donotmovethis/Sentrellogo.gif";
  a.homepage = homepage.empty() ? base + "/" : std::string(homepage);
  return a;
}

std::string_view MonitorColour(std::string_view status) {
  if (status == "green") return "lightgreen";
  if (status.empty() || status == "?") return "#eeeeee";
  return status;
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Non-zero exactly when one of the eight bytes of w equals c.
constexpr uint64_t HasByte(uint64_t w, unsigned char c) {
  const uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

bool IsSpecial(char ch) {
  return ch == '&' || ch == '<' || ch == '>' || ch == '"';
}

// The index of the first &, <, > or " at or after i, or the size. A full History is a
// thousand lines of escaped text, so this looks at eight bytes at a time.
size_t NextSpecial(std::string_view text, size_t i) {
  const size_t n = text.size();
  while (i + 8 <= n) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    if (HasByte(w, '&') | HasByte(w, '<') | HasByte(w, '>') | HasByte(w, '"')) break;
    i += 8;
  }
  while (i < n && !IsSpecial(text[i])) ++i;
  return i;
}

}  // namespace

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  size_t start = 0;
  while (true) {
    const size_t i = NextSpecial(text, start);
    out.append(text.data() + start, i - start);
    if (i == text.size()) return;
    switch (text[i]) {
      case '&':
        out.append("&amp;", 5);
        break;
      case '<':
        out.append("&lt;", 4);
        break;
      case '>':
        out.append("&gt;", 4);
        break;
      default:
        out.append("&quot;", 6);
        break;
    }
    start = i + 1;
  }
}

std::string HtmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendHtmlEscaped(out, text);
  return out;
}

std::string GetStatusHTML(ServerList& servers, const StatusPageAddresses& addresses) {
  std::string page;
  AppendStatusHTML(page, servers, addresses);
  return page;
}

namespace {

// One row per pane line, the newest first.
void AppendHistoryRows(std::string& page, const TextPane& history) {
  const auto& lines = history.Lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    page += "<tr bgcolor=#eeeeee><td nowrap>";
    page += kFont;
    AppendHtmlEscaped(page, *it);
    page += "</td></tr>";
  }
}

}  // namespace

namespace {

// Whether the server can be held back at all: most servers have neither parents nor
// maintenance windows, and their cells are made exactly as they always were.
bool MayHold(const Server& server) {
  return !server.parents.empty() || !server.maintenance.empty();
}

// Walks the tree once: the alarm, and how many monitors the page will show. A red
// monitor whose events are held back (maintenance, reached only through servers that
// are down) sounds no alarm.
bool AlarmOn(ServerList& servers, const std::vector<TreeGroup>& tree, size_t* monitorCount) {
  bool alarm = false;
  size_t count = 0;
  const double now = Now();
  for (const auto& group : tree) {
    for (const Server* server : group.servers) {
      bool red = false;
      for (int m = 0; m < server->ports.Count(); ++m) {
        ++count;
        if (server->ports.Items(m)->Colour() == StatusColour::Red) red = true;
      }
      if (red && !alarm) alarm = !MayHold(*server) || !HoldOf(servers, *server, now).Any();
    }
  }
  if (monitorCount) *monitorCount = count;
  return alarm;
}

// The colour of a cell of a monitor whose events are held back.
std::string_view HoldColour(MonitorHold hold) {
  return hold == MonitorHold::Maintenance ? "#a8d0f0" : "#c8b8e8";
}

void AppendBody(std::string& page, ServerList& servers, const std::vector<TreeGroup>& tree,
                const StatusPageAddresses& addresses, HistoryRowsCache* cache) {
  page += "<table border=0 cellspacing=2>";
  std::string previousGroup;
  const double now = Now();
  for (const auto& group : tree) {
    for (const Server* server : group.servers) {
      const ServerHold hold = MayHold(*server) ? HoldOf(servers, *server, now) : ServerHold{};
      if (server->group != previousGroup) {
        page += "<tr><td bgcolor=\"#ffffff\" colspan=10><br><b>";
        page += kFont;
        AppendHtmlEscaped(page, server->group);
        page += "<hr noframe></b></td>";
        previousGroup = server->group;
      }
      page += "<tr><td nowrap bgcolor=\"#eeeeee\">";
      page += kFont;
      AppendHtmlEscaped(page, server->name);
      page += "</td>";
      for (int m = 0; m < server->ports.Count(); ++m) {
        const Monitor& monitor = *server->ports.Items(m);
        const MonitorHold held = HoldOfMonitor(monitor, hold);
        const std::string_view colour =
            held == MonitorHold::None ? MonitorColour(monitor.status) : HoldColour(held);
        page += "<td bgcolor=\"";
        AppendHtmlEscaped(page, colour);
        page += "\" nowrap>";
        page += kFont;
        if (monitor.Type() == MonitorType::Http) {
          page += "<a href=\"";
          AppendHtmlEscaped(page, monitor.GetValue("url"));
          page += "\">";
        }
        AppendHtmlEscaped(page, monitor.typ);
        page += ' ';
        AppendInt(page, monitor.port);
        if (monitor.Type() == MonitorType::Http) page += "</a>";
        page += "</td>";

        page += "<td bgcolor=\"";
        AppendHtmlEscaped(page, colour);
        page += "\">";
        page += kFont;
        AppendInt(page, monitor.lastResponseMs);
        page += "ms";
        if (monitor.Colour() == StatusColour::Red) {
          page += "<b> ";
          AppendInt(page, monitor.lostCount);
          page += " times down since ";
          page += FormatDateTime(monitor.lastUp);
          page += "</b>";
        }
        if (held == MonitorHold::Maintenance) {
          page += "<i> in maintenance until ";
          page += FormatDateTime(hold.maintenanceUntil);
          page += "</i>";
        } else if (held == MonitorHold::Unreachable) {
          page += "<i> ";
          AppendHtmlEscaped(page, UnreachableWords(hold.through));
          page += "</i>";
        }
        page += "</td>\r\n";
      }
      page += "</tr>\r\n";
    }
  }
  page += "</table><p>";

  const TextPane* history = servers.messagePane;
  page += "<table border=0 cellspacing=2>";
  page += "<tr bgcolor=#ffffff><td nowrap>";
  page += kFont;
  page += "<b>History<hr noframe></b></td></tr>";
  if (history && cache) {
    if (cache->pane != history || cache->version != history->Version()) {
      cache->rows.clear();
      AppendHistoryRows(cache->rows, *history);
      cache->pane = history;
      cache->version = history->Version();
    }
    page += cache->rows;
  } else if (history) {
    AppendHistoryRows(page, *history);
  }
  page += "</table><p>";

  page += kFont;
  page += "<font size=1>Sentrel 2.2, <a href=\"";
  AppendHtmlEscaped(page, addresses.homepage);
  page += "\">Homepage</a></BODY></HTML>";
}

void ReserveFor(std::string& page, const ServerList& servers, size_t monitorCount) {
  size_t historyBytes = 0;
  if (const TextPane* history = servers.messagePane)
    for (const auto& line : history->Lines()) historyBytes += line.size() + 110;
  page.reserve(page.size() + 2048 + monitorCount * 420 +
               static_cast<size_t>(servers.Count()) * 160 + historyBytes);
}

}  // namespace

void AppendStatusHead(std::string& page, std::string_view now, bool alarm,
                      const StatusPageAddresses& addresses) {
  page +=
      "\r\n\r\n <HTML>\r\n<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"60\">\r\n"
      "<head><TITLE>Sentrel Status ";
  page += now;
  page += "</TITLE>\r\n";
  if (alarm) {
    page += "<bgsound src=\"";
    AppendHtmlEscaped(page, addresses.alarmSound);
    page += "\" loop=\"0\">";
  }
  page += "</head><BODY bgcolor=white>";
  // Current browsers ignore bgsound; they play this one (as far as their autoplay rules
  // allow), once per load like bgsound, so the sound comes back with every refresh.
  if (alarm) {
    page += "<audio src=\"";
    AppendHtmlEscaped(page, addresses.alarmSound);
    page += "\" autoplay></audio>";
  }
  page += "<img align=right src=\"";
  AppendHtmlEscaped(page, addresses.logo);
  page += "\" width=250 height=120>\r\n";
  page += kFont;
  page += "<font size=3><b>Sentrel Status: ";
  page += now;
  page += "</font></b>\r\n";
}

bool AppendStatusBody(std::string& page, ServerList& servers, const StatusPageAddresses& addresses,
                      HistoryRowsCache* cache) {
  const std::vector<TreeGroup> tree = WatchedTreeOrder(servers);
  size_t monitorCount = 0;
  const bool alarm = AlarmOn(servers, tree, &monitorCount);
  LastActivity = "GetStatusHTML";
  ReserveFor(page, servers, monitorCount);
  AppendBody(page, servers, tree, addresses, cache);
  return alarm;
}

void AppendStatusHTML(std::string& page, ServerList& servers, const StatusPageAddresses& addresses,
                      HistoryRowsCache* cache) {
  const std::vector<TreeGroup> tree = WatchedTreeOrder(servers);
  size_t monitorCount = 0;
  const bool alarm = AlarmOn(servers, tree, &monitorCount);
  LastActivity = "GetStatusHTML";
  ReserveFor(page, servers, monitorCount);
  AppendStatusHead(page, FormatDateTime(Now()), alarm, addresses);
  AppendBody(page, servers, tree, addresses, cache);
}

namespace {

// 64-bit mixing (the finaliser of MurmurHash3), so that neighbouring values spread.
uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

uint64_t MixText(uint64_t h, std::string_view text) {
  return Mix(h, std::hash<std::string_view>{}(text) ^ text.size());
}

}  // namespace

uint64_t StatusPageFingerprint(ServerList& servers) {
  uint64_t h = Mix(0, static_cast<uint64_t>(servers.Count()));
  for (int i = 0; i < servers.Count(); ++i) {
    const Server& s = *servers.Items(i);
    h = MixText(MixText(h, s.name), s.group);
    if (MayHold(s)) {
      // What is held changes with the time (a window begins or ends) and with the
      // parents' colours: the hold itself is part of what the page shows.
      const ServerHold hold = HoldOf(servers, s, Now());
      h = Mix(h, (hold.maintenance ? 1u : 0u) | (hold.Unreachable() ? 2u : 0u));
      uint64_t until;
      std::memcpy(&until, &hold.maintenanceUntil, sizeof until);
      h = Mix(h, until);
      for (const std::string& name : hold.through) h = MixText(h, name);
    }
    h = Mix(h, static_cast<uint64_t>(s.ports.Count()));
    for (int m = 0; m < s.ports.Count(); ++m) {
      const Monitor& p = *s.ports.Items(m);
      h = MixText(MixText(h, p.typ), p.status);
      uint64_t lastUp;
      std::memcpy(&lastUp, &p.lastUp, sizeof lastUp);
      h = Mix(h, static_cast<uint64_t>(static_cast<uint32_t>(p.port)) << 32 |
                     static_cast<uint32_t>(p.lastResponseMs));
      h = Mix(Mix(h, static_cast<uint64_t>(static_cast<uint32_t>(p.lostCount))), lastUp);
      // The url is one of the data items; the whole list is cheaper than finding it.
      h = Mix(h, p.data.size());
      for (const std::string& item : p.data) h = MixText(h, item);
    }
  }
  const TextPane* history = servers.messagePane;
  h = Mix(h, reinterpret_cast<uintptr_t>(history));
  return Mix(h, history ? history->Version() : 0);
}

}  // namespace sentrel
