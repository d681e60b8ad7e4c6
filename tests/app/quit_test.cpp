// Quitting while a pass runs: the pass ends at its next check boundary and the program
// closes as usual, in the program object and in the real binary.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "support/loopback_server.h"
#include "support/process.h"
#include "support/pty_device.h"
#include "support/scan_fixture.h"

namespace sentrel::test {
namespace {

class QuitTest : public ScanFixture {};

TEST_F(QuitTest, AQuitDuringAPassChecksNoFurtherMonitorAndStartsNoPass) {
  Server* a = AddServer("a");
  Monitor* first = AddMonitor(a, "port", 1);
  AddMonitor(a, "port", 2);
  Server* b = AddServer("b");
  AddMonitor(b, "ping");
  // The first check is where the stop arrives (a signal served by its 10-second wait).
  checks_.Queue(first, [this](Monitor&) { program_->RequestQuit(); });
  program_->StartScan();
  EXPECT_EQ(checks_.calls, std::vector<std::string>{"port a:port"});
  EXPECT_TRUE(program_->QuitRequested());
  EXPECT_TRUE(loop_->QuitRequested());
  // The check that was under way still counts as done.
  EXPECT_NE(first->lastCheck, 0.0);
  EXPECT_EQ(frontend_.panel0.back(), "All Servers done, idle");

  // Nothing starts another pass now: not the timer, not Scan Now.
  EXPECT_FALSE(program_->ScanTimerEnabled());
  program_->ScanTimerTick();
  program_->ScanNow();
  EXPECT_EQ(checks_.calls.size(), 1u);
}

// The real program, headless, on a server file of port monitors whose peer never
// answers: each check waits its 10 seconds, so the pass would last minutes. SIGTERM ends
// the check where it waits, and the program closes as usual within two seconds.
TEST(QuitBinaryTest, SigtermDuringAPassOfSilentPortsEndsTheWaitingCheckAtOnce) {
  TempDir dir;
  SilentPort silent;
  constexpr int kServers = 30;
  std::string cfg;
  for (int i = 1; i <= kServers; ++i) {
    const std::string s = "s" + std::to_string(i);
    cfg += "[" + s + "]\r\nIP=127.0.0.1\r\nLogfile=" + s + ".log\r\n[" + s +
           ":port]\r\nTyp=port\r\nPort=" + std::to_string(silent.Port()) + "\r\nintervall=10\r\n";
  }
  const std::string cfgPath = dir.File("servers.mcf");
  WriteFile(cfgPath, cfg);
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir.File("data"), "--settings",
                        dir.File("settings.ini"), "--no-web", "--headless", cfgPath},
                       dir.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("Sentrel 2.2 started", 10000)) << sentrel.Stderr();
  // Well inside the first port check's wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const auto signalled = std::chrono::steady_clock::now();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(20000), 0) << sentrel.Stderr();
  const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - signalled)
                           .count() /
                       1000.0;
  // The check under way ends where it waits; nothing holds the close.
  EXPECT_LT(seconds, 2.0);
  // The first check was cut short, so it has no verdict; no other was started.
  EXPECT_EQ(ReadFile(dir.File("data/s1.log")), "");
  EXPECT_EQ(ReadFile(dir.File("data/s2.log")), "");
  EXPECT_NE(ReadFile(dir.File("settings.ini")).find("config=" + cfgPath + "\r\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir.File("data/Sentrel errors.log")), "");
}

// SIGTERM while one event's mail waits for a server that never takes the connection and
// another event's serial script waits for its modem: both end where they wait, the mail
// says in the errors log that it was abandoned, and the program is gone within 2 s.
TEST(QuitBinaryTest, SigtermDuringAMailDialogueAndASerialWaitEndsBothAtOnce) {
  TempDir dir;
  SilentPort silentMail;
  ClosedPort refused;
  PtyDevice modem;
  ASSERT_EQ(mkdir(dir.File("data").c_str(), 0755), 0);
  WriteFile(dir.File("mail.txt"),
            "127.0.0.1:" + std::to_string(silentMail.Port()) + "\r\nmon@x.test\r\ns\r\nbody\r\n");
  WriteFile(dir.File("modem.txt"), "ATZ\r\n?OK\r\nATDT\r\n");
  WriteFile(dir.File("data/events.ini"),
            "[Default]\r\n[Mail]\r\nUseMail=1\r\nMailAddress=ops@x.test\r\nMailtext=" +
                dir.File("mail.txt") + "\r\n[Modem]\r\nUseSerial=1\r\nSerialText=" +
                dir.File("modem.txt") + "\r\n");
  WriteFile(dir.File("settings.ini"), "[Sentrel]\r\nCOM1=" + modem.SlavePath() + "\r\n");
  std::string cfg;
  for (const char* s : {"a", "b"})
    cfg += std::string("[") + s + "]\r\nIP=127.0.0.1\r\nLogfile=" + s + ".log\r\n[" + s +
           ":port]\r\nTyp=port\r\nPort=" + std::to_string(refused.Port()) +
           "\r\nintervall=60\r\nData=GYtoR=" + (s[0] == 'a' ? "Mail" : "Modem") + "\r\n";
  WriteFile(dir.File("servers.mcf"), cfg);
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir.File("data"), "--settings",
                        dir.File("settings.ini"), "--no-web", "--headless", dir.File("servers.mcf")},
                       dir.Path());
  EXPECT_EQ(modem.ReceiveUntil("ATZ\r", 10'000), "ATZ\r") << sentrel.Stderr();
  auto started = [&] { return ReadFile(dir.File("mail.log")).find(" MAIL ") != std::string::npos; };
  for (int i = 0; i < 100 && !started(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(started());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const auto signalled = std::chrono::steady_clock::now();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(20000), 0) << sentrel.Stderr();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  EXPECT_LT(seconds, 2.0);
  const std::string errors = ReadFile(dir.File("data/Sentrel errors.log"));
  EXPECT_NE(errors.find("Mail abandoned before it was sent: to ops@x.test about a PORT"),
            std::string::npos)
      << errors;
  const std::string serial = ReadFile(dir.File("serial.log"));
  EXPECT_NE(serial.find("Waitfor: \"OK\""), std::string::npos) << serial;
  EXPECT_EQ(serial.find("Timeout!"), std::string::npos) << serial;
  EXPECT_EQ(ReadFile(dir.File("mail.log")).find(" DONE "), std::string::npos);
}

}  // namespace
}  // namespace sentrel::test
