#include "reports/status_page.h"

#include <gtest/gtest.h>

#include "model/text_pane.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "model/maintenance.h"
#include "platform/date_time.h"
#include "reports/status_exports.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

const std::string F = "<font size=2 face=\"Tahoma,arial,sans serif\">";

// The whole page for the fixture's clock, with the given monitor rows and History rows.
std::string Page(bool alarm, const std::string& rows, const std::string& history) {
  return "\r\n\r\n <HTML>\r\n<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"60\">\r\n"
         "<head><TITLE>Sentrel Status 2024-05-01 12:34:56</TITLE>\r\n" +
         std::string(alarm ? "<bgsound src=\"/donotmovethis/alarm.wav\" loop=\"0\">" : "") +
         "</head><BODY bgcolor=white>" +
         std::string(alarm ? "<audio src=\"/donotmovethis/alarm.wav\" autoplay></audio>" : "") +
         "<img align=right src=\"/donotmovethis/Sentrellogo.gif\" width=250 height=120>\r\n" +
         F + "<font size=3><b>Sentrel Status: 2024-05-01 12:34:56</font></b>\r\n" +
         "<table border=0 cellspacing=2>" + rows + "</table><p>" +
         "<table border=0 cellspacing=2><tr bgcolor=#ffffff><td nowrap>" + F +
         "<b>History<hr noframe></b></td></tr>" + history + "</table><p>" + F +
         "<font size=1>Sentrel 2.2, <a href=\"/\">Homepage</a></BODY></HTML>";
}

std::string GroupRow(const std::string& group) {
  return "<tr><td bgcolor=\"#ffffff\" colspan=10><br><b>" + F + group + "<hr noframe></b></td>";
}
std::string ServerCell(const std::string& name) {
  return "<tr><td nowrap bgcolor=\"#eeeeee\">" + F + name + "</td>";
}
std::string MonitorCells(const std::string& colour, const std::string& label,
                         const std::string& time) {
  return "<td bgcolor=\"" + colour + "\" nowrap>" + F + label + "</td>" + "<td bgcolor=\"" +
         colour + "\">" + F + time + "</td>\r\n";
}
std::string HistoryRow(const std::string& line) {
  return "<tr bgcolor=#eeeeee><td nowrap>" + F + line + "</td></tr>";
}

class StatusPageTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2024, 5, 1) + EncodeTime(12, 34, 56));
    list_.messagePane = &pane_;
  }
  Server* AddServer(const std::string& name, const std::string& group) {
    Server* s = list_.Items(list_.Add(name));
    s->group = group;
    return s;
  }
  Monitor* AddMonitor(Server* s, const std::string& typ, int port, const std::string& status) {
    Monitor* m = s->ports.Items(s->ports.Add(typ));
    m->port = port;
    m->status = status;
    return m;
  }
  std::string Build() { return GetStatusHTML(list_, StatusPageAddresses{}); }

  ServerList list_;
  TextPane pane_{"Messages/Errors"};
};

TEST_F(StatusPageTest, EmptyListAndEmptyPaneGiveTheBarePage) {
  EXPECT_EQ(Build(),
            "\r\n\r\n <HTML>\r\n<META HTTP-EQUIV=\"REFRESH\" CONTENT=\"60\">\r\n<head><TITLE>"
            "Sentrel Status 2024-05-01 12:34:56</TITLE>\r\n</head><BODY bgcolor=white><img "
            "align=right src=\"/donotmovethis/Sentrellogo.gif\" width=250 height=120>\r\n"
            "<font size=2 face=\"Tahoma,arial,sans serif\"><font size=3><b>Sentrel Status: "
            "2024-05-01 12:34:56</font></b>\r\n<table border=0 cellspacing=2></table><p>"
            "<table border=0 cellspacing=2><tr bgcolor=#ffffff><td nowrap><font size=2 "
            "face=\"Tahoma,arial,sans serif\"><b>History<hr noframe></b></td></tr></table><p>"
            "<font size=2 face=\"Tahoma,arial,sans serif\"><font size=1>Sentrel 2.2, <a "
            "href=\"/\">Homepage</a></BODY></HTML>");
  EXPECT_EQ(LastActivity, "GetStatusHTML");
}

