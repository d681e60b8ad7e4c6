// Nothing waits inside anything else: a check, a mail or a log that waits holds up only
// itself. The program object with its real checks, events and loop.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "events/mail_action.h"
#include "events/smtp_client.h"
#include "platform/file_util.h"
#include "support/delayed_http_server.h"
#include "support/network_fixture.h"
#include "support/scripted_smtp_server.h"

namespace sentrel::test {
namespace {

class WaitsTest : public NetworkCheckFixture {
 protected:
  void SetUp() override {
    NetworkCheckFixture::SetUp();
    cwd_.emplace(dir_->Path());
  }
  void TearDown() override {
    cwd_.reset();
    NetworkCheckFixture::TearDown();
  }
  std::optional<CurrentDirectory> cwd_;
  Monitor* Port(const std::string& server, int port, int interval) {
    Server* s = AddServer(server);
    s->ip = "127.0.0.1";
    Monitor* m = AddMonitor(s, "port", port);
    m->interval = interval;
    return m;
  }
  size_t Records(const std::string& server) { return RecordLines(Log(server)).size(); }
};

// An event that mails through a server that accepts and then says nothing: only that
// mail waits. The other monitor keeps its interval; after the dialogue's 60 s the
// errors log names the mail, not whatever ran last.
TEST_F(WaitsTest, AMailServerThatNeverAnswersDelaysOnlyThatMail) {
  ScriptedSmtpServer smtp;
  smtp.silent = true;
  WriteFile(dir_->File("mail.txt"),
            "127.0.0.1:" + std::to_string(smtp.Port()) + "\r\nmon@x.test\r\nsubject\r\nbody\r\n");
  Event& ev = *program_->eventList.Items(program_->eventList.Add("Page"));
  ev.UseMail = true;
  ev.MailAddress = "ops@x.test";
  ev.Mailtext = dir_->File("mail.txt");
  ClosedPort closed;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Monitor* failing = Port("db1", closed.Port(), 60);
  failing->SetValue("GYtoR", "Page");
  Port("web1", open.Port(), 1);
  std::vector<std::string> causes;
  loop_->SetErrorHandler([&](const std::string& m) { causes.push_back(m + " | " + LastActivity); });

  program_->StartScan();
  // The refused port's first check is failure number 3 at once: the mail starts.
  ASSERT_TRUE(loop_->WaitUntil([&] { return smtp.connections == 1; }, 5000));
  const int64_t mailStart = clock_.MonotonicMs();
  const size_t before = Records("web1");
  ASSERT_TRUE(loop_->WaitUntil([&] { return clock_.MonotonicMs() - mailStart >= 30'000; }, 60'000));
  EXPECT_EQ(program_->eventList.RunsUnderWay(), 1u) << "the mail still waits";
  EXPECT_GE(Records("web1") - before, 14u) << "web1 was checked every two seconds meanwhile";

  ASSERT_TRUE(loop_->WaitUntil([&] { return program_->eventList.RunsUnderWay() == 0; }, 60'000));
  EXPECT_EQ(clock_.MonotonicMs() - mailStart, kMailDialogueLimitMs);
  EXPECT_EQ(causes, std::vector<std::string>{std::string(kMailTimedOut) + " | IPEvent.Execute db1 PORT " +
                                             std::to_string(closed.Port()) + " DOWN db1 DOWN"});
  program_->StopScan();
}

// In order, a pass over silent ports takes their ten seconds each, longer than a
// monitor's interval; the operator reads why once, with the setting that helps.
TEST_F(WaitsTest, ASequentialPassLongerThanAnIntervalIsExplainedOnce) {
  InOrder();
  SilentPort silent;
  Port("quiet1", silent.Port(), 60);
  Port("quiet2", silent.Port(), 60);
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Port("web1", open.Port(), 5);
  program_->StartScan();
  ASSERT_TRUE(loop_->WaitUntil([&] { return !program_->scanner.PassRunning(); }, 60'000));
  auto notes = [&] {
    int n = 0;
    for (const std::string& line : program_->messagePane.Lines())
      n += line.find("A scan pass took 20 s, longer than the 5 s interval of web1 port: 2 checks "
                     "waited 20 s for an answer, one after another. Options > Check monitors in "
                     "parallel (ParallelChecks=1 in [Sentrel]) lets them wait side by side") !=
           std::string::npos;
    return n;
  };
  EXPECT_EQ(notes(), 1);
  clock_.AdvanceMs(61'000);
  ASSERT_TRUE(loop_->WaitUntil([&] { return Records("quiet1") >= 2 && !program_->scanner.PassRunning(); },
                               120'000));
  EXPECT_EQ(notes(), 1) << "once per run";
  program_->StopScan();
}

// Checks in parallel: 500 monitors on silent peers are all judged about ten seconds
// after the pass that started them, on the real clock.
TEST_F(WaitsTest, InParallelFiveHundredSilentPeersTakeOneCheckTime) {
  SetCurrentClock(nullptr);
  SilentPort silent;
  Server* s = AddServer("many");
  s->ip = "127.0.0.1";
  std::vector<Monitor*> monitors;
  for (int i = 0; i < 500; ++i) {
    Monitor* m = AddMonitor(s, "port", silent.Port());
    m->interval = 3600;
    monitors.push_back(m);
  }
  program_->scanner.SetParallel(true, 1000);
  const auto start = std::chrono::steady_clock::now();
  program_->StartScan();
  EXPECT_FALSE(program_->scanner.PassRunning()) << "the pass only starts the checks";
  EXPECT_EQ(program_->scanner.ChecksRunning(), 500u);
  ASSERT_TRUE(loop_->WaitUntil([&] { return program_->scanner.ChecksRunning() == 0; }, 30'000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("500 silent peers in parallel: %.2f s\n", seconds);
  EXPECT_GE(seconds, 9.9);
  EXPECT_LT(seconds, 12.0);
  for (Monitor* m : monitors) EXPECT_EQ(m->status, "red");
  // LOST and DOWN, then the probe's LOST on the socket that never connected.
  EXPECT_EQ(RecordLines(Log("many")).size(), 1500u);
  program_->StopScan();
  SetCurrentClock(&clock_);
}

// A request still running when its monitor is due again is aborted and its check waits
// five seconds for the abort; deleting the monitor meanwhile ends that wait at once. The
// pass never waits for it, in either mode.
TEST_F(WaitsTest, ADeletedMonitorEndsItsHttpAbortWaitAtOnce) {
  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "in parallel" : "in order");
    clock_.SetAutoAdvance(false);
    scan().SetParallel(parallel);
    DelayedHttpServer server(60'000);
    Server* web = AddServer("web1");
    Monitor* m = AddMonitor(web, "http");
    m->SetValue("url", server.Url("/"));
    m->interval = 1;
    AddMonitor(AddServer("db1"), "http")->SetValue("url", server.Url("/"));
    program_->StartScan();
    ASSERT_TRUE(WaitReal([&] { return !program_->scanner.PassRunning(); }, 5000));
    clock_.AdvanceMs(2000);  // the next pass aborts web1's request and waits
    ASSERT_TRUE(WaitReal([&] { return !program_->scanner.PassRunning(); }, 1000))
        << "the abort wait holds only its check";
    ASSERT_EQ(program_->scanner.ChecksRunning(), 1u);
    web->ports.Delete(0);
    EXPECT_EQ(program_->scanner.ChecksRunning(), 0u);
    program_->StopScan();
    program_->serverList.Clear();
  }
}

// A FIFO, a device or a directory where a log file should be: an errors-log line, no
// record, and the colour still changes; nothing hangs in open().
TEST_F(WaitsTest, ALogThatIsNoRegularFileNeverHangsTheProgram) {
  ClosedPort closed;
  Monitor* m = Port("db1", closed.Port(), 60);
  ASSERT_EQ(mkfifo(dir_->File("db1.log").c_str(), 0644), 0);
  Monitor* dev = Port("dev", closed.Port(), 60);
  dev->server->logfile = "/dev/null";
  Monitor* dir = Port("dir", closed.Port(), 60);
  MakeDirectories(dir_->File("dir.log"));
  program_->StartScan();
  ASSERT_TRUE(WaitForChecks(5000));
  for (Monitor* p : {m, dev, dir}) EXPECT_EQ(p->status, "red") << p->server->name;
  auto reported = [&](const std::string& prefix) {
    return std::count_if(errors_.begin(), errors_.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  };
  // A FIFO without a reader is refused by open() itself; the others by what they are.
  EXPECT_GE(reported("open " + dir_->File("db1.log") + ": "), 1);
  EXPECT_GE(reported("open /dev/null: not a regular file"), 1);
  EXPECT_GE(reported("open " + dir_->File("dir.log") + ": "), 1);
  program_->StopScan();
}

}  // namespace
}  // namespace sentrel::test
