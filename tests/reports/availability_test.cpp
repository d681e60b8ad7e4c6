#include "reports/availability.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "reports/availability_report.h"
#include "reports/availability_tracker.h"
#include "reports/log_dump.h"
#include "support/loopback_server.h"
#include "support/network_fixture.h"
#include "support/run_to_completion.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ReadFile;
using test::WriteFile;

constexpr double kSecond = 1.0 / 86400;

// A record line as the writers make it, at a date-time (midnight itself two seconds
// later, as the writers stamp it). A word ending in "!" is a port's failed probe.
std::string Record(double at, const std::string& server, const std::string& kind, int port,
                   std::string word) {
  if (TimeOfDayMs(at) == 0) at += 2 * kSecond;
  const bool probe = word.back() == '!';
  if (probe) word.pop_back();
  return FormatDateTime(at) + " " + server + " " + kind + " " + std::to_string(port) + " " + word +
         (probe ? " 0ms 0Bytes Error=10057 (2 lost)\r\n" : " 12ms 0Bytes \r\n");
}

int64_t Ms(double at) {
  return DateTimeToMs(at);
}

// The figures of a log read whole by a history of its own.
Availability ReadBack(const std::string& path, const std::string& server, const std::string& typ,
                      int port, double now, int hours) {
  LogHistory h(path);
  h.Restart(0);
  while (!h.ReadMore(1 << 20)) {
  }
  return h.Figures(server, typ, port, Ms(now), hours);
}

// The real status steps write the records; the figures must count each check once,
// whatever records it wrote, both as the lines are written and read back from the file.
class AvailabilityWritersTest : public test::NetworkCheckFixture {};

