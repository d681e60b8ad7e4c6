// The log readers on the command line, run as the real program.
#include "app/log_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "app/program.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "support/process.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

RunResult RunSentrelBinary(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), SENTREL_BINARY);
  RunResult r;
  r.code = test::RunProcess(args, dir.Path(), &r.out, &r.err);
  return r;
}

// The program reads the real clock, so the lines are dated relative to today.
std::string DaysAgo(int days) {
  return FormatDate(SystemClock().Now() - days);
}

class LogCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = tmp_.File("data");
    MakeDirectories(data_);
    serverFile_ = tmp_.File("servers.mcf");
    WriteFile(serverFile_,
              "[web1]\r\nIP=127.0.0.1\r\nLogfile=web1.log\r\nGroup=g\r\n"
              "[web1:http]\r\nTyp=http\r\nPort=80\r\n"
              "[web1:ping]\r\nTyp=ping\r\n"
              "[db]\r\nIP=localhost\r\nLogfile=db.log\r\nGroup=g\r\n"
              "[db:port]\r\nTyp=port\r\nPort=5432\r\n");
    settings_ = tmp_.File("Corvane.ini");
    WriteFile(settings_, "[Corvane]\r\nconfig=" + serverFile_ + "\r\n");
    web1_ = DaysAgo(5) + " 10:00:00 web1 HTTP 80 OK 50ms 10Bytes E0 200 OK\r\n" + DaysAgo(3) +
            " 10:00:00 web1 HTTP 80 OK 120ms 10Bytes E0 200 OK\r\n" + DaysAgo(3) +
            " 10:00:05 web1 PING 0 OK 1ms 56Bytes Success\r\n" + DaysAgo(2) +
            " 10:00:00 web1 HTTP 80 LOST 0ms 0Bytes 404 Not Found (1 lost)\r\n" + DaysAgo(2) +
            " 10:01:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)\r\n" + DaysAgo(1) +
            " 10:00:00 Ping:Unable to resolve no such host\r\n" + DaysAgo(1) +
            " 10:02:00 web1 HTTP 80 UP 80ms 10Bytes E0 200 OK Downtime=1440 min\r\n";
    WriteFile(data_ + "/web1.log", web1_);
    WriteFile(data_ + "/db.log", DaysAgo(9) + " 08:00:00 db PORT 5432 OK 2ms 0Bytes \r\n" +
                                     DaysAgo(0) + " 00:00:02 db PORT 5432 OK 3ms 0Bytes \r\n");
  }

  RunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data-dir", data_, "--settings", settings_});
    return RunSentrelBinary(tmp_, args);
  }
  std::vector<std::string> DataFiles() {
    std::vector<std::string> names;
    for (const char* n : {"web1.log", "db.log", "web1.new", "db.new", "Sentrel errors.log"})
      if (FileExists(data_ + "/" + n)) names.push_back(n);
    return names;
  }

  TempDir tmp_;
  std::string data_, serverFile_, settings_, web1_;
};

TEST_F(LogCommandsTest, LogPrintsTheWholeFileOrTheErrorsOnlyViewAndChangesNothing) {
  RunResult all = Run({"--log", "web1", serverFile_});
  EXPECT_EQ(all.code, 0) << all.err;
  std::string expected = web1_;
  for (size_t p; (p = expected.find("\r\n")) != std::string::npos;) expected.erase(p, 1);
  EXPECT_EQ(all.out, expected);

  RunResult errors = Run({"--log", "WEB1", "--errors-only"});  // config from the settings
  EXPECT_EQ(errors.code, 0) << errors.err;
  EXPECT_EQ(errors.out,
            DaysAgo(2) + " 10:01:00 web1 HTTP 80 DOWN 0ms 0Bytes 404 Not Found (2 lost)\n" +
                DaysAgo(1) + " 10:00:00 Ping:Unable to resolve no such host\n" + DaysAgo(1) +
                " 10:02:00 web1 HTTP 80 UP 80ms 10Bytes E0 200 OK Downtime=1440 min\n");

  // Read-only: the server file is not saved (no ".bak"), the settings not written.
  EXPECT_FALSE(FileExists(tmp_.File("servers.bak")));
  EXPECT_EQ(ReadFile(settings_), "[Corvane]\r\nconfig=" + serverFile_ + "\r\n");
  EXPECT_EQ(DataFiles(), (std::vector<std::string>{"web1.log", "db.log"}));
}

