#include "reports/status_page.h"

#include <charconv>

#include "app/text_pane.h"
#include "model/last_activity.h"
#include "model/server_list.h"
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

StatusPageAddresses StatusPageAddresses::ForSite(std::string_view site,
                                                 std::string_view homepage) {
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

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  // Most texts carry nothing to escape; copy the runs between special characters whole.
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    std::string_view ref;
    switch (text[i]) {
      case '&': ref = "&amp;"; break;
      case '<': ref = "&lt;"; break;
      case '>': ref = "&gt;"; break;
      case '"': ref = "&quot;"; break;
      default: continue;
    }
    out.append(text.data() + start, i - start);
    out.append(ref);
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

std::string HtmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendHtmlEscaped(out, text);
  return out;
}

std::string GetStatusHTML(TServerList& servers, const StatusPageAddresses& addresses) {
  const std::vector<TreeGroup> tree = TreeOrder(servers);

  bool alarm = false;
  size_t monitorCount = 0;
  for (const auto& group : tree) {
    for (const TServer* server : group.servers) {
      for (int m = 0; m < server->ports.Count(); ++m) {
        ++monitorCount;
        if (server->ports.Items(m)->status == "red") alarm = true;
      }
    }
  }
  LastActivity = "GetStatusHTML";

  const TextPane* history = servers.messagePane;
  size_t historyBytes = 0;
  if (history)
    for (const auto& line : history->Lines()) historyBytes += line.size() + 110;

  std::string page;
  page.reserve(2048 + monitorCount * 420 + servers.Count() * 160 + historyBytes);

  const std::string now = FormatDateTime(Now());
  page += "\r\n\r\n <HTML>\r\n<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"60\">\r\n"
          "<head><TITLE>Sentrel Status ";
  page += now;
  page += "</TITLE>\r\n";
  if (alarm) {
    page += "<bgsound src=\"";
    AppendHtmlEscaped(page, addresses.alarmSound);
    page += "\" loop=\"0\">";
  }
  page += "</head><BODY bgcolor=white><img align=right src=\"";
  AppendHtmlEscaped(page, addresses.logo);
  page += "\" width=250 height=120>\r\n";
  page += kFont;
  page += "<font size=3><b>Sentrel Status: ";
  page += now;
  page += "</font></b>\r\n";
  page += "<table border=0 cellspacing=2>";

  std::string previousGroup;
  for (const auto& group : tree) {
    for (const TServer* server : group.servers) {
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
        const TPort& monitor = *server->ports.Items(m);
        const std::string_view colour = MonitorColour(monitor.status);
        page += "<td bgcolor=\"";
        AppendHtmlEscaped(page, colour);
        page += "\" nowrap>";
        page += kFont;
        if (monitor.typ == "http") {
          page += "<a href=\"";
          AppendHtmlEscaped(page, monitor.GetValue("url"));
          page += "\">";
        }
        AppendHtmlEscaped(page, monitor.typ);
        page += ' ';
        AppendInt(page, monitor.port);
        if (monitor.typ == "http") page += "</a>";
        page += "</td>";

        page += "<td bgcolor=\"";
        AppendHtmlEscaped(page, colour);
        page += "\">";
        page += kFont;
        AppendInt(page, monitor.lastResponseMs);
        page += "ms";
        if (monitor.status == "red") {
          page += "<b> ";
          AppendInt(page, monitor.lostCount);
          page += " times down since ";
          page += FormatDateTime(monitor.lastUp);
          page += "</b>";
        }
        page += "</td>\r\n";
      }
      page += "</tr>\r\n";
    }
  }
  page += "</table><p>";

  page += "<table border=0 cellspacing=2>";
  page += "<tr bgcolor=#ffffff><td nowrap>";
  page += kFont;
  page += "<b>History<hr noframe></b></td></tr>";
  if (history) {
    const auto& lines = history->Lines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      page += "<tr bgcolor=#eeeeee><td nowrap>";
      page += kFont;
      AppendHtmlEscaped(page, *it);
      page += "</td></tr>";
    }
  }
  page += "</table><p>";

  page += kFont;
  page += "<font size=1>Sentrel 2.2, <a href=\"";
  AppendHtmlEscaped(page, addresses.homepage);
  page += "\">Homepage</a></BODY></HTML>";
  return page;
}

}  // namespace sentrel
