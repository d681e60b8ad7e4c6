#include "reports/request_times.h"

#include <gtest/gtest.h>

#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::CoreFixture;
using test::WriteFile;

class RequestTimesTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2026, 12, 7) + EncodeTime(14, 0, 0));
    servers_.Add("web1");
    server_ = servers_.Items(0);
    server_->logfile = "web1.log";
    monitor_ = server_->ports.Items(server_->ports.Add("http"));
    monitor_->port = 80;
  }

  // A stamp the given number of days (and seconds) before now.
  std::string Stamp(double daysAgo) const { return FormatDateTime(clock_.Now() - daysAgo); }
  std::string Http(double daysAgo, const std::string& word, int ms) const {
    return Stamp(daysAgo) + " web1 HTTP 80 " + word + " " + std::to_string(ms) +
           "ms 512Bytes E0 200 OK\r\n";
  }
  void Log(const std::string& content) { WriteFile(dir_->File("web1.log"), content); }
  RequestTimes Run(const std::string& days) { return ComputeRequestTimes(*monitor_, days); }

  ServerList servers_;
  Server* server_ = nullptr;
  Monitor* monitor_ = nullptr;
};

TEST_F(RequestTimesTest, TimeWindowCountsTheLastDaysOnly) {
  Log(Http(5, "OK", 50) + Http(4, "OK", 60) + Http(4 - 1.0 / 86400, "OK", 70) + Http(3, "OK", 80) +
      Http(0.01, "LOST", 0));
  RequestTimes r = Run("4");
  // Five days old is out, exactly four days old is out, a second younger is in.
  ASSERT_EQ(r.points.size(), 3u);
  EXPECT_EQ(r.points[0].ms, 70);
  EXPECT_EQ(r.points[1].ms, 80);
  EXPECT_TRUE(r.points[1].good);
  EXPECT_FALSE(r.points[2].good);
  EXPECT_EQ(r.points[2].ms, 0);
  EXPECT_DOUBLE_EQ(r.points[1].time, *ParseDateTime(Stamp(3).substr(0, 10), Stamp(3).substr(11)));
  EXPECT_EQ(r.goodCount, 2);
  EXPECT_EQ(r.badCount, 1);
  EXPECT_EQ(r.footer, "Average: 75 ms, Good: 67%, Lost: 33%");
  EXPECT_EQ(r.title, "Sentrel Request Times: web1 (http 80, last 4 days)");

  RequestTimes none = Run("0");
  EXPECT_TRUE(none.points.empty());
  EXPECT_EQ(none.footer, "");
  EXPECT_EQ(none.valueAxisMax, 0);
}

TEST_F(RequestTimesTest, FooterAverageAndShares) {
  Log(Http(1, "OK", 120) + Http(1, "UP", 80));
  EXPECT_EQ(Run("4").footer, "Average: 100 ms, Good: 100%, Lost: 0%");

  std::string lines = Http(1, "OK", 10);
  for (int i = 0; i < 7; ++i) lines += Http(1, i % 2 ? "LOST" : "DOWN", 0);
  Log(lines);
  // 12.5 and 87.5: halves go to the even number.
  EXPECT_EQ(Run("4").footer, "Average: 10 ms, Good: 12%, Lost: 88%");

  Log(Http(1, "OK", 2) + Http(1, "OK", 3));  // 2.5 -> 2
  EXPECT_EQ(Run("4").footer, "Average: 2 ms, Good: 100%, Lost: 0%");
  Log(Http(1, "OK", 3) + Http(1, "OK", 4));  // 3.5 -> 4
  EXPECT_EQ(Run("4").footer, "Average: 4 ms, Good: 100%, Lost: 0%");

  Log(Http(1, "LOST", 0) + Http(1, "DOWN", 0));
  RequestTimes bad = Run("4");
  EXPECT_EQ(bad.footer, "");
  EXPECT_EQ(bad.badCount, 2);
  EXPECT_EQ(bad.points.size(), 2u);
}

TEST_F(RequestTimesTest, FooterRoundsTheExactFraction) {
  // 1 of 200 is a share of exactly 0.5 percent, which rounds to 0, and 99.5 to 100.
  EXPECT_EQ(RequestTimesFooter(1, 199, 5), "Average: 5 ms, Good: 0%, Lost: 100%");
  EXPECT_EQ(RequestTimesFooter(3, 197, 5), "Average: 2 ms, Good: 2%, Lost: 98%");
  EXPECT_EQ(RequestTimesFooter(0, 3, 0), "");
}

