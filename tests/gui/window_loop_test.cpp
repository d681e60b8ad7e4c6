// The window while checks wait: commands are served, a modal dialog stops nothing, and
// closing ends the waiting check and closes at once.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gui/modal_answers.h"
#include "model/server_list.h"
#include "platform/file_util.h"
#include "scan/port_check.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/records.h"
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
         "\r\nintervall=30\r\n[later]\r\nIP=127.0.0.1\r\nLogfile=later.log\r\n[later:p]\r\nTyp="
         "port\r\nPort=" +
         std::to_string(openPort) + "\r\nintervall=30\r\n";
}

TEST_F(WindowLoop, CommandsAreServedWhileAPortCheckWaitsOnASilentPeer) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Start(PortServers(silent.Port(), open.Port()));
  program_->SetParallelChecks(false);  // in order: the pass waits for the silent peer
  QElapsedTimer t;
  qint64 servedAt = -1;
  qint64 deletedAt = -1;
  t.start();
  Trigger("ToolButton2");  // Start Scan: the pass starts and the call returns
  EXPECT_LT(t.elapsed(), 500);
  EXPECT_TRUE(program_->scanner.PassRunning());
  QTimer::singleShot(200, [&] {
    // While the port check waits: the tree, a view command and a delete all work.
    Trigger("Showlogs1");
    servedAt = t.elapsed();
    Select("Main/quiet/p");
    ModalAnswers::QueueButton(QMessageBox::Yes);
    Trigger("MonitorDelete1");
    deletedAt = t.elapsed();
  });
  ASSERT_TRUE(ServeUntil([&] { return !program_->scanner.PassRunning(); }, 5000));
  const qint64 passTook = t.elapsed();
  EXPECT_GE(servedAt, 200);
  EXPECT_LT(servedAt, 1500);
  EXPECT_GE(deletedAt, servedAt);
  // The deleted monitor took its waiting check with it; the pass went on at once.
  EXPECT_LT(passTook, deletedAt + 1000);
  EXPECT_EQ(ServerAt(0)->ports.Count(), 0);
  EXPECT_EQ(MonitorAt(1, 0)->status, "green");
  EXPECT_TRUE(errors_.empty());
}

// Stop Scan while a port check and an HTTP check wait on a silent peer: both end at once,
// as on quitting; nothing they would have found comes later, the lights stay grey, and
// the next Start checks afresh.
TEST_F(WindowLoop, StopScanEndsTheWaitingChecksWithNoVerdictRecordOrEvent) {
  SilentPort silent;
  const std::string port = std::to_string(silent.Port());
  Start("[quiet]\r\nIP=127.0.0.1\r\nLogfile=quiet.log\r\n[quiet:p]\r\nTyp=port\r\nPort=" + port +
        "\r\nintervall=30\r\n[quiet:web]\r\nTyp=http\r\nPort=" + port +
        "\r\nData=url=http://127.0.0.1:" + port + "/\r\nintervall=30\r\n");
  program_->SetParallelChecks(true);
  // Both were red: their next failure would raise the Default event's popup.
  for (Monitor* m : {MonitorAt(0, 0), MonitorAt(0, 1)}) {
    m->status = "red";
    m->lostCount = 2;
  }
  Trigger("ToolButton2");
  ASSERT_TRUE(ServeUntil([&] {
    return program_->scanner.CheckUnderWay(*MonitorAt(0, 0)) && MonitorAt(0, 1)->httpRequest;
  }));
  Trigger("ToolButton3");
  EXPECT_FALSE(program_->scanner.CheckUnderWay(*MonitorAt(0, 0)));
  EXPECT_EQ(MonitorAt(0, 1)->httpRequest, nullptr);
  EXPECT_EQ(program_->scanner.ChecksRunning(), 0u);
  // Past the port check's ten seconds: no record, no colour, no event.
  QTest::qWait(sentrel::kPortWaitMs + 500);
  EXPECT_FALSE(FileExists(dir_->File("quiet.log")));
  EXPECT_EQ(MonitorAt(0, 0)->status, "?");
  EXPECT_EQ(MonitorAt(0, 1)->status, "?");
  EXPECT_EQ(program_->eventList.RunsUnderWay(), 0u);
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(w->isVisible() && w->objectName() == "PopupStandIn");
  EXPECT_TRUE(errors_.empty());
  // Start checks both at once again.
  Trigger("ToolButton2");
  EXPECT_TRUE(program_->scanner.CheckUnderWay(*MonitorAt(0, 0)));
  EXPECT_NE(MonitorAt(0, 1)->httpRequest, nullptr);
}