TEST_F(StatusPageTest, ServerWithoutMonitorsHasOnlyItsNameCell) {
  AddServer("lonely", "Main");
  EXPECT_EQ(Build(), Page(false, GroupRow("Main") + ServerCell("lonely") + "</tr>\r\n", ""));
}

TEST_F(StatusPageTest, ColoursFollowTheStatusAndOnlyRedSoundsTheAlarm) {
  Server* s = AddServer("box", "Main");
  AddMonitor(s, "ping", 0, "green")->lastResponseMs = 3;
  AddMonitor(s, "port", 22, "");
  AddMonitor(s, "port", 23, "?");
  AddMonitor(s, "port", 24, "yellow")->lastResponseMs = 10000;
  const std::string rows =
      GroupRow("Main") + ServerCell("box") + MonitorCells("lightgreen", "ping 0", "3ms") +
      MonitorCells("#eeeeee", "port 22", "0ms") + MonitorCells("#eeeeee", "port 23", "0ms") +
      MonitorCells("yellow", "port 24", "10000ms") + "</tr>\r\n";
  EXPECT_EQ(Build(), Page(false, rows, ""));
}

TEST_F(StatusPageTest, RedMonitorShowsItsCountAndLastUpAndTheAlarm) {
  Server* s = AddServer("db", "Back");
  Monitor* m = AddMonitor(s, "port", 5432, "red");
  m->lostCount = 4;
  m->lastResponseMs = 1234;
  m->lastUp = EncodeDate(2024, 4, 30) + EncodeTime(23, 5, 0);
  const std::string rows =
      GroupRow("Back") + ServerCell("db") +
      MonitorCells("red", "port 5432", "1234ms<b> 4 times down since 2024-04-30 23:05:00</b>") +
      "</tr>\r\n";
  EXPECT_EQ(Build(), Page(true, rows, ""));
}

// A server reached only through a router that is down, and one in maintenance: their
// cells say so in their own colours, their red sounds no alarm, and /metrics and
// /status.json say the same. The router's own red still does.
TEST_F(StatusPageTest, HeldServersSayWhyInThePageTheMetricsAndTheJson) {
  Server* router = AddServer("router", "Net");
  Monitor* r = AddMonitor(router, "ping", 0, "green");
  Server* web = AddServer("web", "Net");
  web->parents = {"router"};
  Monitor* w = AddMonitor(web, "port", 80, "red");
  w->lostCount = 3;
  w->lastUp = EncodeDate(2024, 5, 1) + EncodeTime(12, 0, 0);
  Server* db = AddServer("db", "Net");
  db->maintenance = {MaintenanceBetween(Now() - 0.01, EncodeDate(2024, 5, 1) + EncodeTime(13, 0, 0))};
  AddMonitor(db, "port", 5432, "red");
  EXPECT_NE(Build().find("<bgsound"), std::string::npos) << "web's router is up: web is red";

  r->status = "red";
  const std::string rows =
      GroupRow("Net") + ServerCell("router") + MonitorCells("red", "ping 0", "0ms<b> 0 times down since 1899-12-30</b>") +
      "</tr>\r\n" + ServerCell("web") +
      MonitorCells("#c8b8e8", "port 80",
                   "0ms<b> 3 times down since 2024-05-01 12:00:00</b><i> unreachable through router</i>") +
      "</tr>\r\n" + ServerCell("db") +
      MonitorCells("#a8d0f0", "port 5432",
                   "0ms<b> 0 times down since 1899-12-30</b><i> in maintenance until 2024-05-01 13:00:00</i>") +
      "</tr>\r\n";
  EXPECT_EQ(Build(), Page(true, rows, ""));
  r->status = "green";
  router->ports.Items(0)->status = "green";
  web->parents.clear();
  w->status = "green";
  EXPECT_EQ(Build().find("<bgsound"), std::string::npos) << "db's red is held back";

  web->parents = {"router"};
  r->status = "red";
  const std::string metrics = BuildStatusMetrics(list_, {}, {});
  for (const char* line :
       {"sentrel_monitor_unreachable{server=\"router\",monitor=\"ping\",type=\"ping\",port=\"0\",group=\"Net\"} 0\n",
        "sentrel_monitor_unreachable{server=\"web\",monitor=\"port\",type=\"port\",port=\"80\",group=\"Net\"} 1\n",
        "sentrel_monitor_in_maintenance{server=\"web\",monitor=\"port\",type=\"port\",port=\"80\",group=\"Net\"} 0\n",
        "sentrel_monitor_in_maintenance{server=\"db\",monitor=\"port\",type=\"port\",port=\"5432\",group=\"Net\"} 1\n"})
    EXPECT_NE(metrics.find(line), std::string::npos) << line;
  const std::string json = BuildStatusJson(list_, {}, {});
  EXPECT_NE(json.find("\"unreachable\":true,\"unreachableThrough\":[\"router\"],\"inMaintenance\":false}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"unreachable\":false,\"inMaintenance\":true,\"maintenanceUntil\":"),
            std::string::npos)
      << json;
}