TEST_F(LogCommandsTest, RequestTimesPrintTitleFooterAndPoints) {
  RunResult r = Run({"--request-times", "web1", "http", "4", serverFile_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Sentrel Request Times: web1 (http 80, last 4 days)\n"
            "Average: 100 ms, Good: 50%, Lost: 50%\n" +
                DaysAgo(3) + " 10:00:00,120,good\n" + DaysAgo(2) + " 10:00:00,0,lost\n" +
                DaysAgo(2) + " 10:01:00,0,lost\n" + DaysAgo(1) + " 10:02:00,80,good\n");

  // Only lost records: no footer line.
  WriteFile(data_ + "/web1.log", DaysAgo(1) + " 10:00:00 web1 HTTP 80 LOST 0ms 0Bytes 404 x\r\n");
  r = Run({"--request-times", "web1", "http", "4", serverFile_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Sentrel Request Times: web1 (http 80, last 4 days)\n" + DaysAgo(1) +
                       " 10:00:00,0,lost\n");
  EXPECT_EQ(DataFiles(), (std::vector<std::string>{"web1.log", "db.log"}));
}

TEST_F(LogCommandsTest, DumpLogsCutsEveryLogOfTheConfiguration) {
  RunResult r = Run({"--dump-logs", "3"});  // the configuration the settings name
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Dumping Logile web1.log: kept 4 lines, dropped 3\n"
            "Dumping Logile db.log: kept 1 lines, dropped 1\n");
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_.substr(web1_.find(DaysAgo(2))));
  EXPECT_EQ(ReadFile(data_ + "/db.log"), DaysAgo(0) + " 00:00:02 db PORT 5432 OK 3ms 0Bytes \r\n");
  EXPECT_EQ(DataFiles(), (std::vector<std::string>{"web1.log", "db.log"}));
  EXPECT_FALSE(FileExists(tmp_.File("servers.bak")));
}

TEST_F(LogCommandsTest, DumpLogsRefusesWhileSentrelRuns) {
  DataDirLock running;
  ASSERT_TRUE(running.Acquire(data_));
  RunResult r = Run({"--dump-logs", "3", serverFile_});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "sentrel: a running Sentrel holds the data directory " + data_ +
                       "; stop that Sentrel (its service, or its window), then dump the logs\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_);
}

// Errors go to standard error only: the errors log may belong to a Sentrel that runs.
TEST_F(LogCommandsTest, ErrorsGoToStandardErrorOnly) {
  unlink((data_ + "/db.log").c_str());
  RunResult r = Run({"--log", "db", serverFile_});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("db.log"), std::string::npos) << r.err;

  // A log that cannot be dumped is told on standard error.
  MakeDirectories(data_ + "/db.log");
  r = Run({"--dump-logs", "3", serverFile_});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out,
            "Dumping Logile web1.log: kept 4 lines, dropped 3\nDumping Logile db.log: failed\n");
  EXPECT_EQ(r.err, "sentrel: read " + data_ + "/db.log: Is a directory\n");
  EXPECT_FALSE(FileExists(data_ + "/db.new"));

  // Names that are not in the configuration are mistakes on the command line.
  EXPECT_EQ(Run({"--log", "nosuch", serverFile_}).code, 2);
  EXPECT_EQ(Run({"--request-times", "web1", "smtp", "4", serverFile_}).code, 2);
  EXPECT_EQ(Run({"--log", "web1", tmp_.File("missing.mcf")}).code, 2);
  EXPECT_FALSE(FileExists(data_ + "/Sentrel errors.log"));
}

// Every server gets its turn: one without a log has nothing to dump, and a log that
// cannot be dumped stays as it was without stopping the ones after it.
TEST_F(LogCommandsTest, DumpLogsGoesThroughEveryServerWhateverOneOfThemMeets) {
  const std::string db = ReadFile(data_ + "/db.log");
  WriteFile(serverFile_,
            "[gone]\r\nIP=127.0.0.1\r\n[web1]\r\nIP=127.0.0.1\r\n"
            "[bad]\r\nIP=127.0.0.1\r\n[db]\r\nIP=localhost\r\n");
  struct Case {
    bool badIsADirectory;
    int code;
    std::string out, err;
  };
  const Case cases[] = {
      {false, 0,
       "Dumping Logile gone.log: no log file, nothing to dump\n"
       "Dumping Logile web1.log: kept 4 lines, dropped 3\n"
       "Dumping Logile bad.log: no log file, nothing to dump\n"
       "Dumping Logile db.log: kept 1 lines, dropped 1\n",
       ""},
      {true, 1,
       "Dumping Logile gone.log: no log file, nothing to dump\n"
       "Dumping Logile web1.log: kept 4 lines, dropped 0\n"
       "Dumping Logile bad.log: failed\n"
       "Dumping Logile db.log: kept 1 lines, dropped 0\n",
       "sentrel: read " + data_ + "/bad.log: Is a directory\n"},
  };
  for (const Case& c : cases) {
    if (c.badIsADirectory) MakeDirectories(data_ + "/bad.log");
    RunResult r = Run({"--dump-logs", "3", serverFile_});
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_.substr(web1_.find(DaysAgo(2))));
    EXPECT_EQ(ReadFile(data_ + "/db.log"), db.substr(db.find(DaysAgo(0))));
    EXPECT_FALSE(FileExists(data_ + "/gone.log"));
    EXPECT_FALSE(FileExists(data_ + "/bad.new"));
  }
}