// A modal dialog left open while a port check waits on a silent peer: another monitor
// keeps its interval, and the waiting check's record carries its own ten seconds.
TEST_F(WindowLoop, AModalDialogLeftOpenStopsNoCheck) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Start("[quiet]\r\nIP=127.0.0.1\r\nLogfile=quiet.log\r\n[quiet:p]\r\nTyp=port\r\nPort=" +
        std::to_string(silent.Port()) +
        "\r\nintervall=30\r\n[busy]\r\nIP=127.0.0.1\r\nLogfile=busy.log\r\n[busy:p]\r\nTyp="
        "port\r\nPort=" +
        std::to_string(open.Port()) + "\r\nintervall=1\r\n");
  program_->SetParallelChecks(true);
  Trigger("ToolButton2");
  // The operator opens a message box and leaves it open for thirty seconds.
  QElapsedTimer t;
  t.start();
  QTimer::singleShot(30'000, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  QMessageBox box(QMessageBox::Information, QStringLiteral("Sentrel"), QStringLiteral("left open"));
  box.exec();
  EXPECT_GE(t.elapsed(), 29'000);
  const std::vector<std::string> busy =
      sentrel::test::RecordLines(ReadFile(dir_->File("busy.log")));
  EXPECT_GE(busy.size(), 13u) << "the 1 s monitor went on being checked (a check, then 1 s)";
  // Its check ended after its own ten seconds (and the next one 30 s later): no record
  // holds the time the dialog was open.
  const std::vector<std::string> quiet =
      sentrel::test::RecordLines(ReadFile(dir_->File("quiet.log")));
  ASSERT_FALSE(quiet.empty());
  for (const std::string& line : quiet) {
    std::istringstream words(line);
    std::string server, kind, port, word, ms;
    words >> server >> kind >> port >> word >> ms;
    const int took = std::stoi(ms);
    EXPECT_TRUE(took == 0 || (took >= 10'000 && took < 11'000)) << line;
  }
}

TEST_F(WindowLoop, ExitDuringAPassEndsTheWaitingCheckAndClosesAtOnce) {
  SilentPort silent;
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  Start(PortServers(silent.Port(), open.Port()));
  program_->SetParallelChecks(false);  // in order: the pass waits for the silent peer
  Trigger("ToolButton2");
  QElapsedTimer t;
  QTimer::singleShot(200, [&] {
    t.start();
    Trigger("Exit1");
  });
  EXPECT_TRUE(ServeUntil([&] { return form_->IsClosed(); }, 3000));
  EXPECT_LT(t.elapsed(), 2000);
  // The monitor after the waiting one was never checked; the file and settings are saved.
  EXPECT_EQ(MonitorAt(1, 0)->status, "");
  EXPECT_TRUE(FileExists(dir_->File("servers.bak")));
  EXPECT_NE(ReadFile(settingsPath_).find("config=" + serverFile_), std::string::npos);
}

// A signal never waits for the operator: the dialog left open goes unanswered, and a
// server file that cannot be written leaves the configuration in a recovery file.
TEST_F(WindowLoop, ASignalClosesPastAnOpenDialogAndKeepsWhatCannotBeSaved) {
  Start("[web1]\r\nIP=127.0.0.1\r\nLogfile=web1.log\r\n[web1:p]\r\nTyp=port\r\nPort=1\r\n");
  // The file's folder is gone, and a file stands in its place.
  WriteFile(dir_->File("gone"), "not a folder");
  program_->configFile = dir_->File("gone/servers.mcf");
  QElapsedTimer t;
  QTimer::singleShot(100, [&] {
    t.start();
    form_->CloseForSignal();
  });
  QMessageBox box(QMessageBox::Question, QStringLiteral("Sentrel"), QStringLiteral("left open"),
                  QMessageBox::Yes | QMessageBox::No);
  box.exec();
  ASSERT_TRUE(ServeUntil([&] { return form_->IsClosed(); }, 3000));
  EXPECT_LT(t.elapsed(), 2000);
  std::string recovered;
  for (const auto& entry : std::filesystem::directory_iterator(dir_->Path()))
    if (entry.path().filename().string().rfind("recovered-", 0) == 0) recovered = entry.path();
  ASSERT_FALSE(recovered.empty());
  EXPECT_NE(ReadFile(recovered).find("[web1:p]"), std::string::npos);
  ASSERT_FALSE(errors_.empty());
  EXPECT_NE(errors_.back().find("the configuration is in " + recovered), std::string::npos)
      << errors_.back();
  EXPECT_NE(ReadFile(settingsPath_).find("config="), std::string::npos);
}

// The operator's close of a file that cannot be written asks what to do: Cancel keeps
// the window, "Close without saving" closes and writes nothing.
TEST_F(WindowLoop, ACloseThatCannotSaveAsksSaveAsCloseWithoutSavingOrCancel) {
  Start("[web1]\r\nIP=127.0.0.1\r\nLogfile=web1.log\r\n");
  WriteFile(dir_->File("gone"), "not a folder");
  program_->configFile = dir_->File("gone/servers.mcf");
  ModalAnswers::QueueButton(QMessageBox::Cancel);
  form_->close();
  EXPECT_FALSE(form_->IsClosed());
  ASSERT_EQ(ModalAnswers::Asked().size(), 1);
  EXPECT_TRUE(ModalAnswers::Asked()[0].endsWith("Save the configuration elsewhere?"));
  // Save as: the dialog is cancelled, so the question comes again; then no saving.
  ModalAnswers::QueueButton(QMessageBox::Save);
  ModalAnswers::QueueFile(QString());
  ModalAnswers::QueueButton(QMessageBox::Discard);
  form_->close();
  EXPECT_TRUE(form_->IsClosed());
  EXPECT_EQ(ModalAnswers::Pending(), 0);
  for (const auto& entry : std::filesystem::directory_iterator(dir_->Path()))
    EXPECT_NE(entry.path().filename().string().rfind("recovered-", 0), 0u);
}

// How often one thread has gone to sleep so far (its voluntary context switches): each
// is one wake-up. Involuntary ones count a busy machine's preemptions, not the program.
long Sleeps(pid_t pid, pid_t tid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
      return std::stol(line.substr(line.find(':') + 1));
  return 0;
}

TEST_F(WindowLoop, TheIdleWindowWakesAboutOnceASecondAndEndsOnSigterm) {
  // The real program on the offscreen platform, scanning a monitor whose next check is an
  // hour away: every pass finds nothing due.
  LoopbackServer open([](const std::string&) { return LoopbackServer::Reply::Bytes(""); });
  const std::string servers = dir_->File("idle.mcf");
  WriteFile(servers, "[idle]\r\nIP=127.0.0.1\r\nLogfile=idle.log\r\n[idle:p]\r\nTyp=port\r\nPort=" +
                         std::to_string(open.Port()) + "\r\nintervall=3600\r\n");
  WriteFile(settingsPath_, "[Corvane]\r\nAutoStart=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir_->File("data"), "--settings",
                        settingsPath_, "--web-ports", std::to_string(webPort_), servers},
                       dir_->Path(), {"QT_QPA_PLATFORM=offscreen", "DISPLAY=:sentrel-test"});
  // Start-up, the first pass and the splash's 1.5 s.
  QTest::qWait(3500);
  const pid_t pid = sentrel.Pid();
  const long before = Sleeps(pid, pid);
  ASSERT_GT(before, 0);
  QTest::qWait(10000);
  const long wakeups = Sleeps(pid, pid) - before;
  std::printf("idle window, scanning on: %ld wake-ups of the main thread in 10 s\n", wakeups);
  EXPECT_LE(wakeups, 15);
  EXPECT_GE(wakeups, 8);  // the scan timer does tick

  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
  EXPECT_TRUE(FileExists(dir_->File("idle.bak")));
}

