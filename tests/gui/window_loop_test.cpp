// The window while checks wait: commands are served, and closing waits for the check in
// progress, then stops the pass and closes as usual.
#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "gui/modal_answers.h"
#include "model/server_list.h"
#include "platform/file_util.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "window_fixture.h"

namespace sentrel::gui::test {
namespace {

using sentrel::test::ChildProcess;
using sentrel::test::LoopbackServer;
using sentrel::test::SilentPort;

class WindowLoop : public WindowFixture {};

std::string PortServers(int silentPort, int openPort) {
  return "[quiet]\r\nIP=127.0.0.1\r\nLogfile=quiet.log\r\n[quiet:p]\r\nTyp=port\r\nPort=" +
         std::to_string(silentPort) +
         "\r\nintervall=30\r\n[later]\r\nIP=127.0.0.1\r\nLogfile=later.log\r\n[later:p]\r\nTyp=port\r\nPort=" +
         std::to_string(openPort) + "\r\nintervall=30\r\n";
}

TEST_F(WindowLoop, CommandsAreServedWhileAPortCheckWaitsOnASilentPeer) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Start(PortServers(silent.Port(), open.Port()));
  QElapsedTimer t;
  qint64 servedAt = -1;
  qint64 deletedAt = -1;
  QTimer::singleShot(200, [&] {
    // Inside the port check's wait: the tree, a view command and a delete all work.
    Trigger("Showlogs1");
    servedAt = t.elapsed();
    Select("Main/quiet/p");
    ModalAnswers::QueueButton(QMessageBox::Yes);
    Trigger("MonitorDelete1");
    deletedAt = t.elapsed();
  });
  t.start();
  Trigger("ToolButton2");  // Start Scan: the pass runs inside this call
  const qint64 passTook = t.elapsed();
  EXPECT_GE(servedAt, 200);
  EXPECT_LT(servedAt, 1500);
  EXPECT_GE(deletedAt, servedAt);
  // The deleted monitor's check stopped waiting; the pass went on to the next server.
  EXPECT_LT(passTook, 3000);
  EXPECT_EQ(Server(0)->ports.Count(), 0);
  EXPECT_EQ(Monitor(1, 0)->status, "green");
  EXPECT_TRUE(errors_.empty());
}

TEST_F(WindowLoop, ExitDuringAPassEndsItAtTheNextCheckAndThenClosesAsUsual) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Start(PortServers(silent.Port(), open.Port()));
  QTimer::singleShot(200, [&] {
    Trigger("Exit1");
    // The close itself comes from the loop, while the check still waits.
    QTimer::singleShot(100, [&] { EXPECT_TRUE(form_->ClosePending()); });
  });
  QElapsedTimer t;
  t.start();
  Trigger("ToolButton2");
  EXPECT_GE(t.elapsed(), 9000);  // the silent port's 10 s wait ran out
  EXPECT_FALSE(form_->IsClosed());  // not from inside the pass
  EXPECT_TRUE(ServeUntil([&] { return form_->IsClosed(); }, 2000));
  // The monitor after the waiting one was never checked; the file and settings are saved.
  EXPECT_EQ(Monitor(1, 0)->status, "");
  EXPECT_TRUE(FileExists(dir_->File("servers.bak")));
  EXPECT_NE(ReadFile(settingsPath_).find("config=" + serverFile_), std::string::npos);
}

// Voluntary and involuntary context switches of one thread so far.
long ContextSwitches(pid_t pid, pid_t tid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(f, line))
    if (line.find("ctxt_switches:") != std::string::npos)
      total += std::stol(line.substr(line.find(':') + 1));
  return total;
}

TEST_F(WindowLoop, TheIdleWindowWakesAboutOnceASecondAndEndsOnSigterm) {
  // The real program on the offscreen platform, scanning a monitor whose next check is an
  // hour away: every pass finds nothing due.
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  const std::string servers = dir_->File("idle.mcf");
  WriteFile(servers, "[idle]\r\nIP=127.0.0.1\r\nLogfile=idle.log\r\n[idle:p]\r\nTyp=port\r\nPort=" +
                         std::to_string(open.Port()) + "\r\nintervall=3600\r\n");
  WriteFile(settingsPath_, "[Corvane]\r\nAutoStart=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir_->File("data"), "--settings", settingsPath_,
                        "--web-ports", std::to_string(webPort_), servers},
                       dir_->Path(), {"QT_QPA_PLATFORM=offscreen", "DISPLAY=:sentrel-test"});
  // Start-up, the first pass and the splash's 1.5 s.
  QTest::qWait(3500);
  const pid_t pid = sentrel.Pid();
  const long before = ContextSwitches(pid, pid);
  ASSERT_GT(before, 0);
  QTest::qWait(10000);
  const long wakeups = ContextSwitches(pid, pid) - before;
  std::printf("idle window, scanning on: %ld wake-ups of the main thread in 10 s\n", wakeups);
  EXPECT_LE(wakeups, 15);
  EXPECT_GE(wakeups, 8);  // the scan timer does tick

  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
  EXPECT_TRUE(FileExists(dir_->File("idle.bak")));
}

}  // namespace
}  // namespace sentrel::gui::test
