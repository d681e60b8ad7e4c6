// The availability figures where other programs read them: the metrics, the JSON and the
// badges, from figures a test sets.
#include <gtest/gtest.h>

#include <map>

#include "model/server_list.h"
#include "reports/availability.h"
#include "reports/status_badges.h"
#include "reports/status_exports.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

class FixedFigures : public AvailabilitySource {
 public:
  Availability MonitorAvailability(const Monitor& monitor, int hours) override {
    auto it = figures.find({monitor.name, hours});
    return it == figures.end() ? Availability{} : it->second;
  }
  std::map<std::pair<std::string, int>, Availability> figures;
};

Availability Figures(int64_t checks, int64_t good, int64_t outages, int64_t downMs) {
  Availability a;
  a.checks = checks;
  a.good = good;
  a.outages = outages;
  a.downtimeMs = downMs;
  a.longestMs = downMs;
  return a;
}

class AvailabilityExportsTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    Server* s = servers_.Items(servers_.Add("shop&co"));
    s->group = "Main";
    web_ = s->ports.Items(s->ports.Add("http"));
    web_->name = "web<1>";
    web_->status = "red";
    web_->lastResponseMs = 120;
    db_ = s->ports.Items(s->ports.Add("port"));
    db_->name = "db";
    db_->port = 5432;
    db_->status = "green";
    db_->lastResponseMs = 7000;
    source_.figures[{"web<1>", 24}] = Figures(8640, 8634, 2, 60'000);
    source_.figures[{"web<1>", 168}] = Figures(60480, 60400, 3, 800'000);
    source_.figures[{"web<1>", 720}] = Figures(259200, 259000, 5, 2'000'000);
    Availability pending = Figures(10, 10, 0, 0);
    pending.pending = true;
    source_.figures[{"db", 24}] = pending;
  }

  ServerList servers_;
  Monitor* web_ = nullptr;
  Monitor* db_ = nullptr;
  FixedFigures source_;
};

TEST_F(AvailabilityExportsTest, MetricsAndJsonCarryThePeriods) {
  const std::string metrics = BuildStatusMetrics(servers_, {}, {}, &source_);
  const std::string labels = "{server=\"shop&co\",monitor=\"web<1>\",type=\"http\",port=\"80\",group=\"Main\",window=";
  for (const char* line :
       {"# TYPE sentrel_monitor_availability_ratio gauge\n", "# TYPE sentrel_monitor_outages gauge\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line;
  }
  EXPECT_NE(metrics.find("sentrel_monitor_availability_ratio" + labels + "\"30d\"} 0.9992283950617284\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("sentrel_monitor_outages" + labels + "\"7d\"} 3\n"), std::string::npos);
  EXPECT_NE(metrics.find("sentrel_monitor_downtime_seconds" + labels + "\"24h\"} 60\n"),
            std::string::npos);
  // No sample for a period without checks, nor while the log is still being read.
  EXPECT_EQ(metrics.find("monitor=\"db\",type=\"port\",port=\"5432\",group=\"Main\",window="),
            std::string::npos);
  // Without a source the families are not there at all.
  EXPECT_EQ(BuildStatusMetrics(servers_, {}, {}).find("availability"), std::string::npos);

  const std::string json = BuildStatusJson(servers_, {}, {}, &source_);
  EXPECT_NE(json.find("\"availability\":{\"pending\":false,\"24h\":{\"ratio\":0.9993055555555556,"
                      "\"checks\":8640,\"good\":8634,\"outages\":2,\"downtimeSeconds\":60,"
                      "\"longestOutageSeconds\":60,\"downNow\":false,\"from\":"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"availability\":{\"pending\":true,\"24h\":{\"ratio\":1,"), std::string::npos);
  EXPECT_NE(json.find("\"7d\":{\"ratio\":null,\"checks\":0,"), std::string::npos);
}

TEST_F(AvailabilityExportsTest, BadgesNameTheMonitorSafelyAndColourTheValue) {
  struct Case {
    const char* path;
    int status;
    const char* title;
    const char* colour;
  };
  const Case cases[] = {
      {"/badge/shop%26co/web%3C1%3E/status.svg", 200, "shop&amp;co web&lt;1&gt;: down", kBadgeRed},
      {"/badge/shop%26co/db/status.svg", 200, "shop&amp;co db: up", kBadgeGreen},
      {"/badge/SHOP%26CO/DB/response.svg", 200, "shop&amp;co db response: 7000 ms", kBadgeYellow},
      {"/badge/shop%26co/web%3C1%3E/response.svg", 200, "shop&amp;co web&lt;1&gt; response: 120 ms",
       kBadgeRed},
      {"/badge/shop%26co/web%3C1%3E/availability-24h.svg", 200,
       "shop&amp;co web&lt;1&gt; 24h: 99.93%", kBadgeGreen},
      {"/badge/shop%26co/db/availability-24h.svg", 200, "shop&amp;co db 24h: reading logs", kBadgeGrey},
      {"/badge/shop%26co/db/availability-30d.svg", 200, "shop&amp;co db 30d: no data", kBadgeGrey},
      // Names and pictures that are not there, and a hostile name, give the grey 404.
      {"/badge/shop%26co/nothing/status.svg", 404, "shop&amp;co nothing: unknown", kBadgeGrey},
      {"/badge/shop%26co/db/availability-1y.svg", 404, "shop&amp;co db: unknown", kBadgeGrey},
      {"/badge/%3Cscript%3Ealert(1)%3C%2Fscript%3E/x/status.svg", 404,
       "&lt;script&gt;alert(1)&lt;/script&gt; x: unknown", kBadgeGrey},
      {"/badge/too/few", 404, "badge: unknown", kBadgeGrey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const BadgeReply b = BuildBadge(servers_, &source_, c.path);
    EXPECT_EQ(b.status, c.status);
    EXPECT_NE(b.svg.find(std::string("<title>") + c.title + "</title>"), std::string::npos) << b.svg;
    EXPECT_NE(b.svg.find(std::string("fill=\"") + c.colour + "\""), std::string::npos);
    EXPECT_EQ(b.svg.find("<script"), std::string::npos);
  }
  // The share's colour follows its value.
  source_.figures[{"web<1>", 720}] = Figures(100, 96, 1, 1);
  EXPECT_NE(BuildBadge(servers_, &source_, "/badge/shop%26co/web%3C1%3E/availability-30d.svg")
                .svg.find(kBadgeYellow),
            std::string::npos);
  source_.figures[{"web<1>", 720}] = Figures(100, 90, 1, 1);
  EXPECT_NE(BuildBadge(servers_, &source_, "/badge/shop%26co/web%3C1%3E/availability-30d.svg")
                .svg.find(kBadgeRed),
            std::string::npos);
  // A long name is cut; the badge stays a glance.
  const std::string longName(500, 'n');
  EXPECT_LT(BadgeSvg(longName, "up", kBadgeGreen).size(), 2000u);
}

}  // namespace
}  // namespace sentrel
