#include "reports/log_dump.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "model/server_list.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/file_util.h"
#include "platform/paths.h"
#include "support/test_env.h"

namespace sentrel {
namespace {

using test::CoreFixture;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Fails once this many bytes have been written: the disk that fills up half way.
class FailingWriter : public FileWriter {
 public:
  explicit FailingWriter(size_t budget) : budget_(budget) {}
  void WriteAll(int fd, const char* data, size_t size) override {
    if (size > budget_) {
      FileWriter::WriteAll(fd, data, budget_);
      budget_ = 0;
      errno = ENOSPC;
      ThrowErrno("write");
    }
    budget_ -= size;
    FileWriter::WriteAll(fd, data, size);
  }

 private:
  size_t budget_;
};

class LogDumpTest : public CoreFixture {
 protected:
  void SetUp() override {
    CoreFixture::SetUp();
    clock_.SetNow(EncodeDate(2026, 12, 7) + EncodeTime(14, 0, 0));
  }

  Server* AddServer(const std::string& name, const std::string& logfile) {
    Server* s = servers_.Items(servers_.Add(name));
    s->logfile = logfile;
    return s;
  }
  std::string Day(int daysAgo) const { return FormatDate(clock_.Now() - daysAgo); }
  // Lines of the last `days` days, oldest first, with every kind of line in each day.
  std::string Days(int from, int to) const {
    std::string s;
    for (int d = from; d >= to; --d) {
      s += Day(d) + " 00:00:02 web1 PING 0 OK 12ms 56Bytes Success\r\n";
      s += Day(d) + " 09:15:00 Ping:Unable to resolve no such host\r\n";
      s += Day(d) + " 23:59:59 web1 PORT 25 DOWN 0ms 0Bytes  (2 lost)\r\n";
    }
    return s;
  }
  void Dump(const std::string& days, std::vector<std::string>* panel = nullptr) {
    DumpLogs(servers_, days, [panel](const std::string& t) {
      if (panel) panel->push_back(t);
    });
  }

  ServerList servers_;
};

TEST_F(LogDumpTest, SevenDaysOfTenKeepTheLastSevenByteForByte) {
  AddServer("web1", "web1.log");
  WriteFile(dir_->File("web1.log"), Days(9, 0));
  std::vector<std::string> panel;
  Dump("7", &panel);
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(6, 0));
  EXPECT_FALSE(FileExists(dir_->File("web1.new")));
  EXPECT_EQ(panel, std::vector<std::string>{"Dumping Logile web1.log"});

  Dump("1");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(0, 0));
  // Today's midnight lies before now, so 0 drops today as well.
  Dump("0");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), "");
}

TEST_F(LogDumpTest, LinesWithoutADateStayAndEveryLineEndsInCrLf) {
  AddServer("web1", "web1.log");
  WriteFile(dir_->File("web1.log"), Day(9) + " 10:00:00 old\r\n" + "\r\n" +
                                        "06.12.2026 14:03:07 other date format\r\n" + Day(9) +
                                        ",10:00:00 old too\r\n" + "   \r\n" + "\"" + Day(1) +
                                        "\" quoted date\n" + Day(8) + " 10:00:00 old\r\n" +
                                        "bare cr\r inside\r\n" + Day(2) + " 10:00:00 no line end");
  Dump("7");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")),
            "\r\n06.12.2026 14:03:07 other date format\r\n   \r\n\"" + Day(1) +
                "\" quoted date\r\nbare cr\r inside\r\n" + Day(2) + " 10:00:00 no line end\r\n");
}

TEST_F(LogDumpTest, ServersInListOrderSharingACopyName) {
  AddServer("web1", "web1.log");
  AddServer("web2", "web1.txt");
  AddServer("web3", "plain");
  WriteFile(dir_->File("web1.log"), Days(9, 0));
  WriteFile(dir_->File("web1.txt"), Days(3, 0));
  WriteFile(dir_->File("plain"), Days(12, 5));
  WriteFile(dir_->File("web1.new"), "left over from a crash");
  std::vector<std::string> panel;
  Dump("2", &panel);
  EXPECT_EQ(panel, (std::vector<std::string>{"Dumping Logile web1.log", "Dumping Logile web1.txt",
                                             "Dumping Logile plain"}));
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(1, 0));
  EXPECT_EQ(ReadFile(dir_->File("web1.txt")), Days(1, 0));
  EXPECT_EQ(ReadFile(dir_->File("plain")), "");
  EXPECT_FALSE(FileExists(dir_->File("web1.new")));
  EXPECT_FALSE(FileExists(dir_->File("plain.new")));
}