TEST_F(StatusPageTest, HttpMonitorsLinkTheirUrlEvenWhenItIsMissing) {
  Server* s = AddServer("web", "Main");
  AddMonitor(s, "http", 80, "");
  AddMonitor(s, "http", 8080, "green")->SetValue("url", "http://localhost:8080/a?b=c&d=e");
  const std::string rows =
      GroupRow("Main") + ServerCell("web") +
      MonitorCells("#eeeeee", "<a href=\"\">http 80</a>", "0ms") +
      MonitorCells("lightgreen", "<a href=\"http://localhost:8080/a?b=c&amp;d=e\">http 8080</a>",
                   "0ms") +
      "</tr>\r\n";
  EXPECT_EQ(Build(), Page(false, rows, ""));
}

TEST_F(StatusPageTest, ServersComeGroupedInTreeOrderWithOneRowPerGroup) {
  AddServer("a1", "Alpha");
  AddServer("b1", "Beta");
  AddServer("a2", "Alpha");
  Server* loose = AddServer("m1", "");
  const std::string rows = GroupRow("Alpha") + ServerCell("a1") + "</tr>\r\n" + ServerCell("a2") +
                           "</tr>\r\n" + GroupRow("Beta") + ServerCell("b1") + "</tr>\r\n" +
                           GroupRow("Main") + ServerCell("m1") + "</tr>\r\n";
  EXPECT_EQ(Build(), Page(false, rows, ""));
  EXPECT_EQ(loose->group, "Main");
}

TEST_F(StatusPageTest, HistoryListsThePaneNewestFirstWithNothingAround) {
  pane_.AddLine("2024-05-01 12:00:00 Sentrel 2.2 started");
  pane_.AddLine("second");
  pane_.AddLine("third");
  EXPECT_EQ(Build(), Page(false, "",
                          HistoryRow("third") + HistoryRow("second") +
                              HistoryRow("2024-05-01 12:00:00 Sentrel 2.2 started")));

  // A full pane gives 1001 rows, the newest on top.
  for (int i = 0; i < 1500; ++i) pane_.AddLine("line " + std::to_string(i));
  std::string page = Build();
  size_t rows = 0;
  for (size_t p = 0; (p = page.find("<tr bgcolor=#eeeeee>", p)) != std::string::npos; ++p) ++rows;
  EXPECT_EQ(rows, 1001u);
  EXPECT_LT(page.find("line 1499<"), page.find("line 1498<"));
}