// The real program on the offscreen platform: its server file's folder is replaced by a
// file while it runs, so the file cannot be written. SIGTERM still ends it at once, the
// configuration lands in a recovery file, and standard error says where.
TEST_F(WindowLoop, SigtermWithAFileThatCannotBeSavedWritesARecoveryFileAndEnds) {
  const std::string folder = dir_->File("configs");
  std::filesystem::create_directories(folder);
  const std::string servers = folder + "/servers.mcf";
  WriteFile(servers, "[kept]\r\nIP=127.0.0.1\r\nLogfile=kept.log\r\n[kept:p]\r\nTyp=port\r\nPort=1\r\n");
  ChildProcess sentrel({SENTREL_BINARY, "--data-dir", dir_->File("data"), "--settings",
                        settingsPath_, "--web-ports", std::to_string(webPort_), servers},
                       dir_->Path(), {"QT_QPA_PLATFORM=offscreen", "DISPLAY=:sentrel-test"});
  QTest::qWait(3000);  // start-up and the splash's 1.5 s
  std::filesystem::remove_all(folder);
  WriteFile(folder, "a file where the folder was");
  const auto signalled = std::chrono::steady_clock::now();
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10'000), 0) << sentrel.Stderr();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(), 2.0);
  EXPECT_NE(sentrel.Stderr().find("could not be saved at the end: the configuration is in " +
                                  dir_->File("data/recovered-")),
            std::string::npos)
      << sentrel.Stderr();
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator(dir_->File("data")))
    if (entry.path().filename().string().rfind("recovered-", 0) == 0)
      found = ReadFile(entry.path()).find("[kept:p]") != std::string::npos;
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace sentrel::gui::test