TEST_F(LogDumpTest, ACopyNameThatIsALogNeverOverwritesIt) {
  AddServer("web1", "web1.log");
  AddServer("web2", "web1.new");
  AddServer("web3", "self.new");
  WriteFile(dir_->File("web1.log"), Days(9, 0));
  WriteFile(dir_->File("web1.new"), Days(5, 0));
  WriteFile(dir_->File("self.new"), Days(4, 0));
  Dump("3");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(2, 0));
  EXPECT_EQ(ReadFile(dir_->File("web1.new")), Days(2, 0));
  EXPECT_EQ(ReadFile(dir_->File("self.new")), Days(2, 0));
  EXPECT_FALSE(FileExists(dir_->File("web1.new.new")));
  EXPECT_FALSE(FileExists(dir_->File("self.new.new")));
}

TEST_F(LogDumpTest, AMissingLogEndsTheCommandAtItsServer) {
  AddServer("web1", "web1.log");
  AddServer("web2", "web2.log");
  AddServer("web3", "web3.log");
  WriteFile(dir_->File("web1.log"), Days(9, 0));
  WriteFile(dir_->File("web3.log"), Days(9, 0));
  std::vector<std::string> panel;
  EXPECT_THROW(Dump("7", &panel), SentrelError);
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(6, 0));
  EXPECT_FALSE(FileExists(dir_->File("web2.new")));
  EXPECT_EQ(ReadFile(dir_->File("web3.log")), Days(9, 0));
  EXPECT_EQ(panel.back(), "Dumping Logile web2.log");
}

TEST_F(LogDumpTest, AnAnswerThatIsNoNumberTouchesNothing) {
  AddServer("web1", "web1.log");
  WriteFile(dir_->File("web1.log"), Days(9, 0));
  std::vector<std::string> panel;
  try {
    Dump("7 days", &panel);
    ADD_FAILURE();
  } catch (const SentrelError& e) {
    EXPECT_STREQ(e.what(), "'7 days' is not a valid integer value");
  }
  EXPECT_TRUE(panel.empty());
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(9, 0));
}

TEST_F(LogDumpTest, AWriteFailureLeavesTheLogAsItWas) {
  AddServer("web1", "web1.log");
  // Big enough for several blocks, so the failure comes after the copy is well along.
  std::string content = Days(20000, 0);
  WriteFile(dir_->File("web1.log"), content);
  chmod(dir_->File("web1.log").c_str(), 0640);
  for (size_t budget : {size_t{0}, size_t{100}, size_t{1} << 20, (size_t{1} << 20) + 7}) {
    FailingWriter writer(budget);
    SetCurrentFileWriter(&writer);
    EXPECT_THROW(Dump("15000"), SentrelError) << budget;
    SetCurrentFileWriter(nullptr);
    EXPECT_EQ(ReadFile(dir_->File("web1.log")), content) << budget;
    EXPECT_FALSE(FileExists(dir_->File("web1.new"))) << budget;
  }
  Dump("15000");
  EXPECT_EQ(ReadFile(dir_->File("web1.log")), Days(14999, 0));
  struct stat st {};
  ASSERT_EQ(stat(dir_->File("web1.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A real full disk: a small tmpfs holding the log. Needs the right to mount, which a
// container may not grant; the injected writer above covers the same path then.
TEST_F(LogDumpTest, AFullFileSystemLeavesTheLogAsItWas) {
  TempDir mountPoint;
  if (mount("tmpfs", mountPoint.Path().c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint.Path()};

  SetDataDir(mountPoint.Path());
  AddServer("web1", "web1.log");
  std::string content = Days(1200, 0);  // about 200 KiB: the copy of it cannot fit
  ASSERT_GT(content.size(), 150'000u);
  ASSERT_LT(content.size(), 250'000u);
  WriteFile(mountPoint.File("web1.log"), content);
  EXPECT_THROW(Dump("1100"), SentrelError);
  EXPECT_EQ(ReadFile(mountPoint.File("web1.log")), content);
  EXPECT_FALSE(FileExists(mountPoint.File("web1.new")));
  // A copy that fits goes through.
  Dump("10");
  EXPECT_EQ(ReadFile(mountPoint.File("web1.log")), Days(9, 0));
}

TEST(DumpCopyPathTest, ExtensionReplacedOrAppended) {
  EXPECT_EQ(DumpCopyPath("/d/web1.log"), "/d/web1.new");
  EXPECT_EQ(DumpCopyPath("/d/web1"), "/d/web1.new");
  EXPECT_EQ(DumpCopyPath("/d.x/web1"), "/d.x/web1.new");
  EXPECT_EQ(DumpCopyPath("/d/a.b.log"), "/d/a.b.new");
  EXPECT_EQ(DumpCopyPath("web1.log"), "web1.new");
}

}  // namespace
}  // namespace sentrel