TEST_F(RequestTimesTest, SkipsOtherKindsPortsAndShortLines) {
  Log(Stamp(1) + " web1 PING 0 OK 5ms 56Bytes Success\r\n" + Stamp(1) +
      " web1 HTTP 8080 OK 6ms 10Bytes E0 200 OK\r\n" + Stamp(1) +
      " web1 PORT 80 OK 7ms 0Bytes \r\n" + Stamp(1) + " Ping:Unable to resolve no such host\r\n" +
      Stamp(1) + " web1 HTTP 80 OK 42 10Bytes digits alone are no time\r\n" + Stamp(1) +
      " web1 HTTP 80 OK x9ms 10Bytes E0 200 OK\r\n" + Stamp(1) +
      " web1 HTTP x80 OK 9ms 10Bytes E0 200 OK\r\n" + Stamp(1) + " web1 HTTP 80 OK 9ms\r\n" +
      "garbage that has eight words but 7 is no 8ms time\r\n" +
      // Another server writing to the same file counts, and the kind ignores case.
      Stamp(1) + " other hTtP 80 OK 11ms 10Bytes E0 200 OK\r\n" + Stamp(1) +
      " web1 HTTP 0x50 OK 13ms 10Bytes hex port is still 80\r\n");
  RequestTimes r = Run("4");
  ASSERT_EQ(r.points.size(), 2u);
  EXPECT_EQ(r.points[0].ms, 11);
  EXPECT_EQ(r.points[1].ms, 13);
}

TEST_F(RequestTimesTest, ValueAxisStopsAt20000) {
  Log(Http(1, "OK", 150) + Http(1, "OK", 25000));
  EXPECT_EQ(Run("4").valueAxisMax, 20000);
  Log(Http(1, "OK", 150) + Http(1, "OK", 900));
  EXPECT_EQ(Run("4").valueAxisMax, 900);
}

TEST_F(RequestTimesTest, LargeSumsDoNotOverflow) {
  std::string lines;
  for (int i = 0; i < 3; ++i) lines += Http(1, "OK", 2'000'000'000);
  Log(lines);
  RequestTimes r = Run("4");
  EXPECT_EQ(r.sumMs, 6'000'000'000LL);
  EXPECT_EQ(r.footer, "Average: 2000000000 ms, Good: 100%, Lost: 0%");
}

TEST_F(RequestTimesTest, TitleCarriesTheAnswerAsTyped) {
  Log(Http(1, "OK", 5));
  EXPECT_EQ(Run(" 04").title, "Sentrel Request Times: web1 (http 80, last  04 days)");
}

TEST_F(RequestTimesTest, ErrorsEndTheCommandAndNameTheLine) {
  Log(Http(1, "OK", 5));
  try {
    Run("four");
    ADD_FAILURE();
  } catch (const SentrelError& e) {
    EXPECT_STREQ(e.what(), "'four' is not a valid integer value");
  }

  EXPECT_THROW(ComputeRequestTimes(*monitor_, "4", dir_->File("missing.log"), Now()), SentrelError);

  const std::string badStamp = "06.12.2026 14:03:07 web1 HTTP 80 OK 12ms 56Bytes E0 200 OK";
  Log(Http(1, "OK", 5) + badStamp + "\r\n" + Http(1, "OK", 6));
  try {
    Run("4");
    ADD_FAILURE();
  } catch (const SentrelError& e) {
    EXPECT_STREQ(e.what(), "'06.12.2026 14:03:07' is not a valid date and time");
    EXPECT_EQ(LastActivity, "Read " + badStamp);
  }

  // The stamp is read before the port and kind decide: another monitor's line with a bad
  // stamp ends the command too, as a bad port word does.
  Log(Http(1, "OK", 5) + "2026-13-01 10:00:00 web1 PORT 25 OK 1ms 0Bytes \r\n");
  EXPECT_THROW(Run("4"), SentrelError);
  Log(Stamp(1) + " web1 HTTP 8O OK 1ms 0Bytes E0 200 OK\r\n");
  try {
    Run("4");
    ADD_FAILURE();
  } catch (const SentrelError& e) {
    EXPECT_STREQ(e.what(), "'8O' is not a valid integer value");
  }

  Log(Http(2, "OK", 5) + Http(1, "OK", 6));
  Run("4");
  EXPECT_EQ(LastActivity, "Read " + Http(1, "OK", 6).substr(0, Http(1, "OK", 6).size() - 2));
}

}  // namespace
}  // namespace sentrel