// Servers on the network choose their own reason phrases, and those reach the History;
// the configuration's texts come from whoever edited the file. None of them may become
// markup in the operator's browser.
TEST_F(StatusPageTest, EveryInsertedTextIsEscaped) {
  Server* s = AddServer("<b>srv</b>", "G&\"<i>\"");
  Monitor* m = AddMonitor(s, "http", 80, "green");
  m->SetValue("url", "\"><script>alert(1)</script>");
  pane_.AddLine("2024-05-01 12:00:00 web http DOWN (2) 0ms 0 bytes <script>x()</script> & \"q\"");
  const std::string rows =
      GroupRow("G&amp;&quot;&lt;i&gt;&quot;") + ServerCell("&lt;b&gt;srv&lt;/b&gt;") +
      MonitorCells("lightgreen",
                   "<a href=\"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">http 80</a>",
                   "0ms") +
      "</tr>\r\n";
  EXPECT_EQ(Build(), Page(false, rows,
                          HistoryRow("2024-05-01 12:00:00 web http DOWN (2) 0ms 0 bytes "
                                     "&lt;script&gt;x()&lt;/script&gt; &amp; &quot;q&quot;")));
}

// The escaper looks at eight bytes at a time; a special character must be found at
// every offset, also between bytes above 127 (UTF-8 text).
TEST(HtmlEscapeTest, FindsEverySpecialCharacterAtEveryOffset) {
  auto naive = [](const std::string& text) {
    std::string out;
    for (char ch : text) {
      if (ch == '&')
        out += "&amp;";
      else if (ch == '<')
        out += "&lt;";
      else if (ch == '>')
        out += "&gt;";
      else if (ch == '"')
        out += "&quot;";
      else
        out += ch;
    }
    return out;
  };
  for (const char* filler : {"abcdefghijklmnopqrstuvwxyz0123",
                             "\xc3\xa9\xc3\xa9\xff\x80\x7f\x01&'=;%$#@!ab\xe2\x82\xacxy"}) {
    const std::string base = filler;
    for (char special : {'&', '<', '>', '"'}) {
      for (size_t pos = 0; pos < base.size(); ++pos) {
        std::string text = base;
        text[pos] = special;
        ASSERT_EQ(HtmlEscaped(text), naive(text)) << pos << " " << special;
        text.resize(pos + 1);
        ASSERT_EQ(HtmlEscaped(text), naive(text)) << pos << " " << special;
      }
    }
    EXPECT_EQ(HtmlEscaped(base), naive(base));
  }
  EXPECT_EQ(HtmlEscaped(""), "");
  EXPECT_EQ(HtmlEscaped("<<&&\"\">>"), "&lt;&lt;&amp;&amp;&quot;&quot;&gt;&gt;");
}

TEST_F(StatusPageTest, SiteSettingPrefixesTheFixedPaths) {
  StatusPageAddresses a = StatusPageAddresses::ForSite("http://intranet.example/", "");
  EXPECT_EQ(a.alarmSound, "http://intranet.example/donotmovethis/alarm.wav");
  EXPECT_EQ(a.logo, "http://intranet.example/donotmovethis/Sentrellogo.gif");
  EXPECT_EQ(a.homepage, "http://intranet.example/");
  a = StatusPageAddresses::ForSite("", "http://intranet.example/sentrel");
  EXPECT_EQ(a.alarmSound, "/donotmovethis/alarm.wav");
  EXPECT_EQ(a.homepage, "http://intranet.example/sentrel");

  Server* s = AddServer("x", "Main");
  AddMonitor(s, "ping", 0, "red");
  std::string page =
      GetStatusHTML(list_, StatusPageAddresses::ForSite("http://h.example", "/h?a&b"));
  EXPECT_NE(page.find("<bgsound src=\"http://h.example/donotmovethis/alarm.wav\" loop=\"0\">"),
            std::string::npos);
  EXPECT_NE(page.find("<img align=right src=\"http://h.example/donotmovethis/Sentrellogo.gif\""),
            std::string::npos);
  EXPECT_NE(page.find("<a href=\"/h?a&amp;b\">Homepage</a></BODY></HTML>"), std::string::npos);
}

}  // namespace
}  // namespace sentrel
