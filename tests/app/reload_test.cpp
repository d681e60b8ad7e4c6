// SIGHUP: the headless program, as a service runs it, reads its files again without a
// restart and without losing the state of what did not change.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/file_util.h"
#include "support/loopback_server.h"
#include "support/process.h"
#include "support/records.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

// A port that takes connections without serving them (its queue is long enough for the
// few checks of this test), so a port monitor on it succeeds.
class Listener {
 public:
  Listener() {
    fd_ = BindLoopback(SOCK_STREAM, &port_);
    listen(fd_, 1024);
  }
  ~Listener() { close(fd_); }
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

std::string ServerSection(const std::string& name, uint16_t port) {
  return "[" + name + "]\nIP=127.0.0.1\n[" + name +
         ":port]\nTyp=port\nPort=" + std::to_string(port) + "\nintervall=1\n";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

bool Eventually(const std::function<bool()>& done, int ms = 15000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(Reload, UnchangedMonitorsKeepTheirStateAndAFileWithErrorsIsRefused) {
  TempDir dir;
  MakeDirectories(dir.File("data"));
  WriteFile(dir.File("data/events.ini"), "[Default]\nUsePopup=1\n");
  ClosedPort closed;
  Listener goneDoor, freshDoor;
  const std::string cfg = dir.File("servers.mcf");
  WriteFile(cfg, ServerSection("keep", closed.Port()) + ServerSection("gone", goneDoor.Port()));
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--no-web", "--data-dir", dir.File("data"),
                        "--settings", dir.File("settings.ini"), cfg},
                       dir.Path());
  auto log = [&](const std::string& server) {
    return ReadFile(dir.File("data/" + server + ".log"));
  };
  // The refused port alerts at its first check (its two failure steps pass the count).
  ASSERT_TRUE(
      sentrel.WaitForOutput("keep PORT " + std::to_string(closed.Port()) + " DOWN", 15000))
      << sentrel.Stderr();
  ASSERT_TRUE(Eventually([&] { return Count(log("gone"), " OK ") >= 1; }));

  WriteFile(cfg, ServerSection("keep", closed.Port()) + ServerSection("fresh", freshDoor.Port()));
  sentrel.Signal(SIGHUP);
  ASSERT_TRUE(Eventually([&] { return sentrel.Stderr().find("Reloaded ") != std::string::npos; }))
      << sentrel.Stderr();
  EXPECT_NE(sentrel.Stderr().find(": 1 monitor unchanged, 1 new, 1 removed"), std::string::npos)
      << sentrel.Stderr();
  const size_t goneRecords = RecordLines(log("gone")).size();
  ASSERT_TRUE(Eventually([&] { return Count(log("fresh"), " OK ") >= 1; }));
  ASSERT_TRUE(Eventually([&] { return Count(log("keep"), " LOST ") >= 8; }));
  EXPECT_EQ(RecordLines(log("gone")).size(), goneRecords) << "the removed monitor stopped";
  // The unchanged monitor stayed red: one DOWN record and one alert for the whole run,
  // its lost count going on.
  const std::string keep = log("keep");
  EXPECT_EQ(Count(keep, " DOWN "), 1u) << keep;
  EXPECT_EQ(Count(sentrel.Stdout(), "Popup: "), 1u) << sentrel.Stdout();
  EXPECT_NE(keep.find("(8 lost)"), std::string::npos) << keep;

  // A file with an error is not taken: its findings are said, the running monitors go on.
  WriteFile(cfg, ServerSection("keep", closed.Port()) + "[fresh]\nIP=127.0.0.1\nParent=nowhere\n");
  const size_t keepRecords = RecordLines(log("keep")).size();
  sentrel.Signal(SIGHUP);
  ASSERT_TRUE(
      Eventually([&] { return sentrel.Stderr().find("Reload refused") != std::string::npos; }));
  ASSERT_TRUE(Eventually([&] {
    return RecordLines(log("fresh")).size() >= 3 &&
           RecordLines(log("keep")).size() > keepRecords + 2;
  }));
  const std::string err = sentrel.Stderr();
  EXPECT_NE(err.find("sentrel: Reload refused: 1 error, no warnings (" + cfg), std::string::npos)
      << err;
  EXPECT_NE(err.find("Parent=nowhere of [fresh] names no server of this file"), std::string::npos)
      << err;
  const std::string errorsLog = ReadFile(dir.File("data/Sentrel errors.log"));
  EXPECT_NE(errorsLog.find("Reload refused"), std::string::npos) << errorsLog;
  EXPECT_NE(errorsLog.find("names no server of this file"), std::string::npos) << errorsLog;

  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(10000), 0) << sentrel.Stderr();
}

}  // namespace
}  // namespace sentrel::test