// A number of days that is no whole number of 0 or more is a bad command line, for
// every command that takes one; nothing is read or written.
TEST_F(LogCommandsTest, AvailabilityTableAndCsvCountEachCheckOnce) {
  // web1's http: OK, OK, a failure written as LOST and DOWN, and the UP that ended it a
  // day and two minutes later: four checks, one outage.
  RunResult r = Run({"--availability", "7", serverFile_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Availability over the last 7 days, ", 0), 0u) << r.out;
  const std::string since = DaysAgo(5) + " 10:00";
  const std::string table = r.out.substr(r.out.find("\n\n") + 2);
  EXPECT_EQ(table,
            "Group  Server  Monitor  Checks  Availability  Outages  Downtime  Longest outage  Data from\n"
            "g      web1    http          4           75%        1       1 d             1 d  " + since + "\n"
            "g      web1    ping          1          100%        0       0 s             0 s  " + DaysAgo(3) + " 10:00\n"
            "g      db      port          1          100%        0       0 s             0 s\n")
      << r.out;

  // The default is 30 days; --csv gives seconds and the share to four places.
  r = Run({"--availability", "--csv", serverFile_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "group,server,monitor,checks,availability_percent,outages,downtime_seconds,"
            "longest_outage_seconds,data_from\n"
            "g,web1,http,4,75.0000,1,86520,86520," + since + ":00\n"
            "g,web1,ping,1,100.0000,0,0,0," + DaysAgo(3) + " 10:00:05\n"
            "g,db,port,2,100.0000,0,0,0," + DaysAgo(9) + " 08:00:00\n");
  // Read-only: no summary, no errors log, the logs as they were.
  EXPECT_EQ(DataFiles(), (std::vector<std::string>{"web1.log", "db.log"}));
  EXPECT_FALSE(IsDirectory(data_ + "/availability"));
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_);
  EXPECT_EQ(Run({"--csv", serverFile_}).err,
            "sentrel: --csv needs --availability\nTry 'sentrel --help'.\n");
}

TEST_F(LogCommandsTest, BadNumbersOfDaysExitTwo) {
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"--request-times", "web1", "http", "-1"},
       "sentrel: --request-times needs a number of days of 0 or more, not -1\n"},
      {{"--request-times", "web1", "http", "four"},
       "sentrel: --request-times needs a whole number of days, not four\n"},
      {{"--dump-logs", "four"}, "sentrel: --dump-logs needs a whole number of days, not four\n"},
      {{"--dump-logs", "2.5", "--yes"},
       "sentrel: --dump-logs needs a whole number of days, not 2.5\n"},
      {{"--availability=a week"}, "sentrel: --availability needs a whole number of days, not a week\n"},
      {{"--availability", "0"},
       "sentrel: --availability needs a number of days from 1 to 36500, not 0\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(serverFile_);
    RunResult r = Run(args);
    EXPECT_EQ(r.code, 2) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_);
  EXPECT_FALSE(FileExists(data_ + "/Sentrel errors.log"));
  // 0 days of request times is a question one may ask: nothing is that recent.
  EXPECT_EQ(Run({"--request-times", "web1", "http", "0", serverFile_}).code, 0);
}

TEST_F(LogCommandsTest, ADumpOfEverythingNeedsYesAndNegativeDaysAreRefused) {
  RunResult r = Run({"--dump-logs", "-1", serverFile_});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "sentrel: --dump-logs needs a number of days of 0 or more, not -1\n");
  r = Run({"--dump-logs=0", serverFile_});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "sentrel: --dump-logs 0 drops every record of every log; add --yes to do that\n");
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), web1_);
  EXPECT_EQ(r.out, "");

  r = Run({"--dump-logs", "0", "--yes", serverFile_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(data_ + "/web1.log"), "");
  EXPECT_EQ(ReadFile(data_ + "/db.log"), "");
}

TEST_F(LogCommandsTest, HandWrittenServerFiles) {
  // No Logfile: the log is the server's name and ".log", as the monitor writes it.
  std::string hand = tmp_.File("hand.mcf");
  WriteFile(hand, "[web1]\nIP=127.0.0.1\n[web1:http]\nTyp=http\n");
  RunResult r = Run({"--log", "web1", "--errors-only", hand});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" 10:01:00 web1 HTTP 80 DOWN"), std::string::npos) << r.out;

  // A file that is no server file is said to be one, not searched for a server.
  WriteFile(hand, "{\"web1\": {\"ip\": \"127.0.0.1\"}}\n");
  r = Run({"--log", "web1", hand});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "sentrel: server file " + hand +
                       " holds no server: it is not INI text with [server] sections\n");
  EXPECT_EQ(ReadFile(hand), "{\"web1\": {\"ip\": \"127.0.0.1\"}}\n");
}

}  // namespace
}  // namespace sentrel