TEST_F(AvailabilityWritersTest, EachCheckCountsOnceWhateverItWrote) {
  Server* shop = AddServer("shop");
  shop->ip = "127.0.0.1";
  Monitor* port = AddMonitor(shop, "port", 443);
  Monitor* ping = AddMonitor(shop, "ping", 0);
  Monitor* http = AddMonitor(shop, "http", 80);
  port->status = ping->status = http->status = "green";
  const double start = Now();

  // Per check: true succeeds, false fails. From green, the second failure step in a row
  // turns the monitor red (port: LOST then DOWN; ping: DOWN then LOST), and the first
  // success after that writes OK then UP. A failed port check takes two failure steps, as
  // the real check does: its verdict, then its probe on the socket that never connected,
  // so it writes LOST, LOST, DOWN from green and LOST, LOST once red.
  const bool outcomes[] = {true, false, false, false, true, true, false, true, false, false, true};
  int checks = 0, good = 0;
  for (bool ok : outcomes) {
    clock_.AdvanceSeconds(10);
    ++checks;
    good += ok;
    if (ok) {
      scan().PortVerdict(*port, true, 20);
    } else if (checks == 9) {
      // A refused connection writes its error number; still one check.
      scan().PortSocketError(*port, 10061);
    } else {
      scan().PortVerdict(*port, false, 5000);
      scan().PortSocketError(*port, 10057);
    }
    // A ping whose name cannot be looked up leaves a message line before its records.
    if (!ok) scan().PingDisplay(*shop, "Unable to resolve no such host");
    scan().PingVerdict(*ping, ok, ok ? 3 : 10000, ok ? "No error" : "Request timed out");
    scan().HttpVerdict(*http, ok, 30, 100, 0, ok ? 200 : 503, ok ? "OK" : "Service Unavailable");
  }
  const double now = Now();
  // Outages: checks 2-5 (30 s), 7-8 (10 s), 9-11 (20 s).
  const std::string log = ReadFile(dir_->File("shop.log"));
  ASSERT_NE(log.find("PORT 443 DOWN"), std::string::npos);
  ASSERT_NE(log.find("PING 0 DOWN"), std::string::npos);
  ASSERT_NE(log.find("HTTP 80 UP"), std::string::npos);

  for (Monitor* m : {port, ping, http}) {
    SCOPED_TRACE(m->typ);
    for (Availability a : {program_->availability.MonitorAvailability(*m, 24),
                           ReadBack(dir_->File("shop.log"), "shop", m->typ, m->port, now, 24)}) {
      EXPECT_EQ(a.checks, checks);
      EXPECT_EQ(a.good, good);
      EXPECT_EQ(a.outages, 3);
      EXPECT_EQ(a.downtimeMs, 60'000);
      EXPECT_EQ(a.longestMs, 30'000);
      EXPECT_FALSE(a.downNow);
      EXPECT_FALSE(a.pending);
      // The log began with these checks: no data before the first one.
      EXPECT_GT(a.fromMs, Ms(start));
      EXPECT_LE(a.fromMs, Ms(start) + 10'000);
    }
  }
  EXPECT_EQ(FormatAvailabilityPercent(program_->availability.MonitorAvailability(*port, 720)),
            "45.45%");

  // The real check on a closed loopback port: three records at its first failure, two at
  // each one after, one check each.
  test::ClosedPort closed;
  Monitor* real = AddMonitor(shop, "port", closed.Port());
  real->status = "green";
  for (int i = 0; i < 3; ++i) {
    clock_.AdvanceSeconds(10);
    RunToCompletion(network_->DoAPort(*real));
  }
  ASSERT_EQ(real->lostCount, 6);
  const Availability a = program_->availability.MonitorAvailability(*real, 24);
  EXPECT_EQ(a.checks, 3);
  EXPECT_EQ(a.good, 0);
  EXPECT_EQ(a.outages, 1);
  EXPECT_TRUE(a.downNow);
}

// Record shapes beyond what the writers make today: each row is a run of records of one
// monitor, a second apart unless said, and what it counts as.
TEST(AvailabilityRecords, JoiningRules) {
  struct Row {
    const char* kind;
    std::vector<std::string> words;  // "+N" waits N seconds more before the next record
    int checks;
    int good;
  };
  const Row rows[] = {
      {"PORT", {"LOST", "DOWN", "LOST", "LOST", "OK", "UP"}, 4, 1},
      // A port's failed probe ("!" marks its records) belongs to the failed check before it.
      {"PORT", {"LOST", "LOST!", "DOWN!", "LOST", "DOWN", "LOST!", "LOST", "LOST!", "OK"}, 4, 1},
      // After a good check, or a minute later, it is a check of its own.
      {"PORT", {"OK", "LOST!", "LOST", "+61", "LOST!"}, 4, 1},
      {"PING", {"LOST", "DOWN", "LOST", "LOST", "OK", "UP"}, 4, 1},
      // A ping's DOWN is not joined to the LOST before it, nor an HTTP LOST to a DOWN.
      {"PING", {"LOST", "DOWN"}, 2, 0},
      {"HTTP", {"DOWN", "LOST"}, 2, 0},
      // A record alone is a check of its own, also the second word of a pair.
      {"HTTP", {"UP", "DOWN", "UP"}, 3, 2},
      // Records a minute apart belong to two checks.
      {"PORT", {"LOST", "+61", "DOWN"}, 2, 0},
      // Words no writer uses are no checks.
      {"PORT", {"ok", "WARN", "OK"}, 1, 1},
  };
  const double t0 = EncodeDate(2026, 12, 7) + EncodeTime(10, 0, 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.kind) + " " + ::testing::PrintToString(row.words));
    LogHistory h("unused");
    double at = t0;
    for (const std::string& w : row.words) {
      if (w[0] == '+') {
        at += std::stoi(w.substr(1)) * kSecond;
        continue;
      }
      h.Feed(Record(at, "web1", row.kind, 80, w));
      at += kSecond;
    }
    // Another server's and another port's records in the same file are not this monitor's.
    h.Feed(Record(at, "web2", row.kind, 80, "LOST"));
    h.Feed(Record(at, "web1", row.kind, 81, "LOST"));
    const Availability a = h.Figures("web1", row.kind, 80, Ms(at), 24);
    EXPECT_EQ(a.checks, row.checks);
    EXPECT_EQ(a.good, row.good);
  }
}

TEST(AvailabilityRecords, OutageOverMidnightAndPeriodsInWholeHours) {
  LogHistory h("unused");
  const double day = EncodeDate(2026, 12, 6);
  // A check every ten minutes from 20:00 to 02:00; failing from 23:50 to 00:10.
  for (int minutes = 20 * 60; minutes <= 26 * 60; minutes += 10) {
    const bool down = minutes >= 23 * 60 + 50 && minutes < 24 * 60 + 10;
    h.Feed(Record(day + minutes / 1440.0, "db", "PORT", 5432, down ? "LOST" : "OK"));
  }
  const double now = day + 1 + EncodeTime(2, 30, 0);
  const Availability all = h.Figures("db", "port", 5432, Ms(now), 24);
  EXPECT_EQ(all.checks, 37);
  EXPECT_EQ(all.good, 35);
  EXPECT_EQ(all.outages, 1);
  EXPECT_EQ(all.downtimeMs, 20 * 60'000);
  EXPECT_EQ(all.longestMs, 20 * 60'000);
  EXPECT_EQ(all.fromMs, Ms(day + EncodeTime(20, 0, 0)));

  // Two hours: the current hour and the one before, 01:00 to now.
  const Availability twoHours = h.Figures("db", "port", 5432, Ms(now), 2);
  EXPECT_EQ(twoHours.checks, 7);
  EXPECT_EQ(twoHours.outages, 0);
  EXPECT_EQ(twoHours.fromMs, Ms(day + 1 + EncodeTime(1, 0, 0)));

  // From 00:00: the outage is cut at the start of the period.
  const Availability threeHours = h.Figures("db", "port", 5432, Ms(now), 3);
  EXPECT_EQ(threeHours.outages, 1);
  EXPECT_EQ(threeHours.downtimeMs, 10 * 60'000);
  EXPECT_EQ(threeHours.checks - threeHours.good, 1);

  // An outage that goes on is counted up to now.
  h.Feed(Record(day + 1 + EncodeTime(2, 10, 0), "db", "PORT", 5432, "LOST"));
  const Availability open = h.Figures("db", "port", 5432, Ms(now), 24);
  EXPECT_TRUE(open.downNow);
  EXPECT_EQ(open.outages, 2);
  EXPECT_EQ(open.longestMs, 20 * 60'000);
  EXPECT_EQ(open.downtimeMs, 40 * 60'000);

  // A monitor without records has no data, which is never 100 %.
  const Availability none = h.Figures("db", "ping", 0, Ms(now), 24);
  EXPECT_FALSE(none.HasData());
  EXPECT_EQ(FormatAvailabilityPercent(none), "no data");
}

TEST(AvailabilityRecords, Texts) {
  const struct {
    int64_t good, checks;
    const char* text;
  } shares[] = {{0, 0, "no data"},  {5, 5, "100%"},        {0, 3, "0%"},
                {99999, 100000, "99.99%"}, {1, 3, "33.33%"}, {2, 3, "66.66%"}, {9, 10, "90%"}};
  for (const auto& s : shares) EXPECT_EQ(FormatAvailabilityPercent(s.good, s.checks), s.text);
  EXPECT_EQ(FormatDuration(999), "0 s");
  EXPECT_EQ(FormatDuration(59'000), "59 s");
  EXPECT_EQ(FormatDuration(3'599'000), "59 min");
  EXPECT_EQ(FormatDuration(3'600'000), "1 h");
  EXPECT_EQ(FormatDuration(3'900'000), "1 h 5 min");
  EXPECT_EQ(FormatDuration(2 * 86'400'000 + 4 * 3'600'000 + 60'000), "2 d 4 h");
  EXPECT_EQ(SummaryFileName("web 1.log"), "web%201.log.days");
  EXPECT_EQ(SummaryFileName("/var/log/x.log"), "%2Fvar%2Flog%2Fx.log.days");
  EXPECT_EQ(SummaryFileName(".hidden"), "%2Ehidden.days");
}

// The day summaries: kept beside the logs, trusted while the log is the one they
// describe, and made again from the log when it was cut or changed.
class AvailabilitySummaryTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2026, 12, 8) + EncodeTime(12, 0, 0));
    Server* s = servers_.Items(servers_.Add("web1"));
    s->logfile = "web1.log";
    monitor_ = s->ports.Items(s->ports.Add("http"));
    monitor_->port = 80;
    path_ = dir_->File("web1.log");
    // Ten days of checks every 30 minutes, down for the two hours before 06:00 each day.
    std::string log;
    for (int i = 0; i < 10 * 48; ++i) {
      const int hour = (i / 2 + 12) % 24;
      log += Record(Now() - 10 + i / 48.0, "web1", "HTTP", 80, hour >= 4 && hour < 6 ? "LOST" : "OK");
    }
    WriteFile(path_, log);
  }

  // A tracker as the program has at a start, with its reading done.
  std::unique_ptr<AvailabilityTracker> Start(bool* readLogs = nullptr) {
    auto t = std::make_unique<AvailabilityTracker>();
    servers_.logObserver = t.get();
    t->Follow(servers_);
    if (readLogs) *readLogs = t->Reading();
    EXPECT_TRUE(loop_->WaitUntil([&t] { return !t->Reading(); }, 60000));
    return t;
  }
  Availability Week(AvailabilityTracker& t) { return t.MonitorAvailability(*monitor_, 168); }
  void SetMtime(double secondsLater) {
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_sec += static_cast<time_t>(secondsLater);
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }

  ServerList servers_;
  Monitor* monitor_ = nullptr;
  std::string path_;
};

TEST_F(AvailabilitySummaryTest, KeptAndTrustedWhileTheLogIsTheSame) {
  bool read = false;
  auto first = Start(&read);
  EXPECT_TRUE(read);
  const Availability week = Week(*first);
  // From 13:00 seven days ago (168 whole hours) to 11:30 today.
  EXPECT_EQ(week.checks, 7 * 48 - 2);
  EXPECT_EQ(week.checks - week.good, 7 * 4);
  EXPECT_EQ(week.outages, 7);
  EXPECT_EQ(week.downtimeMs, 7 * 2 * 3'600'000);
  // The end of the reading keeps the summary at once.
  const std::string summaryPath = dir_->File("availability/web1.log.days");
  ASSERT_TRUE(loop_->WaitUntil([&] { return FileExists(summaryPath); }, 10000));
  const std::string afterReading = ReadFile(summaryPath);
  // A record written while the program runs counts at once, and the periodic save keeps
  // it, a summary at a time between other work.
  servers_.Items(0)->AppendLog("web1 HTTP 80 LOST 0ms 0Bytes 503 down");
  EXPECT_TRUE(Week(*first).downNow);
  clock_.AdvanceMs(AvailabilityTracker::kSaveEveryMs);
  ASSERT_TRUE(loop_->WaitUntil([&] { return ReadFile(summaryPath) != afterReading; }, 10000));
  first.reset();

  // The next start takes the summary and reads nothing.
  auto second = Start(&read);
  EXPECT_FALSE(read);
  Availability again = Week(*second);
  EXPECT_EQ(again.checks, week.checks + 1);
  EXPECT_TRUE(again.downNow);
  EXPECT_EQ(again.outages, week.outages + 1);
  // The report on the command line takes the same summary and reads nothing either.
  AvailabilityReader reader(servers_, Ms(Now()), 168);
  EXPECT_EQ(reader.FromSummaries(), 1);
  EXPECT_EQ(reader.MonitorAvailability(*monitor_, 168).checks, again.checks);
  second.reset();

  // Lines written after the summary (a program that ended without saving it) are read
  // on from where it stopped.
  AppendToFile(path_, Record(Now(), "web1", "HTTP", 80, "OK"));
  auto third = Start(&read);
  EXPECT_TRUE(read);
  again = Week(*third);
  EXPECT_EQ(again.checks, week.checks + 2);
  EXPECT_FALSE(again.downNow);
  EXPECT_EQ(third->History(path_)->Offset(), ReadFile(path_).size());
  third->SaveSummaries();

  // A summary that does not read whole is made again from the log, quietly.
  std::string summary = ReadFile(dir_->File("availability/web1.log.days"));
  summary[summary.size() / 2] ^= 1;
  WriteFile(dir_->File("availability/web1.log.days"), summary);
  third.reset();
  auto fourth = Start(&read);
  EXPECT_TRUE(read);
  EXPECT_EQ(Week(*fourth).checks, week.checks + 2);
  EXPECT_TRUE(errors_.empty());
}

TEST_F(AvailabilitySummaryTest, MadeAgainAfterDumpOrEdit) {
  auto t = Start();
  t->SaveSummaries();
  const int64_t weekChecks = Week(*t).checks;
  t.reset();

  // Dump logs keeping 3 days: the summary still counts seven, the log does not.
  DumpLogFile(path_, DumpCopyPath(path_), 3, Now());
  bool read = false;
  t = Start(&read);
  EXPECT_TRUE(read);
  const Availability cut = Week(*t);
  EXPECT_LT(cut.checks, weekChecks);
  EXPECT_EQ(cut.fromMs, Ms(static_cast<int>(Now()) - 2.0) + 2000);
  // The cut while the program runs (the window's Dump logs) is seen at the next line.
  DumpLogFile(path_, DumpCopyPath(path_), 1, Now());
  servers_.Items(0)->AppendLog("web1 HTTP 80 OK 5ms 0Bytes E0 200 OK");
  ASSERT_TRUE(loop_->WaitUntil([&t] { return !t->Reading(); }, 60000));
  EXPECT_EQ(Week(*t).fromMs, Ms(static_cast<int>(Now())) + 2000);
  t->SaveSummaries();
  t.reset();

  // An edit that keeps the size (OK to UP), saved later than the summary.
  std::string log = ReadFile(path_);
  const size_t lost = log.find(" LOST ");
  ASSERT_NE(lost, std::string::npos);
  log.replace(lost, 6, " OKAY ");
  WriteFile(path_, log);
  SetMtime(5);
  t = Start(&read);
  EXPECT_TRUE(read);
  // Today's 24 checks and the one written since: one of the four failures is gone.
  const Availability edited = Week(*t);
  EXPECT_EQ(edited.checks, 24);
  EXPECT_EQ(edited.good, 21);

  // A log that is deleted takes its figures with it.
  std::remove(path_.c_str());
  t->Recheck();
  EXPECT_FALSE(Week(*t).HasData());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(AvailabilitySummaryTest, ALongLogIsReadFromTheFirstDayThatCounts) {
  // 40 days of records, a quarter of a megabyte a day, with lines that carry no date.
  std::string log;
  const double today = static_cast<int>(Now());
  for (int minute = 0; minute < (40 * 24 + 12) * 60; ++minute) {
    log += Record(today - 40 + minute / 1440.0, "web1", "HTTP", 80, "OK");
    if (minute % 97 == 0) log += "garbage without a date\r\n";
  }
  WriteFile(path_, log);
  const int64_t day = static_cast<int64_t>(today) - AvailabilityTracker::kKeepDays;
  const uint64_t at = FindFirstLineOfDay(path_, day);
  const std::string first = FormatDate(static_cast<double>(day));
  const size_t exact = log.find(first);
  ASSERT_NE(exact, std::string::npos);
  // At a line, before the day's first line and close to it.
  EXPECT_TRUE(at == 0 || log[at - 1] == '\n');
  EXPECT_LE(at, exact);
  EXPECT_LT(exact - at, 64u * 1024);
  EXPECT_GT(at, 0u);

  // A program that ends while it reads keeps what it read: the next start reads on from
  // there, not from the first day again.
  uint64_t kept = 0;
  {
    AvailabilityTracker partial;
    partial.SetSliceBytes(64 * 1024);
    partial.Follow(servers_);
    for (int i = 0; i < 20; ++i) loop_->Pump();
    ASSERT_TRUE(partial.Reading());
    partial.SaveSummaries();
    kept = partial.History(path_)->Offset();
  }
  EXPECT_GT(kept, at);
  auto t = std::make_unique<AvailabilityTracker>();
  t->Follow(servers_);
  EXPECT_EQ(t->History(path_)->Offset(), kept);
  ASSERT_TRUE(loop_->WaitUntil([&t] { return !t->Reading(); }, 60000));
  const Availability month = t->MonitorAvailability(*monitor_, 720);
  // 720 whole hours up to this one: from 13:00 thirty days ago to 11:59 today.
  EXPECT_EQ(month.checks, 719 * 60);
  EXPECT_EQ(month.good, month.checks);
  EXPECT_EQ(FindFirstLineOfDay(path_, day - 100), 0u);
}

}  // namespace
}  // namespace sentrel
