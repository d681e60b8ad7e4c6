// Failures a root user cannot provoke with file modes: full file systems, read-only
// mounts, paths under regular files, a data directory that disappears.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/errors_log.h"
#include "model/last_activity.h"
#include "model/server_list.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "support/process.h"
#include "support/records.h"
#include "support/scan_fixture.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

// A tiny tmpfs of its own, unmounted at the end; tests skip where mounting is not allowed.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& dir, const char* size = "size=64k") : dir_(dir) {
    std::filesystem::create_directories(dir);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, size) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  // Fills the file system up to its last byte.
  void Fill() {
    FILE* f = std::fopen((dir_ + "/ballast").c_str(), "wb");
    std::string block(4096, 'x');
    while (f && std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    if (f) std::fclose(f);
    f = std::fopen((dir_ + "/ballast2").c_str(), "wb");
    while (f && std::fputc('x', f) != EOF && std::fflush(f) == 0) {
    }
    if (f) std::fclose(f);
  }

 private:
  std::string dir_;
  bool mounted_;
};

class FaultInjectionTest : public CoreFixture {};

TEST_F(FaultInjectionTest, ADiskFullDuringASaveTruncatesNothing) {
  SmallTmpfs fs(dir_->File("small"));
  if (!fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string path = dir_->File("small/servers.mcf");
  ServerList list;
  for (int i = 0; i < 20; ++i) list.Items(list.Add("server" + std::to_string(i)))->ip = "127.0.0.1";
  list.SaveToFile(path);
  std::string before = ReadFile(path);
  for (int i = 0; i < 2000; ++i) list.Items(list.Add("more" + std::to_string(i)))->notes = "padding";
  fs.Fill();
  EXPECT_THROW(list.SaveToFile(path), SentrelError);
  EXPECT_EQ(ReadFile(path), before);
  // No temporary file is left to eat the last bytes of the disk.
  for (auto& e : std::filesystem::directory_iterator(dir_->File("small")))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(FaultInjectionTest, AnErrorsLogUnderARegularFileGoesToStandardError) {
  WriteFile(dir_->File("plain"), "not a directory");
  SetDataDir(dir_->File("plain"));
  LastActivity = "Scan-Execute";
  testing::internal::CaptureStderr();
  HandleRunTimeError("the log could not be written");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" RunTimeError the log could not be written (Cause might be \"Scan-Execute\")"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir_->File("plain")), "not a directory");
}

TEST_F(FaultInjectionTest, AServerLogOnAFullDiskFailsThenTheNextWriteWorks) {
  SmallTmpfs fs(dir_->File("small"));
  if (!fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  SetDataDir(dir_->File("small"));
  ServerList list;
  Server* s = list.Items(list.Add("web1"));
  s->logfile = "web1.log";
  s->AppendLog("first");
  fs.Fill();
  // The log's last page may still take a few lines; then the disk is full.
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) {
    try {
      s->AppendLog("second " + std::string(100, 'y'));
    } catch (const SentrelError&) {
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
  std::filesystem::remove(dir_->File("small/ballast"));
  s->AppendLog("third");
  std::string log = ReadFile(dir_->File("small/web1.log"));
  EXPECT_NE(log.find(" first\r\n"), std::string::npos);
  // The line that did not fit was taken back whole: every line is complete.
  size_t third = log.find(" third\r\n");
  ASSERT_NE(third, std::string::npos);
  EXPECT_EQ(log.substr(third - 19 - 2, 2), "\r\n");
  EXPECT_EQ(log.size(), third + 8);
  for (size_t p = 0, nl; (nl = log.find('\n', p)) != std::string::npos; p = nl + 1)
    EXPECT_EQ(log[nl - 1], '\r');
}

// A full disk is when alerts matter most: the records that no longer fit are errors, but
// the monitor still turns red and its event still reaches the operator.
class FullDiskScanTest : public ScanFixture {};

TEST_F(FullDiskScanTest, AMonitorStillTurnsRedAndAlertsWhenItsLogCannotGrow) {
  SmallTmpfs fs(dir_->File("small"));
  if (!fs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  SetDataDir(dir_->File("small"));
  Monitor* m = AddMonitor(AddServer("web1"), "ping");
  fs.Fill();
  // Enough failures that the log's last page, which may still take a line or two, is
  // full long before the end.
  for (int i = 0; i < 40; ++i) scan().PingVerdict(*m, false, 10005, "Request timed out");
  EXPECT_EQ(m->status, "red");
  EXPECT_EQ(m->lostCount, 41);
  ASSERT_EQ(program_->events.size(), 40u);
  EXPECT_EQ(program_->events[0], "Default|web1 PING DOWN (Request timed out)|web1|DOWN (2)|2");
  // The Default event's popup acted at the third failure, as with a disk that has room.
  ASSERT_EQ(frontend_.popups.size(), 1u);
  EXPECT_NE(frontend_.popups[0].find("web1 PING DOWN (Request timed out)"), std::string::npos);
  ASSERT_FALSE(errors_.empty());
  EXPECT_NE(errors_.back().find("No space left on device"), std::string::npos) << errors_.back();
  EXPECT_EQ(RecordLines(program_->activityPane).back(),
            "web1 PING 0 LOST 10005ms 56Bytes Request timed out (41 lost)");
}

// The headless program keeps monitoring when its data directory is removed under it:
// the records it cannot write become errors on standard error, nothing crashes, and
// SIGTERM ends it cleanly; the server file, which lives elsewhere, is left as it was.
TEST(DataDirectoryTest, RemovedWhileScanning) {
  TempDir dir;
  std::string data = dir.File("data");
  std::string cfg = dir.File("servers.mcf");
  const std::string original =
      "[loop]\r\nIP=127.0.0.1\r\nLogfile=loop.log\r\n[loop:ping]\r\nTyp=ping\r\nintervall=1\r\n";
  WriteFile(cfg, original);
  ChildProcess sentrel({SENTREL_BINARY, "--headless", "--no-web", "--data-dir", data, "--settings",
                        dir.File("settings.ini"), cfg},
                       dir.Path());
  ASSERT_TRUE(sentrel.WaitForOutput("loop PING 0 OK", 15000)) << sentrel.Stderr();
  std::filesystem::remove_all(data);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (sentrel.Stderr().find("RunTimeError") == std::string::npos &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NE(sentrel.Stderr().find("RunTimeError"), std::string::npos);
  sentrel.Signal(SIGTERM);
  EXPECT_EQ(sentrel.Wait(15000), 0) << sentrel.Stderr();
  EXPECT_EQ(ReadFile(cfg), original);
}

}  // namespace
}  // namespace sentrel::test
